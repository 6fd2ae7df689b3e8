"""A release's folder and what scripts/release, scripts/notices,
scripts/buildinfo, scripts/sign and scripts/verify share about it: its file
list, SHA256SUMS, BUILDINFO, the bill of materials, the exchange of two
folders and the work folders. A folder is opened once and every file in it
read relative to that descriptor, never through a link."""
import ctypes
import errno
import fcntl
import grp
import hashlib
import json
import os
import pwd
import secrets
import shutil
import stat

SUMMED = ("launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO")
UNSIGNED = SUMMED + ("SHA256SUMS",)
SIGNED = UNSIGNED + ("SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr")
# The launcher is 1.4 MB and the notices a few hundred KB: a file past this
# is refused before it is hashed (an 8 GiB NOTICES.txt took 89 s to hash).
LARGEST = 64 << 20


class Refusal(Exception):
    """A refusal, whose text is the one line the command prints."""


def quoted(text):
    """TEXT as bash's ${text@Q} shows it, so that a refusal stays one line."""
    if text.isprintable():
        return "'" + text.replace("'", "'\\''") + "'"
    escaped = "".join(c if c.isprintable() and c not in "\\'" else
                      {"\\": "\\\\", "'": "\\'", "\n": "\\n", "\t": "\\t", "\r": "\\r"}.get(c, f"\\x{ord(c):02x}")
                      for c in text)
    return f"$'{escaped}'"


def shown(path):
    """PATH in a refusal: as it is, or quoted when it holds a line break."""
    return path if path.isprintable() else quoted(path)


def read_json(data, what):
    """DATA as JSON, with a key given twice refused (the first and the last
    would each be someone's reading)."""
    def pairs(items):
        keys = [k for k, _ in items]
        if len(set(keys)) != len(keys):
            raise ValueError(f"{what} gives a key twice")
        return dict(items)
    return json.loads(data, object_pairs_hook=pairs)


def write_json(value):
    return (json.dumps(value, indent=2) + "\n").encode()


def buildinfo_values(data, key):
    """Every value of KEY in BUILDINFO's "key: value" lines."""
    return [line[len(key) + 2:] for line in data.decode(errors="replace").split("\n")
            if line.startswith(key + ": ")]


def sums(files):
    """SHA256SUMS of FILES, a {name: bytes}, as sha256sum writes it."""
    return "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in SUMMED).encode()


def unsigned_in_bom(bom):
    """The hashes by which a bill of materials names the launcher's build."""
    launcher = bom["metadata"]["component"]
    return ({h["content"] for h in launcher["hashes"]}
            | {p["value"] for p in launcher["properties"] if p["name"] == "quenby:unsigned-sha256"})


def signed_bom(bom, digest, supplier, organisation, project="Quenby launcher"):
    """The bill of materials of the signed file: a new version of the
    unsigned one's (CycloneDX), with the same serial number, naming the
    signed file's DIGEST, and its supplier (SUPPLIER if given, else the
    certificate's ORGANISATION in place of the project's name)."""
    launcher = bom["metadata"]["component"]
    launcher["hashes"] = [{"alg": "SHA-256", "content": digest}]
    launcher["properties"] = [p for p in launcher["properties"] if p["name"] != "quenby:signed-sha256"]
    launcher["properties"].append({"name": "quenby:signed-sha256", "value": digest})
    if supplier or (organisation and launcher["supplier"]["name"] == project):
        launcher["supplier"] = {"name": supplier or organisation}
        bom["metadata"]["authors"] = [{"name": supplier or organisation}]
    bom["version"] += 1
    return bom


_libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD = -100


def exchange(from_fd, from_name, to_fd, to_name):
    """FROM and TO (both exist) trade places in one step (renameat2's
    RENAME_EXCHANGE), or OSError."""
    if _libc.renameat2(from_fd, os.fsencode(from_name), to_fd, os.fsencode(to_name), 2) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number))


def open_folder(path, at=AT_FDCWD):
    """A descriptor of the folder PATH itself (no link followed)."""
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=at)


def read_file(fd, name):
    """NAME in the folder FD, a regular file of its own (not a link, no
    second name), at most LARGEST bytes: (bytes, None), or (None, why)."""
    try:
        file = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=fd)
    except FileNotFoundError:
        return None, "missing"
    except OSError:
        return None, "odd"
    with os.fdopen(file, "rb") as f:
        status = os.fstat(file)
        if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
            return None, "odd"
        if status.st_size > LARGEST:
            return None, "large"
        data = f.read(LARGEST + 1)
        return (data, None) if len(data) <= LARGEST else (None, "large")


def odd_entry(fd):
    """The first entry of the folder FD that is not a regular file of its
    own (a link, a folder, another kind, a file with a second name)."""
    for name in sorted(os.listdir(fd)):
        status = os.stat(name, dir_fd=fd, follow_symlinks=False)
        if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
            return name
    return None


def write_files(fd, files):
    for name, data in files.items():
        file = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=fd)
        with os.fdopen(file, "wb") as f:
            f.write(data)


def changeable_by_others(path):
    """Why another user could change the folder PATH or one above it (so
    swap what was checked for something else), or None. Root and the signer
    are trusted; a group is, when no one else is in it; a sticky bit keeps
    others from renaming what is not theirs."""
    me = os.geteuid()
    while True:
        status = os.stat(path)
        sticky = status.st_mode & stat.S_ISVTX
        if status.st_uid not in (0, me):
            return f"{shown(path)} is owned by another user"
        if status.st_mode & stat.S_IWOTH and not sticky:
            return f"every user can write to {shown(path)}"
        if status.st_mode & stat.S_IWGRP and not sticky and others_in_group(status.st_gid, me):
            return f"{shown(path)} is writable by its group, which has other members"
        if path == "/":
            return None
        path = os.path.dirname(path)


def others_in_group(gid, me):
    try:
        members = set(grp.getgrgid(gid).gr_mem)
    except KeyError:
        return True
    members |= {p.pw_name for p in pwd.getpwall() if p.pw_gid == gid}
    mine = {p.pw_name for p in pwd.getpwall() if p.pw_uid == me}
    return bool(members - mine)


def mount_id(fd):
    with open(f"/proc/self/fdinfo/{fd}", encoding="ascii") as info:
        return next(line.split()[1] for line in info if line.startswith("mnt_id:"))


def remove_unheld(fd, prefix):
    """Removes the work folders named PREFIX... in the folder FD that no
    running command holds: real folders whose lock is a regular file that
    can be locked. A link, or a folder without such a lock, stays."""
    for name in os.listdir(fd):
        if not name.startswith(prefix) or not stat.S_ISDIR(os.stat(name, dir_fd=fd, follow_symlinks=False).st_mode):
            continue
        try:
            folder = open_folder(name, fd)
        except OSError:
            continue
        try:
            lock = os.open("lock", os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
        except OSError:
            os.close(folder)
            continue
        try:
            if stat.S_ISREG(os.fstat(lock).st_mode):
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                shutil.rmtree(name, dir_fd=fd)
        except BlockingIOError:
            pass
        finally:
            os.close(lock)
            os.close(folder)


def make_work(fd, prefix):
    """A new work folder PREFIX + six random characters in the folder FD,
    only ours (0700), holding a regular file lock that this process locks:
    (name, descriptor of the folder, descriptor of the lock)."""
    while True:
        name = prefix + secrets.token_hex(3)
        try:
            os.mkdir(name, 0o700, dir_fd=fd)
            break
        except FileExistsError:
            continue
    work = open_folder(name, fd)
    lock = os.open("lock", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=work)
    fcntl.flock(lock, fcntl.LOCK_EX)
    return name, work, lock


def errno_text(error):
    return error.strerror or errno.errorcode.get(error.errno, str(error))

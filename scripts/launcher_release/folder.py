"""A release's folder, and what the release's scripts share about it: its
file list, SHA256SUMS, BUILDINFO, the bill of materials, the exchange of two
folders and the work folders. A folder is opened once and every file in it
read relative to that descriptor, never through a link."""
import contextlib
import ctypes
import errno
import fcntl
import grp
import hashlib
import json
import os
import pwd
import re
import secrets
import shutil
import stat
import tempfile

from .errors import Refusal, Signed  # noqa: F401 (re-exported until callers import errors)

SUMMED = ("launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO")
UNSIGNED = SUMMED + ("SHA256SUMS",)
SIGNED = UNSIGNED + ("SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr")
# The launcher is 1.4 MB and the notices a few hundred KB: a file past this
# is refused before it is hashed (an 8 GiB NOTICES.txt took 89 s to hash).
LARGEST = 64 << 20
AT_FDCWD = -100
_libc = ctypes.CDLL(None, use_errno=True)


def quoted(text):
    """TEXT as bash's ${text@Q} shows it, so that a refusal stays one line."""
    if text.isprintable():
        return "'" + text.replace("'", "'\\''") + "'"
    escaped = "".join(c if c.isprintable() and c not in "\\'" else
                      {"\\": "\\\\", "'": "\\'", "\n": "\\n", "\t": "\\t", "\r": "\\r"}.get(c, f"\\x{ord(c):02x}")
                      for c in text)
    return f"$'{escaped}'"


def contents(path):
    """The bytes of the file PATH (closed at once: the tests take an
    unclosed file's ResourceWarning for the error it is)."""
    with open(path, "rb") as file:
        return file.read()


def shown(path):
    return path if path.isprintable() else quoted(path)


def from_caller(path):
    """PATH as the caller meant it, byte for byte (no normalising)."""
    return path if path.startswith("/") else os.getcwd() + "/" + path


def parse(args, into, table, script):
    """ARGS' options into the namespace INTO. TABLE: an option's attribute
    and what reads its value (None: a flag, which takes none); a list
    attribute gathers every value given."""
    while args:
        option, args = args[0], args[1:]
        attribute, read = table.get(option, (None, str))
        if read is None:
            setattr(into, attribute, True)
            continue
        if not args:
            raise Refusal(f"{option} needs a value")
        if attribute is None:
            raise Refusal(f"unknown argument {quoted(option)} (see the comment at the top of scripts/{script})")
        value, args = read(args[0]), args[1:]
        if isinstance(getattr(into, attribute), list):
            getattr(into, attribute).append(value)
        else:
            setattr(into, attribute, value)
    return into


def matching(pattern, wording):
    """What reads an option's value: as it is if it matches PATTERN, else
    refused as WORDING, with the value quoted."""
    def read(value):
        if not re.fullmatch(pattern, value):
            raise Refusal(f"{wording}, not {quoted(value)}")
        return value
    return read


def read_json(data, what):
    """DATA as JSON, with a key given twice refused (the first and the last
    would each be someone's reading)."""
    def pairs(items):
        if len({k for k, _ in items}) != len(items):
            raise ValueError(f"{what} gives a key twice")
        return dict(items)
    return json.loads(data, object_pairs_hook=pairs)


def write_json(value):
    return (json.dumps(value, indent=2) + "\n").encode()


def buildinfo_values(data, key):
    return [line[len(key) + 2:] for line in data.decode(errors="replace").split("\n") if line.startswith(key + ": ")]


def sums(files):
    """SHA256SUMS of FILES, a {name: bytes}, as sha256sum writes it."""
    return "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in SUMMED).encode()


def signed_bom(bom, digest, supplier, organisation, project="Quenby launcher"):
    """The signed file's bill of materials: a new version of the unsigned
    one's (CycloneDX), same serial number, naming DIGEST; its supplier is
    SUPPLIER, else the certificate's ORGANISATION in place of the project."""
    launcher = bom["metadata"]["component"]
    launcher["hashes"] = [{"alg": "SHA-256", "content": digest}]
    launcher["properties"] = [p for p in launcher["properties"] if p["name"] != "quenby:signed-sha256"]
    launcher["properties"].append({"name": "quenby:signed-sha256", "value": digest})
    if supplier or (organisation and launcher["supplier"]["name"] == project):
        launcher["supplier"] = {"name": supplier or organisation}
        bom["metadata"]["authors"] = [{"name": supplier or organisation}]
    bom["version"] += 1
    return bom


def exchange(from_fd, from_name, to_fd, to_name):
    """FROM and TO (both exist) trade places in one step (renameat2's
    RENAME_EXCHANGE), or OSError."""
    if _libc.renameat2(from_fd, os.fsencode(from_name), to_fd, os.fsencode(to_name), 2) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number))


def open_folder(path, at=AT_FDCWD):
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=at)


def own_file(status):
    """A regular file with no second name (a hard link elsewhere could be
    changed through it)."""
    return stat.S_ISREG(status.st_mode) and status.st_nlink == 1


def read_file(fd, name):
    """NAME in the folder FD, an own_file of at most LARGEST bytes:
    (bytes, None), or (None, "missing", "odd" or "large")."""
    try:
        file = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=fd)
    except FileNotFoundError:
        return None, "missing"
    except OSError:
        return None, "odd"
    with os.fdopen(file, "rb") as f:
        status = os.fstat(file)
        if not own_file(status):
            return None, "odd"
        if status.st_size > LARGEST:
            return None, "large"
        data = f.read(LARGEST + 1)
        return (data, None) if len(data) <= LARGEST else (None, "large")


def entry_status(fd, name):
    """NAME's status in the folder FD, not following a link; None when it
    went between its listing and now."""
    try:
        return os.stat(name, dir_fd=fd, follow_symlinks=False)
    except FileNotFoundError:
        return None


def odd_entry(fd):
    """The first entry of the folder FD that is not an own_file (one that
    went meanwhile is none)."""
    return next((name for name in sorted(os.listdir(fd))
                 if (status := entry_status(fd, name)) is not None and not own_file(status)), None)


def write_files(fd, files):
    for name, data in files.items():
        file = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=fd)
        with os.fdopen(file, "wb") as f:
            f.write(data)


# posix_acl_xattr_header and _entry (linux/posix_acl_xattr.h): a version,
# then (tag, permissions, id) entries, little-endian.
ACL_USER, ACL_GROUP_OBJ, ACL_GROUP, ACL_MASK, ACL_OTHER = 0x02, 0x04, 0x08, 0x10, 0x20
ACL_WRITE = 0x02


def acl_entries(path):
    """The entries of PATH's access ACL, [(tag, permissions, id)], or []
    when it has none beyond its mode bits. An ACL of another kind (NFSv4's,
    CIFS's) raises ValueError: it is not judged, it is refused."""
    try:
        data = os.getxattr(path, "system.posix_acl_access", follow_symlinks=False)
    except OSError as error:
        if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
            raise ValueError(f"the ACL of {shown(path)} cannot be read ({errno_text(error)})") from None
        data = b""
    # (cifs gives a Windows security descriptor as system.cifs_acl, Samba
    # keeps one as system.ntacl: a grant there is not in the mode bits.)
    for other in ("system.nfs4_acl", "system.richacl", "system.cifs_acl", "system.ntacl"):
        try:
            os.getxattr(path, other, follow_symlinks=False)
        except OSError:
            continue
        raise ValueError(f"{shown(path)} carries an ACL ({other}) that this check cannot judge")
    if not data:
        return []
    if len(data) % 8 != 4 or int.from_bytes(data[:4], "little") != 2:
        raise ValueError(f"{shown(path)} carries an ACL this check cannot read")
    return [(int.from_bytes(data[i:i + 2], "little"), int.from_bytes(data[i + 2:i + 4], "little"),
             int.from_bytes(data[i + 4:i + 8], "little")) for i in range(4, len(data), 8)]


def members(gid):
    """Every user in the group GID: the members of every group entry with
    that ID (groupadd -o makes two, and getgrgid returns only the first)
    and the users whose primary group it is; None among them when no entry
    names the group."""
    entries = [g for g in grp.getgrall() if g.gr_gid == gid]
    return ({m for g in entries for m in g.gr_mem} | {p.pw_name for p in pwd.getpwall() if p.pw_gid == gid}
            | (set() if entries else {None}))


def changeable_by_others(path):
    """Why another user could change the folder PATH or one above it (so
    swap what was checked for something else), or None. Root and the signer
    are trusted; a group is, when no one else is in it; write access comes
    from the mode bits and every entry of an ACL. A sticky bit keeps others
    from renaming what is not theirs, which is enough above PATH (as in the
    system's temporary folder), not for PATH itself: anyone could add a file
    there."""
    me = os.geteuid()
    trusted = {p.pw_name for p in pwd.getpwall() if p.pw_uid in (0, me)}
    first = True
    while True:
        status = os.stat(path)
        sticky = status.st_mode & stat.S_ISVTX and not first
        if status.st_uid not in (0, me):
            return f"{shown(path)} is owned by another user"
        try:
            acl = acl_entries(path)
        except ValueError as error:
            return str(error)
        # With an ACL, the mode's group bits are its mask, which bounds
        # every named entry and the owning group's.
        mask = next((perm for tag, perm, _ in acl if tag == ACL_MASK), 0o7)
        group_write = (next((perm for tag, perm, _ in acl if tag == ACL_GROUP_OBJ), 0) & mask & ACL_WRITE
                       if acl else status.st_mode & stat.S_IWGRP)
        if status.st_mode & stat.S_IWOTH and not sticky:
            return f"every user can write to {shown(path)}"
        if group_write and not sticky and members(status.st_gid) - trusted:
            return f"{shown(path)} is writable by its group, which has other members"
        for tag, perm, id in acl:
            if not perm & mask & ACL_WRITE or sticky:
                continue
            if tag == ACL_USER and id not in (0, me):
                return f"its ACL lets user {id} write to {shown(path)}"
            if tag == ACL_GROUP and members(id) - trusted:
                return f"its ACL lets group {id}, which has other members, write to {shown(path)}"
        if path == "/":
            return None
        path, first = os.path.dirname(path), False


def mount_id(fd):
    with open(f"/proc/self/fdinfo/{fd}", encoding="ascii") as info:
        return next(line.split()[1] for line in info if line.startswith("mnt_id:"))


def remove_unheld(fd, prefix):
    """Removes the work folders named PREFIX... in the folder FD that no
    running command holds: real folders whose lock is a regular file that
    can be locked. A link, or a folder without such a lock, stays."""
    me = os.geteuid()
    for name in os.listdir(fd):
        if not name.startswith(prefix):
            continue
        status = entry_status(fd, name)
        # Another user's (beside a DIR in a sticky folder, say) is theirs,
        # and may go as it is listed.
        if status is None or not stat.S_ISDIR(status.st_mode) or status.st_uid != me:
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
        except OSError:
            pass  # held, or not ours to remove: left as it is
        finally:
            os.close(lock)
            os.close(folder)


def without_acl(fd):
    """The folder FD without ACLs: one inherited from a default ACL of the
    folder it was made in would give others a way in."""
    for acl in ("system.posix_acl_access", "system.posix_acl_default"):
        try:
            os.removexattr(fd, acl)
        except OSError as error:
            if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise


@contextlib.contextmanager
def private_folder():
    """A new folder in TMPDIR that only we can change, held open: its
    descriptor. Whoever else can write to TMPDIR may rename it, or put
    something else under its name; a tool reaches it as /proc/self/fd/N
    all the same, and at the end only what it holds goes, then its name
    if that is still it."""
    path = tempfile.mkdtemp()
    fd = open_folder(path)
    ours = False
    try:
        status = os.fstat(fd)
        if status.st_uid != os.geteuid() or stat.S_IMODE(status.st_mode) != 0o700:
            raise Refusal(f"the temporary folder {shown(path)} was replaced by another user's: "
                          "give TMPDIR a folder only you can change")
        without_acl(fd)
        ours = True
        yield fd
    finally:
        # Only what our tools wrote, in a folder found ours: one refused as
        # another user's is left as it is.
        for name in os.listdir(fd) if ours else ():
            with contextlib.suppress(OSError):
                os.unlink(name, dir_fd=fd)
        with contextlib.suppress(OSError):
            if ours and os.path.samestat(os.lstat(path), os.fstat(fd)):
                os.rmdir(path)
        os.close(fd)


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
    without_acl(work)
    lock = os.open("lock", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=work)
    fcntl.flock(lock, fcntl.LOCK_EX)
    return name, work, lock


def errno_text(error):
    return error.strerror or errno.errorcode.get(error.errno, str(error))

"""A release's folder and the folders around it: opened once, every entry
read relative to that descriptor and never through a link; who else could
change it (mode bits, ACLs, groups); its mount; the exchange of two folders
in one step; the work folders, their locks and their removal."""
import contextlib
import ctypes
import errno
import fcntl
import grp
import os
import pwd
import secrets
import shutil
import stat
import tempfile
from collections.abc import Iterator
from typing import Optional

from .errors import Refusal, Unjudged
from .text import errno_text, shown

AT_FDCWD = -100
_libc = ctypes.CDLL(None, use_errno=True)


def contents(path: str) -> bytes:
    """The bytes of the file PATH (closed at once: the tests take an
    unclosed file's ResourceWarning for the error it is)."""
    with open(path, "rb") as file:
        return file.read()


def exchange(from_fd: int, from_name: str, to_fd: int, to_name: str) -> None:
    """FROM and TO (both exist) trade places in one step (renameat2's
    RENAME_EXCHANGE), or OSError."""
    if _libc.renameat2(from_fd, os.fsencode(from_name), to_fd, os.fsencode(to_name), 2) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number))


def open_folder(path: str, at: int = AT_FDCWD) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=at)


def own_file(status: os.stat_result) -> bool:
    """A regular file with no second name (a hard link elsewhere could be
    changed through it)."""
    return stat.S_ISREG(status.st_mode) and status.st_nlink == 1


def entry_status(fd: int, name: str) -> Optional[os.stat_result]:
    """NAME's status in the folder FD, not following a link; None when it
    went between its listing and now."""
    try:
        return os.stat(name, dir_fd=fd, follow_symlinks=False)
    except FileNotFoundError:
        return None


def odd_entry(fd: int) -> Optional[str]:
    """The first entry of the folder FD that is not an own_file (one that
    went meanwhile is none)."""
    return next((name for name in sorted(os.listdir(fd))
                 if (status := entry_status(fd, name)) is not None and not own_file(status)), None)


# posix_acl_xattr_header and _entry (linux/posix_acl_xattr.h): a version,
# then (tag, permissions, id) entries, little-endian.
ACL_USER, ACL_GROUP_OBJ, ACL_GROUP, ACL_MASK, ACL_OTHER = 0x02, 0x04, 0x08, 0x10, 0x20
ACL_WRITE = 0x02
AclEntry = tuple[int, int, int]


def acl_entries(path: str) -> list[AclEntry]:
    """The entries of PATH's access ACL, [(tag, permissions, id)], or []
    when it has none beyond its mode bits. An ACL of another kind (NFSv4's,
    CIFS's) raises Unjudged: it is not judged, it is refused."""
    try:
        data = os.getxattr(path, "system.posix_acl_access", follow_symlinks=False)
    except OSError as error:
        if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
            raise Unjudged(f"the ACL of {shown(path)} cannot be read ({errno_text(error)})") from None
        data = b""
    # (cifs gives a Windows security descriptor as system.cifs_acl, Samba
    # keeps one as system.ntacl: a grant there is not in the mode bits.)
    for other in ("system.nfs4_acl", "system.richacl", "system.cifs_acl", "system.ntacl"):
        try:
            os.getxattr(path, other, follow_symlinks=False)
        except OSError:
            continue
        raise Unjudged(f"{shown(path)} carries an ACL ({other}) that this check cannot judge")
    if not data:
        return []
    if len(data) % 8 != 4 or int.from_bytes(data[:4], "little") != 2:
        raise Unjudged(f"{shown(path)} carries an ACL this check cannot read")
    return [(int.from_bytes(data[i:i + 2], "little"), int.from_bytes(data[i + 2:i + 4], "little"),
             int.from_bytes(data[i + 4:i + 8], "little")) for i in range(4, len(data), 8)]


def members(gid: int) -> set[Optional[str]]:
    """Every user in the group GID: the members of every group entry with
    that ID (groupadd -o makes two, and getgrgid returns only the first)
    and the users whose primary group it is; None among them when no entry
    names the group."""
    entries = [g for g in grp.getgrall() if g.gr_gid == gid]
    named: set[Optional[str]] = {m for g in entries for m in g.gr_mem}
    return named | {p.pw_name for p in pwd.getpwall() if p.pw_gid == gid} | (set() if entries else {None})


def changeable_by_others(path: str) -> Optional[str]:
    """Why another user could change the folder PATH or one above it (so
    swap what was checked for something else), or None. Root and the signer
    are trusted; a group is, when no one else is in it; write access comes
    from the mode bits and every entry of an ACL. A sticky bit keeps others
    from renaming what is not theirs, which is enough above PATH (as in the
    system's temporary folder), not for PATH itself: anyone could add a file
    there."""
    me = os.geteuid()
    trusted: set[Optional[str]] = {p.pw_name for p in pwd.getpwall() if p.pw_uid in (0, me)}
    first = True
    while True:
        why = _writable_by_others(path, not first, me, trusted)
        if why or path == "/":
            return why
        path, first = os.path.dirname(path), False


def _writable_by_others(path: str, above: bool, me: int, trusted: set[Optional[str]]) -> Optional[str]:
    """changeable_by_others' judgment of one folder, PATH itself or (ABOVE)
    one of the folders above it."""
    status = os.stat(path)
    sticky = bool(status.st_mode & stat.S_ISVTX) and above
    if status.st_uid not in (0, me):
        return f"{shown(path)} is owned by another user"
    try:
        acl = acl_entries(path)
    except Unjudged as error:
        return str(error)
    # With an ACL, the mode's group bits are its mask, which bounds every
    # named entry and the owning group's.
    mask = next((perm for tag, perm, _ in acl if tag == ACL_MASK), 0o7)
    group_write = (next((perm for tag, perm, _ in acl if tag == ACL_GROUP_OBJ), 0) & mask & ACL_WRITE
                   if acl else status.st_mode & stat.S_IWGRP)
    if sticky:
        return None
    if status.st_mode & stat.S_IWOTH:
        return f"every user can write to {shown(path)}"
    if group_write and members(status.st_gid) - trusted:
        return f"{shown(path)} is writable by its group, which has other members"
    for tag, perm, id in acl:
        if not perm & mask & ACL_WRITE:
            continue
        if tag == ACL_USER and id not in (0, me):
            return f"its ACL lets user {id} write to {shown(path)}"
        if tag == ACL_GROUP and members(id) - trusted:
            return f"its ACL lets group {id}, which has other members, write to {shown(path)}"
    return None


def mount_id(fd: int) -> str:
    with open(f"/proc/self/fdinfo/{fd}", encoding="ascii") as info:
        return next(line.split()[1] for line in info if line.startswith("mnt_id:"))


def remove_unheld(fd: int, prefix: str) -> None:
    """Removes the work folders named PREFIX... in the folder FD that no
    running command holds: real folders whose lock is a regular file that
    can be locked. A link, or a folder without such a lock, stays."""
    me = os.geteuid()
    for name in os.listdir(fd):
        status = entry_status(fd, name) if name.startswith(prefix) else None
        # Another user's (beside a DIR in a sticky folder, say) is theirs,
        # and may go as it is listed.
        if status is not None and stat.S_ISDIR(status.st_mode) and status.st_uid == me:
            _remove_if_unheld(fd, name)


def _remove_if_unheld(fd: int, name: str) -> None:
    try:
        folder = open_folder(name, fd)
    except OSError:
        return
    try:
        lock = os.open("lock", os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
    except OSError:
        os.close(folder)
        return
    try:
        if stat.S_ISREG(os.fstat(lock).st_mode):
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(name, dir_fd=fd)
    except OSError:
        pass  # held, or not ours to remove: left as it is
    finally:
        os.close(lock)
        os.close(folder)


def without_acl(fd: int) -> None:
    """The folder FD without ACLs: one inherited from a default ACL of the
    folder it was made in would give others a way in."""
    for acl in ("system.posix_acl_access", "system.posix_acl_default"):
        try:
            os.removexattr(fd, acl)
        except OSError as error:
            if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise


@contextlib.contextmanager
def private_folder() -> Iterator[int]:
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


def make_work(fd: int, prefix: str) -> tuple[str, int, int]:
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

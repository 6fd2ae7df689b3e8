"""The release's files: their list, how one is read from a held folder and
written into one, and SHA256SUMS."""
import hashlib
import os

from .errors import Large, Missing, Odd
from .folder import own_file

SUMMED = ("launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO")
UNSIGNED = SUMMED + ("SHA256SUMS",)
SIGNED = UNSIGNED + ("SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr")
# The launcher is 1.4 MB and the notices a few hundred KB: a file past this
# is refused before it is hashed (an 8 GiB NOTICES.txt took 89 s to hash).
LARGEST = 64 << 20


def read_file(fd: int, name: str) -> bytes:
    """NAME in the folder FD, an own_file of at most LARGEST bytes; else
    Missing, Odd or Large."""
    try:
        file = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=fd)
    except FileNotFoundError:
        raise Missing() from None
    except OSError:
        raise Odd() from None
    with os.fdopen(file, "rb") as f:
        status = os.fstat(file)
        if not own_file(status):
            raise Odd()
        if status.st_size > LARGEST:
            raise Large()
        data = f.read(LARGEST + 1)
    if len(data) > LARGEST:
        raise Large()
    return data


def write_files(fd: int, files: dict[str, bytes]) -> None:
    for name, data in files.items():
        file = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644, dir_fd=fd)
        with os.fdopen(file, "wb") as f:
            f.write(data)


def sums(files: dict[str, bytes]) -> bytes:
    """SHA256SUMS of FILES, a {name: bytes}, as sha256sum writes it."""
    return "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in SUMMED).encode()

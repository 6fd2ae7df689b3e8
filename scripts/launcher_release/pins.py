"""The Boost pin file, cmake/boost-source.sh: the one reader of it for the
release's Python (notices, BUILDINFO, the release's check of the kept
tarball, the tests). The build scripts source it in bash; what is read
here are its plain assignments, NAME=VALUE on a line of their own, which
is all bash would make of them too (no quotes, no expansions: a value
that needed either would be refused here rather than read otherwise)."""
import dataclasses
import hashlib
import os
import re

from .errors import Refusal

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PIN_FILE = os.path.join(ROOT, "cmake", "boost-source.sh")


@dataclasses.dataclass(frozen=True)
class BoostPin:
    version: str
    source_package: str
    source_version: str
    tarball: str
    tarball_sha256: str
    # ${XDG_CACHE_HOME:-$HOME/.cache}/quenby-launcher, as the pin file makes it.
    cache: str

    @property
    def kept_tarball(self) -> str:
        return os.path.join(self.cache, "download", self.tarball)


def assignments(text: str) -> dict[str, str]:
    """The file's plain NAME=VALUE lines."""
    return dict(re.findall(r"^(\w+)=([^\s$\"'`]+)$", text, re.M))


def cache_folder(environ: "os._Environ[str] | dict[str, str]") -> str:
    # ${XDG_CACHE_HOME:-...}: an empty value counts as unset, as in bash.
    base = environ.get("XDG_CACHE_HOME") or os.path.join(environ.get("HOME", ""), ".cache")
    return os.path.join(base, "quenby-launcher")


def read(path: str = PIN_FILE) -> BoostPin:
    with open(path, encoding="utf-8") as file:
        value = assignments(file.read())
    names = ("boost_version", "boost_source_package", "boost_source_version", "boost_tarball",
             "boost_tarball_sha256")
    missing = [name for name in names if name not in value]
    if missing:
        raise Refusal(f"{path} sets no plain {missing[0]}=VALUE")
    return BoostPin(version=value["boost_version"], source_package=value["boost_source_package"],
                    source_version=value["boost_source_version"], tarball=value["boost_tarball"],
                    tarball_sha256=value["boost_tarball_sha256"], cache=cache_folder(os.environ))


def check_tarball(pin: BoostPin, path: str) -> None:
    """Refuses a tarball at PATH that is not the pinned one, naming both
    hashes, in boost_tarball_is_pinned's words."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as file:
            while chunk := file.read(1 << 20):
                digest.update(chunk)
    except OSError as error:
        raise Refusal(f"cannot read {path}: {error.strerror}") from None
    if digest.hexdigest() != pin.tarball_sha256:
        raise Refusal(f"{path} is not the pinned Boost source: SHA-256 {digest.hexdigest()}, "
                      f"expected {pin.tarball_sha256}")

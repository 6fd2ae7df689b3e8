"""BUILDINFO: the record of a build by scripts/clean-build, one "key: value"
a line: the commit, the built file's SHA-256, the Boost source tarball, the
exact Debian version of every package whose files reach the bytes, and the
command that builds it. Its one writer (record) and its one reader
(values); scripts/reproducible --buildinfo rebuilds from it (plan)."""
import hashlib
import os
import shutil

from . import pins, tools
from .errors import Refusal, UsageError
from .options import from_caller

CXX = "i686-w64-mingw32-g++-posix"


def values(data: bytes, key: str) -> list[str]:
    """Every value BUILDINFO's bytes DATA give KEY, in order."""
    return [line[len(key) + 2:] for line in data.decode(errors="replace").split("\n") if line.startswith(key + ": ")]


def only_value(data: bytes, key: str, path: str) -> str:
    found = values(data, key)
    if len(found) != 1:
        raise Refusal(f"{path} gives {key} {len(found)} times, not once: it is not a release's BUILDINFO")
    return found[0]


def build_files() -> list[str]:
    """What the build reads: the compiler driver and its back end, libgcc
    and libstdc++ (linked in statically), the MinGW start-up code, import
    libraries and headers, the assembler, linker and resource compiler, and
    CMake and Ninja, which write the command lines."""
    def asked(option: str) -> str:
        return tools.program_output(CXX, option).strip()
    tools_used = (CXX, "i686-w64-mingw32-as", "i686-w64-mingw32-ld", "i686-w64-mingw32-windres", "cmake", "ninja")
    found = {name: shutil.which(name) or name for name in tools_used}
    return [found[CXX], asked("-print-prog-name=cc1plus"), asked("-print-libgcc-file-name"),
            *(asked(f"-print-file-name={f}") for f in ("libstdc++.a", "crt2.o", "libkernel32.a")),
            "/usr/share/mingw-w64/include/windows.h", *(found[name] for name in tools_used[1:])]


def packages() -> list[str]:
    """The packages of build_files, asked of dpkg rather than listed, so
    that a new one cannot be missed."""
    found: set[str] = set()
    for file in build_files():
        for path in (os.path.realpath(file), file):
            status, out, _ = tools.program("dpkg", "-S", path)
            if status == 0:
                found |= {line.split(":")[0] for line in out.splitlines()}
                break
        else:
            raise Refusal(f"dpkg knows no package of {file}")
    return sorted(found)


def installed_version(package: str) -> str:
    """The installed version of PACKAGE, or "not installed"."""
    status, out, _ = tools.program("dpkg-query", "-W", "-f=${Version}", package)
    return out if status == 0 else "not installed"


def record(commit: str, built: str) -> bytes:
    """The BUILDINFO of the file BUILT, built from COMMIT."""
    pin = pins.read()
    with open(built, "rb") as file:
        built_sha256 = hashlib.sha256(file.read()).hexdigest()
    lines = [("commit", commit), ("launcher-sha256", built_sha256),
             ("boost-source", pin.tarball), ("boost-source-sha256", pin.tarball_sha256)]
    lines += [("package", f"{p} {tools.program_output('dpkg-query', '-W', '-f=${Version}', p)}")
              for p in packages()]
    lines.append(("build-command", f"scripts/clean-build DIR {commit}"))
    if any("\n" in value for _, value in lines):
        raise Refusal("a BUILDINFO value holds a line break")
    return "".join(f"{key}: {value}\n" for key, value in lines).encode()


def plan(path: str) -> list[str]:
    """What scripts/reproducible --buildinfo PATH says before it rebuilds:
    a line for each recorded package version and Boost source that differs
    from this machine's, then "COMMIT LAUNCHER-SHA256" for it to rebuild
    and compare with."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise Refusal(f"cannot read {path}: {error.strerror}") from None
    commit, expected = only_value(data, "commit", path), only_value(data, "launcher-sha256", path)
    said = []
    for package, _, version in (entry.partition(" ") for entry in values(data, "package")):
        installed = installed_version(package)
        if installed != version:
            said.append(f"differs: {package} {version} recorded, {installed} installed")
    pinned = pins.read().tarball_sha256
    # (Several values read as one, joined by line breaks, as sed gave them.)
    recorded = "\n".join(values(data, "boost-source-sha256"))
    if recorded != pinned:
        said.append(f"differs: Boost source {recorded} recorded, {pinned} pinned here")
    return [*said, f"{commit} {expected}"]


def plan_main(args: list[str]) -> list[str]:
    """buildinfo-plan BUILDINFO: plan's lines."""
    if len(args) != 1:
        raise UsageError("buildinfo-plan BUILDINFO")
    return plan(from_caller(args[0]))

"""BUILDINFO: the record of a build by scripts/clean-build, one "key: value"
a line: the commit, the built file's SHA-256, the Boost source tarball, the
exact Debian version of every package whose files reach the bytes, and the
command that builds it. scripts/reproducible --buildinfo rebuilds from it."""
import hashlib
import os
import re
import shutil
import subprocess

from .folder import contents

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def output(*args: str) -> str:
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()


def packages() -> list[str]:
    """What the build reads: the compiler driver and its back end, libgcc
    and libstdc++ (linked in statically), the MinGW start-up code, import
    libraries and headers, the assembler, linker and resource compiler, and
    CMake and Ninja, which write the command lines. Their packages are asked
    of dpkg rather than listed, so that a new one cannot be missed."""
    cxx = "i686-w64-mingw32-g++-posix"
    # (A tool not on PATH is looked up by its bare name, which dpkg then
    # names as having no package, rather than failing on None.)
    files = [shutil.which(cxx) or cxx, output(cxx, "-print-prog-name=cc1plus"), output(cxx, "-print-libgcc-file-name"),
             *(output(cxx, f"-print-file-name={f}") for f in ("libstdc++.a", "crt2.o", "libkernel32.a")),
             "/usr/share/mingw-w64/include/windows.h",
             *(shutil.which(t) or t for t in ("i686-w64-mingw32-as", "i686-w64-mingw32-ld",
                                              "i686-w64-mingw32-windres", "cmake", "ninja"))]
    found = set()
    for file in files:
        for path in (os.path.realpath(file), file):
            owner = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
            if owner.returncode == 0:
                found |= {line.split(":")[0] for line in owner.stdout.splitlines()}
                break
        else:
            raise RuntimeError(f"dpkg knows no package of {file}")
    return sorted(found)


def record(commit: str, built: str) -> bytes:
    pin = dict(re.findall(r"^(boost_tarball\w*)=(\S+)", contents(f"{ROOT}/cmake/boost-source.sh").decode(), re.M))
    lines = [("commit", commit), ("launcher-sha256", hashlib.sha256(contents(built)).hexdigest()),
             ("boost-source", pin["boost_tarball"]), ("boost-source-sha256", pin["boost_tarball_sha256"])]
    lines += [("package", f"{p} {output('dpkg-query', '-W', '-f=${Version}', p)}") for p in packages()]
    lines.append(("build-command", f"scripts/clean-build DIR {commit}"))
    if any("\n" in value for _, value in lines):
        raise ValueError("a BUILDINFO value holds a line break")
    return "".join(f"{key}: {value}\n" for key, value in lines).encode()

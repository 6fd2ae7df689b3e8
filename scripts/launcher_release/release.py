"""scripts/release after its set-up: the steps of a release, in one
process, from the refusals to the last line. scripts/release (bash) runs
scripts/setup first, which installs what this package imports, then this;
the build itself is scripts/clean-build's, run here as a program.

A release holds, from the scan of build/release-work until its end, a lock
on a work folder of its own there, so that no other release removes it; it
is made there (TMPDIR too, for the signing's temporary files), signed in
place, then exchanged with dist/ in one step."""
import contextlib
import dataclasses
import fcntl
import hashlib
import os
import shutil
import stat
import tempfile
from collections.abc import Iterator

from . import buildinfo, folder, notices, pins, sign, signing, tools
from .options import from_caller, sign_option_takes_value
from .errors import Refusal, UsageError
from .text import quoted

ROOT = pins.ROOT
UNSIGNED = "UNSIGNED: no key given (--pkcs11-key or --pkcs12); Windows will warn whoever starts it"
# sign's options that verify without asking for a signature: given alone,
# the release stays unsigned (as it did when bash parsed them).
VERIFYING = ("--ca-file", "--tsa-ca-file", "--crl-file")
# sign's options that are not the release's to pass on: --supplier is the
# release's own too (for its notices), --expect-sha256 the release makes.
NOT_PASSED = ("--expect-sha256", "--supplier")


@dataclasses.dataclass(frozen=True)
class Options:
    """SIGN_ARGS: sign's key and verification options, as given (their
    paths are the caller's, and sign reads them so); SIGNING: whether they
    ask for a signature; BUILD_DIR: absolute, or "" for the work folder."""
    sign_args: tuple[str, ...] = ()
    signing: bool = False
    supplier: str = ""
    build_dir: str = ""


def options(args: list[str]) -> Options:
    """The release's command line, read as bash read it: an option is
    refused as it comes, one without its value first."""
    sign_args: list[str] = []
    asks, supplier, build_dir = False, "", ""
    signs = sign_option_takes_value()
    while args:
        option, args = args[0], args[1:]
        flag = not signs.get(option, True)
        if not flag and not args:
            raise UsageError(f"{option} needs a value")
        taken, args = ([], args) if flag else (args[:1], args[1:])
        if option == "--supplier":
            supplier = taken[0]
        elif option == "--build-dir":
            build_dir = from_caller(taken[0])
        elif option in signs and option not in NOT_PASSED:
            sign_args += [option, *taken]
            asks = asks or option not in VERIFYING
        else:
            raise UsageError(f"unknown argument {quoted(option)} "
                             "(see the comment at the top of scripts/release)")
    return Options(tuple(sign_args), asks, supplier, build_dir)


@dataclasses.dataclass(frozen=True)
class Work:
    """The release's work folder, locked: PATH, absolute."""
    path: str

    @property
    def staged(self) -> str:
        return os.path.join(self.path, "dist")


def held_root(root: str) -> int:
    """build/release-work, a folder and not a link (whose target's folders
    would go), opened as itself."""
    if not os.path.islink(root):
        os.makedirs(root, exist_ok=True)
    shown = os.path.relpath(root, ROOT)
    if os.path.islink(root):
        raise Refusal(f"{shown} is a symbolic link: it holds the releases' work folders")
    fd: int = folder.open_folder(root)
    if not stat.S_ISDIR(os.lstat(root).st_mode) or not os.path.samestat(os.lstat(root), os.fstat(fd)):
        os.close(fd)
        raise Refusal(f"{shown} is a symbolic link or not a folder: it holds the releases' work folders")
    return fd


@contextlib.contextmanager
def work_folder(root: str = os.path.join(ROOT, "build", "release-work")) -> Iterator[Work]:
    """A new work folder under build/release-work, locked until the end,
    when it goes. build/release-work is locked from the scan for folders no
    running release holds (which go) until this one holds its own, so that
    two releases never take each other's new folder for a stale one."""
    root_fd = held_root(root)
    work_fd = lock_fd = -1
    try:
        fcntl.flock(root_fd, fcntl.LOCK_EX)
        folder.remove_unheld(root_fd, "")
        name, work_fd, lock_fd = folder.make_work(root_fd, "")
        fcntl.flock(root_fd, fcntl.LOCK_UN)
        try:
            yield Work(os.path.join(root, name))
        finally:
            shutil.rmtree(name, dir_fd=root_fd, ignore_errors=True)
    finally:
        for fd in (lock_fd, work_fd, root_fd):
            if fd >= 0:
                os.close(fd)


@contextlib.contextmanager
def temporary_folder(path: str) -> Iterator[None]:
    """PATH as TMPDIR, for this process (the signing's temporary files)
    and the programs it runs."""
    os.environ["TMPDIR"] = path
    tempfile.tempdir = None
    try:
        yield
    finally:
        tempfile.tempdir = None


# sign, in this process. (Bash ran scripts/sign --as release twice; its
# line of failure was the release's, and so it is.)

def check_key(o: Options) -> None:
    """sign's checks of the key, its chain and the time-stamp servers,
    before the build takes its minute."""
    sign.main(["--check", *o.sign_args], "release")


def sign_staged(o: Options, staged: str) -> str:
    """The staged release signed in place: what sign says of it."""
    with open(os.path.join(staged, "SHA256SUMS"), "rb") as sums:
        own = hashlib.sha256(sums.read()).hexdigest()
    said = sign.main([staged, "--expect-sha256", own, *o.sign_args, *(["--supplier", o.supplier] * bool(o.supplier))],
                     "release")
    # What follows fails as the release's, not as a signing of the staged
    # folder (which no one sees: it goes with the work folder).
    signing.signed_dir = None
    return said or ""


# The release's folder, by what the package's command layer does with one
# (SHA256SUMS written, the exchange into place).

def write_sums(staged: str) -> None:
    from . import cli  # (cli registers this module's command)
    cli.sums([staged], "release")


def put_in_place(staged: str) -> None:
    """STAGED takes dist/'s place in one step, whole: what an earlier
    release left there goes with it, so that SHA256SUMS speaks for every
    file in dist/."""
    from . import cli
    os.chdir(ROOT)  # (the refusal names dist/ as the caller knows it; no caller's path is read after this)
    cli.exchange([staged, "dist"], "release")


def build(o: Options, work: Work, commit: str) -> str:
    """launcher.exe built from COMMIT in a fresh clone, from the pinned Boost
    tarball, checked first; its path."""
    pin = pins.read()
    pins.check_tarball(pin, pin.kept_tarball)
    built = tools.program_shown(os.path.join(ROOT, "scripts", "clean-build"), o.build_dir or work.path + "/source",
                                commit, cwd=ROOT)
    return built.rstrip("\n")


def stage(o: Options, work: Work, commit: str, built: str) -> None:
    """The unsigned release in the work folder: the built file, its notices
    and bill of materials, BUILDINFO and SHA256SUMS."""
    os.mkdir(work.staged)
    shutil.copy(built, os.path.join(work.staged, "launcher.exe"))
    notices.write(o.build_dir or work.path + "/source", work.staged, commit, o.supplier)
    record = buildinfo.record(commit, built)
    with open(os.path.join(work.staged, "BUILDINFO"), "wb") as out:
        out.write(record)
    write_sums(work.staged)


def main(args: list[str]) -> None:
    o = options(args)
    # What is released must be a commit, so that anyone can rebuild it.
    if tools.program_output("git", "-C", ROOT, "status", "--porcelain"):
        raise Refusal("the work tree has uncommitted changes; commit or stash them: a release is built from a commit")
    with work_folder() as work, temporary_folder(work.path):
        if o.signing:
            check_key(o)
        # Read once, before the build's minute: the commit built is the
        # commit recorded, whatever HEAD does meanwhile.
        commit = tools.program_output("git", "-C", ROOT, "rev-parse", "HEAD").strip()
        built = build(o, work, commit)
        stage(o, work, commit, built)
        state = sign_staged(o, work.staged) if o.signing else UNSIGNED
        put_in_place(work.staged)
    with open(os.path.join(ROOT, "dist", "SHA256SUMS"), "rb") as sums:
        summed = sums.read()
    print(f"release of {commit}: dist/launcher.exe, {state}")
    print(summed.decode(), end="")
    if not o.signing:
        print(f"SHA-256 of dist/SHA256SUMS, for scripts/sign --expect-sha256: {hashlib.sha256(summed).hexdigest()}")

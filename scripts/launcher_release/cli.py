"""The commands; each ends on one line when it refuses or fails.
    sign ARGS... | verify ARGS...    scripts/sign, scripts/verify
    sums DIR                         writes DIR/SHA256SUMS of its files
    exchange FROM TO                 FROM takes TO's place in one step
    buildinfo COMMIT EXE             prints EXE's BUILDINFO
    release ARGS...                  scripts/release, after its set-up
    notices DIR OUT_DIR COMMIT [SUPPLIER]   scripts/notices
    buildinfo-plan BUILDINFO         scripts/reproducible --buildinfo's
        comparison: a line for each difference, then "COMMIT SHA256"
Any command may start with --as NAME, the name its lines begin with.
"""
import argparse
import os
import resource
import signal
import sys
from collections.abc import Callable
from types import FrameType
from typing import NoReturn, Optional

from . import buildinfo, files, folder, notices, release, sign, signing, verify
from .errors import Refusal, Unreadable, UsageError
from .options import Parser
from .text import errno_text

USAGE = "usage: /usr/bin/python3 -I scripts/launcher_release [--as NAME] COMMAND ARGS..., COMMAND one of {}"


def arguments(args: list[str], usage: str, *names: str) -> argparse.Namespace:
    """ARGS as the positional arguments NAMES, exactly so many; else USAGE.
    (After "--": a path that starts with "-" is a path here, not an option.)"""
    parser = Parser(usage)
    for name in names:
        parser.add_argument(name)
    try:
        return parser.parse_args(["--", *args])
    except argparse.ArgumentError:
        # (Python 3.13 raises this for words too many, where 3.11 calls
        # Parser.error.)
        raise UsageError(usage) from None


def sums(args: list[str], name: str) -> None:
    path = arguments(args, "usage: sums DIR", "dir").dir
    fd = folder.open_folder(path)
    read = {}
    for file in files.SUMMED:
        try:
            read[file] = files.read_file(fd, file)
        except Unreadable as why:
            raise Refusal(f"{path}/{file} is not a release's file ({why})") from None
    files.write_files(fd, {"SHA256SUMS": files.sums(read)})


def exchange(args: list[str], name: str) -> None:
    got = arguments(args, "usage: exchange FROM TO", "source", "target")
    try:
        if os.path.lexists(got.target):
            folder.exchange(folder.AT_FDCWD, got.source, folder.AT_FDCWD, got.target)
        else:
            os.rename(got.source, got.target)
    except OSError as error:
        raise Refusal(f"cannot put the release in place of {got.target}/: {errno_text(error)}") from None


def sign_command(args: list[str], name: str) -> None:
    line = sign.main(args, name)
    if line is not None:
        print(line)


def buildinfo_command(args: list[str], name: str) -> None:
    got = arguments(args, "usage: buildinfo COMMIT EXE", "commit", "exe")
    sys.stdout.buffer.write(buildinfo.record(got.commit, got.exe))


COMMANDS: dict[str, Callable[[list[str], str], None]] = {
    "sign": sign_command,
    "verify": lambda args, name: print(verify.main(args, name)),
    "sums": sums,
    "exchange": exchange,
    "buildinfo": buildinfo_command,
    "release": lambda args, name: release.main(args),
    "notices": lambda args, name: notices.main(args),
    "buildinfo-plan": lambda args, name: print(*buildinfo.plan_main(args), sep="\n"),
}


def _stop(number: int, frame: Optional[FrameType]) -> NoReturn:
    raise KeyboardInterrupt(signal.Signals(number).name)


def _harden() -> None:
    # No core file while the key or the PIN is in memory: ours, the engine's
    # and osslsigncode's (they inherit it).
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGHUP, _stop)
    # A signer's name in a terminal that cannot show it (Latin-1, say) is
    # shown escaped, rather than failing the report of a done signing.
    for stream in (sys.stdout, sys.stderr):
        if stream and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    # A closed standard stream's number would go to the next file opened,
    # which a tool would then take for its output.
    for number in (0, 1, 2):
        try:
            os.fstat(number)
        except OSError:
            os.open(os.devnull, os.O_RDWR)


def main(command: str, args: list[str]) -> None:
    """A refusal, or any other error, prints one line and exits 1: the work
    folder goes (finally), and the key was reachable only through a release
    that every check passed."""
    name = command if command in COMMANDS else "launcher_release"
    if args[:1] == ["--as"] and len(args) > 1:
        name, args = args[1], args[2:]
    _harden()
    # Nothing is signed yet: what a failure says depends on this run alone
    # (the release tests run one command after another in one process).
    signing.signed_dir = None
    try:
        if command not in COMMANDS:
            raise UsageError(USAGE.format(", ".join(COMMANDS)))
        COMMANDS[command](args, name)
        if sys.stdout:
            sys.stdout.flush()
    except Refusal as refusal:
        _say(f"{name}: {refusal}")
    except BaseException as error:  # anything, KeyboardInterrupt included
        if isinstance(error, SystemExit) and not error.code:
            raise
        if signing.signed_dir is not None:
            _say(f"{name}: {sign.after_exchange(signing.signed_dir, error)}")
        what = " ".join(f"{type(error).__name__}: {error}".split())
        _say(f"{name}: stopped by an error it did not expect, nothing signed or changed ({what})")


def _say(line: str) -> NoReturn:
    """LINE on standard error, and exit 1; what standard output could not
    take (a closed pipe, a full disk) is dropped, not reported again by
    Python as it exits."""
    try:
        if sys.stdout:
            sys.stdout.flush()
    except OSError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if sys.stderr:
        print(line, file=sys.stderr)
    sys.exit(1)

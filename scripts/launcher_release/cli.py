"""The commands; each ends on one line when it refuses or fails.
    sign ARGS... | verify ARGS...    scripts/sign, scripts/verify
    sums DIR                         writes DIR/SHA256SUMS of its files
    exchange FROM TO                 FROM takes TO's place in one step
    work-folder ROOT FD              (ROOT, open as FD) removes the work
        folders no running release holds, holding FD's lock, and prints a
        new one for the caller to lock before it lets go of FD
    buildinfo COMMIT EXE             prints EXE's BUILDINFO
    release ARGS...                  scripts/release, after its set-up
    notices DIR OUT_DIR COMMIT [SUPPLIER]   scripts/notices
    buildinfo-plan BUILDINFO         scripts/reproducible --buildinfo's
        comparison: a line for each difference, then "COMMIT SHA256"
"""
import fcntl
import os
import resource
import signal
import stat
import sys

from . import buildinfo, folder, notices, release, sign, verify
from .folder import Refusal


def sums(path):
    fd = folder.open_folder(path)
    files = {}
    for name in folder.SUMMED:
        files[name], why = folder.read_file(fd, name)
        if why:
            raise Refusal(f"{path}/{name} is not a release's file ({why})")
    folder.write_files(fd, {"SHA256SUMS": folder.sums(files)})


def exchange(source, target):
    try:
        if os.path.lexists(target):
            folder.exchange(folder.AT_FDCWD, source, folder.AT_FDCWD, target)
        else:
            os.rename(source, target)
    except OSError as error:
        raise Refusal(f"cannot put the release in place of {target}/: {folder.errno_text(error)}") from None


def work_folder(root, fd):
    fd = int(fd)
    if not stat.S_ISDIR(os.lstat(root).st_mode) or not os.path.samestat(os.lstat(root), os.fstat(fd)):
        raise Refusal(f"{root} is a symbolic link or not a folder: it holds the releases' work folders")
    # Held until the caller has locked its own folder, so that two releases
    # never take each other's new folder for a stale one.
    fcntl.flock(fd, fcntl.LOCK_EX)
    folder.remove_unheld(fd, "")
    name, _, _ = folder.make_work(fd, "")
    print(os.path.abspath(root) + "/" + name)


COMMANDS = {"sign": lambda args, name: sign.main(args, name),
            "verify": lambda args, name: print(verify.main(args, name)),
            "sums": lambda args, name: sums(*args),
            "exchange": lambda args, name: exchange(*args),
            "work-folder": lambda args, name: work_folder(*args),
            "buildinfo": lambda args, name: sys.stdout.buffer.write(buildinfo.record(*args)),
            "release": lambda args, name: release.main(args),
            "notices": lambda args, name: notices.main(args),
            "buildinfo-plan": lambda args, name: print(*buildinfo.plan_main(args), sep="\n")}


def _stop(number, frame):
    raise KeyboardInterrupt(signal.Signals(number).name)


def main(command, args):
    """A refusal, or any other error, prints one line and exits 1: the work
    folder goes (finally), and the key was reachable only through a release
    that every check passed."""
    name = command
    if args[:1] == ["--as"] and len(args) > 1:
        name, args = args[1], args[2:]
    # No core file while the key or the PIN is in memory: ours, the engine's
    # and osslsigncode's (they inherit it).
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGHUP, _stop)
    # A signer's name in a terminal that cannot show it (Latin-1, say) is
    # shown escaped, rather than failing the report of a done signing.
    for stream in (sys.stdout, sys.stderr):
        if stream:
            stream.reconfigure(errors="backslashreplace")
    # A closed standard stream's number would go to the next file opened,
    # which a tool would then take for its output.
    for number in (0, 1, 2):
        try:
            os.fstat(number)
        except OSError:
            os.open(os.devnull, os.O_RDWR)
    try:
        COMMANDS[command](args, name)
        if sys.stdout:
            sys.stdout.flush()
    except Refusal as refusal:
        _say(f"{name}: {refusal}")
    except BaseException as error:  # anything, KeyboardInterrupt included
        if isinstance(error, SystemExit) and not error.code:
            raise
        if sign.signed_dir is not None:
            _say(f"{name}: {sign.after_exchange(sign.signed_dir, error)}")
        what = " ".join(f"{type(error).__name__}: {error}".split())
        _say(f"{name}: stopped by an error it did not expect, nothing signed or changed ({what})")


def _say(line):
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

"""How the release tests run commands: the helpers' own, which must work
(sh), and the scripts under test as a user runs them (run), alone, under a
spy or in a mount namespace of their own, or in pytest's process. The
scripts come from RELEASE_SCRIPTS_ROOT (default: this checkout), so that
the same rows judge any version of them."""
import contextlib
import os
import shlex
import shutil
import signal
import subprocess
import sys

import pytest

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = os.environ.get("RELEASE_SCRIPTS_ROOT", CHECKOUT)
# The release package, importable by every test module (conftest imports
# this one first).
sys.path.insert(0, os.path.join(ROOT, "scripts"))


def sh(*args, **kw):
    """A helper's own command, which must work."""
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, **kw)


# How the rows run the Python entries: isolated, as their first line does,
# and with every Python warning an error, so that a deprecation in any
# Debian's libraries fails a row instead of reaching a user's terminal.
PYTHON = ["/usr/bin/python3", "-I", "-W", "error"]


def entry(root, tool):
    """The command line of scripts/TOOL."""
    path = os.path.join(root, "scripts", tool)
    with open(path, "rb") as script:
        return PYTHON + [path] if script.readline().startswith(b"#!/usr/bin/python3") else [path]


def run(tool, *args, root=ROOT, timeout=300, wrap=(), as_is=False, **kw):
    """scripts/TOOL (under WRAP, a command that runs another) in a session
    of its own: no terminal to ask on, and nothing outlives a timed-out row.
    AS_IS: by its own first line, as a user starts it, not under PYTHON."""
    command = [os.path.join(root, "scripts", tool)] if as_is else entry(root, tool)
    with subprocess.Popen([*wrap, *command, *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, start_new_session=True,
                          **kw) as process:
        try:
            out, err = process.communicate(timeout=timeout)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def own_mounts(*mounts):
    """What runs a command in a mount namespace of its own, with MOUNTS
    (mount's arguments, each ending at its target) made there first; a
    row is skipped where none can be made: without root, or in a chroot,
    whose / is no mount point to make private."""
    if os.geteuid() != 0:
        pytest.skip("a mount namespace of its own takes root")
    if subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True).returncode:
        pytest.skip("no private mount namespace here: / is no mount point (a chroot whose root is not mounted)")
    made = " && ".join(f'mount {" ".join(map(shlex.quote, map(str, m)))}' for m in mounts)
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", f'{made} && exec "$@"', "sh"]


def with_spy(tmp, script, env=None):
    """What runs a command whose /usr/bin/osslsigncode is SCRIPT, which runs
    the real one as $REAL_OSSLSIGNCODE: the signing takes its tools from
    the system's folders alone, so the spy is mounted there, in a mount
    namespace of the command's own. ENV: variables the script is given
    (written into it: the signing runs its tools with an environment of
    its own, not the caller's)."""
    script = script.replace("\n", "\n" + "".join(f"export {k}={shlex.quote(str(v))}\n"
                                                 for k, v in (env or {}).items()), 1)
    wrap = own_mounts(["--bind", tmp / "spy/osslsigncode", "/usr/bin/osslsigncode"])
    (tmp / "spy").mkdir()
    shutil.copy("/usr/bin/osslsigncode", tmp / "spy/real-osslsigncode")
    (tmp / "spy/osslsigncode").write_text(script.replace("/usr/bin/osslsigncode", f"{tmp}/spy/real-osslsigncode"))
    (tmp / "spy/osslsigncode").chmod(0o755)
    return wrap


def in_process(monkeypatch, command, *args, before_tool=lambda args: None):
    """scripts/COMMAND ARGS run in this process (its standard error goes to
    capsys), calling BEFORE_TOOL with the arguments of each tool it runs
    just before: the exit status. (Not here, where other tests run: its
    hard core limit of 0 and its SIGTERM and SIGHUP handlers.)"""
    from launcher_release import cli, tools
    real, handle = tools.run, signal.signal

    def watched(*args, **kw):
        before_tool(args)
        return real(*args, **kw)
    monkeypatch.setattr(tools, "run", watched)
    monkeypatch.setattr(cli.resource, "setrlimit", lambda *_: None)
    monkeypatch.setattr(cli.signal, "signal", lambda number, handler: None if number in (
        signal.SIGTERM, signal.SIGHUP) else handle(number, handler))
    try:
        cli.main(command, [str(a) for a in args])
    except SystemExit as stop:
        return stop.code
    return 0

"""Interruption and a full disk: DIR holds the unsigned release as it was
or the whole signed one, whenever scripts/sign stops; what a killed run
leaves beside DIR goes with the next one, and nothing it started outlives
it; a DIR that is a mount point, whose folder cannot be exchanged, is
refused before the key is touched."""
import contextlib
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import time

import pytest

from commands import ROOT, entry, sh, with_spy
from judging import one_line, state
from releases import sign, sign_args, verify

# The reason in the signer's refusal of a mount point; the rest of the line
# names the folder and says why it cannot be exchanged.
MOUNT_POINT = "is a mount point"
SIGNED = ("launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO", "SHA256SUMS", "SHA256SUMS.p7s",
          "SHA256SUMS.p7s.tsr")


@contextlib.contextmanager
def mounted(at, size_k, bound=None):
    """A tmpfs of SIZE_K KiB at AT, or the folder BOUND bind-mounted there."""
    at.mkdir(exist_ok=bound == at)
    mount = ["--bind", bound] if bound else ["-t", "tmpfs", "-o", f"size={size_k}k,mode=0755", "tmpfs"]
    if os.geteuid() != 0 or subprocess.run(["mount", *mount, at], capture_output=True).returncode != 0:
        pytest.skip("mounting a small file system takes root, with mounts allowed")
    try:
        yield at
    finally:
        subprocess.run(["umount", at])


def left_beside(dir):
    return [n for n in os.listdir(dir.parent) if n.startswith(f".{dir.name}.signing")]


def test_stopped_as_it_puts_the_release_in_place(release, pki):
    before = state(release.dir)
    # By name or through its folder, opened once.
    paths = [f"-P{p}" for p in (release.dir, release.dir / "launcher.exe", release.dir / "SHA256SUMS", release.tmp)]
    calls = "rename,renameat,renameat2"
    done = sign(release.dir, pki, anchor=release.sums, timestamp=False,
                wrap=["strace", "-f", "-qq", "-o", "/dev/null", *paths, "-e", f"trace={calls}",
                      "-e", f"inject={calls}:signal=KILL"])
    # Killed itself, or it saw the step that did the exchange killed.
    if done.returncode in (-9, 128 + 9):
        assert done.stderr == ""
        for name in left_beside(release.dir):
            shutil.rmtree(release.dir.parent / name)
    else:
        one_line(done, "cannot put the signed release in place")
    assert state(release.dir) == before


# row: room on the disk beyond the release, in KiB, and the wording: room for
# the release and not its copy, or for the copy and not the signed release,
# which is found before the key is used
FULL_DISKS = {"no-room-for-the-copy": (8, "No space left on device"),
              "no-room-to-sign": (16 + 64, "not enough room beside")}


@pytest.mark.parametrize("row", FULL_DISKS)
def test_full_disk(row, release, pki):
    more, wording = FULL_DISKS[row]
    size = sum(os.stat(f).st_blocks // 2 for f in release.dir.iterdir())
    with mounted(release.tmp / "small", more + size * (1 + (row == "no-room-to-sign"))):
        dir = release.tmp / "small" / "rel"
        shutil.copytree(release.dir, dir)
        before, hits = state(dir), len(pki.tsa_hits)
        one_line(sign(dir, pki, anchor=release.sums), wording)
        assert state(dir) == before and len(pki.tsa_hits) == hits


# (bind-onto-itself: on the same device as its parent, which a check of
# st_dev takes for no mount point; the exchange then fails, busy.)
@pytest.mark.parametrize("row", ["tmpfs", "bind-onto-itself"])
def test_mount_point_refused_before_the_key(row, release, pki):
    with mounted(release.dir if row != "tmpfs" else release.tmp / "mnt", 4096,
                 bound=release.dir if row != "tmpfs" else None) as dir:
        if row == "tmpfs":
            for f in release.dir.iterdir():
                shutil.copy(f, dir)
        before, hits = state(dir), len(pki.tsa_hits)
        one_line(sign(dir, pki, anchor=release.sums), MOUNT_POINT)
        assert state(dir) == before and len(pki.tsa_hits) == hits


SLOW_SIGNER = """#!/bin/sh
[ "$1" != sign ] || { echo $$ >"$SIGNER_PID"; sleep 30; }
exec /usr/bin/osslsigncode "$@"
"""


def dead(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def wait_for(condition, seconds):
    end = time.time() + seconds
    while not condition() and time.time() < end:
        time.sleep(0.1)
    return condition()


@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGTERM])
def test_killed_sign_takes_its_children_and_is_cleaned_up(stop, release, pki):
    pid_file = release.tmp / "signer.pid"
    args = sign_args(release.dir, pki, anchor=release.sums, timestamp=False)
    before = {f.name: f.read_bytes() for f in release.dir.iterdir()}
    spy = with_spy(release.tmp, SLOW_SIGNER, {"SIGNER_PID": pid_file})
    signing = subprocess.Popen([*spy, *entry(ROOT, "sign"), *args],
                               start_new_session=True, env=dict(os.environ, SIGNER_PID=str(pid_file)),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: pid_file.exists() and pid_file.read_text().strip(), 30)
        signer = int(pid_file.read_text())
        signing.send_signal(stop)
        out, err = signing.communicate()
        assert wait_for(lambda: dead(signer), 3), "osslsigncode outlived the signing that started it"
        if stop == signal.SIGTERM:
            # As any failure: one line, DIR as it was, nothing left beside it.
            one_line(subprocess.CompletedProcess(args, signing.returncode, out, err), "nothing signed or changed")
            assert {f.name: f.read_bytes() for f in release.dir.iterdir()} == before
            assert left_beside(release.dir) == []
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(signing.pid, signal.SIGKILL)
    done = sign(release.dir, pki, anchor=release.sums, timestamp=False)
    assert done.returncode == 0, done.stderr
    assert left_beside(release.dir) == []


@pytest.fixture(scope="session")
def latin_1(tmp_path_factory, pki):
    """A Latin-1 locale, and a PKCS#12 signer whose organisation it cannot
    show: Studio Łódź."""
    d = tmp_path_factory.mktemp("latin-1")
    if subprocess.run(["localedef", "-i", "en_US", "-f", "ISO-8859-1", d / "en_US.ISO-8859-1"],
                      capture_output=True).returncode != 0:
        pytest.skip("localedef makes no Latin-1 locale here (Debian's locales package has its sources)")
    sh("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d / "key", "-out", d / "csr", "-utf8",
       "-subj", "/O=Studio Łódź/CN=Throwaway Łódź signer")
    sh("openssl", "x509", "-req", "-in", d / "csr", "-CA", pki.ca, "-CAkey", pki.key["ca"], "-days", "2",
       "-extfile", pki.dir / "signer.ext", "-out", d / "crt")
    sh("openssl", "pkcs12", "-export", "-inkey", d / "key", "-in", d / "crt", "-certfile", pki.ca,
       "-passout", f"file:{pki.password}", "-out", d / "p12")
    return d


# row: standard output as the signing finds it when it reports, and what it
# must say: a failure to report comes after the exchange, when DIR is
# signed; the signed release has its modes whatever the umask.
# (signal-in-clean-up: a SIGTERM as the work folder is removed, which is
# the first file the signing itself removes.)
REPORTS = {"closed-pipe": "is signed, but", "full-disk": "is signed, but", "latin-1-terminal": None, "umask-000": None,
           "signal-in-clean-up": "is signed, but"}


@pytest.mark.parametrize("row", REPORTS)
def test_signed_release_reported_as_signed(row, release, pki, request):
    key, signer, env, umask, wrap = pki.p12_key, pki.valid, dict(os.environ), None, []
    with contextlib.ExitStack() as closing:
        out = subprocess.PIPE
        if row == "closed-pipe":
            read, out = os.pipe()
            os.close(read)
            closing.callback(os.close, out)
        elif row == "full-disk":
            out = closing.enter_context(open("/dev/full", "wb"))
        elif row == "latin-1-terminal":
            d = request.getfixturevalue("latin_1")
            key, signer = ["--pkcs12", d / "p12", "--password-file", pki.password], d / "crt"
            env.update(LOCPATH=str(d), LC_ALL="en_US.ISO-8859-1")
        elif row == "signal-in-clean-up":
            wrap = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=unlinkat", "-e",
                    "inject=unlinkat:signal=TERM:when=1"]
        else:
            umask = 0
        done = subprocess.run([*wrap, *entry(ROOT, "sign"), *sign_args(release.dir, pki, anchor=release.sums, key=key)],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE, env=env,
                              preexec_fn=None if umask is None else lambda: os.umask(umask))
    err = done.stderr.decode("latin-1")
    if REPORTS[row]:
        one_line(subprocess.CompletedProcess(done.args, done.returncode, "", err), REPORTS[row])
    else:
        assert done.returncode == 0 and err == "" and b"signed by " in done.stdout, err
    checked = verify(release.dir, pki, signer)
    assert checked.returncode == 0, checked.stderr
    assert stat.S_IMODE(os.stat(release.dir).st_mode) == 0o755
    assert {f.name: stat.S_IMODE(f.stat().st_mode) for f in release.dir.iterdir()} == dict.fromkeys(SIGNED, 0o644)

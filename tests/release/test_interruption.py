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
import subprocess
import time

import pytest

from conftest import ROOT, entry, one_line, sign, sign_args, state, with_spy

# Not fixed by the bash scripts these replace: wording the signer matches.
MOUNT_POINT = "is a mount point"


@contextlib.contextmanager
def mounted(at, size_k):
    at.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_k}k,mode=0755", "tmpfs",
                                            at], capture_output=True).returncode != 0:
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


def test_full_disk(release, pki):
    # Room for the release, not for its copy.
    with mounted(release.tmp / "small", 8 + sum(os.stat(f).st_blocks // 2 for f in release.dir.iterdir())):
        dir = release.tmp / "small" / "rel"
        shutil.copytree(release.dir, dir)
        before = state(dir)
        one_line(sign(dir, pki, anchor=release.sums, timestamp=False), "No space left on device")
        assert state(dir) == before


def test_mount_point_refused_before_the_key(release, pki):
    with mounted(release.tmp / "mnt", 4096) as dir:
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


def test_killed_sign_takes_its_children_and_is_cleaned_up(release, pki):
    pid_file = release.tmp / "signer.pid"
    args = sign_args(release.dir, pki, anchor=release.sums, timestamp=False)
    signing = subprocess.Popen([*with_spy(release.tmp, SLOW_SIGNER), *entry(ROOT, "sign"), *args],
                               start_new_session=True, env=dict(os.environ, SIGNER_PID=str(pid_file)),
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: pid_file.exists() and pid_file.read_text().strip(), 30)
        signer = int(pid_file.read_text())
        signing.kill()
        signing.wait()
        assert wait_for(lambda: dead(signer), 3), "osslsigncode outlived the signing that started it"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(signing.pid, signal.SIGKILL)
    done = sign(release.dir, pki, anchor=release.sums, timestamp=False)
    assert done.returncode == 0, done.stderr
    assert left_beside(release.dir) == []

"""Shared folders: scripts/sign refuses, before the key is touched, a DIR
that another user could change, or whose folders above could be changed
(another user's, or writable by a group with other members or by others
without the sticky bit): such a user can swap the checked copy for one of
their own. scripts/release touches only work folders of its own."""
import fcntl
import os
import pwd
import shutil
import subprocess

import pytest

from conftest import PYTHON, ROOT, one_line, run, sign, state

# Not fixed by the bash scripts these replace: wording the tools match.
SHARED = "sign a copy in a folder only you can change"
LINKED = "build/release-work is a symbolic link"
PEER = "release-peer"


@pytest.fixture(scope="session")
def peer():
    """Another user, whose own group it is a member of."""
    if os.geteuid() != 0:
        pytest.skip("another user to share folders with takes root to make")
    made = subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", PEER],
                          capture_output=True).returncode == 0
    yield pwd.getpwnam(PEER)
    if made:
        subprocess.run(["userdel", PEER], check=True)


# row: the folders from the one beside DIR's upward: (mode, owned by the peer, group the peer's)
SHARED_FOLDERS = {
    "group-writable-parent": [(0o775, False, True)],
    "others-writable-parent": [(0o777, False, False)],
    "parent-of-another-user": [(0o755, True, False)],
    "group-writable-grandparent": [(0o755, False, False), (0o775, False, True)],
    "group-writable-dir": [],
}


@pytest.mark.parametrize("row", SHARED_FOLDERS)
def test_shared_folder_refused_before_the_key(row, release, pki, peer):
    levels = SHARED_FOLDERS[row]
    top = release.tmp / "shared"
    path = top
    for _ in levels[1:]:
        path = path / "inner"
    path.mkdir(parents=True)
    dir = path / "rel"
    shutil.copytree(release.dir, dir)
    folder = path
    for mode, theirs, their_group in levels:
        os.chown(folder, peer.pw_uid if theirs else 0, peer.pw_gid if their_group else 0)
        folder.chmod(mode)
        folder = folder.parent
    if not levels:
        os.chown(dir, 0, peer.pw_gid)
        dir.chmod(0o775)
    before, hits = state(dir), len(pki.tsa_hits)
    one_line(sign(dir, pki, anchor=release.sums), SHARED)
    assert state(dir) == before and len(pki.tsa_hits) == hits


def test_linked_work_folder_refused(clone, caches, tmp_path):
    # Held by no release: bash removed it, under the link's target.
    (tmp_path / "target" / "other").mkdir(parents=True)
    (tmp_path / "target" / "other" / "lock").touch()
    shutil.rmtree(clone / "build", ignore_errors=True)
    (clone / "build").mkdir()
    (clone / "build" / "release-work").symlink_to(tmp_path / "target")
    try:
        one_line(run("release", root=clone, cwd=clone, env=dict(os.environ, XDG_CACHE_HOME=str(caches["altered-cache"]))),
                 LINKED)
    finally:
        (clone / "build" / "release-work").unlink()
    assert os.listdir(tmp_path / "target") == ["other"] and os.listdir(tmp_path / "target" / "other") == ["lock"]


# row: a work folder an earlier release left, and whether the next one keeps it
LEFT = {"stale": False, "lock-is-a-fifo": True, "link-to-a-stale-one": True}


@pytest.mark.parametrize("row", LEFT)
def test_release_removes_only_its_own(row, tmp_path):
    work = tmp_path / "release-work"
    left = tmp_path / "outside" if row.startswith("link") else work / row
    left.mkdir(parents=True)
    (left / "lock").touch() if row != "lock-is-a-fifo" else os.mkfifo(left / "lock")
    if left != work / row:
        work.mkdir()
        (work / row).symlink_to(left)
    held = os.open(work, os.O_RDONLY | os.O_DIRECTORY)
    try:
        made = subprocess.run([*PYTHON, os.path.join(ROOT, "scripts/launcher_release"), "work-folder",
                               work, str(held)], pass_fds=[held], capture_output=True, text=True, check=True)
        assert (work / row).exists() == LEFT[row] == (left / "lock").exists() and os.path.isfile(made.stdout.strip() + "/lock")
        # build/release-work stays locked through the descriptor scripts/release
        # keeps until it holds its own folder's lock.
        other = os.open(work, os.O_RDONLY | os.O_DIRECTORY)
        with pytest.raises(BlockingIOError):
            fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.close(other)
    finally:
        os.close(held)

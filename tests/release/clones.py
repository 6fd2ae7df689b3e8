"""Clean clones to release from, and the caches their releases see."""
import glob
import os
import pathlib
import shutil
import subprocess

import pytest

from commands import ROOT, sh
from launcher_release import pins as boost_pin


def make_clone(repo):
    """A clean clone to release from, as a maintainer would, of the scripts'
    checkout with its work tree's changes committed: what is on disk."""
    sh("git", "clone", "--quiet", "--no-hardlinks", ROOT, repo)
    listed = sh("git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard").stdout
    sh("git", "-C", repo, "rm", "--quiet", "-r", ".")
    for name in filter(lambda n: n and os.path.lexists(os.path.join(ROOT, n)), listed.decode().split("\0")):
        os.makedirs(repo / os.path.dirname(name), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), repo / name, follow_symlinks=False)
    sh("git", "-C", repo, "add", "-A")
    if subprocess.run(["git", "-C", repo, "diff", "--cached", "--quiet"]).returncode:
        # At HEAD's time: two clones of one work tree hold one commit.
        when = "@" + sh("git", "-C", repo, "show", "-s", "--format=%ct", text=True).stdout.strip()
        sh("git", "-C", repo, "-c", "user.name=test", "-c", "user.email=test@localhost", "commit", "--quiet", "-m",
           "the work tree", env=dict(os.environ, GIT_AUTHOR_DATE=when, GIT_COMMITTER_DATE=when))
    return repo


@pytest.fixture(scope="session")
def clone(tmp_path_factory):
    return make_clone(tmp_path_factory.mktemp("clone") / "repo")


def cache(folder, pins, altered):
    """A cache in FOLDER: the real Wine prefixes and validator, a Boost tree
    that breaks any build made from it, and the pinned tarball (ALTERED: a
    byte longer)."""
    ours, theirs = folder / "quenby-launcher", pins["cache"]
    (ours / f"boost-{pins['version']}").mkdir(parents=True)
    (ours / f"boost-{pins['version']}/CMakeLists.txt").write_text(
        'message(FATAL_ERROR "the cached Boost tree was used")\n')
    (ours / "download").mkdir()
    for n in glob.glob("wineprefix-win*", root_dir=theirs) + ["cyclonedx-validator"] + \
            glob.glob("download/cyclonedx-cyclonedx-library-*", root_dir=theirs):
        (ours / n).symlink_to(os.path.join(theirs, n))
    kept, tarball = os.path.join(theirs, "download", pins["tarball"]), ours / "download" / pins["tarball"]
    if altered:
        tarball.write_bytes(pathlib.Path(kept).read_bytes() + b"\n")
    else:
        tarball.symlink_to(kept)


@pytest.fixture(scope="session")
def caches(tmp_path_factory):
    """Releases see caches of their own: the real Wine prefixes and pinned
    Boost tarball, beside a cached Boost tree that breaks any build made
    from it; the altered one's tarball is not the pinned one."""
    pin = boost_pin.read()
    pins = {"cache": pin.cache, "version": pin.version, "tarball": pin.tarball, "sha256": pin.tarball_sha256}
    made = {"pins": pins}
    for name in ("cache", "altered-cache"):
        made[name] = tmp_path_factory.mktemp(name)
        cache(made[name], pins, altered=name == "altered-cache")
    return made

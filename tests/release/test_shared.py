"""Shared folders: scripts/sign refuses, before the key is touched, a DIR
that another user could change, or whose folders above could be changed
(another user's, or writable by a group with other members or by others
without the sticky bit): such a user can swap the checked copy for one of
their own. scripts/release touches only work folders of its own."""
import contextlib
import fcntl
import os
import pathlib
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from commands import ROOT, in_process, own_mounts, run, sh
from judging import one_line, sha256, state
from releases import sign, sign_args, verify

# The words the rows match: the signer's advice, as docs/releasing.md quotes it,
# and scripts/release's refusal of a linked work folder.
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


# A second group entry with the signer's group's ID (groupadd -o), the peer
# a member: getgrgid returns the first entry, which has no members.
DUPLICATE_GROUP = "duplicate group"
# row: the folders from the one beside DIR's upward (from DIR itself for a
# row named *-dir): (mode, owned by the peer, group the peer's[, an ACL
# entry for setfacl, or DUPLICATE_GROUP])
SHARED_FOLDERS = {
    "group-writable-parent": [(0o775, False, True)],
    "others-writable-parent": [(0o777, False, False)],
    "parent-of-another-user": [(0o755, True, False)],
    "group-writable-grandparent": [(0o755, False, False), (0o775, False, True)],
    "group-writable-dir": [(0o775, False, True)],
    # Anyone could add a version.dll there, sticky bit or not.
    "others-writable-sticky-dir": [(0o1777, False, False)],
    # The sticky bit keeps others from renaming what is not theirs; the
    # folder's owner renames anything.
    "sticky-parent-of-another-user": [(0o1777, True, False)],
    # drwxrwxr-x+: mode bits of a group without other members, and an ACL.
    "acl-user-parent": [(0o775, False, False, f"u:{PEER}:rwx")],
    "acl-group-grandparent": [(0o755, False, False), (0o755, False, False, f"g:{PEER}:rwx")],
    "acl-user-dir": [(0o755, False, False, f"u:{PEER}:rwx")],
    "duplicate-group-id-parent": [(0o775, False, False, DUPLICATE_GROUP)],
    # ACLs of file systems these machines lack, as the kernel would give
    # them: (extended attribute, its value or the error reading it), here
    # in this process. CIFS's (Windows' ACLs, as cifs and Samba keep them)
    # are not judged, as NFSv4's are not; nor one of an unknown version or
    # one that cannot be read.
    "cifs-acl-parent": [(0o755, False, False, ("system.cifs_acl", b"\x01\x00\x04\x80"))],
    "ntacl-parent": [(0o755, False, False, ("system.ntacl", b"\x04\x00\x04\x00"))],
    "unknown-acl-version-parent": [(0o755, False, False, ("system.posix_acl_access", b"\x03\x00\x00\x00"))],
    "unreadable-acl-parent": [(0o755, False, False, ("system.posix_acl_access", OSError(5, "Input/output error")))],
}


@pytest.mark.parametrize("row", SHARED_FOLDERS)
def test_shared_folder_refused_before_the_key(row, release, pki, peer, monkeypatch, capsys):
    levels = SHARED_FOLDERS[row]
    top = release.tmp / "shared"
    path = top
    for _ in levels[1 + row.endswith("-dir"):]:
        path = path / "inner"
    path.mkdir(parents=True)
    dir = path / "rel"
    shutil.copytree(release.dir, dir)
    folder, wrap, xattr = dir if row.endswith("-dir") else path, [], None
    for mode, theirs, their_group, *more in levels:
        os.chown(folder, peer.pw_uid if theirs else 0, peer.pw_gid if their_group else 0)
        folder.chmod(mode)
        if more and isinstance(more[0], tuple):
            xattr = (str(folder), *more[0])
        elif more == [DUPLICATE_GROUP]:
            (release.tmp / "group").write_text(Path("/etc/group").read_text() + f"duplicate:x:0:{PEER}\n")
            wrap = own_mounts(["--bind", release.tmp / "group", "/etc/group"])
        elif more:
            if not shutil.which("setfacl"):
                pytest.skip("setfacl (Debian's acl, which scripts/setup installs) gives the ACL")
            subprocess.run(["setfacl", "-m", more[0], folder], check=True)
        folder = folder.parent
    before, hits = state(dir), len(pki.tsa_hits)
    if xattr:
        read = os.getxattr

        def getxattr(path, name, *args, **kw):
            if (str(path), name) != xattr[:2]:
                return read(path, name, *args, **kw)
            if isinstance(xattr[2], OSError):
                raise xattr[2]
            return xattr[2]
        monkeypatch.setattr(os, "getxattr", getxattr)
        status = in_process(monkeypatch, "sign", *sign_args(dir, pki, anchor=release.sums))
        one_line(subprocess.CompletedProcess([], status, "", capsys.readouterr().err), SHARED)
    else:
        one_line(sign(dir, pki, anchor=release.sums, wrap=wrap), SHARED)
    assert state(dir) == before and len(pki.tsa_hits) == hits


def test_linked_work_folder_refused(clone, caches, tmp_path):
    # Held by no release: a release that followed the link removed it.
    (tmp_path / "target" / "other").mkdir(parents=True)
    (tmp_path / "target" / "other" / "lock").touch()
    shutil.rmtree(clone / "build", ignore_errors=True)
    (clone / "build").mkdir()
    (clone / "build" / "release-work").symlink_to(tmp_path / "target")
    try:
        altered = dict(os.environ, XDG_CACHE_HOME=str(caches["altered-cache"]))
        one_line(run("release", root=clone, cwd=clone, env=altered),
                 LINKED)
    finally:
        (clone / "build" / "release-work").unlink()
    assert os.listdir(tmp_path / "target") == ["other"] and os.listdir(tmp_path / "target" / "other") == ["lock"]


# row: a work folder an earlier release left, and whether the next one keeps it
# (another-users: a stale one, of a throwaway user's; beside a DIR in a
# sticky folder, as the system's temporary folder is, every later signing
# of that DIR stopped on it.)
# (vanishing: another user's, gone between the listing and the look at it,
# in the work folders and in DIR: not an error, nothing to judge.)
LEFT = {"stale": False, "lock-is-a-fifo": True, "link-to-a-stale-one": True, "another-users": True,
        "vanishing": False}


@pytest.mark.parametrize("row", LEFT)
def test_release_removes_only_its_own(row, tmp_path, monkeypatch):
    work = tmp_path / "release-work"
    if row == "vanishing":
        from launcher_release import folder
        (work / "vanishing").mkdir(parents=True)
        (work / "regular").touch()
        listdir = os.listdir
        monkeypatch.setattr(folder.os, "listdir", lambda fd: listdir(fd) + ["vanishing-too"])
        held = os.open(work, os.O_RDONLY | os.O_DIRECTORY)
        try:
            folder.remove_unheld(held, "vanishing")
            assert folder.odd_entry(held) == "vanishing" and os.path.isdir(work / "vanishing")
            os.rmdir(work / "vanishing")
            assert folder.odd_entry(held) is None
        finally:
            os.close(held)
        return
    left = tmp_path / "outside" if row.startswith("link") else work / row
    left.mkdir(parents=True)
    (left / "lock").touch() if row != "lock-is-a-fifo" else os.mkfifo(left / "lock")
    if row == "another-users":
        if os.geteuid() != 0:
            pytest.skip("a folder of another user's takes root to make")
        for made in (left / "lock", left):
            os.chown(made, 4242, 4242)
    if left != work / row:
        work.mkdir()
        (work / row).symlink_to(left)
    from launcher_release import release
    with release.work_folder(str(work)) as made:
        assert (work / row).exists() == LEFT[row] == (left / "lock").exists()
        # The new folder's lock is held while the release runs, so that the
        # next release leaves the folder alone.
        lock = os.open(made.path + "/lock", os.O_RDONLY)
        try:
            with pytest.raises(BlockingIOError):
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(lock)
    assert not os.path.exists(made.path)


@pytest.fixture(scope="session")
def their_library(tmp_path_factory):
    """A library whose constructor leaves a mark when something loads it."""
    d = tmp_path_factory.mktemp("theirs")
    (d / "theirs.c").write_text(f'#include <stdio.h>\n__attribute__((constructor)) static void mark(void) '
                                f'{{ fclose(fopen("{d}/loaded", "w")); }}\n')
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", d / "theirs.so", d / "theirs.c"], check=True)
    return d


# row: the tool before whose run another user, who can rename what is in
# DIR's parent, renames the work folder away and puts one of their own under
# its name, with their build as the copy to sign, a link to a file of the
# signer's where an output goes, and an engine configuration that loads
# their library, beside links back into the real one. (Run here, in this
# process, to act at the moment each tool starts.)
# The caller-* rows: before the first tool runs, what the caller named
# (key, password or PIN, chain, CA files) is replaced by another signer's
# key, its password, a wrong PIN, and another root, which must change
# nothing: the tools get the bytes that were read and checked.
SWAPPED_BEFORE = {"engine": ("openssl", "pkeyutl"), "authenticode": ("osslsigncode", "sign"),
                  "authenticode-verify": ("osslsigncode", "verify"), "cms": ("openssl", "cms"),
                  "time-stamp": ("openssl", "ts"), "caller-pkcs12": ("openssl",), "caller-token": ("openssl",)}


def callers_files(release, pki, row):
    """The caller's copies of the key's files and CA files, their key
    arguments, and what swaps them all for others."""
    keys = release.tmp / "keys"
    keys.mkdir()
    names = {"ca.crt": pki.ca, "tsa-ca.crt": pki.ca, "password": pki.password, "valid.p12": pki.valid_p12,
             "token-chain.pem": pki.token_chain, "pin": pki.pin}
    for name, source in names.items():
        shutil.copy(source, keys / name)
    (keys / "other-password").write_text("another password\n")
    sh("openssl", "pkcs12", "-export", "-inkey", pki.key["token"], "-in", pki.token, "-certfile", pki.ca,
       "-passout", f"file:{keys / 'other-password'}", "-out", keys / "other.p12")
    others = {"ca.crt": pki.other, "tsa-ca.crt": pki.other, "password": keys / "other-password",
              "valid.p12": keys / "other.p12", "token-chain.pem": pki.valid, "pin": pki.wrong_pin}
    key = (["--pkcs12", keys / "valid.p12", "--password-file", keys / "password"] if row == "caller-pkcs12" else
           ["--pkcs11-module", pki.module, "--pkcs11-key", pki.uri, "--certs", keys / "token-chain.pem",
            "--pin-file", keys / "pin"])

    def swap():
        for name, source in others.items():
            (keys / name).write_bytes(pathlib.Path(source).read_bytes())
    return key + ["--tsa-ca-file", keys / "tsa-ca.crt"], ["--ca-file", keys / "ca.crt"], swap


def callers_files_swapped(row, release, pki, monkeypatch, capsys):
    """The caller's key and CA files swapped for others as the first tool
    starts: the signing has them already, signs with the caller's key and
    the release verifies."""
    key, ca, swap_files = callers_files(release, pki, row)
    swapped = []

    def swap_callers(args):
        if not swapped:
            swapped.append(args)
            swap_files()
    args = sign_args(release.dir, pki, "--crl-file", pki.crl, *ca, anchor=release.sums, key=key)
    status = in_process(monkeypatch, "sign", *args, before_tool=swap_callers)
    assert status == 0 and swapped, capsys.readouterr().err
    signer = pki.valid if row == "caller-pkcs12" else pki.token
    checked = verify(release.dir, pki, signer, "--crl-file", pki.crl)
    assert checked.returncode == 0, checked.stderr


def work_folder_swap(row, release, moved, theirs, victim, their_library):
    """What, just before the tool of ROW starts, moves the work folder to
    MOVED and puts in its place one of links to it, with THEIRS as the
    unsigned launcher.exe, the signature a link to VICTIM and an engine
    configuration loading their library."""
    def swap(args):
        if tuple(args[:2]) != SWAPPED_BEFORE[row] or moved.exists():
            return
        [work] = release.tmp.glob(".rel.signing-*")
        work.rename(moved)
        for sub in ("unsigned", "signed"):
            (work / sub).mkdir(parents=True)
        for name in os.listdir(moved / "unsigned"):
            (work / "unsigned" / name).symlink_to(moved / "unsigned" / name)
        for name in set(os.listdir(moved)) - {"unsigned", "signed"}:
            (work / name).symlink_to(moved / name)
        (work / "unsigned/launcher.exe").unlink()
        (work / "unsigned/launcher.exe").write_bytes(theirs)
        (work / "signed/SHA256SUMS.p7s").symlink_to(victim)
        with contextlib.suppress(FileNotFoundError):
            (work / "engine.cnf").unlink()
        (work / "engine.cnf").write_text("openssl_conf=init\n[init]\nengines=engines\n[engines]\npkcs11=pkcs11\n"
                                         f"[pkcs11]\nengine_id=pkcs11\nMODULE_PATH={their_library}/theirs.so\n")
    return swap


@pytest.mark.parametrize("row", SWAPPED_BEFORE)
def test_work_folder_swapped_before_a_tool(row, release, pki, their_library, monkeypatch, capsys):
    if row.startswith("caller-"):
        callers_files_swapped(row, release, pki, monkeypatch, capsys)
        return
    victim, moved = release.tmp / "victim", release.tmp / "moved"
    (their_library / "loaded").unlink(missing_ok=True)
    victim.write_text("the signer's own\n")
    victim.chmod(0o600)
    built = sha256(release.dir / "launcher.exe")
    theirs = bytearray((release.dir / "launcher.exe").read_bytes())
    theirs[0x500] ^= 1
    swap = work_folder_swap(row, release, moved, theirs, victim, their_library)
    key = pki.token_key + ["--pin-file", pki.pin]
    args = sign_args(release.dir, pki, "--crl-file", pki.crl, anchor=release.sums, key=key)
    status = in_process(monkeypatch, "sign", *args, before_tool=swap)
    assert status == 0 and moved.exists(), capsys.readouterr().err
    assert victim.read_text() == "the signer's own\n" and not (their_library / "loaded").exists()
    checked = verify(release.dir, pki, pki.token, "--crl-file", pki.crl)
    assert checked.returncode == 0, checked.stderr
    sh("osslsigncode", "remove-signature", "-in", release.dir / "launcher.exe", "-out", release.tmp / "stripped.exe")
    assert sha256(release.tmp / "stripped.exe") == built


def stray(signed, pki):
    (signed / "version.dll").write_bytes(b"MZ")


def changed(signed, pki):
    data = bytearray((signed / "launcher.exe").read_bytes())
    data[0x500] ^= 1
    (signed / "launcher.exe").write_bytes(data)


def signed_by_another(signed, pki):
    """What a token with a second key, or a key file that is not the
    certificate's, signs with: another signer the same root vouches for."""
    exe = signed / "launcher.exe"
    sh("osslsigncode", "remove-signature", "-in", exe, "-out", signed / "stripped")
    exe.unlink()
    sh("osslsigncode", "sign", "-pkcs12", pki.token_p12, "-readpass", pki.password, "-h", "sha256", "-ts",
       pki.tsa_url, "-in", signed / "stripped", "-out", exe)
    (signed / "stripped").unlink()


# row: the tool before whose run the signed folder is found changed (what
# is read back before the exchange: written before the last tool runs;
# what a tool signed: before it is verified), the change, and the wording
READ_BACK = {"stray-file": ("openssl ts", stray, "the signed release in"),
             "changed-launcher": ("openssl ts", changed, "the signed release's launcher.exe in"),
             # A second name, through which it could be changed once read.
             "launcher-hard-linked": ("osslsigncode verify",
                                      lambda signed, pki: os.link(signed / "launcher.exe", signed.parent / "linked"),
                                      "osslsigncode wrote no signed file of its own in"),
             "another-signer": ("osslsigncode verify", signed_by_another,
                                "the signed file is signed by CN = Throwaway token signer, O = Throwaway Studio, "
                                "not by the certificate in")}


@pytest.mark.parametrize("row", READ_BACK)
def test_signed_folder_read_back(row, release, pki, monkeypatch, capsys):
    tool, change, wording = READ_BACK[row]
    before = state(release.dir)

    def meddle(args):
        if " ".join(args[:2]) == tool:
            [work] = release.tmp.glob(".rel.signing-*")
            change(work / "signed", pki)
    status = in_process(monkeypatch, "sign", *sign_args(release.dir, pki, "--crl-file", pki.crl, anchor=release.sums),
                        before_tool=meddle)
    one_line(subprocess.CompletedProcess([], status, "", capsys.readouterr().err), wording)
    assert state(release.dir) == before


def test_another_users_work_folder_left_alone(release, pki):
    """A signer (a throwaway uid) signs a DIR in a sticky shared folder,
    as the system's temporary folder is, where another user made
    .rel.signing-zz/lock: it is theirs, left as it is, and no reason to
    stop (every signing of DIR stopped on it, PermissionError)."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("signing as a throwaway user takes root and setpriv")
    signer, other = 4242, 4343
    shared = Path(tempfile.mkdtemp(dir="/tmp"))
    try:
        shared.chmod(0o1777)
        keys, dir, theirs = shared / "keys", shared / "rel", shared / ".rel.signing-zz"
        shutil.copytree(release.dir, dir)
        keys.mkdir(mode=0o700)
        for name in ("valid.p12", "password", "ca.crt"):
            shutil.copy(pki.dir / name, keys / name)
        for path in [keys, dir, *keys.iterdir(), *dir.iterdir()]:
            os.chown(path, signer, signer)
        theirs.mkdir()
        (theirs / "lock").touch()
        for path in (theirs / "lock", theirs):
            os.chown(path, other, other)
        # The entries from a copy the signer can read, owned by root: the
        # checkout may lie where only root reads (a fresh root's /root).
        code = shared / "code"
        code.mkdir(mode=0o755)
        shutil.copytree(os.path.join(ROOT, "scripts"), code / "scripts",
                        ignore=shutil.ignore_patterns("__pycache__"))
        done = run("sign", dir, "--expect-sha256", release.sums, "--pkcs12", keys / "valid.p12", "--password-file",
                   keys / "password", "--no-timestamp", "--ca-file", keys / "ca.crt", cwd=shared, root=code,
                   wrap=["setpriv", f"--reuid={signer}", f"--regid={signer}", "--clear-groups"])
        assert done.returncode == 0, done.stderr
        assert os.listdir(theirs) == ["lock"] and (dir / "SHA256SUMS.p7s").exists()
    finally:
        shutil.rmtree(shared)

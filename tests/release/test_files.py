"""The release's files: scripts/sign signs a DIR that holds the five regular
files scripts/release wrote and nothing else, and refuses anything else in
one line, with DIR and everything beside it as they were and no time stamp
asked for (the key is touched after the time-stamp server is asked)."""
import os

import pytest

from judging import one_line, sha256, state
from releases import sign, write_sums

# What the signer and the verifier both say of a file too large; each goes on
# differently after it, so the rows match this part alone.
TOO_LARGE = "is larger than any file of a release"


def add(name, make):
    def prepare(rel, tmp):
        make(rel / name, tmp)
        return rel
    return prepare


def outside(tmp):
    (tmp / "outside").write_text("outside\n")
    return tmp / "outside"


def sums_lines(transform):
    def prepare(rel, tmp):
        write_sums(rel)
        (rel / "SHA256SUMS").write_bytes(transform((rel / "SHA256SUMS").read_bytes(), tmp))
        return rel
    return prepare


def beside_linked(rel, tmp):
    (tmp / "link").symlink_to("rel")
    return str(tmp / "link") + "/"


def line_break_name(rel, tmp):
    # Bash met the name in du's output, abandoned the block of checks on an
    # arithmetic error, and went on to sign what the folder held.
    os.rename(rel, tmp / "dist\n")
    (tmp / "dist\n" / "version.dll").write_bytes(b"MZ")
    return tmp / "dist\n"


def sparse(rel, tmp):
    os.truncate(rel / "NOTICES.txt", 1 << 30)
    return rel


REFUSED = {
    "symlink": (add(".launcher.exe.signed", lambda p, t: p.symlink_to(outside(t))),
                "holds '.launcher.exe.signed', which is not a regular file"),
    "hard-link": (add("BUILDINFO", lambda p, t: os.link(p, t / "second-name")),
                  "holds 'BUILDINFO', which is not a regular file"),
    "fifo": (add("fifo", lambda p, t: os.mkfifo(p)), "holds 'fifo', which is not a regular file"),
    "folder": (add("sub", lambda p, t: p.mkdir()), "holds 'sub', which is not a regular file"),
    "version-dll": (add("version.dll", lambda p, t: p.write_bytes(b"MZ")), "holds 'version.dll', which is not one of"),
    "hidden": (add(".hidden", lambda p, t: p.touch()), "holds '.hidden', which is not one of"),
    "dash-rf": (add("-rf", lambda p, t: p.touch()), "holds '-rf', which is not one of"),
    "trailing-blank": (add("launcher.exe ", lambda p, t: p.touch()), "holds 'launcher.exe ', which is not one of"),
    "missing": (add("NOTICES.txt", lambda p, t: p.unlink()), "has no NOTICES.txt"),
    "crlf": (sums_lines(lambda s, t: s.replace(b"\n", b"\r\n")), "SHA256SUMS does not match the files beside it"),
    # A line that sha256sum --check would follow out of DIR, and find right.
    "dotdot": (sums_lines(lambda s, t: s + f"{sha256(outside(t))}  ../outside\n".encode()),
               "SHA256SUMS does not match the files beside it"),
    "trailing-line-break": (lambda rel, tmp: str(rel) + "\n", "no folder"),
    "link-with-slash": (beside_linked, "is a symbolic link: give the release's folder itself"),
    "line-break-name": (line_break_name, "holds 'version.dll', which is not one of"),
    "sparse-notices": (sparse, TOO_LARGE),
}


@pytest.mark.parametrize("row", REFUSED)
def test_refused(row, release, pki):
    prepare, wording = REFUSED[row]
    dir = prepare(release.dir, release.tmp)
    # The hash of the row's SHA256SUMS: what is judged is then what lies beside it.
    sums = release.dir / "SHA256SUMS"
    anchor = sha256(sums) if sums.exists() else release.sums
    before, hits = state(release.tmp / "x"), len(pki.tsa_hits)
    one_line(sign(dir, pki, anchor=anchor, timeout=60), wording)
    assert state(release.tmp / "x") == before
    assert len(pki.tsa_hits) == hits

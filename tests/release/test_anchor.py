"""The anchor: scripts/sign signs only the release the build machine made,
the one whose SHA256SUMS has the SHA-256 handed over with --expect-sha256,
whose launcher.exe is the build BUILDINFO and the bill of materials record."""
import json

import pytest

from judging import one_line, sha256, state
from releases import sign, write_sums


def tamper_consistently(rel):
    # One byte of code, and BUILDINFO and SHA256SUMS made to agree with it.
    data = bytearray((rel / "launcher.exe").read_bytes())
    data[1024] ^= 1
    (rel / "launcher.exe").write_bytes(data)
    info = (rel / "BUILDINFO").read_text().splitlines(keepends=True)
    (rel / "BUILDINFO").write_text("".join(f"launcher-sha256: {sha256(rel / 'launcher.exe')}\n"
                                           if line.startswith("launcher-sha256:") else line for line in info))
    write_sums(rel)


def bom_names_another(rel):
    bom = json.loads((rel / "launcher.cdx.json").read_text())
    bom["metadata"]["component"]["properties"][0]["value"] = "0" * 64
    (rel / "launcher.cdx.json").write_text(json.dumps(bom))
    write_sums(rel)


def second_build_line(rel):
    # Even the same line twice: a reader of the first, or of the last, of a
    # key given twice is only one reader.
    with open(rel / "BUILDINFO", "a") as info:
        info.write(f"launcher-sha256: {sha256(rel / 'launcher.exe')}\n")
    write_sums(rel)


REFUSED = {
    "no-anchor": (None, None,
                  "signing needs --expect-sha256 HEX: the SHA-256 of SHA256SUMS that scripts/release printed"),
    "consistent-tampering": (tamper_consistently, "given", "is not the release the build machine made"),
    "bom-names-another-build": (bom_names_another, "own", "records the build as"),
    "buildinfo-names-two-builds": (second_build_line, "own", "is not the build its BUILDINFO records"),
}


@pytest.mark.parametrize("row", REFUSED)
def test_refused(row, release, pki):
    prepare, anchor, wording = REFUSED[row]
    if prepare:
        prepare(release.dir)
    anchor = {"given": release.sums, "own": sha256(release.dir / "SHA256SUMS")}.get(anchor)
    before = state(release.dir)
    one_line(sign(release.dir, pki, anchor=anchor, timestamp=False), wording)
    assert state(release.dir) == before


def test_signed_again_refused(signed, pki):
    before = state(signed)
    one_line(sign(signed, pki, anchor=sha256(signed / "SHA256SUMS"), timestamp=False),
             "is not the build its BUILDINFO records")
    assert state(signed) == before

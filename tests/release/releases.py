"""What is signed: a small PE made once, unsigned releases of it laid out
as scripts/release lays out dist/, one signed release kept aside, and the
rows' ways to sign, verify and re-sign one."""
import json
import shutil
import types

import pytest

from commands import run, sh
from judging import sha256
from timestamp_server import timestamp_reply

UNSIGNED = ["launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO"]


@pytest.fixture(scope="session")
def small_pe(tmp_path_factory):
    """What is signed, made once: the launcher's own bytes are the two-clone
    release's concern."""
    d = tmp_path_factory.mktemp("pe")
    (d / "small.c").write_text("int main(void) { return 0; }\n")
    sh("i686-w64-mingw32-gcc", "-O2", "-s", "-o", d / "small.exe", d / "small.c")
    return d / "small.exe"


def write_sums(folder):
    (folder / "SHA256SUMS").write_text("".join(f"{sha256(folder / f)}  {f}\n" for f in UNSIGNED))


def bill_of_materials(commit, built):
    """The bill of materials scripts/release writes, of a launcher that links nothing in."""
    launcher = {"type": "application", "bom-ref": "launcher.exe", "supplier": {"name": "Quenby launcher"},
                "name": "launcher.exe", "version": commit, "purl": f"pkg:generic/quenby-launcher@{commit}",
                "hashes": [{"alg": "SHA-256", "content": built}],
                "properties": [{"name": "quenby:unsigned-sha256", "value": built}]}
    serial = "urn:uuid:" + "-".join("0" * n for n in (8, 4, 4, 4, 12))
    return {"bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": serial, "version": 1,
            "metadata": {"authors": [{"name": "Quenby launcher"}], "component": launcher},
            "components": [], "dependencies": [{"ref": "launcher.exe", "dependsOn": []}]}


def lay_out(folder, exe):
    """An unsigned release of EXE in FOLDER; returns the SHA-256 of its
    SHA256SUMS, which scripts/release prints last."""
    folder.mkdir(parents=True)
    shutil.copy(exe, folder / "launcher.exe")
    built, commit = sha256(folder / "launcher.exe"), "0" * 40
    (folder / "NOTICES.txt").write_text("| component | version | licence (SPDX) |\n| --- | --- | --- |\n")
    (folder / "launcher.cdx.json").write_text(json.dumps(bill_of_materials(commit, built), indent=2) + "\n")
    (folder / "BUILDINFO").write_text(f"commit: {commit}\nlauncher-sha256: {built}\n"
                                      f"build-command: scripts/clean-build DIR {commit}\n")
    write_sums(folder)
    return sha256(folder / "SHA256SUMS")


@pytest.fixture
def release(tmp_path, small_pe):
    """An unsigned release in a folder only its signer can change."""
    tmp_path.chmod(0o700)
    return types.SimpleNamespace(dir=tmp_path / "rel", sums=lay_out(tmp_path / "rel", small_pe), tmp=tmp_path)


def sign_args(dir, pki, *extra, anchor=None, key=None, timestamp=True):
    args = [dir, *(["--expect-sha256", anchor] if anchor else []), *(pki.p12_key if key is None else key)]
    args += ["--timestamp", pki.tsa_url] if timestamp else ["--no-timestamp"]
    return [str(a) for a in args + ["--ca-file", pki.ca, *extra]]


def sign(dir, pki, *extra, anchor=None, key=None, timestamp=True, **kw):
    return run("sign", *sign_args(dir, pki, *extra, anchor=anchor, key=key, timestamp=timestamp), **kw)


@pytest.fixture(scope="session")
def signed_release(tmp_path_factory, pki, small_pe):
    """A release scripts/sign signed (PKCS#12, time-stamped), kept aside."""
    rel = tmp_path_factory.mktemp("signed") / "rel"
    done = sign(rel, pki, anchor=lay_out(rel, small_pe))
    assert done.returncode == 0, done.stderr
    return rel


@pytest.fixture
def signed(signed_release, tmp_path):
    return shutil.copytree(signed_release, tmp_path / "rel")


def verify(dir, pki, signer=None, *extra):
    return run("verify", dir, "--ca-file", pki.ca, "--signer", signer or pki.valid, *extra)


def reseal(rel, pki, name="valid", edit=lambda bom: bom, chain=()):
    """What the signer writes around launcher.exe, written again for the one
    in REL, so that a row's change holds everywhere but where it is judged."""
    shipped = sha256(rel / "launcher.exe")
    bom = json.loads((rel / "launcher.cdx.json").read_text())
    launcher = bom["metadata"]["component"]
    launcher["hashes"] = [{"alg": "SHA-256", "content": shipped}]
    launcher["properties"] = [p for p in launcher["properties"] if p["name"] != "quenby:signed-sha256"] + [
        {"name": "quenby:signed-sha256", "value": shipped}]
    (rel / "launcher.cdx.json").write_text(edit(json.dumps(bom, indent=2) + "\n"))
    write_sums(rel)
    sh("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-outform", "DER", "-in",
       rel / "SHA256SUMS", "-signer", getattr(pki, name), "-inkey", pki.key[name], *chain,
       "-out", rel / "SHA256SUMS.p7s")
    (rel / "SHA256SUMS.p7s.tsr").write_bytes(timestamp_reply((rel / "SHA256SUMS.p7s").read_bytes(), pki))


def authenticode(pki, unsigned, out, name="valid", *extra):
    sh("osslsigncode", "sign", "-certs", getattr(pki, name), "-key", pki.key[name], "-h", "sha256", *extra,
       "-in", unsigned, "-out", out)

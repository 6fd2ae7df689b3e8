"""scripts/verify, as a store checks a release: it accepts the signed
release only from its pinned signer, and refuses in one line a release
changed as each row says, the change carried through SHA256SUMS, the bill
of materials and a fresh SHA256SUMS.p7s wherever the attacker could, so
that the row's check is the one that must hold."""
import os
import shutil
import subprocess
import tempfile
import time

import pefile
import pytest
from asn1crypto import cms

from commands import in_process, own_mounts, run, sh
from judging import one_line
from releases import authenticode, reseal, verify
from timestamp_server import timestamp_reply

# Words the verifier's refusals share with the signer's; the rows match
# these alone, since the rest of each line names the file or certificate.
AUTHORITY = "is an authority's"
BOM = "launcher.cdx.json is not the bill of materials scripts/release writes"


def test_accepted(signed, pki):
    assert verify(signed, pki).returncode == 0
    # Long after the certificate expired: its time stamps hold it.
    later = verify(signed, pki, None, "--time", int(time.time()) + 402 * 86400)
    assert later.returncode == 0, later.stderr
    assert "signed by CN = Throwaway valid signer" in later.stdout


def resigned(name="valid", stamp=False, sealed_by="valid"):
    """launcher.exe signed anew by NAME's key, time-stamped if STAMP."""
    def prepare(rel, pki):
        extra = ["-ts", pki.tsa_url] if stamp else []
        sh("osslsigncode", "remove-signature", "-in", rel / "launcher.exe", "-out", rel.parent / "unsigned.exe")
        (rel / "launcher.exe").unlink()
        authenticode(pki, rel.parent / "unsigned.exe", rel / "launcher.exe", name, *extra)
        reseal(rel, pki, sealed_by)
    return prepare


def changed(edit):
    def prepare(rel, pki):
        (rel / "launcher.exe").write_bytes(edit(bytearray((rel / "launcher.exe").read_bytes())))
        reseal(rel, pki)
    return prepare


def primary_broken(rel, pki):
    """A nested signature by the pinned signer that holds, beneath a primary
    one whose signature value is broken."""
    nested = rel.parent / "nested.exe"
    authenticode(pki, rel / "launcher.exe", nested, "valid", "-nest", "-ts", pki.tsa_url)
    data = bytearray(nested.read_bytes())
    # The certificate table's one WIN_CERTIFICATE: 8 bytes of header, then
    # the PKCS#7. Read here: what osslsigncode's extract-signature writes
    # differs between Debian 12's 2.5 and 2.9.
    table = pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    blob = bytes(data[table.VirtualAddress + 8:table.VirtualAddress + table.Size])
    value = cms.ContentInfo.load(blob, strict=False)["content"]["signer_infos"][0]["signature"].native
    data[data.index(value)] ^= 1
    (rel / "launcher.exe").write_bytes(data)
    reseal(rel, pki)


def nested_stamped(rel, pki):
    """A primary signature without a time stamp, over a nested one with."""
    resigned()(rel, pki)
    nested = rel.parent / "nested.exe"
    authenticode(pki, rel / "launcher.exe", nested, "valid", "-nest", "-ts", pki.tsa_url)
    (rel / "launcher.exe").write_bytes(nested.read_bytes())
    reseal(rel, pki)


def same_subject_under_revoked(rel, pki):
    """Signed by the certificate with the pinned one's subject (and key)
    that the revoked intermediate issued, which both signatures carry."""
    chain = rel.parent / "chain.pem"
    chain.write_bytes(pki.under_revoked.read_bytes() + pki.inter.read_bytes())
    sh("osslsigncode", "remove-signature", "-in", rel / "launcher.exe", "-out", rel.parent / "unsigned.exe")
    (rel / "launcher.exe").unlink()
    sh("osslsigncode", "sign", "-certs", chain, "-key", pki.key["valid"], "-h", "sha256", "-ts", pki.tsa_url,
       "-in", rel.parent / "unsigned.exe", "-out", rel / "launcher.exe")
    reseal(rel, pki, "under_revoked", chain=("-certfile", pki.inter))


def other_release(*names):
    """NAMES taken from a release whose SHA256SUMS differs."""
    def prepare(rel, pki):
        other = rel.parent / "other"
        sh("cp", "-r", rel, other)
        (other / "NOTICES.txt").write_text("another release\n")
        reseal(other, pki)
        for name in names:
            (rel / name).write_bytes((other / name).read_bytes())
    return prepare


def edit_bom(edit):
    return lambda rel, pki: reseal(rel, pki, edit=edit)


def stamped_over(data):
    return lambda rel, pki: (rel / "SHA256SUMS.p7s.tsr").write_bytes(timestamp_reply(data, pki))


def signed_by(name):
    return resigned(name, True, name)


def nothing(rel, pki):
    pass


CRL = ("--crl-file", "{crl}")
# row: (what is done to the release, the signer pinned, more options, the wording)
REFUSED = {
    "version-dll": (lambda rel, pki: (rel / "version.dll").write_bytes(b"MZ"), "valid", (),
                    "holds 'version.dll', which is not one of"),
    "p7s-by-another": (lambda rel, pki: reseal(rel, pki, "tsa"), "valid", (),
                       "SHA256SUMS.p7s is signed by CN = Throwaway tsa signer, not by"),
    "p7s-of-another-release": (other_release("SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"), "valid", (),
                               "SHA256SUMS.p7s does not verify against"),
    "tsr-of-another-release": (other_release("SHA256SUMS.p7s.tsr"), "valid", (),
                               "the time stamp of SHA256SUMS.p7s does not verify against"),
    "tsr-over-other-bytes": (stamped_over(b"other bytes"), "valid", (),
                             "the time stamp of SHA256SUMS.p7s does not verify against"),
    "tsr-under-another-root": (nothing, "valid", ("--tsa-ca-file", "{other}"),
                               "the time stamp of SHA256SUMS.p7s does not verify against {other}"),
    "time-zero": (nothing, "valid", ("--time", "0"), "the time stamp of SHA256SUMS.p7s does not verify"),
    "time-far": (nothing, "valid", ("--time", "99999999999"), "the time stamp of SHA256SUMS.p7s does not verify"),
    "time-negative": (nothing, "valid", ("--time", "-1"), "--time takes seconds since 1970"),
    "revoked-signer": (signed_by("revoked"), "revoked", CRL, "certificate revoked"),
    "another-authenticode-signer": (resigned("token", True), "valid", CRL,
                                    "launcher.exe is signed by CN = Throwaway token signer"),
    # (0x500: in .text, past the headers.)
    "code-byte": (changed(lambda data: data[:0x500] + bytes([data[0x500] ^ 1]) + data[0x501:]), "valid", (),
                  "launcher.exe's signature does not verify against"),
    "appended-data": (changed(lambda data: data + b"\0" * 8), "valid", (),
                      "launcher.exe's signature does not verify against"),
    "bom-lies-about-build": (edit_bom(lambda t: t.replace('"quenby:unsigned-sha256",\n          "value": "',
                                                          '"quenby:unsigned-sha256",\n          "value": "0')),
                             "valid", (), "the bill of materials records the build as 0"),
    "bom-keeps-version": (edit_bom(lambda t: t.replace('"version": 2,', '"version": 1,', 1)), "valid", (),
                          "keeps version 1, the unsigned release's"),
    # SHA256SUMS.p7s's time stamp holds, launcher.exe's own does not.
    "exe-not-time-stamped": (resigned(), "valid", (),
                             "launcher.exe's signature carries no time stamp that verifies against"),
    # What bash's verify let pass: it took any signature that said ok, any
    # certificate as the signer, and the last of two keys.
    "primary-signature-broken": (primary_broken, "valid", (), "launcher.exe's signature does not verify against"),
    "authority-as-signer": (signed_by("ca"), "ca", (), AUTHORITY),
    # The signer is a certificate, not a name.
    "same-subject-under-revoked-intermediate": (same_subject_under_revoked, "valid", (),
                                                "SHA256SUMS.p7s is signed by CN = Throwaway valid signer, not by"),
    # Not re-sealed: only SHA256SUMS speaks for the notices.
    "notices-changed": (lambda rel, pki: (rel / "NOTICES.txt").write_text("changed\n"), "valid", (),
                        "SHA256SUMS does not match the files beside it"),
    # osslsigncode reports the nested signature's time stamp as ok too.
    "primary-unstamped-under-stamped-nested": (nested_stamped, "valid", (),
                                               "launcher.exe's signature carries no time stamp that verifies"),
    "bom-duplicate-key": (edit_bom(lambda t: t.replace("{", '{\n  "version": 1,', 1)), "valid", (), BOM),
}


@pytest.mark.parametrize("row", REFUSED)
def test_refused(row, signed, pki):
    prepare, signer, extra, wording = REFUSED[row]
    names = {"crl": pki.crl, "other": pki.other}
    prepare(signed, pki)
    extra = [e.format(**names) for e in extra]
    one_line(verify(signed, pki, getattr(pki, signer), *extra), wording.format(**names))


def their_build_signed(rel, pki):
    """Another build, signed by the pinned signer and time-stamped, its
    release re-sealed: only launcher.exe without its signature, the copy
    verify makes in TMPDIR, shows that it is not the build BUILDINFO
    records."""
    changed(lambda data: data[:0x500] + bytes([data[0x500] ^ 1]) + data[0x501:])(rel, pki)
    resigned("valid", True)(rel, pki)


# row: how verify is run (its options given as files in a folder of the
# caller's), a change to the release, what another user does before each
# tool runs (in TMPDIR, a folder without the sticky bit that they can
# write to, or to the caller's files), and the wording (None: accepted).
# tmpdir: each new name there is renamed away and a folder of the genuine
# release's unsigned build put in its place; caller-ca-files: the CA files
# become another root's.
# caller-openssl-conf: OPENSSL_CONF set once verify runs (past what the
# entry drops as it starts), naming a configuration under which openssl
# finds no SHA-256: the tools run with an environment of their own.
SWAPPED = {"tmpdir": (their_build_signed, "tmpdir", "is not the build its BUILDINFO records"),
           "caller-ca-files": (nothing, "ca", None), "caller-openssl-conf": (nothing, "env", None)}


@pytest.mark.parametrize("row", SWAPPED)
def test_swapped_before_a_tool(row, signed, signed_release, pki, tmp_path, monkeypatch, capsys):
    prepare, what, wording = SWAPPED[row]
    prepare(signed, pki)
    shared, given = tmp_path / "shared-tmp", tmp_path / "given"
    shared.mkdir()
    given.mkdir()
    genuine = tmp_path / "genuine.exe"
    sh("osslsigncode", "remove-signature", "-in", signed_release / "launcher.exe", "-out", genuine)
    for name in ("ca.crt", "tsa-ca.crt"):
        shutil.copy(pki.ca, given / name)
    monkeypatch.setattr(tempfile, "tempdir", str(shared))

    swapped = []

    def swap(args):
        if what == "ca" and not swapped:
            for name in ("ca.crt", "tsa-ca.crt"):
                shutil.copy(pki.other, given / name)
            swapped.append(args)
        if what == "env" and not swapped:
            planted_openssl_conf(given, pki)
            monkeypatch.setenv("OPENSSL_CONF", str(given / "openssl.cnf"))
            swapped.append(args)
        for name in {n for n in os.listdir(shared) if not n.startswith("moved-")} - set(swapped):
            os.rename(shared / name, shared / f"moved-{name}")
            (shared / name).mkdir()
            shutil.copy(genuine, shared / name / "unsigned.exe")
            swapped.append(name)
    status = in_process(monkeypatch, "verify", signed, "--ca-file", given / "ca.crt", "--tsa-ca-file",
                        given / "tsa-ca.crt", "--signer", pki.valid, "--crl-file", pki.crl, before_tool=swap)
    err = capsys.readouterr().err
    assert swapped, "nothing was swapped"
    if wording is None:
        assert status == 0, err
    else:
        one_line(subprocess.CompletedProcess([], status, "", err), wording)


def planted_module(planted):
    (planted / "asn1crypto").mkdir()
    (planted / "asn1crypto/__init__.py").write_text("import sys\nsys.exit(0)\n")
    return {"PYTHONPATH": str(planted)}


def planted_tools(planted):
    for tool in ("openssl", "osslsigncode"):
        (planted / tool).write_text(f"#!/bin/sh\n[ \"$1\" != verify ] || {{ echo 'Signature verification: ok'; "
                                    f"echo 'Timestamp Server Signature verification: ok'; exit 0; }}\n"
                                    f"exec /usr/bin/{tool} \"$@\"\n")
        (planted / tool).chmod(0o755)
    return {"PATH": f"{planted}:{os.environ['PATH']}"}


def planted_cert_dir(planted, pki):
    """The throwaway root among the default authorities: trusted by openssl
    beside -CAfile unless told not to."""
    shutil.copy(pki.ca, planted / "ca.pem")
    sh("openssl", "rehash", planted)
    return {"SSL_CERT_DIR": str(planted), "SSL_CERT_FILE": str(planted / "ca.pem")}


def planted_openssl_conf(planted, pki):
    """A configuration under which openssl finds no SHA-256."""
    (planted / "openssl.cnf").write_text("openssl_conf = init\n[init]\nalg_section = algs\n[algs]\n"
                                         "default_properties = fips=yes\n")
    return {"OPENSSL_CONF": str(planted / "openssl.cnf")}


def system_authorities(planted, pki):
    """The throwaway root among the system's own authorities (openssl's
    default folder), in a mount namespace of verify's own: trusted by
    openssl verify and cms -verify beside -CAfile unless told not to."""
    shutil.copy(pki.ca, planted / "ca.pem")
    sh("openssl", "rehash", planted)
    return {"WRAP": own_mounts(["--bind", planted, "/etc/ssl/certs"])}


EXE_CHANGED = ("--ca-file", "{ca}"), "launcher.exe's signature does not verify against"
# row: what the caller's environment plants for scripts/verify, started as
# a user starts it (its first line), on a release whose launcher.exe
# changed; its options, and the wording. (ssl-cert-dir: --ca-file names
# another root, which must stay the only one trusted.)
ENVIRONMENT = {"pythonpath-module": (lambda planted, pki: planted_module(planted), *EXE_CHANGED),
               "path-tools": (lambda planted, pki: planted_tools(planted), *EXE_CHANGED),
               "ssl-cert-dir": (planted_cert_dir, ("--ca-file", "{other}", "--tsa-ca-file", "{ca}"),
                                "SHA256SUMS.p7s does not verify against"),
               "openssl-conf": (planted_openssl_conf, *EXE_CHANGED),
               "system-authorities": (system_authorities, ("--ca-file", "{other}", "--tsa-ca-file", "{ca}"),
                                      "SHA256SUMS.p7s does not verify against")}


@pytest.mark.parametrize("row", ENVIRONMENT)
def test_caller_environment_ignored(row, signed, pki, tmp_path):
    plant, options, wording = ENVIRONMENT[row]
    REFUSED["code-byte"][0](signed, pki)
    (tmp_path / "planted").mkdir()
    env = dict(os.environ, **plant(tmp_path / "planted", pki))
    wrap = env.pop("WRAP", [])
    options = [o.format(ca=pki.ca, other=pki.other) for o in options]
    done = run("verify", signed, *options, "--signer", pki.valid, as_is=True, env=env, wrap=wrap)
    one_line(done, wording)


def test_tmpdir_folder_replaced_refused(signed, pki, tmp_path, monkeypatch, capsys):
    """verify's folder in TMPDIR, replaced by another user's between its
    making and its opening: refused, since a tool's output would go there."""
    if os.geteuid() != 0:
        pytest.skip("a folder of another user's takes root to make")
    made = tempfile.mkdtemp

    def replaced(*args, **kw):
        path = made(dir=tmp_path)
        open(os.path.join(path, "theirs"), "w").close()
        os.chown(path, 4242, 4242)
        return path
    monkeypatch.setattr(tempfile, "mkdtemp", replaced)
    status = in_process(monkeypatch, "verify", signed, "--ca-file", pki.ca, "--signer", pki.valid)
    one_line(subprocess.CompletedProcess([], status, "", capsys.readouterr().err), "was replaced by another user's")
    # Theirs, left as it is: only what verify's tools wrote goes.
    assert [os.listdir(p) for p in tmp_path.iterdir() if p.is_dir() and p.stat().st_uid == 4242] == [["theirs"]]

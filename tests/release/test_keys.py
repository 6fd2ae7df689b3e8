"""Keys and secrets: what can be found out about the key before the build
stops scripts/release before it, in one line, with nothing in dist/ and no
PIN or password printed; while a release is signed no private key lies
unencrypted on disk and no secret shows in any process's arguments or
environment; a crashing PKCS#11 engine leaves no core file."""
import os
import pathlib
import re
import resource
import shutil

import pytest

from commands import ROOT, own_mounts, run, sh, with_spy
from judging import one_line, sha256
from releases import sign, verify
from throwaway_pki import SECRETS

PIN_VALUE = "PIN in a file only you can read and give --pin-file FILE"


def pin_uri(uri):
    return ["--pkcs11-module", "{module}", "--pkcs11-key", uri, "--certs", "token-chain.pem", "--no-timestamp"]


TOKEN = ["--pkcs11-module", "{module}", "--pkcs11-key", "{uri}", "--certs", "token-chain.pem"]


def p12(name):
    return ["--pkcs12", f"{name}.p12", "--password-file", "password"]


P12 = p12("valid")
NO_TS = ["--no-timestamp"]
# Run from the PKI's folder: relative paths are the caller's.
REFUSED = {
    "wrong-pin": (TOKEN + ["--pin-file", "wrong-pin"] + NO_TS, "PIN incorrect"),
    "key-not-the-certificates": (TOKEN[:-1] + ["valid.crt", "--pin-file", "pin"] + NO_TS,
                                 "does not belong to the first certificate"),
    "revoked": (p12("revoked") + ["--ca-file", "ca.crt", "--crl-file", "crl.pem"] + NO_TS,
                "the certificate of CN = Throwaway revoked signer is revoked"),
    "legacy-expired": (p12("legacy") + ["--timestamp", "{tsa}"], "has expired"),
    "wrong-password": (["--pkcs12", "{dir}/valid.p12", "--password-file", "{dir}/wrong-password"] + NO_TS,
                       "wrong password"),
    "missing-p12": (["--pkcs12", "{dir}/missing.p12", "--password-file", "password"] + NO_TS,
                    "cannot read the certificate file"),
    "expired": (p12("expired") + ["--timestamp", "{tsa}"], "has expired"),
    # Read once, held for the tools: a file that cannot be read is said so.
    "missing-ca-file": (P12 + ["--ca-file", "{dir}/missing.crt"] + NO_TS, "cannot read the CA file {dir}/missing.crt"),
    "no-password-file": (["--pkcs12", "valid.p12"] + NO_TS, "needs --password-file"),
    "no-timestamp-option": (P12, "needs --timestamp URL or --no-timestamp"),
    "revoked-intermediate": (p12("under_revoked") + ["--ca-file", "ca.crt", "--crl-file", "crl.pem", "--crl-file",
                                                     "inter.crl"] + NO_TS,
                             "the certificate of CN = Throwaway intermediate is revoked"),
    "not-code-signing": (p12("tsa") + ["--ca-file", "ca.crt"] + NO_TS, "is not for code signing"),
    "no-extended-key-usage": (p12("no_usage") + ["--ca-file", "ca.crt"] + NO_TS, "is not for code signing"),
    "authority-first": (TOKEN[:-1] + ["ca-first.pem", "--pin-file", "pin"] + NO_TS,
                        "is an authority's (CN = Throwaway Test CA)"),
    "no-time-stamp-server": (P12 + ["--timestamp", "http://127.0.0.1:9/", "--ca-file", "ca.crt"],
                             re.compile(r"no time-stamp server grants a time stamp: "
                                        r"http://127\.0\.0\.1:9/ \(.*connect")),
    "no-pin": (TOKEN + NO_TS, "no PIN for pkcs11:token=release;object=signer"),
    "module-not-a-library": (["--pkcs11-module", "{dir}/password"] + TOKEN[2:] + ["--pin-file", "pin"] + NO_TS,
                             re.compile(r"cannot load the PKCS#11 module {dir}/password: .*short")),
    "no-such-token": (pin_uri("pkcs11:token=absent;object=signer") + ["--pin-file", "pin"],
                      "shows no token that pkcs11:token=absent;object=signer names"),
    "both-timestamp-options": (P12 + ["--ca-file", "ca.crt", "--timestamp", "{tsa}"] + NO_TS, "exclude each other"),
    "file-url": (P12 + ["--timestamp", "file:///etc/passwd"], "takes an http:// or https:// URL"),
    "pin-value": (pin_uri("pkcs11:token=release;object=signer;pin-value=97531864"), PIN_VALUE),
    # Right after the scheme, where no separator comes before it.
    "pin-value-first": (pin_uri("pkcs11:pin-value=97531864;token=release;object=signer"), PIN_VALUE),
    # Bash looked for it only after ":", ";" and "?", and printed it.
    "pin-value-in-query": (pin_uri("pkcs11:token=release;object=signer?module-name=softhsm2&pin-value=97531864"),
                           PIN_VALUE),
    # RFC 7512: attribute names are case-insensitive, and any character may
    # be percent-encoded.
    "pin-value-percent-encoded": (pin_uri("pkcs11:token=release;object=signer;pin%2Dvalue=97531864"), PIN_VALUE),
    "pin-value-upper-case": (pin_uri("pkcs11:token=release;object=signer;PIN-VALUE=97531864"), PIN_VALUE),
    # The throwaway root among the system's authorities (a mount namespace
    # of the row's own): --ca-file alone decides whom openssl verify trusts.
    "system-authorities": (p12("valid") + ["--ca-file", "other.crt"] + NO_TS,
                           "the certificate in {dir}/valid.p12 does not verify against {dir}/other.crt"),
    "altered-boost": ([], re.compile(r"not the pinned Boost source: SHA-256 [0-9a-f]{64}, expected {sha256}")),
}


@pytest.mark.parametrize("row", REFUSED)
def test_release_refused_before_the_build(row, clone, caches, pki, tmp_path):
    args, wording = REFUSED[row]
    names = {"module": pki.module, "uri": pki.uri, "tsa": pki.tsa_url, "dir": pki.dir,
             "sha256": caches["pins"]["sha256"]}
    args = [a.format(**names) for a in args]
    wording = wording.replace("{dir}", str(pki.dir)) if isinstance(wording, str) else wording
    if isinstance(wording, re.Pattern):
        wording = re.compile(wording.pattern.replace("{dir}", re.escape(str(pki.dir)))
                             .replace("{sha256}", names["sha256"]))
    cache = caches["altered-cache" if row == "altered-boost" else "cache"]
    wrap = []
    if row == "system-authorities":
        (tmp_path / "authorities").mkdir()
        shutil.copy(pki.ca, tmp_path / "authorities/ca.pem")
        sh("openssl", "rehash", tmp_path / "authorities")
        wrap = own_mounts(["--bind", tmp_path / "authorities", "/etc/ssl/certs"])
    done = run("release", *args, "--build-dir", tmp_path / "never-built", root=clone, cwd=pki.dir,
               env=dict(os.environ, XDG_CACHE_HOME=str(cache)), wrap=wrap)
    one_line(done, wording)
    assert not (clone / "dist").exists() or not os.listdir(clone / "dist")
    assert not os.path.exists(tmp_path / "never-built")


def test_uncommitted_changes_refused(clone):
    (clone / "uncommitted").touch()
    try:
        one_line(run("release", root=clone), "uncommitted changes")
    finally:
        (clone / "uncommitted").unlink()


# Beside osslsigncode as it signs: any unencrypted private key in the
# signing's folders, any secret in a process's arguments or environment;
# and launcher.exe in DIR changed meanwhile, which must not be what is signed.
SPY = r"""#!/bin/sh
if [ "$1" = sign ]; then
    grep -rlE -f "$SECRETS" "${TMPDIR:-/tmp}" "$REL"/../.*signing* >>"$SEEN"
    for p in $(ps -o pid= -s "$(ps -o sid= -p $$)"); do
        cat "/proc/$p/cmdline" "/proc/$p/environ" 2>/dev/null | tr '\0' '\n' | grep -E -f "$SECRETS" |
            sed "s|^|$p: |" >>"$SEEN"
    done
    : >"$SEEN.ran"
    printf '\002' | dd of="$REL/launcher.exe" bs=1 seek=1024 conv=notrunc status=none
fi
exec /usr/bin/osslsigncode "$@"
"""


# (critical-leaf: a signer's basicConstraints marked critical says nothing
# of whether it is an authority's.)
@pytest.mark.parametrize("key", ["pkcs12", "token", "critical-leaf"])
def test_signing_keeps_secrets(key, release, pki):
    (release.tmp / "tmp").mkdir()
    seen, secrets = release.tmp / "seen", release.tmp / "secrets"
    seen.touch()
    secrets.write_text("\n".join(("-----BEGIN .*PRIVATE KEY-----",) + SECRETS) + "\n")
    built = sha256(release.dir / "launcher.exe")
    key_args = {"pkcs12": pki.p12_key, "token": pki.token_key + ["--pin-file", pki.pin],
                "critical-leaf": ["--pkcs12", pki.critical_leaf_p12, "--password-file", pki.password]}[key]
    given = dict(TMPDIR=release.tmp / "tmp", SEEN=seen, REL=release.dir, SECRETS=secrets)
    env = dict(os.environ, **{k: str(v) for k, v in given.items()})
    done = sign(release.dir, pki, "--crl-file", pki.crl, anchor=release.sums, key=key_args, env=env,
                wrap=with_spy(release.tmp, SPY, {k: env[k] for k in ("TMPDIR", "SEEN", "REL", "SECRETS")}))
    assert done.returncode == 0, done.stderr
    assert (release.tmp / "seen.ran").exists() and seen.read_text() == "", "seen while signing: " + seen.read_text()
    assert not any(s in done.stdout + done.stderr for s in SECRETS)
    assert re.search(f"time-stamped by {pki.tsa_url}, verified by osslsigncode [0-9]", done.stdout), done.stdout
    signer = {"pkcs12": pki.valid, "token": pki.token, "critical-leaf": pki.critical_leaf}[key]
    checked = verify(release.dir, pki, signer, "--crl-file", pki.crl)
    assert checked.returncode == 0, checked.stderr
    sh("osslsigncode", "remove-signature", "-in", release.dir / "launcher.exe", "-out", release.tmp / "stripped.exe")
    assert sha256(release.tmp / "stripped.exe") == built


def test_no_core_file(release, pki):
    """The engine crashes on its way out after a failed login: with cores
    allowed, the signing must still leave none (it runs in its checkout)."""
    pattern = pathlib.Path("/proc/sys/kernel/core_pattern").read_text().strip()
    if pattern.startswith("|") or "/" in pattern:
        pytest.skip(f"cores go to {pattern}, not into the folder a process runs in")
    root = release.tmp / "checkout"
    for sub in ("scripts", "cmake"):
        shutil.copytree(os.path.join(ROOT, sub), root / sub, symlinks=True)
    done = run("sign", release.dir, "--expect-sha256", release.sums, *pki.token_key, "--pin-file", pki.wrong_pin,
               "--no-timestamp", root=root, cwd=release.tmp,
               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (-1, -1)))
    one_line(done, "PIN incorrect")
    cores = [os.path.join(b, f) for b, _, files in os.walk(release.tmp) for f in files if f.startswith("core")]
    assert cores == []


# What osslsigncode signs, once more with a nested signature that holds,
# and then with its primary signature's value broken: osslsigncode 2.9's
# verify exits 0 for it, printing that the primary failed.
BREAKING = r"""#!/bin/sh
[ "$1" = sign ] || exec /usr/bin/osslsigncode "$@"
/usr/bin/osslsigncode "$@" || exit
for out; do :; done
/usr/bin/osslsigncode sign -certs "$CERT" -key "$KEY" -h sha256 -nest -ts "$TSA" -in "$out" -out "$BROKEN.exe" &&
    /usr/bin/python3 -I -c "$BREAK" "$BROKEN.exe" "$out"
"""
BREAK = """import sys
from asn1crypto import cms
import pefile
data = bytearray(open(sys.argv[1], "rb").read())
table = pefile.PE(data=bytes(data), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
    pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
blob = bytes(data[table.VirtualAddress + 8:table.VirtualAddress + table.Size])
value = cms.ContentInfo.load(blob, strict=False)["content"]["signer_infos"][0]["signature"].native
data[data.index(value)] ^= 1
open(sys.argv[2], "wb").write(data)
"""


def test_broken_primary_signature_refused(release, pki):
    before, hits = {f.name: f.read_bytes() for f in release.dir.iterdir()}, len(pki.tsa_hits)
    env = dict(os.environ, CERT=str(pki.valid), KEY=str(pki.key["valid"]), TSA=pki.tsa_url,
               BROKEN=str(release.tmp / "nested"), BREAK=BREAK)
    spied = {k: env[k] for k in ("CERT", "KEY", "TSA", "BROKEN", "BREAK")}
    done = sign(release.dir, pki, anchor=release.sums, env=env, wrap=with_spy(release.tmp, BREAKING, spied))
    one_line(done, "the signed file does not verify against")
    assert {f.name: f.read_bytes() for f in release.dir.iterdir()} == before and len(pki.tsa_hits) > hits

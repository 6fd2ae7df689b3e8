"""One throwaway PKI for the run: an authority and its CRL, signers valid,
expired, revoked and on a SoftHSM2 token, an intermediate the CRL revokes,
another authority, and a time-stamp server. Dates go to openssl ca
outright: OpenSSL 3.5 refuses the negative -days of openssl x509."""
import glob
import os
import time
import types

import pytest

import timestamp_server
from commands import sh

# Digits that no hash or path printed beside them is likely to hold.
PASSWORD, PIN, WRONG_PIN = "correct horse battery staple", "24680135", "97531864"
SECRETS = ("horse", PIN, WRONG_PIN)
SIGNING = "keyUsage=critical,digitalSignature\nextendedKeyUsage="
AUTHORITY = "basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"
# (crl: osslsigncode 2.9 fetches from the point a certificate names unless
# given the CRL, and nothing answers there.)
INPUTS = [("password", PASSWORD), ("wrong-password", "wrong"), ("pin", PIN), ("wrong-pin", WRONG_PIN),
          ("signer.ext", SIGNING + "codeSigning"), ("tsa.ext", SIGNING + "critical,timeStamping"),
          ("inter.ext", AUTHORITY), ("plain.ext", "keyUsage=critical,digitalSignature"),
          ("leaf.ext", SIGNING + "codeSigning\nbasicConstraints=critical,CA:FALSE"),
          ("crl.ext", SIGNING + "codeSigning\ncrlDistributionPoints=URI:http://127.0.0.1:9/ca.crl")]
# (no_usage: no extended key usage at all; critical_leaf: a signer whose
# basicConstraints, CA:FALSE, is marked critical.) Name, first and last
# day from today, extensions.
SIGNERS = [("valid", -1, 2, "signer"), ("expired", -3, -1, "signer"), ("tsa", -1, 3650, "tsa"),
           ("revoked", -1, 2, "crl"), ("token", -1, 2, "crl"), ("no_usage", -1, 2, "plain"),
           ("critical_leaf", -1, 2, "leaf")]


def day(n):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + n * 86400))


def authority(p, name, subject):
    p.key[name] = p.dir / f"{name}.key"
    setattr(p, name, p.dir / f"{name}.crt")
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p.key[name], "-out",
       getattr(p, name), "-days", "3650", "-subj", subject, *sum((["-addext", e] for e in AUTHORITY.split()), []))


def ca_config(p, at, name):
    """openssl ca's configuration for the authority NAME, its database in AT."""
    (at / "index").touch()
    for f in ("serial", "crlnumber"):
        (at / f).write_text("1000\n")
    (at / "ca.cnf").write_text(
        f"[ca]\ndefault_ca=a\n[a]\ndatabase={at}/index\nserial={at}/serial\nnew_certs_dir={at}\n"
        f"certificate={p.dir}/{name}.crt\nprivate_key={p.dir}/{name}.key\ncrlnumber={at}/crlnumber\n"
        "default_crl_days=30\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n"
        "organizationName=optional\n")
    return at / "ca.cnf"


def pkcs12(p, name, cert, chain, *extra):
    setattr(p, f"{name}_p12", p.dir / f"{name}.p12")
    sh("openssl", "pkcs12", "-export", *extra, "-inkey", p.key[cert], "-in", getattr(p, cert),
       *(["-certfile", chain] if chain else []), "-passout", f"file:{p.password}", "-out", p.dir / f"{name}.p12")


def issue(p, name, subject, cnf, ext, dates, key=None, chain=None):
    """NAME's certificate, by the authority of CNF, and its PKCS#12 file
    with CHAIN (the root's by default; False: none)."""
    d = p.dir
    key = p.key.setdefault(name, key or d / f"{name}.key")
    if not key.exists():
        sh("openssl", "genpkey", "-algorithm", "RSA", "-out", key)
    sh("openssl", "req", "-new", "-key", key, "-out", d / f"{name}.csr", "-subj", subject)
    sh("openssl", "ca", "-batch", "-config", cnf, "-in", d / f"{name}.csr", *dates, "-extfile", d / f"{ext}.ext",
       "-notext", "-out", d / f"{name}.crt")
    setattr(p, name, d / f"{name}.crt")
    if chain is not False:
        pkcs12(p, name, name, chain or p.ca)


def issue_signers(p, cnf):
    for name, start, end, ext in SIGNERS:
        subject = ("/O=Throwaway Studio" if name == "token" else "") + f"/CN=Throwaway {name} signer"
        issue(p, name, subject, cnf, ext, ["-startdate", day(start), "-enddate", day(end)])
    pkcs12(p, "legacy", "expired", None, "-legacy")


def revoke(p, cnf):
    """A signer under an intermediate that the root's CRL revokes, and whose
    own CRL (the intermediate's) lists nothing; the revoked signer too."""
    (p.dir / "inter").mkdir()
    issue(p, "inter", "/CN=Throwaway intermediate", cnf, "inter", ["-days", "30"], chain=False)
    issue(p, "under_revoked", "/CN=Throwaway valid signer", ca_config(p, p.dir / "inter", "inter"), "signer",
          ["-days", "2"], key=p.key["valid"], chain=p.inter)
    sh("openssl", "ca", "-config", p.dir / "inter/ca.cnf", "-gencrl", "-out", p.inter_crl)
    for cert in (p.inter, p.revoked):
        sh("openssl", "ca", "-config", cnf, "-revoke", cert)
    sh("openssl", "ca", "-config", cnf, "-gencrl", "-out", p.crl)


def key_options(p):
    """The chains the token's rows hand over, and each key's options."""
    p.token_chain, p.ca_first = p.dir / "token-chain.pem", p.dir / "ca-first.pem"
    p.token_chain.write_bytes(p.token.read_bytes() + p.ca.read_bytes())
    p.ca_first.write_bytes(p.ca.read_bytes() + p.token.read_bytes())
    p.token_key = ["--pkcs11-module", p.module, "--pkcs11-key", p.uri, "--certs", p.token_chain]
    p.p12_key = ["--pkcs12", p.valid_p12, "--password-file", p.password]


def token(p):
    """The token signer's key on a SoftHSM2 token of the run's own."""
    d = p.dir
    os.environ["SOFTHSM2_CONF"] = str(d / "softhsm2.conf")
    (d / "softhsm2.conf").write_text(f"directories.tokendir = {d}/tokens\n")
    (d / "tokens").mkdir()
    sh("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", p.key["token"], "-out", d / "token.pk8")
    sh("softhsm2-util", "--init-token", "--free", "--label", "release", "--pin", PIN, "--so-pin", "97531")
    sh("softhsm2-util", "--import", d / "token.pk8", "--token", "release", "--label", "signer", "--id", "01",
       "--pin", PIN)


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """The PKI, and its time-stamp server running for the session."""
    d = tmp_path_factory.mktemp("pki")
    p = types.SimpleNamespace(dir=d, key={}, crl=d / "crl.pem", inter_crl=d / "inter.crl", password=d / "password",
                              pin=d / "pin", wrong_pin=d / "wrong-pin", module=glob.glob(
                                  "/usr/lib/*/softhsm/libsofthsm2.so")[0], uri="pkcs11:token=release;object=signer")
    for name, text in INPUTS:
        (d / name).write_text(text + "\n")
    authority(p, "ca", "/CN=Throwaway Test CA")
    authority(p, "other", "/CN=Another CA")
    cnf = ca_config(p, d, "ca")
    issue_signers(p, cnf)
    revoke(p, cnf)
    key_options(p)
    token(p)
    server = timestamp_server.serve(d, p.tsa, p.key["tsa"])
    p.tsa_url, p.tsa_hits = f"http://127.0.0.1:{server.server_port}", server.hits
    yield p
    server.shutdown()
    server.server_close()

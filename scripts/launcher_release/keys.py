"""scripts/sign's checks of the key (sign.KEY_CHECKS, with the time
stamps'): the signer's certificate and chain, whether it signs code and is
still valid, the chain against the CA file and the CRLs, and a token's key
tried once. Each takes the state and refuses with one line."""
import datetime
import hashlib
import os
import re

from cryptography import x509
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID

from . import certs, tools
from .errors import Refusal
from .options import SignOptions
from .state import Key, SignState, Signer, known


def readable(*files: tuple[str, str]) -> None:
    for what, path in files:
        if path and not os.access(path, os.R_OK):
            raise Refusal(f"cannot read {what} {path}")


def pkcs12_key(o: SignOptions) -> tuple[list[x509.Certificate], str, Key]:
    """The chain in the PKCS#12 file, its signer's first; the file it came
    from; the key as the tools reach it."""
    if not o.password_file:
        raise Refusal("--pkcs12 needs --password-file")
    readable(("the certificate file", o.pkcs12), ("the password file", o.password_file),
             ("the CA file", o.ca_file), ("the CA file", o.tsa_ca_file))
    # The bytes checked here are the ones the tools get, held: by name
    # they would read whatever another user put there since.
    p12, password_file = tools.Given(o.pkcs12), tools.Given(o.password_file)
    # As openssl's file: and osslsigncode's -readpass read it: the first line.
    password = password_file.read().split(b"\n")[0]
    try:
        # (The key is decrypted too, and dropped: OpenSSL reads it from
        # the held copy itself when it signs. Older RC2-40 files load
        # through OpenSSL's legacy provider, as cryptography loads it.)
        _, certificate, extra = pkcs12.load_key_and_certificates(p12.read(), password)
    except ValueError:  # cryptography's word for a wrong password or another kind of file
        certificate = None
    if certificate is None:
        raise Refusal(f"cannot open {o.pkcs12}: wrong password, or not a PKCS#12 file")
    key = Key(osslsigncode=["-pkcs12", p12.path, "-readpass", password_file.path],
              openssl=["-inkey", p12.path, "-passin", "file:" + password_file.path, "-provider", "legacy",
                       "-provider", "default"], env=None, files=[p12, password_file])
    return [certificate, *extra], o.pkcs12, key


def pkcs11_key(o: SignOptions) -> tuple[list[x509.Certificate], str, Key]:
    """As pkcs12_key, for a token: the chain from --certs."""
    if not (o.module and o.key and o.certs):
        raise Refusal("--pkcs11-module, --pkcs11-key and --certs go together")
    readable(("the PKCS#11 module", o.module if "/" in o.module else ""), ("the certificate file", o.certs),
             ("the PIN file", o.pin_file), ("the CA file", o.ca_file), ("the CA file", o.tsa_ca_file))
    chain_file = tools.Given(o.certs)
    pin_file = [tools.Given(o.pin_file)] if o.pin_file else []
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", chain_file.read(), re.S)
    try:
        chain = [x509.load_pem_x509_certificate(b) for b in blocks]
    except ValueError:  # cryptography's word for a block that holds no certificate
        chain = []
    if not chain:
        raise Refusal(f"no PEM certificate in {o.certs}")
    # Held, not named: a configuration someone put in its place would
    # name their library, which openssl loads along with the key's PIN.
    engine = tools.Held(f"openssl_conf=init\n[init]\nengines=engines\n[engines]\npkcs11=pkcs11\n"
                        f"[pkcs11]\nengine_id=pkcs11\nMODULE_PATH={o.module}\n".encode(), "engine.cnf")
    pin = ["-passin", "file:" + pin_file[0].path] if pin_file else []
    key = Key(osslsigncode=["-pkcs11module", o.module, "-certs", chain_file.path, "-key", o.key]
              + (["-readpass", pin_file[0].path] if pin_file else []),
              openssl=["-engine", "pkcs11", "-keyform", "engine", "-inkey", o.key] + pin,
              env=tools.module_env(OPENSSL_CONF=engine.path), files=[engine, chain_file, *pin_file])
    return chain, o.certs, key


def certificate(s: SignState) -> None:
    # The signer's certificate and chain; the key itself is not touched here.
    o = s.o
    chain, signer_file, key = pkcs12_key(o) if o.pkcs12 else pkcs11_key(o)
    ca = tools.Given(o.ca_file)
    signer = chain[0]
    s.signer = Signer(certificate=signer, chain=chain, signer_file=signer_file, subject=certs.subject(signer),
                      key=key, ca=ca, tsa_ca=ca if o.tsa_ca_file == o.ca_file else tools.Given(o.tsa_ca_file),
                      chain_pem=tools.Held(certs.pem(chain)), signer_pem=tools.Held(certs.pem([signer])))
    _refuse_certificate(s.signer)


def _refuse_certificate(signer: Signer) -> None:
    # A chain file in the wrong order would otherwise only be reported as a
    # key that does not belong to its first certificate.
    if certs.is_authority(signer.certificate):
        raise Refusal(f"the first certificate in {signer.signer_file} is an authority's ({signer.subject}): the "
                      "signer's certificate comes first, then its chain")
    # Code-signing certificates carry this usage (the CA/Browser Forum's code
    # signing requirements ask for it), and osslsigncode refuses to sign
    # without it, after the build.
    try:
        usage = list(signer.certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value)
    except x509.ExtensionNotFound:
        usage = []
    if ExtendedKeyUsageOID.CODE_SIGNING not in usage:
        raise Refusal(f"the certificate of {signer.subject} is not for code signing: its extended key usage lacks "
                      "Code Signing")


def expiry(s: SignState) -> None:
    signer = known(s.signer)
    # cryptography 42 and later give the time zone-aware time (and warn at the
    # naive one); Debian 12's 38 has only the naive one, in UTC.
    ends: datetime.datetime
    if hasattr(signer.certificate, "not_valid_after_utc"):
        ends = signer.certificate.not_valid_after_utc
    else:
        ends = signer.certificate.not_valid_after.replace(tzinfo=datetime.timezone.utc)
    if ends < datetime.datetime.now(datetime.timezone.utc):
        raise Refusal(f"the certificate in {signer.signer_file} has expired (notAfter={ends:%b %e %H:%M:%S %Y} GMT)")


def chain(s: SignState) -> None:
    signer = known(s.signer)
    # The CRLs, PEM or DER, in one PEM file: osslsigncode takes one.
    s.crls = tools.Held(certs.gather_crls(list(s.o.crl_files))) if s.o.crl_files else None
    tools.check_chain(signer.ca, signer.chain_pem, signer.signer_pem, s.crls,
                      f"the certificate in {signer.signer_file}")


def key_probe(s: SignState) -> None:
    # A token's key, tried once through the PKCS#11 engine osslsigncode uses:
    # a wrong PIN stops here, not tried again (a token locks after a few).
    o, signer = s.o, known(s.signer)
    if not o.module:
        return
    key = signer.key
    probe, signature = tools.Held(hashlib.sha256(b"quenby launcher release key probe\n").digest()), tools.Held()
    status, log = tools.run("openssl", "pkeyutl", "-sign", *key.openssl, "-pkeyopt", "digest:sha256", "-in",
                            probe.path, "-out", signature.path, env=key.env, files=[probe, signature, *key.files])
    if status != 0:
        raise Refusal(_probe_failure(o, log))
    status, _ = tools.run("openssl", "pkeyutl", "-verify", "-certin", "-inkey", signer.signer_pem.path,
                          "-pkeyopt", "digest:sha256", "-in", probe.path, "-sigfile", signature.path,
                          files=[signer.signer_pem, probe, signature])
    if status != 0:
        raise Refusal(f"the key {o.key} does not belong to the first certificate in {o.certs}")


def _probe_failure(o: SignOptions, log: str) -> str:
    """Why openssl could not sign with the token's key, from what it said."""
    # libp11 says the dynamic loader's reason on the line before.
    if "Unable to load module" in log:
        reason = tools.first(r"^.*(?=\nUnable to load module)", log)
        return f"cannot load the PKCS#11 module {o.module}: {reason.removeprefix(o.module + ': ')}"
    if "No matching initialized token" in log:
        return f"the PKCS#11 module {o.module} shows no token that {o.key} names"
    # Without a PIN the engine asks on the terminal; without one (a
    # service, a pipeline) its first line names no cause.
    if "No PIN code was entered" in log:
        return f"no PIN for {o.key}: give --pin-file FILE (there is no terminal to ask on)"
    reason = (tools.first(r"PIN [a-z ]*", log) or tools.first(r"not found at: .*|Login failed|could not load.*", log)
              or log.strip().split("\n")[-1])
    return f"cannot sign with {o.key}: {reason}"

"""osslsigncode and openssl, where Debian's Python libraries cannot serve:
Authenticode signing and its verification, CMS signing and verification,
chains checked against CRLs, the PKCS#11 engine. Each is read here, by its
exit status and its output, and nowhere else."""
import ctypes
import datetime
import re
import signal
import subprocess

from asn1crypto import cms, tsp
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from .folder import Refusal

_prctl = ctypes.CDLL(None, use_errno=True).prctl
PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # A SIGKILLed sign must not leave osslsigncode signing on its own.
    _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def run(*args, env=None, cwd=None):
    """ARGS run to its end: (exit status, what it printed, both streams)."""
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                          env=env, cwd=cwd, preexec_fn=_die_with_parent, check=False)
    return done.returncode, done.stdout.decode(errors="replace")


def first(pattern, text, default=""):
    match = re.search(pattern, text, re.M)
    return match.group(0) if match else default


# As openssl's -nameopt oneline writes a name: "O = Studio, CN = Signer".
SHORT = {NameOID.COMMON_NAME: "CN", NameOID.ORGANIZATION_NAME: "O", NameOID.ORGANIZATIONAL_UNIT_NAME: "OU",
         NameOID.COUNTRY_NAME: "C", NameOID.STATE_OR_PROVINCE_NAME: "ST", NameOID.LOCALITY_NAME: "L"}


def subject(certificate):
    return ", ".join(f"{SHORT.get(a.oid, a.oid.dotted_string)} = {a.value}" for a in certificate.subject)


def is_authority(certificate):
    try:
        return certificate.extensions.get_extension_for_class(x509.BasicConstraints).value.ca
    except x509.ExtensionNotFound:
        return False


def for_code_signing(certificate):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return False
    return ExtendedKeyUsageOID.CODE_SIGNING in usage


def organisation(certificate):
    names = certificate.subject.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
    return names[0].value if names else ""


def pem(certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def fingerprint(certificate):
    return certificate.fingerprint(hashes.SHA256())


def gather_crls(paths):
    """The CRLs of the files PATHS, PEM (several a file) or DER, in PEM;
    refuses a file that holds none."""
    out = []
    for path in paths:
        try:
            data = open(path, "rb").read()
            blocks = re.findall(rb"-----BEGIN X509 CRL-----.*?-----END X509 CRL-----", data, re.S)
            crls = [x509.load_pem_x509_crl(b) for b in blocks] if blocks else [x509.load_der_x509_crl(data)]
        except (OSError, ValueError):
            raise Refusal(f"cannot read a CRL from {path}") from None
        out += [c.public_bytes(serialization.Encoding.PEM) for c in crls]
    return b"".join(out)


def check_chain(ca_file, untrusted, certificate, crls, what):
    """CERTIFICATE's chain (UNTRUSTED: a PEM file of its chain) against
    CA_FILE and, every certificate of it (-crl_check_all: -crl_check looks at
    the signer's alone), the CRLs file CRLS."""
    crl = ["-crl_check_all", "-CRLfile", crls] if crls else []
    # -nameopt: OpenSSL 3.2 and later print names as CN=x, earlier ones as
    # CN = x, the form the other lines use.
    status, log = run("openssl", "verify", "-nameopt", "oneline", "-CAfile", ca_file, "-untrusted", untrusted,
                      *crl, certificate)
    if status == 0:
        return
    # openssl verify names the certificate on the line before its error.
    revoked = re.search(r"^(.*)\n.*certificate revoked", log, re.M)
    if revoked:
        raise Refusal(f"the certificate of {revoked.group(1)} is revoked: a CRL given with --crl-file lists it")
    hint = " (give the CRL of every certificate in the chain with --crl-file)" \
        if "unable to get certificate CRL" in log else ""
    raise Refusal(f"{what} does not verify against {ca_file}: {first(r'error .*', log)}{hint}")


def authenticode_failure(log):
    """Why osslsigncode verify did not call the signature ok: the reason
    comes before its last words, "Signature verification: failed"."""
    return (first(r".*(Unsupported|[Ee]rror|unable|revoked|expired|not yet valid|[Mm]ismatch).*", log)
            or first(r"(?i).*fail.*", log) or "osslsigncode printed no reason")


def primary_report(log):
    """The part of osslsigncode verify's report on the primary signature:
    a nested one's "ok" says nothing of it."""
    return re.split(r"^Signature Index: [1-9]", log, flags=re.M)[0]


def osslsigncode_version():
    return run("osslsigncode", "--version")[1].split("\n")[0].split(",")[0]


def authenticode_signature(exe):
    """The primary signature of the PE file EXE (bytes): (the certificate
    its signer info names, every certificate it carries)."""
    import pefile
    pe = pefile.PE(data=exe, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    # WIN_CERTIFICATE: length, revision and type (8 bytes), then the PKCS#7.
    blob = exe[entry.VirtualAddress + 8:entry.VirtualAddress + entry.Size]
    signed = cms.ContentInfo.load(blob, strict=False)["content"]
    carried = [x509.load_der_x509_certificate(c.chosen.dump()) for c in signed["certificates"]]
    sid = signed["signer_infos"][0]["sid"].chosen
    signer = next(c for c in carried
                  if c.serial_number == sid["serial_number"].native and c.issuer.public_bytes() == sid["issuer"].dump())
    return signer, carried


def timestamp_query(digest, nonce):
    return tsp.TimeStampReq({"version": 1, "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                                               "hashed_message": digest},
                             "nonce": nonce, "cert_req": True}).dump()


def granted(reply):
    try:
        return tsp.TimeStampResp.load(reply)["status"]["status"].native in ("granted", "granted_with_mods")
    except ValueError:
        return False


def stamped_at(reply):
    """The time an RFC 3161 reply records."""
    info = tsp.TimeStampResp.load(reply)["time_stamp_token"]["content"]["encap_content_info"]["content"].parsed
    return info["gen_time"].native.astimezone(datetime.timezone.utc)

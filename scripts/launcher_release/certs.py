"""Certificates, CRLs and the Authenticode signature, as Debian's Python
libraries read them (cryptography, asn1crypto, pefile): nothing here runs
a tool."""
import re

from asn1crypto import cms
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import NameOID

from .errors import NotASignature, Refusal
from .folder import contents

# As openssl's -nameopt oneline writes a name: "O = Studio, CN = Signer".
SHORT = {NameOID.COMMON_NAME: "CN", NameOID.ORGANIZATION_NAME: "O", NameOID.ORGANIZATIONAL_UNIT_NAME: "OU",
         NameOID.COUNTRY_NAME: "C", NameOID.STATE_OR_PROVINCE_NAME: "ST", NameOID.LOCALITY_NAME: "L"}


def subject(certificate: x509.Certificate) -> str:
    return ", ".join(f"{SHORT.get(a.oid, a.oid.dotted_string)} = {a.value!s}" for a in certificate.subject)


def is_authority(certificate: x509.Certificate) -> bool:
    try:
        return certificate.extensions.get_extension_for_class(x509.BasicConstraints).value.ca
    except x509.ExtensionNotFound:
        return False


def pem(certificates: list[x509.Certificate]) -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def gather_crls(paths: list[str]) -> bytes:
    """The CRLs of the files PATHS, PEM (several a file) or DER, in PEM;
    refuses a file that holds none."""
    out = []
    for path in paths:
        try:
            data = contents(path)
            blocks = re.findall(rb"-----BEGIN X509 CRL-----.*?-----END X509 CRL-----", data, re.S)
            crls = [x509.load_pem_x509_crl(b) for b in blocks] if blocks else [x509.load_der_x509_crl(data)]
        except (OSError, ValueError):  # unreadable, or not a CRL: cryptography's ValueError
            raise Refusal(f"cannot read a CRL from {path}") from None
        out += [c.public_bytes(serialization.Encoding.PEM) for c in crls]
    return b"".join(out)


def authenticode_signature(exe: bytes) -> tuple[x509.Certificate, list[x509.Certificate]]:
    """The primary signature of the PE file EXE (bytes): (the certificate
    its signer info names, every certificate it carries)."""
    import pefile
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        # WIN_CERTIFICATE: length, revision and type (8 bytes), then the PKCS#7.
        blob = exe[entry.VirtualAddress + 8:entry.VirtualAddress + entry.Size]
        signed = cms.ContentInfo.load(blob, strict=False)["content"]
        carried = [x509.load_der_x509_certificate(c.chosen.dump()) for c in signed["certificates"]]
        sid = signed["signer_infos"][0]["sid"].chosen
        signer = next(c for c in carried if c.serial_number == sid["serial_number"].native
                      and c.issuer.public_bytes() == sid["issuer"].dump())
    # asn1crypto parses lazily, as the values are reached: a signature of
    # another shape fails there with any of these; no carried certificate
    # that the signer info names ends next().
    except (ValueError, KeyError, IndexError, StopIteration) as error:
        raise NotASignature(str(error)) from None
    return signer, carried

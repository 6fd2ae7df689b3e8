"""scripts/verify: a signed release, read once from its folder into a
private one, where each check runs on the copy."""
import dataclasses
import datetime
import hashlib
import os

from cryptography import x509

from . import bom, buildinfo, certs, files, folder, timestamps, tools
from .errors import Large, Missing, NotABom, NotASignature, Odd, Refusal, Unreadable
from .options import VerifyOptions, verify_options
from .text import quoted


@dataclasses.dataclass(frozen=True)
class Trust:
    """Whom scripts/verify trusts: the signer's certificate, pinned, and the
    CA files, held as read once."""
    pinned: x509.Certificate
    subject: str
    ca: tools.Given
    tsa: tools.Given


@dataclasses.dataclass(frozen=True)
class Copies:
    """The signed release's files, read once, and held for the tools: no
    name in TMPDIR, which another user might be able to change."""
    files: dict[str, bytes]
    held: dict[str, tools.Held]
    at: list[str]  # openssl's -attime and osslsigncode's -time, or none
    crls: "tools.Held | None"


def main(args: list[str], name: str) -> str:
    o = verify_options(args)
    return check(o, trust(o))


def trust(o: VerifyOptions) -> Trust:
    for path in [o.ca, o.signer_file, o.tsa, *o.crl]:
        if not os.access(path, os.R_OK):
            raise Refusal(f"cannot read {path}")
    try:
        pinned = x509.load_pem_x509_certificate(folder.contents(o.signer_file))
    except ValueError:  # cryptography's word for a file that holds no certificate
        raise Refusal(f"no PEM certificate in {o.signer_file}") from None
    subject = certs.subject(pinned)
    # An authority's certificate vouches for every signer under it.
    if certs.is_authority(pinned):
        raise Refusal(f"the certificate in {o.signer_file} is an authority's ({subject}), not a signer's: "
                      "give the studio's signing certificate")
    # Held, as the tools get every file: by name, they would read whatever
    # another user put there since.
    ca = tools.Given(o.ca)
    return Trust(pinned=pinned, subject=subject, ca=ca, tsa=ca if o.tsa == o.ca else tools.Given(o.tsa))


def check(o: VerifyOptions, t: Trust) -> str:
    read = read_release(o.given)
    if files.sums(read) != read["SHA256SUMS"]:
        raise Refusal(f"{o.given}/SHA256SUMS does not match the files beside it")
    c = Copies(files=read, held={name: tools.Held(data, name) for name, data in read.items()},
               at=[o.at] if o.at else [], crls=tools.Held(certs.gather_crls(list(o.crl))) if o.crl else None)
    stamped = check_p7s(o, t, c)
    check_exe(o, t, c)
    check_build(o.given, c)
    return (f"verify: {o.given}: signed by {t.subject} (the certificate given), SHA256SUMS.p7s time-stamped at "
            f"{stamped:%b %e %H:%M:%S %Y} GMT, launcher.exe time-stamped and verified by "
            f"{tools.osslsigncode_version()}")


def read_release(given: str) -> dict[str, bytes]:
    """The signed release's files in the folder GIVEN, each read once."""
    try:
        dir_fd = folder.open_folder(given.rstrip("/") or "/")
    except OSError:
        raise Refusal(f"no folder {given}") from None
    try:
        read, odd = {}, []
        for name in files.SIGNED:
            try:
                read[name] = files.read_file(dir_fd, name)
            except Missing:
                raise Refusal(f"{given} has no {name}: not a signed, time-stamped release") from None
            except Large:
                raise Refusal(f"{given}/{name} is larger than any file of a release ({files.LARGEST >> 20} MiB)") \
                    from None
            except Odd:
                odd.append(name)  # refused below, after a stray name
        stray = next((n for n in sorted(os.listdir(dir_fd)) if n not in files.SIGNED), None)
        if stray is not None:
            raise Refusal(f"{given} holds {quoted(stray)}, which is not one of a signed release's files "
                          f"({' '.join(files.SIGNED)})")
        first_odd = folder.odd_entry(dir_fd) or next(iter(odd), None)
        if first_odd is not None:
            raise Refusal(f"{given}/{first_odd} is not a regular file of its own (a link, a folder or another kind)")
        return read
    finally:
        os.close(dir_fd)


def check_p7s(o: VerifyOptions, t: Trust, c: Copies) -> datetime.datetime:
    """SHA256SUMS.p7s: its time stamp first, which says when it was made;
    then the signature as at that time, by the pinned certificate. The
    time it was stamped at."""
    p7s, signer = c.held["SHA256SUMS.p7s"], tools.Held(name="p7s-signer.pem")
    tools.check_p7s_time_stamp(p7s, c.held["SHA256SUMS.p7s.tsr"], t.tsa, c.at)
    stamped = timestamps.stamped_at(c.files["SHA256SUMS.p7s.tsr"])
    # (-no-CApath -no-CAstore: as in tools.check_chain, ROOT alone is trusted.)
    status, log = tools.run("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", p7s.path, "-content",
                            c.held["SHA256SUMS"].path, "-purpose", "any", "-no-CApath", "-no-CAstore", "-CAfile",
                            t.ca.path, "-attime", str(int(stamped.timestamp())), "-signer", signer.path,
                            "-out", "/dev/null", files=[p7s, c.held["SHA256SUMS"], signer, t.ca])
    if status != 0:
        raise Refusal(f"SHA256SUMS.p7s does not verify against {o.ca}: " + tools.first(r"(?i).*(error|fail).*", log))
    if c.crls:
        check_p7s_revocation(o, t, p7s, signer, c.crls)
    p7s_signer = x509.load_pem_x509_certificate(signer.read())
    # (cryptography compares certificates by their DER bytes.)
    if p7s_signer != t.pinned:
        raise Refusal(f"SHA256SUMS.p7s is signed by {certs.subject(p7s_signer)}, not by the certificate in "
                      f"{o.signer_file} ({t.subject})")
    return stamped


def check_p7s_revocation(o: VerifyOptions, t: Trust, p7s: tools.Held, signer: tools.Held, crls: tools.Held) -> None:
    # (openssl cms takes no CRLs: the chain it carries, once more with them,
    # for revocation only: the times were checked as at the time stamp, and
    # a CRL issued since would not yet be valid then.)
    chain = tools.Held(name="p7s-chain.pem")
    status, log = tools.run("openssl", "pkcs7", "-inform", "DER", "-in", p7s.path, "-print_certs", "-out",
                            chain.path, files=[p7s, chain])
    if status == 0:
        status, log = tools.run("openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile", t.ca.path,
                                "-untrusted", chain.path, "-crl_check_all", "-CRLfile", crls.path, "-no_check_time",
                                signer.path, files=[chain, crls, signer, t.ca])
    if status != 0:
        raise Refusal(f"the chain of SHA256SUMS.p7s's signer does not verify against {o.ca} and the CRLs: "
                      + tools.first(r"error .*", log))


def check_exe(o: VerifyOptions, t: Trust, c: Copies) -> None:
    """launcher.exe's primary Authenticode signature, by the pinned
    certificate: a nested signature's "ok" says nothing of it."""
    exe = c.held["launcher.exe"]
    crl = ["-CRLfile", c.crls.path, "-TSA-CRLfile", c.crls.path] if c.crls else []
    _, log = tools.run("osslsigncode", "verify", "-CAfile", t.ca.path, "-TSA-CAfile", t.tsa.path, *crl,
                       "-in", exe.path, *(["-time"] + c.at if c.at else []),
                       files=[exe, t.ca, t.tsa] + ([c.crls] if c.crls else []))
    primary = tools.primary_report(log)
    if not primary.signed:
        raise Refusal(f"launcher.exe's signature does not verify against {o.ca}: "
                      f"{tools.authenticode_failure(primary.text)}")
    if not primary.stamped:
        raise Refusal(f"launcher.exe's signature carries no time stamp that verifies against {o.tsa}")
    try:
        exe_signer, _ = certs.authenticode_signature(c.files["launcher.exe"])
    except NotASignature:
        raise Refusal("cannot read the signer of launcher.exe's signature") from None
    if exe_signer != t.pinned:
        raise Refusal(f"launcher.exe is signed by {certs.subject(exe_signer)}, not by the certificate in "
                      f"{o.signer_file} ({t.subject})")


def without_signature(exe: tools.Held) -> bytes:
    # (osslsigncode 2.9 writes over no file: its output is a new name in a
    # folder we hold.)
    with folder.private_folder() as out:
        status, _ = tools.run("osslsigncode", "remove-signature", "-in", exe.path, "-out",
                              f"/proc/self/fd/{out}/unsigned.exe", files=[exe, out])
        try:
            if status == 0:
                return files.read_file(out, "unsigned.exe")
        except Unreadable:
            pass
    raise Refusal("cannot remove launcher.exe's signature")


def check_build(given: str, c: Copies) -> None:
    """Without its signature, the build that BUILDINFO and the bill of
    materials record; the bill of materials names the signed file, as a
    later version."""
    unsigned = hashlib.sha256(without_signature(c.held["launcher.exe"])).hexdigest()
    shipped = hashlib.sha256(c.files["launcher.exe"]).hexdigest()
    if buildinfo.values(c.files["BUILDINFO"], "launcher-sha256") != [unsigned]:
        raise Refusal(f"launcher.exe without its signature (SHA-256 {unsigned}) is not the build its BUILDINFO records")
    try:
        properties, version, hashes = bom.signed_record(bom.read(c.files["launcher.cdx.json"]))
    except NotABom:
        raise Refusal(f"{given}/launcher.cdx.json is not the bill of materials scripts/release writes") from None
    if properties.get("quenby:unsigned-sha256") != unsigned:
        raise Refusal(f"the bill of materials records the build as {properties.get('quenby:unsigned-sha256')}, not "
                      f"launcher.exe's without its signature ({unsigned})")
    if properties.get("quenby:signed-sha256") != shipped or hashes != [shipped]:
        raise Refusal(f"the bill of materials does not name the signed launcher.exe ({shipped}) by its hash")
    # CycloneDX: a bill of materials whose content changes gets a higher
    # version; the unsigned release's is 1.
    if not isinstance(version, int) or version <= 1:
        raise Refusal(f"the bill of materials keeps version {version}, the unsigned release's: the signed one is a "
                      "later version")

"""scripts/verify: a signed release, read once from its folder into a
private one, where each check runs on the copy."""
import hashlib
import os
import types

from cryptography import x509

from . import folder, tools
from .folder import Refusal, from_caller, matching, quoted

USAGE = ("scripts/verify DIR --ca-file ROOT --signer CERT: which release to check "
         "(see the comment at the top of scripts/verify)")


OPTIONS = {"--ca-file": ("ca", from_caller), "--signer": ("signer_file", from_caller),
           "--tsa-ca-file": ("tsa", from_caller), "--crl-file": ("crl", from_caller), "--time": ("at", matching(r"[0-9]+", "--time takes seconds since 1970"))}


def main(args, name):
    if not args or args[0].startswith("--"):
        raise Refusal(USAGE)
    o = folder.parse(args[1:], types.SimpleNamespace(given=from_caller(args[0]), ca="", signer_file="", tsa="",
                                                     crl=[], at=""), OPTIONS, "verify")
    if not o.ca or not o.signer_file:
        raise Refusal("--ca-file ROOT and --signer CERT are needed: whom to trust, and whose signature to accept")
    o.tsa = o.tsa or o.ca
    for path in [o.ca, o.signer_file, o.tsa] + o.crl:
        if not os.access(path, os.R_OK):
            raise Refusal(f"cannot read {path}")
    try:
        o.pinned = x509.load_pem_x509_certificate(folder.contents(o.signer_file))
    except ValueError:
        raise Refusal(f"no PEM certificate in {o.signer_file}") from None
    o.subject = tools.subject(o.pinned)
    # An authority's certificate vouches for every signer under it.
    if tools.is_authority(o.pinned):
        raise Refusal(f"the certificate in {o.signer_file} is an authority's ({o.subject}), not a signer's: "
                      "give the studio's signing certificate")
    # Held, as the tools get every file: by name, they would read whatever
    # another user put there since.
    o.ca_held = tools.Given(o.ca)
    o.tsa_held = o.ca_held if o.tsa == o.ca else tools.Given(o.tsa)
    return check(o)


def check(o):
    given, ca, tsa = o.given, o.ca, o.tsa
    path = given.rstrip("/") or "/"
    try:
        dir_fd = folder.open_folder(path)
    except OSError:
        raise Refusal(f"no folder {given}") from None
    files = {}
    for name in folder.SIGNED:
        data, why = folder.read_file(dir_fd, name)
        if why == "missing":
            raise Refusal(f"{given} has no {name}: not a signed, time-stamped release")
        files[name] = data
        if why == "large":
            raise Refusal(f"{given}/{name} is larger than any file of a release ({folder.LARGEST >> 20} MiB)")
    stray = next((n for n in sorted(os.listdir(dir_fd)) if n not in folder.SIGNED), None)
    if stray is not None:
        raise Refusal(f"{given} holds {quoted(stray)}, which is not one of a signed release's files "
                      f"({' '.join(folder.SIGNED)})")
    odd = folder.odd_entry(dir_fd)
    if odd is not None or None in files.values():
        raise Refusal(f"{given}/{odd or next(n for n, d in files.items() if d is None)} is not a regular file of "
                      "its own (a link, a folder or another kind)")
    os.close(dir_fd)
    if folder.sums(files) != files["SHA256SUMS"]:
        raise Refusal(f"{given}/SHA256SUMS does not match the files beside it")
    # The tools read the copies as files no one else can reach, not by a
    # name in TMPDIR, which another user might be able to change.
    held = {name: tools.Held(data, name) for name, data in files.items()}
    at, crls = [o.at] if o.at else [], tools.Held(tools.gather_crls(o.crl)) if o.crl else None

    # SHA256SUMS.p7s: its time stamp first, which says when it was made; then
    # the signature as at that time, by the pinned certificate.
    p7s, signer = held["SHA256SUMS.p7s"], tools.Held(name="p7s-signer.pem")
    tools.check_p7s_time_stamp(p7s, held["SHA256SUMS.p7s.tsr"], o.tsa_held, at)
    stamped = tools.stamped_at(files["SHA256SUMS.p7s.tsr"])
    # (-no-CApath -no-CAstore: as in tools.check_chain, ROOT alone is trusted.)
    status, log = tools.run("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", p7s.path, "-content",
                            held["SHA256SUMS"].path, "-purpose", "any", "-no-CApath", "-no-CAstore", "-CAfile", o.ca_held.path, "-attime",
                            str(int(stamped.timestamp())), "-signer", signer.path, "-out", "/dev/null",
                            files=[p7s, held["SHA256SUMS"], signer, o.ca_held])
    if status != 0:
        raise Refusal(f"SHA256SUMS.p7s does not verify against {ca}: " + tools.first(r"(?i).*(error|fail).*", log))
    # (openssl cms takes no CRLs: the chain it carries, once more with them,
    # for revocation only: the times were checked as at the time stamp, and
    # a CRL issued since would not yet be valid then.)
    if crls:
        chain = tools.Held(name="p7s-chain.pem")
        status, log = tools.run("openssl", "pkcs7", "-inform", "DER", "-in", p7s.path, "-print_certs", "-out",
                                chain.path, files=[p7s, chain])
        if status == 0:
            status, log = tools.run("openssl", "verify", "-no-CApath", "-no-CAstore", "-CAfile", o.ca_held.path,
                                    "-untrusted", chain.path,
                                    "-crl_check_all", "-CRLfile", crls.path, "-no_check_time", signer.path,
                                    files=[chain, crls, signer, o.ca_held])
        if status != 0:
            raise Refusal(f"the chain of SHA256SUMS.p7s's signer does not verify against {ca} and the CRLs: "
                          + tools.first(r"error .*", log))
    p7s_signer = x509.load_pem_x509_certificate(signer.read())
    # (cryptography compares certificates by their DER bytes.)
    if p7s_signer != o.pinned:
        raise Refusal(f"SHA256SUMS.p7s is signed by {tools.subject(p7s_signer)}, not by the certificate in "
                      f"{o.signer_file} ({o.subject})")

    # launcher.exe's primary Authenticode signature, by the pinned
    # certificate: a nested signature's "ok" says nothing of it.
    exe = held["launcher.exe"]
    crl = ["-CRLfile", crls.path, "-TSA-CRLfile", crls.path] if crls else []
    _, log = tools.run("osslsigncode", "verify", "-CAfile", o.ca_held.path, "-TSA-CAfile", o.tsa_held.path, *crl,
                       "-in", exe.path, *(["-time"] + at if at else []),
                       files=[exe, o.ca_held, o.tsa_held] + ([crls] if crls else []))
    primary = tools.primary_report(log)
    if not primary.signed:
        raise Refusal(f"launcher.exe's signature does not verify against {ca}: "
                      f"{tools.authenticode_failure(primary.text)}")
    if not primary.stamped:
        raise Refusal(f"launcher.exe's signature carries no time stamp that verifies against {tsa}")
    try:
        exe_signer, _ = tools.authenticode_signature(files["launcher.exe"])
    except (ValueError, KeyError, StopIteration, IndexError):
        raise Refusal("cannot read the signer of launcher.exe's signature") from None
    if exe_signer != o.pinned:
        raise Refusal(f"launcher.exe is signed by {tools.subject(exe_signer)}, not by the certificate in "
                      f"{o.signer_file} ({o.subject})")

    # Without its signature, the build that BUILDINFO and the bill of
    # materials record; the bill of materials names the signed file, as a
    # later version.
    # (osslsigncode 2.9 writes over no file: its output is a new name in a
    # folder we hold.)
    with folder.private_folder() as out:
        status, _ = tools.run("osslsigncode", "remove-signature", "-in", exe.path, "-out",
                              f"/proc/self/fd/{out}/unsigned.exe", files=[exe, out])
        stripped, why = folder.read_file(out, "unsigned.exe") if status == 0 else (None, "")
    if status != 0 or why:
        raise Refusal("cannot remove launcher.exe's signature")
    unsigned = hashlib.sha256(stripped).hexdigest()
    shipped = hashlib.sha256(files["launcher.exe"]).hexdigest()
    if folder.buildinfo_values(files["BUILDINFO"], "launcher-sha256") != [unsigned]:
        raise Refusal(f"launcher.exe without its signature (SHA-256 {unsigned}) is not the build its BUILDINFO records")
    try:
        bom = folder.read_json(files["launcher.cdx.json"], "launcher.cdx.json")
        launcher = bom["metadata"]["component"]
        properties = {p["name"]: p["value"] for p in launcher["properties"]}
        version, hashes = bom["version"], [h["content"] for h in launcher["hashes"]]
    except (ValueError, KeyError, TypeError, AttributeError):
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
    return (f"verify: {given}: signed by {o.subject} (the certificate given), SHA256SUMS.p7s time-stamped at "
            f"{stamped:%b %e %H:%M:%S %Y} GMT, launcher.exe time-stamped and verified by {tools.osslsigncode_version()}")

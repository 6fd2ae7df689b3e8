"""scripts/sign's signing (sign.SIGNING), on a release that passed every
check: Authenticode, its verification, the files that record the signed
file, SHA256SUMS.p7s and its time stamp, the read-back, the exchange."""
import hashlib
import os
import re
import signal
from typing import Optional, Union

from cryptography.x509.oid import NameOID

from . import bom, certs, files, folder, timestamps, tools
from .errors import Refusal, Unreadable
from .state import SignState, known
from .text import errno_text

# The folder a signing of this process put in place, shown, once it is
# there: whatever stops the run later (a signal in the clean-up, or as the
# failure is reported), cli's last line says that it is signed.
signed_dir: Optional[str] = None


def _signed_path(s: SignState) -> str:
    """launcher.exe in the signed folder, as the tools reach it: through
    the descriptor we hold."""
    return f"/proc/self/fd/{known(s.copies).signed_fd}/launcher.exe"


def authenticode(s: SignState) -> None:
    signer, copies = known(s.signer), known(s.copies)
    ts = ["-ts", s.timestamp] if s.timestamp else []
    # The checked bytes in; out, a new file in the signed folder, reached
    # through the descriptor we hold (osslsigncode 2.9 writes over no file).
    unsigned = tools.Held(copies.files["launcher.exe"], "launcher.exe")
    status, log = tools.run("osslsigncode", "sign", *signer.key.osslsigncode, "-h", "sha256", "-n", "Quenby launcher",
                            *ts, "-in", unsigned.path, "-out", _signed_path(s),
                            files=[unsigned, copies.signed_fd, *signer.key.files],
                            env=tools.module_env() if s.o.module else None)
    if status != 0 or not re.search(r"^Succeeded", log, re.M):
        # osslsigncode's reason is the first line that is not its progress talk.
        reason = next((line for line in log.split("\n") if line and not re.match(r"Succeeded|Engine |Failed$", line)),
                      f"osslsigncode printed no reason (exit status {status})")
        raise Refusal(f"signing failed: {reason}")


def verify_signed(s: SignState) -> None:
    # As a player's Windows would, the primary signature alone; its carried
    # chain once more against every CRL (osslsigncode checks the signer's).
    signer, copies = known(s.signer), known(s.copies)
    crl = ["-CRLfile", s.crls.path] if s.crls else []
    tsa = ["-TSA-CAfile", signer.tsa_ca.path] + (["-TSA-CRLfile", s.crls.path] if s.crls else []) \
        if s.timestamp else []
    given: list[Union[int, tools.Held]] = [copies.signed_fd, signer.ca, signer.tsa_ca]
    status, log = tools.run("osslsigncode", "verify", "-CAfile", signer.ca.path, *crl, *tsa, "-in", _signed_path(s),
                            files=given + ([s.crls] if s.crls else []))
    primary = tools.primary_report(log)
    if status != 0 or not primary.signed:
        if "certificate revoked" in log:
            raise Refusal(f"the certificate of {signer.subject} is revoked: a CRL given with --crl-file lists it")
        # osslsigncode 2.9 fetches the CRL a certificate names when given
        # none, and fails without network; 2.5 does not look.
        hint = " (give the CRLs with --crl-file)" if not s.crls and "crl" in log.lower() else ""
        raise Refusal(f"the signed file does not verify against {s.o.ca_file}: {tools.authenticode_failure(log)}"
                      f"{hint}")
    try:
        s.signed_exe = files.read_file(copies.signed_fd, "launcher.exe")
    except Unreadable as why:
        raise Refusal(f"osslsigncode wrote no signed file of its own in {known(s.work).path} ({why})") from None
    _check_signer(s)
    s.report = f"signed by {signer.subject}"
    if s.timestamp:
        if not primary.stamped:
            raise Refusal(f"the signature carries no time stamp that verifies against {s.o.tsa_ca_file}")
        s.report += f", time-stamped by {s.timestamp}"
    else:
        s.report += ", NOT time-stamped: it stops verifying when the certificate expires"
    s.report += f", verified by {tools.osslsigncode_version()}"


def _check_signer(s: SignState) -> None:
    # Whoever signed it, not whoever was meant to: a token may hold more
    # than one key, and the chain is checked for the certificate the
    # signature names (as scripts/verify checks it).
    # (osslsigncode has just verified it: its signature parses.)
    signer = known(s.signer)
    named, carried = certs.authenticode_signature(s.signed_exe)
    if named != signer.certificate:
        raise Refusal(f"the signed file is signed by {certs.subject(named)}, not by the certificate in "
                      f"{signer.signer_file} ({signer.subject})")
    tools.check_chain(signer.ca, tools.Held(certs.pem(carried)), tools.Held(certs.pem([named])), s.crls,
                      "the chain the signed file carries")


def _write(s: SignState, written: dict[str, bytes]) -> None:
    try:
        files.write_files(known(s.copies).signed_fd, written)
    except OSError as error:
        raise Refusal(f"cannot write the signed release in {known(s.work).path}: {errno_text(error)}") from None


def signed_files(s: SignState) -> None:
    signer, copies = known(s.signer), known(s.copies)
    digest = hashlib.sha256(s.signed_exe).hexdigest()
    organisation = signer.certificate.subject.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
    record = bom.signed_bom(known(s.bom), digest, s.o.supplier, str(organisation[0].value) if organisation else "")
    written = {"launcher.exe": s.signed_exe, "NOTICES.txt": copies.files["NOTICES.txt"],
               "BUILDINFO": copies.files["BUILDINFO"], "launcher.cdx.json": bom.write(record)}
    written["SHA256SUMS"] = files.sums(written)
    s.written = dict(written)
    del written["launcher.exe"]
    _write(s, written)


def cms_signature(s: SignState) -> None:
    signer = known(s.signer)
    # The chain without the signer's certificate, which openssl cms adds
    # itself and refuses twice.
    others = [c for c in signer.chain if c != signer.certificate]
    held = [tools.Held(certs.pem(others))] if others else []
    sums, p7s = tools.Held(s.written["SHA256SUMS"]), tools.Held(name="SHA256SUMS.p7s")
    status, log = tools.run("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-outform", "DER",
                            "-in", sums.path, "-signer", signer.signer_pem.path,
                            *(["-certfile", held[0].path] if held else []), *signer.key.openssl, "-out", p7s.path,
                            env=signer.key.env, files=[sums, signer.signer_pem, p7s, *held, *signer.key.files])
    if status != 0:
        reason = tools.first(r"(?i).*(error|PIN|fail).*", log) or log.strip().split("\n")[-1]
        raise Refusal(f"cannot sign SHA256SUMS: {reason}")
    s.written["SHA256SUMS.p7s"] = p7s.read()
    _write(s, {"SHA256SUMS.p7s": s.written["SHA256SUMS.p7s"]})


def cms_time_stamp(s: SignState) -> None:
    # On the signature's bytes, from launcher.exe's server: scripts/verify
    # checks the signature as at that time, so it outlives the certificate
    # as Authenticode's does.
    if not s.timestamp:
        return
    p7s = s.written["SHA256SUMS.p7s"]
    reply, why = timestamps.ask_tsa(s.timestamp, hashlib.sha256(p7s).digest())
    if not reply:
        raise Refusal(f"cannot time-stamp SHA256SUMS.p7s with {s.timestamp}: {why}")
    tools.check_p7s_time_stamp(tools.Held(p7s), tools.Held(reply), known(s.signer).tsa_ca)
    s.written["SHA256SUMS.p7s.tsr"] = reply
    _write(s, {"SHA256SUMS.p7s.tsr": reply})


def read_back(s: SignState) -> None:
    # What the exchange puts in DIR's place, read back through the folder we
    # hold: exactly the files written, each regular and of its own, each the
    # bytes the tools wrote and verified; with the release's modes, whatever
    # the umask.
    signed_fd, work = known(s.copies).signed_fd, known(s.work).path
    found = sorted(os.listdir(signed_fd))
    if found != sorted(s.written):
        raise Refusal(f"the signed release in {work} holds {' '.join(found)}, not {' '.join(sorted(s.written))}: "
                      "something else wrote there")
    for name, data in s.written.items():
        file = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=signed_fd)
        with os.fdopen(file, "rb") as f:
            if not folder.own_file(os.fstat(file)) or f.read(len(data) + 1) != data:
                raise Refusal(f"the signed release's {name} in {work} is not what was signed: something else "
                              "wrote there")
            os.fchmod(file, 0o644)


def put_in_place(s: SignState) -> None:
    # The unsigned release goes with the work folder. A SIGTERM now waits
    # until it is known whether DIR was exchanged, which the last line says.
    global signed_dir
    opened = known(s.opened)
    os.fchmod(known(s.copies).signed_fd, 0o755)
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGHUP, signal.SIGINT})
    try:
        folder.exchange(known(s.work).fd, "signed", opened.parent_fd, opened.name)
        s.exchanged, signed_dir = True, opened.shown
    except OSError as error:
        raise Refusal(f"cannot put the signed release in place of {opened.shown}: {errno_text(error)}") from None
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)

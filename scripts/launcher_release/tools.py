"""osslsigncode and openssl, where Debian's Python libraries cannot serve:
Authenticode signing and its verification, CMS signing and verification,
chains checked against CRLs, the PKCS#11 engine. Each is read here, by its
exit status and its output, and nowhere else."""
import ctypes
import dataclasses
import os
import re
import signal
import subprocess
from collections.abc import Sequence
from typing import Optional, Union

from .errors import Refusal
from .folder import contents

_prctl = ctypes.CDLL(None, use_errno=True).prctl
PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    # A SIGKILLed sign must not leave osslsigncode signing on its own.
    _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


# By absolute path, from Debian's packages: a tool earlier on the caller's
# PATH is not the one the signing trusts.
TOOLS = {"openssl": "/usr/bin/openssl", "osslsigncode": "/usr/bin/osslsigncode"}


# What a tool runs with: not the caller's environment, where OPENSSL_CONF
# would name a configuration that loads any library, SSL_CERT_DIR and
# SSL_CERT_FILE more authorities to trust, OPENSSL_MODULES other providers.
ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
# Variables that the caller's environment does not give a run that loads a
# PKCS#11 module: those of OpenSSL, of the dynamic loader, of the locale.
NOT_FOR_A_MODULE = re.compile(r"OPENSSL_.*|SSL_CERT_.*|LD_.*|GCONV_PATH|LOCPATH|NLSPATH|PATH|LANG|LANGUAGE|LC_.*")


def module_env(**more: str) -> dict[str, str]:
    """The environment of a run that loads a PKCS#11 module: ENV and MORE,
    and the caller's variables but those of NOT_FOR_A_MODULE. A module may
    need its own (SoftHSM's SOFTHSM2_CONF, a vendor's configuration or
    log settings), which no list here could name."""
    return {**{k: v for k, v in os.environ.items() if not NOT_FOR_A_MODULE.fullmatch(k)}, **ENV, **more}


# How long a tool may run. osslsigncode sign -ts makes its own time-stamp
# request, whose wait has no end of ours: a server that trickled bytes
# held the signing for ever. Twice the time-stamp requests' own 60 s.
TOOL_DEADLINE = 120


def run(tool: str, *args: str, env: Optional[dict[str, str]] = None,
        files: Sequence[Union[int, "Held"]] = ()) -> tuple[int, str]:
    """(exit status, what TOOL printed on both streams). FILES: what ARGS
    name as /proc/self/fd/N: Held files and descriptors of held folders.
    ENV: the tool's whole environment, ENV unless given. A tool still
    running after TOOL_DEADLINE is killed, and refused."""
    with subprocess.Popen([TOOLS[tool], *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, env=ENV if env is None else env,
                          pass_fds=[f if isinstance(f, int) else f.fd for f in files],
                          preexec_fn=_die_with_parent) as process:
        try:
            out, _ = process.communicate(timeout=TOOL_DEADLINE)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise Refusal(f"{tool} {args[0]} did not finish within {TOOL_DEADLINE} s, and was stopped") from None
        except BaseException:
            # (subprocess.run, given a timeout, leaves a tool it killed on
            # SIGTERM unreaped: Python then warns that it is still running.)
            process.kill()
            process.wait()
            raise
    return process.returncode, out.decode(errors="replace")


class Held:
    """A file only this process reaches: a memfd, which has no name in any
    folder, so no other user can put something else in its place. A tool
    gets it as /proc/self/fd/N of the descriptor it inherits (which the
    kernel resolves to this very file, whatever names change meanwhile) and
    reads it, or writes it, as it would a file of its own."""

    def __init__(self, data: bytes = b"", name: str = "copy") -> None:
        self.fd = os.memfd_create(name, os.MFD_CLOEXEC)
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def __del__(self) -> None:
        os.close(self.fd)

    @property
    def path(self) -> str:
        return f"/proc/self/fd/{self.fd}"

    def read(self) -> bytes:
        os.lseek(self.fd, 0, os.SEEK_SET)
        chunks = []
        while chunk := os.read(self.fd, 1 << 20):
            chunks.append(chunk)
        return b"".join(chunks)


class Given(Held):
    """A caller's file (a key, a password, a CA file), held as the bytes
    read once from GIVEN, its name, which refusals show: a tool given the
    name would read whatever another user put under it by then."""

    def __init__(self, given: str, data: Optional[bytes] = None) -> None:
        super().__init__(contents(given) if data is None else data, os.path.basename(given))
        self.given = given


def first(pattern: str, text: str, default: str = "") -> str:
    match = re.search(pattern, text, re.M)
    return match.group(0) if match else default


def check_chain(ca: Given, untrusted: Held, certificate: Held, crls: Optional[Held], what: str) -> None:
    """CERTIFICATE's chain (UNTRUSTED: Held PEM of its chain) against CA (a
    Given CA file) and, every certificate of it (-crl_check_all: -crl_check
    looks at the signer's alone), the Held CRLS (or None)."""
    crl = ["-crl_check_all", "-CRLfile", crls.path] if crls else []
    # -nameopt: OpenSSL 3.2 and later print names as CN=x, earlier ones as
    # CN = x, the form the other lines use.
    # -no-CApath -no-CAstore: given -CAfile, openssl verify trusts the
    # default folder and store as well (the system's authorities, or
    # SSL_CERT_DIR's) unless told not to; only the CA file decides.
    status, log = run("openssl", "verify", "-nameopt", "oneline", "-no-CApath", "-no-CAstore", "-CAfile", ca.path,
                      "-untrusted", untrusted.path, *crl, certificate.path,
                      files=[f for f in (ca, untrusted, crls, certificate) if f])
    if status == 0:
        return
    # openssl verify names the certificate on the line before its error.
    revoked = re.search(r"^(.*)\n.*certificate revoked", log, re.M)
    if revoked:
        raise Refusal(f"the certificate of {revoked.group(1)} is revoked: a CRL given with --crl-file lists it")
    hint = " (give the CRL of every certificate in the chain with --crl-file)" \
        if "unable to get certificate CRL" in log else ""
    raise Refusal(f"{what} does not verify against {ca.given}: {first(r'error .*', log)}{hint}")


def authenticode_failure(log: str) -> str:
    """Why osslsigncode verify did not call the signature ok: the reason
    comes before its last words, "Signature verification: failed"."""
    return (first(r".*(Unsupported|[Ee]rror|unable|revoked|expired|not yet valid|[Mm]ismatch).*", log)
            or first(r"(?i).*fail.*", log) or "osslsigncode printed no reason")


@dataclasses.dataclass(frozen=True)
class Report:
    """osslsigncode verify's report on the primary signature alone (a nested
    one's "ok" says nothing of it), and whether it and its time stamp
    verified: verify exits 0 even when a line says failed, only ok will do."""
    text: str
    signed: bool
    stamped: bool


def primary_report(log: str) -> Report:
    text = re.split(r"^Signature Index: [1-9]", log, flags=re.M)[0]
    return Report(text=text, signed=bool(re.search(r"^Signature verification: ok", text, re.M)),
                  stamped=bool(re.search(r"^Timestamp Server Signature verification: ok", text, re.M)))


def check_p7s_time_stamp(p7s: Held, tsr: Held, ca: Given, at: Sequence[str] = ()) -> None:
    """The time stamp TSR (Held) on the signature P7S (Held), against CA (Given)."""
    status, log = run("openssl", "ts", "-verify", "-data", p7s.path, "-in", tsr.path, "-CAfile", ca.path,
                      *(["-attime", *at] if at else []), files=[p7s, tsr, ca])
    if status != 0:
        raise Refusal(f"the time stamp of SHA256SUMS.p7s does not verify against {ca.given}: "
                      + first(r"(?i).*(error|fail).*", log))


def osslsigncode_version() -> str:
    return run("osslsigncode", "--version")[1].split("\n")[0].split(",")[0]


# The release's other programs: git, dpkg, the cross compiler, and the
# project's own scripts/setup-made build (scripts/clean-build). They run
# with the caller's environment, as the bash release ran them; no key or
# PIN is in memory while they do, and none of them is a security check.

def _finished(process: "subprocess.Popen[bytes]", feed: bytes | None = None) -> tuple[bytes, bytes]:
    """What PROCESS wrote, once it ended; killed and reaped when we are
    stopped meanwhile (a SIGTERM arrives here as KeyboardInterrupt)."""
    try:
        out, err = process.communicate(feed)
    except BaseException:
        process.kill()
        process.wait()
        raise
    return out or b"", err or b""


def program(*args: str, cwd: str | None = None) -> tuple[int, str, str]:
    """(exit status, standard output, standard error) of ARGS, as text."""
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          cwd=cwd) as process:
        out, err = _finished(process)
    return process.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def program_output(*args: str, cwd: str | None = None) -> str:
    """The standard output of ARGS, which must succeed: else refused with
    the last line it wrote on standard error."""
    status, out, err = program(*args, cwd=cwd)
    if status != 0:
        said = (err.strip().splitlines() or ["no reason given"])[-1]
        raise Refusal(f"{' '.join(args)} failed (exit status {status}): {said}")
    return out


def program_shown(*args: str, cwd: str | None = None) -> str:
    """The standard output of ARGS, which must succeed, while what it says
    on standard error reaches ours as it comes (a build's errors)."""
    with subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, cwd=cwd) as process:
        out, _ = _finished(process)
    if process.returncode != 0:
        raise Refusal(f"{args[0]} failed (exit status {process.returncode})")
    return out.decode(errors="replace")

"""scripts/sign: the checks, each a step that refuses with one line, then
the signing, which takes only the release the checks returned (the key is
reachable through it alone), then the exchange with DIR in one step."""
import contextlib
import datetime
import hashlib
import os
import re
import secrets
import shutil
import signal
import sys
import types
import urllib.error
import urllib.parse
import urllib.request

from asn1crypto import tsp
from cryptography import x509
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
from cryptography.hazmat.primitives.serialization import pkcs12

from . import folder, tools
from .folder import Refusal, Signed, from_caller, matching, quoted, shown

USAGE = ("scripts/sign DIR --expect-sha256 HEX KEY-AND-VERIFY-OPTIONS: which release to sign "
         "(see the comment at the top of scripts/sign)")
OPTIONS = {"--pkcs12": ("pkcs12", from_caller), "--password-file": ("password_file", from_caller),
           "--certs": ("certs", from_caller), "--pin-file": ("pin_file", from_caller),
           "--ca-file": ("ca_file", from_caller), "--tsa-ca-file": ("tsa_ca_file", from_caller),
           "--crl-file": ("crl_files", from_caller), "--no-timestamp": ("no_timestamp", None),
           # Only a web address: urllib would fetch a file or FTP address.
           "--timestamp": ("timestamps", matching(r"[Hh][Tt][Tt][Pp][Ss]?://\S+",
                                                  "--timestamp takes an http:// or https:// URL")),
           "--expect-sha256": ("expected", matching(r"[0-9A-Fa-f]{64}",
                                                    "--expect-sha256 takes a SHA-256 in hex (64 digits)")),
           # A bare library name is the dynamic loader's to find.
           "--pkcs11-module": ("module", lambda value: from_caller(value) if "/" in value else value),
           "--pkcs11-key": ("key", str), "--supplier": ("supplier", str)}


def options(args, name):
    o = types.SimpleNamespace(check_only=False, dir=None, pkcs12="", password_file="", module="", key="", certs="",
                              pin_file="", no_timestamp=False, supplier="", expected="", crl_files=[],
                              timestamps=[], ca_file="/etc/ssl/certs/ca-certificates.crt", tsa_ca_file="",
                              name=name)
    if args[:1] == ["--check"]:
        o.check_only = True
    elif args and not args[0].startswith("--"):
        o.dir = from_caller(args[0])
    else:
        raise Refusal(USAGE)
    folder.parse(args[1:], o, OPTIONS, name)
    o.tsa_ca_file, o.expected = o.tsa_ca_file or o.ca_file, o.expected.lower()
    # The engine and osslsigncode take the URI on their command lines, which
    # every local user can read: the PIN has a file of its own. Anywhere in
    # the URI, percent-encoded too, and the URI is never shown with it.
    if "pin-value" in urllib.parse.unquote(o.key).lower():
        raise Refusal("the PKCS#11 URI holds a pin-value, which every local user could read on the command line: "
                      "put the PIN in a file only you can read and give --pin-file FILE")
    if not o.check_only and not o.expected:
        raise Refusal("signing needs --expect-sha256 HEX: the SHA-256 of SHA256SUMS that scripts/release printed "
                      "last on the build machine, handed to you by a channel you trust")
    if not (o.pkcs12 or o.module or o.key or o.certs):
        raise Refusal("--password-file, --pin-file, --timestamp and --no-timestamp need a key (--pkcs12 or "
                      "--pkcs11-key)")
    if o.pkcs12 and (o.module or o.key or o.certs or o.pin_file):
        raise Refusal("--pkcs12 and --pkcs11-module/--pkcs11-key/--certs exclude each other")
    if not o.timestamps and not o.no_timestamp:
        raise Refusal("signing needs --timestamp URL or --no-timestamp: without a time stamp the signature stops "
                      "verifying when the certificate expires")
    if o.timestamps and o.no_timestamp:
        raise Refusal("--timestamp and --no-timestamp exclude each other")
    return o


# The checks, in order; each takes the state s and refuses with one line.

def open_dir(s):
    """DIR opened once, itself and not through a link ("rel/" included),
    in a folder only the signer can change, and not a mount point; stale
    work folders of killed runs beside it removed, and our own made."""
    given = s.o.dir
    path = given.rstrip("/") or "/"
    if path == "/" or os.path.realpath(path) == "/":
        raise Refusal("/ is not a release")
    name = os.path.basename(path)
    if name in (".", ".."):
        path = os.path.realpath(path)
        name = os.path.basename(path)
    parent = os.path.realpath(os.path.dirname(path))
    s.parent_fd = folder.open_folder(parent)
    try:
        s.dir_fd = folder.open_folder(name, s.parent_fd)
    except OSError:
        if os.path.islink(path):
            raise Refusal(f"{shown(given)} is a symbolic link: give the release's folder itself") from None
        raise Refusal(f"no folder {shown(given)}: sign a release's dist/ as scripts/release made it") from None
    s.name, s.path = name, parent.rstrip("/") + "/" + name
    s.shown = shown(s.path)
    why = folder.changeable_by_others(s.path)
    if why:
        raise Refusal(f"{s.shown} could be changed by another user while it is signed ({why}): "
                      "sign a copy in a folder only you can change")
    if folder.mount_id(s.dir_fd) != folder.mount_id(s.parent_fd):
        raise Refusal(f"{s.shown} is a mount point, which cannot be exchanged with the signed release: "
                      "copy the release into a folder beside it to sign it")
    prefix = f".{name}.signing-"
    folder.remove_unheld(s.parent_fd, prefix)
    try:
        work, s.work_fd, s.lock = folder.make_work(s.parent_fd, prefix)
    except OSError:
        raise Refusal(f"cannot make a work folder beside {s.shown}: signing needs to write there") from None
    s.work = parent.rstrip("/") + "/" + work


def entries(s):
    odd = folder.odd_entry(s.dir_fd)
    if odd is not None:
        raise Refusal(f"{s.shown} holds {quoted(odd)}, which is not a regular file of its own (a link, a folder or "
                      "another kind): a release holds regular files only")


def copies(s):
    # Read once; only these copies are checked and signed.
    s.files = {}
    for name in folder.UNSIGNED:
        data, why = folder.read_file(s.dir_fd, name)
        if why == "missing":
            raise Refusal(f"{s.shown} has no {name}: sign a release's dist/ as scripts/release made it")
        if why == "odd":
            raise Refusal(f"{s.shown}/{name} changed while it was copied: a release holds regular files only")
        if why == "large":
            raise Refusal(f"{s.shown}/{name} is larger than any file of a release ({folder.LARGEST >> 20} MiB): "
                          "this is not the release the build machine made")
        s.files[name] = data
    for made in ("unsigned", "signed"):
        os.mkdir(made, dir_fd=s.work_fd)
        setattr(s, made + "_fd", folder.open_folder(made, s.work_fd))
    try:
        folder.write_files(s.unsigned_fd, s.files)
    except OSError as error:
        raise Refusal(f"cannot copy {s.shown} to {s.work}: {folder.errno_text(error)}") from None


def room(s):
    # The signed release takes as much room again, and a little more: a disk
    # without it is found here, before the key is used.
    needed = sum(-(-len(d) // 4096) * 4 for d in s.files.values()) + 256
    space = os.fstatvfs(s.work_fd)
    free = space.f_bavail * space.f_frsize // 1024
    if free < needed:
        raise Refusal(f"not enough room beside {s.shown} to sign it: {free} KiB free, {needed} KiB needed")


def anchor(s):
    got = hashlib.sha256(s.files["SHA256SUMS"]).hexdigest()
    if got != s.o.expected:
        raise Refusal(f"{s.shown}/SHA256SUMS has the SHA-256 {got}, not the {s.o.expected} given with "
                      "--expect-sha256: this is not the release the build machine made")


def sums_match(s):
    if folder.sums(s.files) != s.files["SHA256SUMS"]:
        raise Refusal(f"{s.shown}/SHA256SUMS does not match the files beside it")


def buildinfo(s):
    s.unsigned = hashlib.sha256(s.files["launcher.exe"]).hexdigest()
    recorded = folder.buildinfo_values(s.files["BUILDINFO"], "launcher-sha256")
    if recorded != [s.unsigned]:
        raise Refusal(f"{s.shown}/launcher.exe (SHA-256 {s.unsigned}) is not the build its BUILDINFO records "
                      f"({' '.join(recorded)}): only an unsigned release is signed")


def bill_of_materials(s):
    try:
        s.bom = folder.read_json(s.files["launcher.cdx.json"], "launcher.cdx.json")
        launcher = s.bom["metadata"]["component"]
        named = " ".join(sorted({h["content"] for h in launcher["hashes"]} | {
            p["value"] for p in launcher["properties"] if p["name"] == "quenby:unsigned-sha256"}))
    except (ValueError, KeyError, TypeError, AttributeError):
        raise Refusal(f"{s.shown}/launcher.cdx.json is not the bill of materials scripts/release writes") from None
    if named != s.unsigned:
        raise Refusal(f"{s.shown}/launcher.cdx.json records the build as {named or 'nothing'}, not launcher.exe's "
                      f"{s.unsigned}: only an unsigned release is signed")


def strays(s):
    stray = next((n for n in sorted(os.listdir(s.dir_fd)) if n not in folder.UNSIGNED), None)
    if stray is not None:
        raise Refusal(f"{s.shown} holds {quoted(stray)}, which is not one of an unsigned release's files "
                      f"({' '.join(folder.UNSIGNED)}): sign the dist/ scripts/release made and nothing beside it")


def exchange_probe(s):
    # A file system that cannot exchange two folders (FAT, some network
    # ones) is refused before the key is used.
    os.mkdir("probe-a", dir_fd=s.work_fd)
    os.mkdir("probe-b", dir_fd=s.work_fd)
    try:
        folder.exchange(s.work_fd, "probe-a", s.work_fd, "probe-b")
    except OSError as error:
        raise Refusal(f"the file system of {s.shown} cannot exchange two folders in one step "
                      f"({folder.errno_text(error)}): copy the release to a local disk to sign it") from None


def readable(*files):
    for what, path in files:
        if path and not os.access(path, os.R_OK):
            raise Refusal(f"cannot read {what} {path}")


def certificate(s):
    # The signer's certificate and chain; the key itself is not touched here.
    o = s.o
    if o.pkcs12:
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
            _, s.certificate, extra = pkcs12.load_key_and_certificates(p12.read(), password)
        except ValueError:
            s.certificate = None
        if s.certificate is None:
            raise Refusal(f"cannot open {o.pkcs12}: wrong password, or not a PKCS#12 file")
        s.chain, s.signer_file = [s.certificate] + extra, o.pkcs12
        s.key = (["-pkcs12", p12.path, "-readpass", password_file.path],
                 ["-inkey", p12.path, "-passin", "file:" + password_file.path, "-provider", "legacy", "-provider",
                  "default"], None)
        s.key_files = [p12, password_file]
    else:
        if not (o.module and o.key and o.certs):
            raise Refusal("--pkcs11-module, --pkcs11-key and --certs go together")
        readable(("the PKCS#11 module", o.module if "/" in o.module else ""), ("the certificate file", o.certs),
                 ("the PIN file", o.pin_file), ("the CA file", o.ca_file), ("the CA file", o.tsa_ca_file))
        certs = tools.Given(o.certs)
        pin_file = [tools.Given(o.pin_file)] if o.pin_file else []
        blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", certs.read(), re.S)
        try:
            s.chain = [x509.load_pem_x509_certificate(b) for b in blocks]
        except ValueError:
            s.chain = []
        if not s.chain:
            raise Refusal(f"no PEM certificate in {o.certs}")
        s.certificate, s.signer_file = s.chain[0], o.certs
        # Held, not named: a configuration someone put in its place would
        # name their library, which openssl loads along with the key's PIN.
        engine = tools.Held(f"openssl_conf=init\n[init]\nengines=engines\n[engines]\npkcs11=pkcs11\n"
                            f"[pkcs11]\nengine_id=pkcs11\nMODULE_PATH={o.module}\n".encode(), "engine.cnf")
        pin = ["-passin", "file:" + pin_file[0].path] if pin_file else []
        s.key = (["-pkcs11module", o.module, "-certs", certs.path, "-key", o.key]
                 + (["-readpass", pin_file[0].path] if pin_file else []),
                 ["-engine", "pkcs11", "-keyform", "engine", "-inkey", o.key] + pin,
                 tools.module_env(OPENSSL_CONF=engine.path))
        s.key_files = [engine, certs, *pin_file]
    s.ca = tools.Given(o.ca_file)
    s.tsa_ca = s.ca if o.tsa_ca_file == o.ca_file else tools.Given(o.tsa_ca_file)
    s.subject = tools.subject(s.certificate)
    s.chain_pem, s.signer_pem = tools.Held(tools.pem(s.chain)), tools.Held(tools.pem([s.certificate]))
    # A chain file in the wrong order would otherwise only be reported as a
    # key that does not belong to its first certificate.
    if tools.is_authority(s.certificate):
        raise Refusal(f"the first certificate in {s.signer_file} is an authority's ({s.subject}): the signer's "
                      "certificate comes first, then its chain")
    # Code-signing certificates carry this usage (the CA/Browser Forum's code
    # signing requirements ask for it), and osslsigncode refuses to sign
    # without it, after the build.
    try:
        usage = s.certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        usage = []
    if ExtendedKeyUsageOID.CODE_SIGNING not in usage:
        raise Refusal(f"the certificate of {s.subject} is not for code signing: its extended key usage lacks "
                      "Code Signing")


def expiry(s):
    # cryptography 42 and later give the time zone-aware time (and warn at the
    # naive one); Debian 12's 38 has only the naive one, in UTC.
    if hasattr(s.certificate, "not_valid_after_utc"):
        ends = s.certificate.not_valid_after_utc
    else:
        ends = s.certificate.not_valid_after.replace(tzinfo=datetime.timezone.utc)
    if ends < datetime.datetime.now(datetime.timezone.utc):
        raise Refusal(f"the certificate in {s.signer_file} has expired (notAfter={ends:%b %e %H:%M:%S %Y} GMT)")


def chain(s):
    # The CRLs, PEM or DER, in one PEM file: osslsigncode takes one.
    s.crls = tools.Held(tools.gather_crls(s.o.crl_files)) if s.o.crl_files else None
    tools.check_chain(s.ca, s.chain_pem, s.signer_pem, s.crls, f"the certificate in {s.signer_file}")


def key_probe(s):
    # A token's key, tried once through the PKCS#11 engine osslsigncode uses:
    # a wrong PIN stops here, not tried again (a token locks after a few).
    o = s.o
    if not o.module:
        return
    probe, signature = tools.Held(hashlib.sha256(b"quenby launcher release key probe\n").digest()), tools.Held()
    status, log = tools.run("openssl", "pkeyutl", "-sign", *s.key[1], "-pkeyopt", "digest:sha256", "-in", probe.path,
                            "-out", signature.path, env=s.key[2], files=[probe, signature, *s.key_files])
    if status != 0:
        # libp11 says the dynamic loader's reason on the line before.
        if "Unable to load module" in log:
            reason = tools.first(r"^.*(?=\nUnable to load module)", log)
            raise Refusal(f"cannot load the PKCS#11 module {o.module}: {reason.removeprefix(o.module + ': ')}")
        if "No matching initialized token" in log:
            raise Refusal(f"the PKCS#11 module {o.module} shows no token that {o.key} names")
        # Without a PIN the engine asks on the terminal; without one (a
        # service, a pipeline) its first line names no cause.
        if "No PIN code was entered" in log:
            raise Refusal(f"no PIN for {o.key}: give --pin-file FILE (there is no terminal to ask on)")
        reason = (tools.first(r"PIN [a-z ]*", log) or tools.first(r"not found at: .*|Login failed|could not load.*", log)
                  or log.strip().split("\n")[-1])
        raise Refusal(f"cannot sign with {o.key}: {reason}")
    status, _ = tools.run("openssl", "pkeyutl", "-verify", "-certin", "-inkey", s.signer_pem.path,
                          "-pkeyopt", "digest:sha256", "-in", probe.path, "-sigfile", signature.path,
                          files=[s.signer_pem, probe, signature])
    if status != 0:
        raise Refusal(f"the key {o.key} does not belong to the first certificate in {o.certs}")


class _OnlyWeb(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        if urllib.parse.urlsplit(newurl).scheme.lower() not in ("http", "https"):
            raise urllib.error.URLError(f"redirected to {newurl}")
        return super().redirect_request(req, fp, code, msg, headers, newurl)


# How long one request to a time-stamp server may take in all. urllib's
# timeout bounds each read alone: a server that sent a byte every 15 s
# held a signing for ever.
TSA_DEADLINE = 60


class _Late(Exception):
    pass


@contextlib.contextmanager
def deadline(seconds):
    """SECONDS for what runs inside, then _Late, raised in this (the main)
    thread by SIGALRM wherever it waits."""
    def late(number, frame):
        raise _Late()
    before = signal.signal(signal.SIGALRM, late)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)


def ask_tsa(url, digest):
    """URL's RFC 3161 reply on DIGEST: (reply, None) or (None, why not)."""
    nonce = secrets.randbits(63)
    query = tsp.TimeStampReq({"version": 1, "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                                                "hashed_message": digest},
                              "nonce": nonce, "cert_req": True}).dump()
    request = urllib.request.Request(url, data=query, headers={"Content-Type": "application/timestamp-query"})
    try:
        with deadline(TSA_DEADLINE), urllib.request.build_opener(_OnlyWeb).open(request, timeout=20) as answer:
            reply = answer.read(1 << 20)
    except _Late:
        return None, f"no answer within {TSA_DEADLINE} s"
    except urllib.error.HTTPError as error:
        error.close()  # (Python 3.13 warns at the answer left open.)
        return None, f"HTTP {error.code}"
    except (urllib.error.URLError, OSError) as error:
        reason = getattr(error, "reason", error)
        return None, f"cannot connect: {getattr(reason, 'strerror', None) or reason}"
    try:
        answer = tsp.TimeStampResp.load(reply)
        granted = answer["status"]["status"].native in ("granted", "granted_with_mods")
        info = answer["time_stamp_token"]["content"]["encap_content_info"]["content"].parsed if granted else None
        # The stamp must answer this request: its nonce, on this digest.
        ours = granted and (info["nonce"].native, info["message_imprint"]["hashed_message"].native) == (nonce, digest)
    except (ValueError, KeyError, TypeError, AttributeError):
        granted = ours = False
    if granted and not ours:
        return None, "its time stamp answers another request (nonce or digest differs)"
    return (reply, None) if granted else (None, "no RFC 3161 time stamp in its answer")


def time_stamps(s):
    # Each server is asked for a stamp on a dummy digest, in order; the first
    # that grants one signs. One that is down would otherwise fail the
    # signing after the build, with osslsigncode's bare "failed".
    s.timestamp, refused = "", []
    for url in s.o.timestamps:
        reply, why = ask_tsa(url, hashlib.sha256(b"quenby launcher time-stamp probe\n").digest())
        if reply:
            s.timestamp = url
            break
        refused.append(f"{url} ({why})")
    if s.o.timestamps and not s.timestamp:
        raise Refusal("no time-stamp server grants a time stamp: " + "; ".join(refused))
    if refused and not s.o.check_only:
        print(f"{s.o.name}: time-stamping with {s.timestamp}: {' '.join(refused)} did not answer", file=sys.stderr)


DIR_CHECKS = (open_dir, entries, copies, room, anchor, sums_match, buildinfo, bill_of_materials, strays,
              exchange_probe)
KEY_CHECKS = (certificate, key_probe, expiry, chain, time_stamps)


class Release:
    """A release that passed every check, and the only way to its key."""

    def __init__(self, state):
        self.s = state


def check(s):
    for step in (DIR_CHECKS if s.o.dir else ()) + KEY_CHECKS:
        step(s)
    return Release(s)


# The signing, on the Release alone.

def authenticode(r):
    s = r.s
    ts = ["-ts", s.timestamp] if s.timestamp else []
    # The checked bytes in; out, a new file in the signed folder, reached
    # through the descriptor we hold (osslsigncode 2.9 writes over no file).
    unsigned = tools.Held(s.files["launcher.exe"], "launcher.exe")
    s.signed = f"/proc/self/fd/{s.signed_fd}/launcher.exe"
    status, log = tools.run("osslsigncode", "sign", *s.key[0], "-h", "sha256", "-n", "Quenby launcher", *ts,
                            "-in", unsigned.path, "-out", s.signed, files=[unsigned, s.signed_fd, *s.key_files],
                             env=tools.module_env() if s.o.module else None)
    if status != 0 or not re.search(r"^Succeeded", log, re.M):
        # osslsigncode's reason is the first line that is not its progress talk.
        reason = next((line for line in log.split("\n") if line and not re.match(r"Succeeded|Engine |Failed$", line)),
                      f"osslsigncode printed no reason (exit status {status})")
        raise Refusal(f"signing failed: {reason}")


def verify_signed(r):
    # As a player's Windows would, the primary signature alone; its carried
    # chain once more against every CRL (osslsigncode checks the signer's).
    s, o = r.s, r.s.o
    crl = ["-CRLfile", s.crls.path] if s.crls else []
    tsa = ["-TSA-CAfile", s.tsa_ca.path] + (["-TSA-CRLfile", s.crls.path] if s.crls else []) if s.timestamp else []
    status, log = tools.run("osslsigncode", "verify", "-CAfile", s.ca.path, *crl, *tsa, "-in", s.signed,
                            files=[s.signed_fd, s.ca, s.tsa_ca] + ([s.crls] if s.crls else []))
    primary = tools.primary_report(log)
    if status != 0 or not primary.signed:
        if "certificate revoked" in log:
            raise Refusal(f"the certificate of {s.subject} is revoked: a CRL given with --crl-file lists it")
        # osslsigncode 2.9 fetches the CRL a certificate names when given
        # none, and fails without network; 2.5 does not look.
        hint = " (give the CRLs with --crl-file)" if not s.crls and "crl" in log.lower() else ""
        raise Refusal(f"the signed file does not verify against {o.ca_file}: {tools.authenticode_failure(log)}{hint}")
    s.signed_exe, why = folder.read_file(s.signed_fd, "launcher.exe")
    if why:
        raise Refusal(f"osslsigncode wrote no signed file of its own in {s.work} ({why})")
    # Whoever signed it, not whoever was meant to: a token may hold more
    # than one key, and the chain is checked for the certificate the
    # signature names (as scripts/verify checks it).
    # (osslsigncode has just verified it: its signature parses.)
    signer, carried = tools.authenticode_signature(s.signed_exe)
    if signer != s.certificate:
        raise Refusal(f"the signed file is signed by {tools.subject(signer)}, not by the certificate in "
                      f"{s.signer_file} ({s.subject})")
    tools.check_chain(s.ca, tools.Held(tools.pem(carried)), tools.Held(tools.pem([signer])), s.crls,
                      "the chain the signed file carries")
    s.state = f"signed by {s.subject}"
    if s.timestamp:
        if not primary.stamped:
            raise Refusal(f"the signature carries no time stamp that verifies against {o.tsa_ca_file}")
        s.state += f", time-stamped by {s.timestamp}"
    else:
        s.state += ", NOT time-stamped: it stops verifying when the certificate expires"
    s.state += f", verified by {tools.osslsigncode_version()}"


def signed_files(r):
    s = r.s
    digest = hashlib.sha256(s.signed_exe).hexdigest()
    organisation = s.certificate.subject.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)
    bom = folder.signed_bom(s.bom, digest, s.o.supplier, organisation[0].value if organisation else "")
    files = {"launcher.exe": s.signed_exe, "NOTICES.txt": s.files["NOTICES.txt"], "BUILDINFO": s.files["BUILDINFO"],
             "launcher.cdx.json": folder.write_json(bom)}
    files["SHA256SUMS"] = folder.sums(files)
    s.written = dict(files)
    del files["launcher.exe"]
    try:
        folder.write_files(s.signed_fd, files)
    except OSError as error:
        raise Refusal(f"cannot write the signed release in {s.work}: {folder.errno_text(error)}") from None


def cms_signature(r):
    s = r.s
    # The chain without the signer's certificate, which openssl cms adds
    # itself and refuses twice.
    others = [c for c in s.chain if c != s.certificate]
    held = [tools.Held(tools.pem(others))] if others else []
    sums, p7s = tools.Held(s.written["SHA256SUMS"]), tools.Held(name="SHA256SUMS.p7s")
    status, log = tools.run("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-outform", "DER",
                            "-in", sums.path, "-signer", s.signer_pem.path,
                            *(["-certfile", held[0].path] if held else []), *s.key[1], "-out", p7s.path,
                            env=s.key[2], files=[sums, s.signer_pem, p7s, *held, *s.key_files])
    if status != 0:
        reason = tools.first(r"(?i).*(error|PIN|fail).*", log) or log.strip().split("\n")[-1]
        raise Refusal(f"cannot sign SHA256SUMS: {reason}")
    s.written["SHA256SUMS.p7s"] = p7s.read()
    try:
        folder.write_files(s.signed_fd, {"SHA256SUMS.p7s": s.written["SHA256SUMS.p7s"]})
    except OSError as error:
        raise Refusal(f"cannot write the signed release in {s.work}: {folder.errno_text(error)}") from None


def cms_time_stamp(r):
    # On the signature's bytes, from launcher.exe's server: scripts/verify
    # checks the signature as at that time, so it outlives the certificate
    # as Authenticode's does.
    s = r.s
    if not s.timestamp:
        return
    p7s = s.written["SHA256SUMS.p7s"]
    reply, why = ask_tsa(s.timestamp, hashlib.sha256(p7s).digest())
    if not reply:
        raise Refusal(f"cannot time-stamp SHA256SUMS.p7s with {s.timestamp}: {why}")
    tools.check_p7s_time_stamp(tools.Held(p7s), tools.Held(reply), s.tsa_ca)
    s.written["SHA256SUMS.p7s.tsr"] = reply
    try:
        folder.write_files(s.signed_fd, {"SHA256SUMS.p7s.tsr": reply})
    except OSError as error:
        raise Refusal(f"cannot write the signed release in {s.work}: {folder.errno_text(error)}") from None


def read_back(r):
    # What the exchange puts in DIR's place, read back through the folder we
    # hold: exactly the files written, each regular and of its own, each the
    # bytes the tools wrote and verified; with the release's modes, whatever
    # the umask.
    s = r.s
    found = sorted(os.listdir(s.signed_fd))
    if found != sorted(s.written):
        raise Refusal(f"the signed release in {s.work} holds {' '.join(found)}, not {' '.join(sorted(s.written))}: "
                      "something else wrote there")
    for name, data in s.written.items():
        file = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=s.signed_fd)
        with os.fdopen(file, "rb") as f:
            if not folder.own_file(os.fstat(file)) or f.read(len(data) + 1) != data:
                raise Refusal(f"the signed release's {name} in {s.work} is not what was signed: something else "
                              "wrote there")
            os.fchmod(file, 0o644)


def put_in_place(r):
    # The unsigned release goes with the work folder. A SIGTERM now waits
    # until it is known whether DIR was exchanged, which the last line says.
    s = r.s
    os.fchmod(s.signed_fd, 0o755)
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGHUP, signal.SIGINT})
    try:
        folder.exchange(s.work_fd, "signed", s.parent_fd, s.name)
        global signed_dir
        s.exchanged, signed_dir = True, s.shown
    except OSError as error:
        raise Refusal(f"cannot put the signed release in place of {s.shown}: {folder.errno_text(error)}") from None
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


SIGNING = (authenticode, verify_signed, signed_files, cms_signature, cms_time_stamp, read_back, put_in_place)


def sign(release):
    for step in SIGNING:
        step(release)
    return release.s.state


# The folder a signing of this process put in place, shown, once it is
# there: whatever stops the run later (a signal in the clean-up, or as the
# failure is reported), cli's last line says that it is signed.
signed_dir = None


def after_exchange(shown, error):
    what = " ".join(f"{type(error).__name__}: {error}".split())
    return f"{shown} is signed, but what the signing said could not be written ({what})"


def main(args, name):
    s = types.SimpleNamespace(o=options(args, name), work=None, parent_fd=None, exchanged=False)
    try:
        try:
            release = check(s)
            if not s.o.check_only:
                state = sign(release)
                print(state)
                if sys.stdout:
                    sys.stdout.flush()
        finally:
            # Inside what turns a failure into Signed: a signal here came
            # after the exchange as often as before.
            if s.work:
                shutil.rmtree(os.path.basename(s.work), dir_fd=s.parent_fd, ignore_errors=True)
    except BaseException as error:
        # Past the exchange DIR is signed, whatever fails to be said of it
        # (a closed pipe, a full disk, a signal).
        if not s.exchanged:
            raise
        raise Signed(after_exchange(s.shown, error)) from None

"""What the release tests share: one throwaway PKI with a time-stamp server,
a small PE, and unsigned releases of it laid out as scripts/release lays out
dist/; all made when the tests run. The scripts run as a user runs them,
from RELEASE_SCRIPTS_ROOT (default: this checkout), so the same rows judge
any version of them."""
import contextlib
import glob
import hashlib
import http.server
import json
import os
import pathlib
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
import types
import urllib.request

import pytest

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = os.environ.get("RELEASE_SCRIPTS_ROOT", CHECKOUT)
# Digits that no hash or path printed beside them is likely to hold.
PASSWORD, PIN, WRONG_PIN = "correct horse battery staple", "24680135", "97531864"
SECRETS = ("horse", PIN, WRONG_PIN)
UNSIGNED = ["launcher.exe", "NOTICES.txt", "launcher.cdx.json", "BUILDINFO"]


def sh(*args, **kw):
    """A helper's own command, which must work."""
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, **kw)


# How the rows run the Python entries: isolated, as their first line does,
# and with every Python warning an error, so that a deprecation in any
# Debian's libraries fails a row instead of reaching a user's terminal.
PYTHON = ["/usr/bin/python3", "-I", "-W", "error"]


def entry(root, tool):
    """The command line of scripts/TOOL."""
    path = os.path.join(root, "scripts", tool)
    with open(path, "rb") as script:
        return PYTHON + [path] if script.readline().startswith(b"#!/usr/bin/python3") else [path]


def run(tool, *args, root=ROOT, timeout=300, wrap=(), as_is=False, **kw):
    """scripts/TOOL (under WRAP, a command that runs another) in a session
    of its own: no terminal to ask on, and nothing outlives a timed-out row.
    AS_IS: by its own first line, as a user starts it, not under PYTHON."""
    command = [os.path.join(root, "scripts", tool)] if as_is else entry(root, tool)
    with subprocess.Popen([*wrap, *command, *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, start_new_session=True,
                          **kw) as process:
        try:
            out, err = process.communicate(timeout=timeout)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def own_mounts(*mounts):
    """What runs a command in a mount namespace of its own, with MOUNTS
    (mount's arguments, each ending at its target) made there first; a
    row is skipped where none can be made: without root, or in a chroot,
    whose / is no mount point to make private."""
    if os.geteuid() != 0:
        pytest.skip("a mount namespace of its own takes root")
    if subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True).returncode:
        pytest.skip("no private mount namespace here: / is no mount point (a chroot whose root is not mounted)")
    made = " && ".join(f'mount {" ".join(map(shlex.quote, map(str, m)))}' for m in mounts)
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", f'{made} && exec "$@"', "sh"]


def with_spy(tmp, script, env=None):
    """What runs a command whose /usr/bin/osslsigncode is SCRIPT, which runs
    the real one as $REAL_OSSLSIGNCODE: the signing takes its tools from
    the system's folders alone, so the spy is mounted there, in a mount
    namespace of the command's own. ENV: variables the script is given
    (written into it: the signing runs its tools with an environment of
    its own, not the caller's)."""
    script = script.replace("\n", "\n" + "".join(f"export {k}={shlex.quote(str(v))}\n"
                                                 for k, v in (env or {}).items()), 1)
    wrap = own_mounts(["--bind", tmp / "spy/osslsigncode", "/usr/bin/osslsigncode"])
    (tmp / "spy").mkdir()
    shutil.copy("/usr/bin/osslsigncode", tmp / "spy/real-osslsigncode")
    (tmp / "spy/osslsigncode").write_text(script.replace("/usr/bin/osslsigncode", f"{tmp}/spy/real-osslsigncode"))
    (tmp / "spy/osslsigncode").chmod(0o755)
    return wrap


def in_process(monkeypatch, command, *args, before_tool=lambda args: None):
    """scripts/COMMAND ARGS run in this process (its standard error goes to
    capsys), calling BEFORE_TOOL with the arguments of each tool it runs
    just before: the exit status. (Not here, where other tests run: its
    hard core limit of 0 and its SIGTERM and SIGHUP handlers.)"""
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    from launcher_release import cli, tools
    real, handle = tools.run, signal.signal

    def watched(*args, **kw):
        before_tool(args)
        return real(*args, **kw)
    monkeypatch.setattr(tools, "run", watched)
    monkeypatch.setattr(cli.resource, "setrlimit", lambda *_: None)
    monkeypatch.setattr(cli.signal, "signal", lambda number, handler: None if number in (
        signal.SIGTERM, signal.SIGHUP) else handle(number, handler))
    try:
        cli.main(command, [str(a) for a in args])
    except SystemExit as stop:
        return stop.code
    return 0


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def one_line(result, wording):
    """A refusal: non-zero, one line saying WORDING (or matching it), no secret."""
    assert result.returncode != 0, result.stdout
    said = wording.search(result.stderr) if hasattr(wording, "search") else wording in result.stderr
    assert result.stderr.count("\n") == 1 and said, result.stderr
    assert not any(s in result.stderr + result.stdout for s in SECRETS), result.stderr


def state(folder):
    """Every entry under FOLDER and beside it: kind, mode, bytes."""
    parent = os.path.dirname(os.path.abspath(folder))
    paths = [os.path.join(base, n) for base, dirs, files in os.walk(parent) for n in dirs + files]
    return {p: (os.lstat(p).st_mode, os.lstat(p).st_size, sha256(p) if os.path.isfile(p) and not os.path.islink(p)
                and os.path.getsize(p) < 1 << 24 else "") for p in paths}


class Authority(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP, answered by openssl ts; counts what it is asked."""

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.hits.append(query)
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(sh("openssl", "ts", "-reply", "-config", self.server.config, "-queryfile", "/dev/stdin",
                            "-out", "/dev/stdout", input=query).stdout)

    def log_message(self, *args):
        pass


SIGNING = "keyUsage=critical,digitalSignature\nextendedKeyUsage="
AUTHORITY = "basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """An authority and its CRL, signers valid, expired, revoked and on a
    SoftHSM2 token, an intermediate the CRL revokes, another authority, and a
    time-stamp server. Dates go to openssl ca outright: OpenSSL 3.5 refuses
    the negative -days of openssl x509."""
    d = tmp_path_factory.mktemp("pki")
    p = types.SimpleNamespace(dir=d, key={}, crl=d / "crl.pem", inter_crl=d / "inter.crl", password=d / "password",
                              pin=d / "pin", wrong_pin=d / "wrong-pin", module=glob.glob(
                                  "/usr/lib/*/softhsm/libsofthsm2.so")[0], uri="pkcs11:token=release;object=signer")
    # (crl: osslsigncode 2.9 fetches from the point a certificate names unless
    # given the CRL, and nothing answers there.)
    for name, text in [("password", PASSWORD), ("wrong-password", "wrong"), ("pin", PIN), ("wrong-pin", WRONG_PIN),
                       ("signer.ext", SIGNING + "codeSigning"), ("tsa.ext", SIGNING + "critical,timeStamping"),
                       ("inter.ext", AUTHORITY), ("plain.ext", "keyUsage=critical,digitalSignature"),
                       ("leaf.ext", SIGNING + "codeSigning\nbasicConstraints=critical,CA:FALSE"), ("crl.ext", SIGNING + "codeSigning\ncrlDistributionPoints=URI:"
                                                  "http://127.0.0.1:9/ca.crl")]:
        (d / name).write_text(text + "\n")

    def authority(name, subject):
        p.key[name] = d / f"{name}.key"
        setattr(p, name, d / f"{name}.crt")
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p.key[name], "-out",
           getattr(p, name), "-days", "3650", "-subj", subject, *sum((["-addext", e] for e in AUTHORITY.split()), []))

    def config(at, name):
        (at / "index").touch()
        for f in ("serial", "crlnumber"):
            (at / f).write_text("1000\n")
        (at / "ca.cnf").write_text(
            f"[ca]\ndefault_ca=a\n[a]\ndatabase={at}/index\nserial={at}/serial\nnew_certs_dir={at}\n"
            f"certificate={d}/{name}.crt\nprivate_key={d}/{name}.key\ncrlnumber={at}/crlnumber\n"
            "default_crl_days=30\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n"
            "organizationName=optional\n")
        return at / "ca.cnf"

    def issue(name, subject, cnf, ext, dates, key=None, chain=None):
        key = p.key.setdefault(name, key or d / f"{name}.key")
        if not key.exists():
            sh("openssl", "genpkey", "-algorithm", "RSA", "-out", key)
        sh("openssl", "req", "-new", "-key", key, "-out", d / f"{name}.csr", "-subj", subject)
        sh("openssl", "ca", "-batch", "-config", cnf, "-in", d / f"{name}.csr", *dates, "-extfile", d / f"{ext}.ext",
           "-notext", "-out", d / f"{name}.crt")
        setattr(p, name, d / f"{name}.crt")
        if chain is not False:
            pkcs12(name, name, chain or p.ca)

    def pkcs12(name, cert, chain, *extra):
        setattr(p, f"{name}_p12", d / f"{name}.p12")
        sh("openssl", "pkcs12", "-export", *extra, "-inkey", p.key[cert], "-in", getattr(p, cert),
           *(["-certfile", chain] if chain else []), "-passout", f"file:{p.password}", "-out", d / f"{name}.p12")

    def day(n):
        return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + n * 86400))

    authority("ca", "/CN=Throwaway Test CA")
    authority("other", "/CN=Another CA")
    cnf = config(d, "ca")
    # (no_usage: no extended key usage at all; critical_leaf: a signer whose
    # basicConstraints, CA:FALSE, is marked critical.)
    for name, start, end, ext in [("valid", -1, 2, "signer"), ("expired", -3, -1, "signer"), ("tsa", -1, 3650, "tsa"),
                                  ("revoked", -1, 2, "crl"), ("token", -1, 2, "crl"), ("no_usage", -1, 2, "plain"),
                                  ("critical_leaf", -1, 2, "leaf")]:
        subject = ("/O=Throwaway Studio" if name == "token" else "") + f"/CN=Throwaway {name} signer"
        issue(name, subject, cnf, ext, ["-startdate", day(start), "-enddate", day(end)])
    pkcs12("legacy", "expired", None, "-legacy")
    # A signer under an intermediate that the root's CRL revokes, and whose
    # own CRL (the intermediate's) lists nothing.
    (d / "inter").mkdir()
    issue("inter", "/CN=Throwaway intermediate", cnf, "inter", ["-days", "30"], chain=False)
    issue("under_revoked", "/CN=Throwaway valid signer", config(d / "inter", "inter"), "signer", ["-days", "2"],
          key=p.key["valid"], chain=p.inter)
    sh("openssl", "ca", "-config", d / "inter/ca.cnf", "-gencrl", "-out", p.inter_crl)
    for cert in (p.inter, p.revoked):
        sh("openssl", "ca", "-config", cnf, "-revoke", cert)
    sh("openssl", "ca", "-config", cnf, "-gencrl", "-out", p.crl)
    p.token_chain, p.ca_first = d / "token-chain.pem", d / "ca-first.pem"
    p.token_chain.write_bytes(p.token.read_bytes() + p.ca.read_bytes())
    p.ca_first.write_bytes(p.ca.read_bytes() + p.token.read_bytes())
    p.token_key = ["--pkcs11-module", p.module, "--pkcs11-key", p.uri, "--certs", p.token_chain]
    p.p12_key = ["--pkcs12", p.valid_p12, "--password-file", p.password]

    os.environ["SOFTHSM2_CONF"] = str(d / "softhsm2.conf")
    (d / "softhsm2.conf").write_text(f"directories.tokendir = {d}/tokens\n")
    (d / "tokens").mkdir()
    sh("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", p.key["token"], "-out", d / "token.pk8")
    sh("softhsm2-util", "--init-token", "--free", "--label", "release", "--pin", PIN, "--so-pin", "97531")
    sh("softhsm2-util", "--import", d / "token.pk8", "--token", "release", "--label", "signer", "--id", "01",
       "--pin", PIN)

    (d / "tsa.serial").write_text("01\n")
    (d / "tsa.cnf").write_text(f"[tsa]\ndefault_tsa=t\n[t]\nserial={d}/tsa.serial\nsigner_cert={p.tsa}\n"
                               f"signer_key={p.key['tsa']}\nsigner_digest=sha256\ndefault_policy=1.2.3.4\n"
                               "digests=sha1,sha256\n")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    server.config, server.hits = str(d / "tsa.cnf"), []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    p.tsa_url, p.tsa_hits = f"http://127.0.0.1:{server.server_port}", server.hits
    yield p
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="session")
def small_pe(tmp_path_factory):
    """What is signed, made once: the launcher's own bytes are the two-clone
    release's concern."""
    d = tmp_path_factory.mktemp("pe")
    (d / "small.c").write_text("int main(void) { return 0; }\n")
    sh("i686-w64-mingw32-gcc", "-O2", "-s", "-o", d / "small.exe", d / "small.c")
    return d / "small.exe"


def write_sums(folder):
    (folder / "SHA256SUMS").write_text("".join(f"{sha256(folder / f)}  {f}\n" for f in UNSIGNED))


def lay_out(folder, exe):
    """An unsigned release of EXE in FOLDER; returns the SHA-256 of its
    SHA256SUMS, which scripts/release prints last."""
    folder.mkdir(parents=True)
    shutil.copy(exe, folder / "launcher.exe")
    built, commit = sha256(folder / "launcher.exe"), "0" * 40
    (folder / "NOTICES.txt").write_text("| component | version | licence (SPDX) |\n| --- | --- | --- |\n")
    launcher = {"type": "application", "bom-ref": "launcher.exe", "supplier": {"name": "Quenby launcher"},
                "name": "launcher.exe", "version": commit, "purl": f"pkg:generic/quenby-launcher@{commit}",
                "hashes": [{"alg": "SHA-256", "content": built}],
                "properties": [{"name": "quenby:unsigned-sha256", "value": built}]}
    bom = {"bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": "urn:uuid:" + "-".join(
        "0" * n for n in (8, 4, 4, 4, 12)), "version": 1, "metadata": {"authors": [{"name": "Quenby launcher"}],
                                                                    "component": launcher},
           "components": [], "dependencies": [{"ref": "launcher.exe", "dependsOn": []}]}
    (folder / "launcher.cdx.json").write_text(json.dumps(bom, indent=2) + "\n")
    (folder / "BUILDINFO").write_text(f"commit: {commit}\nlauncher-sha256: {built}\n"
                                      f"build-command: scripts/clean-build DIR {commit}\n")
    write_sums(folder)
    return sha256(folder / "SHA256SUMS")


@pytest.fixture
def release(tmp_path, small_pe):
    """An unsigned release in a folder only its signer can change."""
    tmp_path.chmod(0o700)
    return types.SimpleNamespace(dir=tmp_path / "rel", sums=lay_out(tmp_path / "rel", small_pe), tmp=tmp_path)


def sign_args(dir, pki, *extra, anchor=None, key=None, timestamp=True):
    args = [dir, *(["--expect-sha256", anchor] if anchor else []), *(pki.p12_key if key is None else key)]
    args += ["--timestamp", pki.tsa_url] if timestamp else ["--no-timestamp"]
    return [str(a) for a in args + ["--ca-file", pki.ca, *extra]]


def sign(dir, pki, *extra, anchor=None, key=None, timestamp=True, **kw):
    return run("sign", *sign_args(dir, pki, *extra, anchor=anchor, key=key, timestamp=timestamp), **kw)


@pytest.fixture(scope="session")
def signed_release(tmp_path_factory, pki, small_pe):
    """A release scripts/sign signed (PKCS#12, time-stamped), kept aside."""
    rel = tmp_path_factory.mktemp("signed") / "rel"
    done = sign(rel, pki, anchor=lay_out(rel, small_pe))
    assert done.returncode == 0, done.stderr
    return rel


@pytest.fixture
def signed(signed_release, tmp_path):
    return shutil.copytree(signed_release, tmp_path / "rel")


def verify(dir, pki, signer=None, *extra):
    return run("verify", dir, "--ca-file", pki.ca, "--signer", signer or pki.valid, *extra)


def timestamp_reply(data, pki):
    query = sh("openssl", "ts", "-query", "-data", "/dev/stdin", "-sha256", "-cert", input=data).stdout
    with urllib.request.urlopen(urllib.request.Request(
            pki.tsa_url, query, {"Content-Type": "application/timestamp-query"})) as answer:
        return answer.read()


def reseal(rel, pki, name="valid", edit=lambda bom: bom, chain=()):
    """What the signer writes around launcher.exe, written again for the one
    in REL, so that a row's change holds everywhere but where it is judged."""
    shipped = sha256(rel / "launcher.exe")
    bom = json.loads((rel / "launcher.cdx.json").read_text())
    launcher = bom["metadata"]["component"]
    launcher["hashes"] = [{"alg": "SHA-256", "content": shipped}]
    launcher["properties"] = [p for p in launcher["properties"] if p["name"] != "quenby:signed-sha256"] + [
        {"name": "quenby:signed-sha256", "value": shipped}]
    (rel / "launcher.cdx.json").write_text(edit(json.dumps(bom, indent=2) + "\n"))
    write_sums(rel)
    sh("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-outform", "DER", "-in",
       rel / "SHA256SUMS", "-signer", getattr(pki, name), "-inkey", pki.key[name], *chain, "-out", rel / "SHA256SUMS.p7s")
    (rel / "SHA256SUMS.p7s.tsr").write_bytes(timestamp_reply((rel / "SHA256SUMS.p7s").read_bytes(), pki))


def authenticode(pki, unsigned, out, name="valid", *extra):
    sh("osslsigncode", "sign", "-certs", getattr(pki, name), "-key", pki.key[name], "-h", "sha256", *extra,
       "-in", unsigned, "-out", out)


def make_clone(repo):
    """A clean clone to release from, as a maintainer would, of the scripts'
    checkout with its work tree's changes committed: what is on disk."""
    sh("git", "clone", "--quiet", "--no-hardlinks", ROOT, repo)
    listed = sh("git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard").stdout
    sh("git", "-C", repo, "rm", "--quiet", "-r", ".")
    for name in filter(lambda n: n and os.path.lexists(os.path.join(ROOT, n)), listed.decode().split("\0")):
        os.makedirs(repo / os.path.dirname(name), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), repo / name, follow_symlinks=False)
    sh("git", "-C", repo, "add", "-A")
    if subprocess.run(["git", "-C", repo, "diff", "--cached", "--quiet"]).returncode:
        # At HEAD's time: two clones of one work tree hold one commit.
        when = "@" + sh("git", "-C", repo, "show", "-s", "--format=%ct", text=True).stdout.strip()
        sh("git", "-C", repo, "-c", "user.name=test", "-c", "user.email=test@localhost", "commit", "--quiet", "-m",
           "the work tree", env=dict(os.environ, GIT_AUTHOR_DATE=when, GIT_COMMITTER_DATE=when))
    return repo


@pytest.fixture(scope="session")
def clone(tmp_path_factory):
    return make_clone(tmp_path_factory.mktemp("clone") / "repo")


@pytest.fixture(scope="session")
def caches(tmp_path_factory):
    """Releases see caches of their own: the real Wine prefixes and pinned
    Boost tarball, beside a cached Boost tree that breaks any build made
    from it; the altered one's tarball is not the pinned one."""
    pins = dict(zip(("cache", "version", "tarball", "sha256"), sh(
        "bash", "-c", 'source cmake/boost-source.sh && printf "%s\\n" "$boost_cache" "$boost_version" '
        '"$boost_tarball" "$boost_tarball_sha256"', cwd=ROOT, text=True).stdout.split("\n")))
    made = {"pins": pins}
    for name in ("cache", "altered-cache"):
        made[name] = tmp_path_factory.mktemp(name)
        ours, theirs = made[name] / "quenby-launcher", pins["cache"]
        (ours / f"boost-{pins['version']}").mkdir(parents=True)
        (ours / f"boost-{pins['version']}/CMakeLists.txt").write_text(
            'message(FATAL_ERROR "the cached Boost tree was used")\n')
        (ours / "download").mkdir()
        for n in glob.glob("wineprefix-win*", root_dir=theirs) + ["cyclonedx-validator"] + \
                glob.glob("download/cyclonedx-cyclonedx-library-*", root_dir=theirs):
            (ours / n).symlink_to(os.path.join(theirs, n))
        kept, tarball = os.path.join(theirs, "download", pins["tarball"]), ours / "download" / pins["tarball"]
        if name == "cache":
            tarball.symlink_to(kept)
        else:
            tarball.write_bytes(pathlib.Path(kept).read_bytes() + b"\n")
    return made

"""Time stamps: the signature outlives its certificate only with one; the
servers are asked in order, by http:// or https://; a stamp that does not
verify against the time-stamp authority's anchors stops the signing."""
import contextlib
import http.server
import subprocess
import threading
import time
import urllib.request

import pytest
from asn1crypto import tsp

from commands import in_process, run, sh
from judging import one_line, state
from releases import authenticode, sign


def test_only_a_time_stamp_outlives_the_certificate(signed, pki):
    sh("osslsigncode", "remove-signature", "-in", signed / "launcher.exe", "-out", signed.parent / "unsigned.exe")
    authenticode(pki, signed.parent / "unsigned.exe", signed.parent / "no-timestamp.exe")
    later = ["-time", str(int(time.time()) + 3 * 86400)]

    def aged(exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", pki.ca, "-TSA-CAfile", pki.ca, *later, "-in", exe],
                              capture_output=True, text=True)
    assert aged(signed / "launcher.exe").returncode == 0
    expired = aged(signed.parent / "no-timestamp.exe")
    assert expired.returncode != 0 and "certificate has expired" in expired.stdout + expired.stderr


def test_https_server_asked(pki):
    # Nothing answers on port 9: the second server, by http://, grants.
    done = run("sign", "--check", *pki.p12_key, "--ca-file", pki.ca, "--timestamp", "https://127.0.0.1:9/",
               "--timestamp", pki.tsa_url)
    assert done.returncode == 0, done.stderr


def test_stamp_under_another_authority_refused(release, pki):
    before = state(release.dir)
    one_line(sign(release.dir, pki, "--tsa-ca-file", pki.other, anchor=release.sums),
             f"carries no time stamp that verifies against {pki.other}")
    assert state(release.dir) == before


class Odd(http.server.BaseHTTPRequestHandler):
    """A time-stamp server that answers as its server's BEHAVE says."""

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.asked += 1
        with contextlib.suppress(OSError):
            self.server.behave(self, query, self.server.asked)

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serving(behave):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Odd)
    server.behave, server.asked = behave, 0
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()


def answer(handler, body, status=200):
    handler.send_response(status)
    handler.send_header("Content-Type", "application/timestamp-reply")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def stamped(pki, query):
    with urllib.request.urlopen(urllib.request.Request(
            pki.tsa_url, query, {"Content-Type": "application/timestamp-query"})) as reply:
        return reply.read()


def junk(pki):
    return lambda handler, query, asked: answer(handler, b"junk")


def another_nonce(pki):
    def behave(handler, query, asked):
        request = tsp.TimeStampReq.load(query)
        request["nonce"] = request["nonce"].native + 1
        answer(handler, stamped(pki, request.dump()))
    return behave


def trickle(handler, content_type=None):
    """An answer of one byte every half second, for longer than the
    deadline a row sets."""
    handler.send_response(200)
    if content_type:
        handler.send_header("Content-Type", content_type)
    handler.send_header("Content-Length", "100")
    handler.end_headers()
    for _ in range(20):
        handler.wfile.write(b"0")
        handler.wfile.flush()
        time.sleep(0.5)


def slow(pki):
    return lambda handler, query, asked: trickle(handler)


def refuses_third(pki):
    # The probe before signing and osslsigncode's are granted; the stamp on
    # SHA256SUMS.p7s is not.
    return lambda handler, query, asked: answer(handler, stamped(pki, query) if asked < 3 else b"", 200 if asked < 3
                                                else 500)


def slow_to_osslsigncode(pki):
    # The probe before signing is granted; osslsigncode's own request, which
    # only the deadline of every tool's run bounds, is answered as a time
    # stamp (osslsigncode 2.9 drops an answer of another type at once), a
    # byte every half second.
    def behave(handler, query, asked):
        if asked < 2:
            return answer(handler, stamped(pki, query))
        return trickle(handler, "application/timestamp-reply")
    return behave


# row: (the server, whether the release is signed or only --check-ed, the wording)
SERVERS = {
    "slow-to-osslsigncode": (slow_to_osslsigncode, True, "osslsigncode sign did not finish within 2 s"),
    "http-200-junk": (junk, False, "(no RFC 3161 time stamp in its answer)"),
    "another-nonce": (another_nonce, False, "answers another request (nonce or digest differs)"),
    "slow": (slow, False, "(no answer within 2 s)"),
    "refuses-the-third": (refuses_third, True, "cannot time-stamp SHA256SUMS.p7s with {url}: HTTP 500"),
}


@pytest.mark.parametrize("row", SERVERS)
def test_time_stamp_server_refused(row, release, pki, monkeypatch, capsys):
    behave, signs, wording = SERVERS[row]
    from launcher_release import timestamps, tools
    # The documented 60 s, shortened for the row.
    monkeypatch.setattr(timestamps, "TSA_DEADLINE", 2)
    monkeypatch.setattr(tools, "TOOL_DEADLINE", 2)
    before = state(release.dir)
    with serving(behave(pki)) as url:
        what = [release.dir, "--expect-sha256", release.sums] if signs else ["--check"]
        started = time.monotonic()
        status = in_process(monkeypatch, "sign", *what, *pki.p12_key, "--timestamp", url, "--ca-file", pki.ca)
        took = time.monotonic() - started
    err = capsys.readouterr().err
    one_line(subprocess.CompletedProcess([], status, "", err), wording.format(url=url))
    assert took < 8 and state(release.dir) == before

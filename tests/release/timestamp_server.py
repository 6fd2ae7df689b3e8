"""The time-stamping authority of the throwaway PKI: RFC 3161 over HTTP on
127.0.0.1, answered by openssl ts."""
import http.server
import threading
import urllib.request

from commands import sh


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


def serve(d, cert, key):
    """openssl ts answering as CERT and KEY (its serials and configuration
    in D), behind a server on a free port, running until shut down."""
    (d / "tsa.serial").write_text("01\n")
    (d / "tsa.cnf").write_text(f"[tsa]\ndefault_tsa=t\n[t]\nserial={d}/tsa.serial\nsigner_cert={cert}\n"
                               f"signer_key={key}\nsigner_digest=sha256\ndefault_policy=1.2.3.4\n"
                               "digests=sha1,sha256\n")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    server.config, server.hits = str(d / "tsa.cnf"), []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def timestamp_reply(data, pki):
    query = sh("openssl", "ts", "-query", "-data", "/dev/stdin", "-sha256", "-cert", input=data).stdout
    with urllib.request.urlopen(urllib.request.Request(
            pki.tsa_url, query, {"Content-Type": "application/timestamp-query"})) as answer:
        return answer.read()

"""RFC 3161 time stamps: the requests scripts/sign makes itself (the probe
of each --timestamp server before the key is used, and SHA256SUMS.p7s's
stamp), each within TSA_DEADLINE, and the time a reply records."""
import contextlib
import datetime
import hashlib
import secrets
import signal
import sys
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterator
from http.client import HTTPMessage
from types import FrameType
from typing import IO, Optional, Union

from asn1crypto import tsp

from .errors import Refusal
from .state import SignState

# How long one request to a time-stamp server may take in all. urllib's
# timeout bounds each read alone: a server that sent a byte every 15 s
# held a signing for ever.
TSA_DEADLINE = 60


class _OnlyWeb(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req: urllib.request.Request, fp: IO[bytes], code: int, msg: str,
                         headers: HTTPMessage, newurl: str) -> Optional[urllib.request.Request]:
        if urllib.parse.urlsplit(newurl).scheme.lower() not in ("http", "https"):
            raise urllib.error.URLError(f"redirected to {newurl}")
        return super().redirect_request(req, fp, code, msg, headers, newurl)


class _Late(Exception):
    pass


@contextlib.contextmanager
def deadline(seconds: float) -> Iterator[None]:
    """SECONDS for what runs inside, then _Late, raised in this (the main)
    thread by SIGALRM wherever it waits."""
    def late(number: int, frame: Optional[FrameType]) -> None:
        raise _Late()
    before = signal.signal(signal.SIGALRM, late)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)


def _fetch(url: str, query: bytes) -> Union[bytes, str]:
    """URL's answer to QUERY, or why there is none."""
    request = urllib.request.Request(url, data=query, headers={"Content-Type": "application/timestamp-query"})
    try:
        with deadline(TSA_DEADLINE), urllib.request.build_opener(_OnlyWeb).open(request, timeout=20) as answer:
            reply: bytes = answer.read(1 << 20)
            return reply
    except _Late:
        return f"no answer within {TSA_DEADLINE} s"
    except urllib.error.HTTPError as error:
        error.close()  # (Python 3.13 warns at the answer left open.)
        return f"HTTP {error.code}"
    except (urllib.error.URLError, OSError) as error:  # what urllib raises for a server it cannot reach
        reason = getattr(error, "reason", error)
        return f"cannot connect: {getattr(reason, 'strerror', None) or reason}"


def _granted(reply: bytes, nonce: int, digest: bytes) -> tuple[bool, bool]:
    """Whether REPLY grants a time stamp, and whether that stamp answers
    this request: its nonce, on this digest."""
    try:
        answer = tsp.TimeStampResp.load(reply)
        if answer["status"]["status"].native not in ("granted", "granted_with_mods"):
            return False, False
        info = answer["time_stamp_token"]["content"]["encap_content_info"]["content"].parsed
        return True, (info["nonce"].native, info["message_imprint"]["hashed_message"].native) == (nonce, digest)
    # asn1crypto parses lazily, as the values are reached, and a reply of
    # another shape fails there with any of these.
    except (ValueError, KeyError, TypeError, AttributeError):
        return False, False


def ask_tsa(url: str, digest: bytes) -> tuple[Optional[bytes], str]:
    """URL's RFC 3161 reply on DIGEST: (reply, "") or (None, why not)."""
    nonce = secrets.randbits(63)
    query = tsp.TimeStampReq({"version": 1, "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                                                "hashed_message": digest},
                              "nonce": nonce, "cert_req": True}).dump()
    reply = _fetch(url, query)
    if isinstance(reply, str):
        return None, reply
    granted, ours = _granted(reply, nonce, digest)
    if granted and not ours:
        return None, "its time stamp answers another request (nonce or digest differs)"
    return (reply, "") if granted else (None, "no RFC 3161 time stamp in its answer")


def time_stamps(s: SignState) -> None:
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


def stamped_at(reply: bytes) -> datetime.datetime:
    """The time an RFC 3161 reply records."""
    info = tsp.TimeStampResp.load(reply)["time_stamp_token"]["content"]["encap_content_info"]["content"].parsed
    at: datetime.datetime = info["gen_time"].native
    return at.astimezone(datetime.timezone.utc)

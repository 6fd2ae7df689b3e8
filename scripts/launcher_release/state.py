"""What scripts/sign knows about a signing, and after which step it knows
it. Each step's finding is a frozen value; the SignState that gathers them
is the one mutable thing, since the steps fill it in turn and a step's list
(sign.DIR_CHECKS, KEY_CHECKS, SIGNING) is what the fault-injection test
replaces step by step."""
import dataclasses
from typing import Optional, TypeVar

from cryptography import x509

from .bom import Json
from .options import SignOptions
from .tools import Given, Held

T = TypeVar("T")


def known(value: Optional[T]) -> T:
    """VALUE, which an earlier step has set: None here is this program's
    fault, not a release's (a step run out of its order)."""
    if value is None:
        raise RuntimeError("a signing step ran before the step it needs")
    return value


@dataclasses.dataclass(frozen=True)
class Opened:
    """DIR, opened (dir_checks.open_dir)."""
    parent_fd: int
    dir_fd: int
    name: str  # DIR's name in its parent
    path: str
    shown: str  # path, escaped when it is not printable


@dataclasses.dataclass(frozen=True)
class Work:
    """The work folder beside DIR, ours and locked (dir_checks.open_dir)."""
    path: str
    fd: int
    lock: int


@dataclasses.dataclass(frozen=True)
class Copies:
    """DIR's files, read once (dir_checks.copies), and the work folder's two
    halves: the copy, and where the signed release is made."""
    files: dict[str, bytes]
    unsigned_fd: int
    signed_fd: int


@dataclasses.dataclass(frozen=True)
class Key:
    """How the tools reach the key: osslsigncode's options, openssl's (cms
    -sign, pkeyutl), the environment openssl runs with (None: tools.ENV),
    and the held files the options name."""
    osslsigncode: list[str]
    openssl: list[str]
    env: Optional[dict[str, str]]
    files: list[Held]


@dataclasses.dataclass(frozen=True)
class Signer:
    """The signer's certificate and chain, and what verifies them
    (keys.certificate); the key is not touched to know these."""
    certificate: x509.Certificate
    chain: list[x509.Certificate]
    signer_file: str  # the file it came from, as refusals name it
    subject: str
    key: Key
    ca: Given
    tsa_ca: Given
    chain_pem: Held
    signer_pem: Held


@dataclasses.dataclass
class SignState:
    """Mutable: the steps fill it in their order, each with what it found."""
    o: SignOptions
    opened: Optional[Opened] = None
    work: Optional[Work] = None
    copies: Optional[Copies] = None
    unsigned: str = ""  # the SHA-256 of the unsigned launcher.exe (dir_checks.buildinfo)
    bom: Optional[Json] = None  # (dir_checks.bill_of_materials)
    signer: Optional[Signer] = None
    crls: Optional[Held] = None  # every CRL given, in one PEM (keys.chain)
    timestamp: str = ""  # the server that granted a time stamp (timestamps.time_stamps)
    signed_exe: bytes = b""  # as osslsigncode signed it (signing.verify_signed)
    report: str = ""  # the line a signing prints (signing.verify_signed)
    written: dict[str, bytes] = dataclasses.field(default_factory=dict)  # the signed release's files
    exchanged: bool = False

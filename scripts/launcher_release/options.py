"""The command lines of scripts/sign and scripts/verify, read by argparse
into frozen values. Their refusals keep the wording the scripts have always
had; argparse's own usage text and exit status 2 never reach the user."""
import argparse
import dataclasses
import os
import re
import urllib.parse
from collections.abc import Callable
from typing import NoReturn, Optional

from .errors import Refusal, UsageError
from .text import quoted

SIGN_USAGE = ("scripts/sign DIR --expect-sha256 HEX KEY-AND-VERIFY-OPTIONS: which release to sign "
              "(see the comment at the top of scripts/sign)")
VERIFY_USAGE = ("scripts/verify DIR --ca-file ROOT --signer CERT: which release to check "
                "(see the comment at the top of scripts/verify)")


def from_caller(path: str) -> str:
    """PATH as the caller meant it, byte for byte (no normalising)."""
    return path if path.startswith("/") else os.getcwd() + "/" + path


def matching(pattern: str, wording: str) -> Callable[[str], str]:
    """What reads an option's value: as it is if it matches PATTERN, else
    refused as WORDING, with the value quoted."""
    def read(value: str) -> str:
        if not re.fullmatch(pattern, value):
            raise Refusal(f"{wording}, not {quoted(value)}")
        return value
    return read


def module_path(value: str) -> str:
    # A bare library name is the dynamic loader's to find.
    return from_caller(value) if "/" in value else value


class Parser(argparse.ArgumentParser):
    """argparse, made to refuse as the scripts do: USAGE for whatever
    argparse itself would have printed its usage for and exited 2."""

    def __init__(self, usage: str) -> None:
        super().__init__(add_help=False, allow_abbrev=False, exit_on_error=False)
        self.usage_line = usage

    def error(self, message: str) -> NoReturn:
        raise UsageError(self.usage_line)


def takes_value(parser: Parser) -> dict[str, bool]:
    """Each of PARSER's options, and whether a value follows it."""
    return {option: action.nargs != 0 for action in parser._actions for option in action.option_strings}


def _joined(parser: Parser, args: list[str]) -> list[str]:
    """ARGS with each option that takes a value joined to the word after
    it, as --option=word: the scripts have always taken that word for the
    value, whatever it starts with ("--pin-file -pin" names the file -pin),
    where argparse would take a word starting with "-" for an option."""
    takes, joined = takes_value(parser), list[str]()
    while args:
        if takes.get(args[0]) and len(args) > 1:
            joined, args = joined + [f"{args[0]}={args[1]}"], args[2:]
        else:
            joined, args = joined + args[:1], args[1:]
    return joined


def parse(parser: Parser, args: list[str], script: str) -> argparse.Namespace:
    """ARGS by PARSER; an option without its value, or the first argument
    it does not know, refused in the scripts' words."""
    try:
        known, unknown = parser.parse_known_args(_joined(parser, args))
    except argparse.ArgumentError as error:
        # (argparse's only ArgumentError here: a value converter raises
        # Refusal, which argparse lets through.)
        raise UsageError(f"{error.argument_name} needs a value") from None
    if unknown:
        raise UsageError(f"unknown argument {quoted(unknown[0])} (see the comment at the top of scripts/{script})")
    return known


@dataclasses.dataclass(frozen=True)
class SignOptions:
    name: str
    dir: Optional[str]  # None: --check, the checks before a build
    pkcs12: str
    password_file: str
    module: str
    key: str
    certs: str
    pin_file: str
    no_timestamp: bool
    supplier: str
    expected: str
    crl_files: tuple[str, ...]
    timestamps: tuple[str, ...]
    ca_file: str
    tsa_ca_file: str

    @property
    def check_only(self) -> bool:
        return self.dir is None


def _sign_parser() -> Parser:
    parser = Parser(SIGN_USAGE)
    for option in ("--pkcs12", "--password-file", "--certs", "--pin-file", "--tsa-ca-file"):
        parser.add_argument(option, type=from_caller)
    parser.add_argument("--ca-file", type=from_caller)
    parser.add_argument("--crl-file", dest="crl_files", type=from_caller, action="append", default=[])
    parser.add_argument("--no-timestamp", action="store_true")
    # Only a web address: urllib would fetch a file or FTP address.
    parser.add_argument("--timestamp", dest="timestamps", action="append", default=[],
                        type=matching(r"[Hh][Tt][Tt][Pp][Ss]?://\S+", "--timestamp takes an http:// or https:// URL"))
    parser.add_argument("--expect-sha256", dest="expected",
                        type=matching(r"[0-9A-Fa-f]{64}", "--expect-sha256 takes a SHA-256 in hex (64 digits)"))
    parser.add_argument("--pkcs11-module", dest="module", type=module_path)
    parser.add_argument("--pkcs11-key", dest="key")
    parser.add_argument("--supplier")
    return parser


def sign_option_takes_value() -> dict[str, bool]:
    """Each of scripts/sign's options, and whether a value follows it
    (scripts/release passes them on)."""
    return takes_value(_sign_parser())


def sign_options(args: list[str], name: str) -> SignOptions:
    """scripts/sign's options (DIR first, or --check), refused in the order
    the script has always refused them."""
    if args[:1] == ["--check"]:
        folder = None
    elif args and not args[0].startswith("--"):
        folder = from_caller(args[0])
    else:
        raise UsageError(SIGN_USAGE)
    # (No option has a string default: argparse would pass it through the
    # option's converter, from_caller making "" the current folder.)
    got = parse(_sign_parser(), args[1:], name)
    text = {k: v or "" for k, v in vars(got).items() if k not in ("crl_files", "timestamps", "no_timestamp")}
    ca_file = text["ca_file"] or "/etc/ssl/certs/ca-certificates.crt"
    o = SignOptions(name=name, dir=folder, pkcs12=text["pkcs12"], password_file=text["password_file"],
                    module=text["module"], key=text["key"], certs=text["certs"], pin_file=text["pin_file"],
                    no_timestamp=got.no_timestamp, supplier=text["supplier"], expected=text["expected"].lower(),
                    crl_files=tuple(got.crl_files), timestamps=tuple(got.timestamps), ca_file=ca_file,
                    tsa_ca_file=text["tsa_ca_file"] or ca_file)
    _refuse_sign_options(o)
    return o


def _refuse_sign_options(o: SignOptions) -> None:
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


@dataclasses.dataclass(frozen=True)
class VerifyOptions:
    given: str
    ca: str
    signer_file: str
    tsa: str  # ca unless --tsa-ca-file
    crl: tuple[str, ...]
    at: str  # seconds since 1970, or "" for now


def verify_options(args: list[str]) -> VerifyOptions:
    if not args or args[0].startswith("--"):
        raise UsageError(VERIFY_USAGE)
    parser = Parser(VERIFY_USAGE)
    parser.add_argument("--ca-file", dest="ca", type=from_caller)
    parser.add_argument("--signer", dest="signer_file", type=from_caller)
    parser.add_argument("--tsa-ca-file", dest="tsa", type=from_caller)
    parser.add_argument("--crl-file", dest="crl", type=from_caller, action="append", default=[])
    parser.add_argument("--time", dest="at", type=matching(r"[0-9]+", "--time takes seconds since 1970"))
    got = parse(parser, args[1:], "verify")
    if not got.ca or not got.signer_file:
        raise Refusal("--ca-file ROOT and --signer CERT are needed: whom to trust, and whose signature to accept")
    return VerifyOptions(given=from_caller(args[0]), ca=got.ca, signer_file=got.signer_file, tsa=got.tsa or got.ca,
                         crl=tuple(got.crl), at=got.at or "")

"""scripts/sign: the checks, each a step that refuses with one line, then
the signing, which takes only the release the checks returned (the key is
reachable through it alone), then the exchange with DIR in one step. The
steps are in dir_checks, keys, timestamps and signing; their order is
here."""
import os
import shutil
from collections.abc import Callable
from typing import Optional

from . import dir_checks, keys, signing, timestamps
from .errors import Signed
from .options import sign_options
from .state import SignState

Step = Callable[[SignState], None]

DIR_CHECKS: tuple[Step, ...] = (
    dir_checks.open_dir, dir_checks.entries, dir_checks.copies, dir_checks.room, dir_checks.anchor,
    dir_checks.sums_match, dir_checks.buildinfo, dir_checks.bill_of_materials, dir_checks.strays,
    dir_checks.exchange_probe)
KEY_CHECKS: tuple[Step, ...] = (keys.certificate, keys.key_probe, keys.expiry, keys.chain, timestamps.time_stamps)
SIGNING: tuple[Step, ...] = (
    signing.authenticode, signing.verify_signed, signing.signed_files, signing.cms_signature,
    signing.cms_time_stamp, signing.read_back, signing.put_in_place)


class Release:
    """A release that passed every check, and the only way to its key."""

    def __init__(self, state: SignState) -> None:
        self.s = state


def check(s: SignState) -> Release:
    for step in (DIR_CHECKS if s.o.dir else ()) + KEY_CHECKS:
        step(s)
    return Release(s)


def sign(release: Release) -> str:
    """The line that says how RELEASE was signed."""
    for step in SIGNING:
        step(release.s)
    return release.s.report


def after_exchange(shown: str, error: BaseException) -> str:
    what = " ".join(f"{type(error).__name__}: {error}".split())
    return f"{shown} is signed, but what the signing said could not be written ({what})"


def main(args: list[str], name: str) -> Optional[str]:
    """The line a signing prints, or None for --check (which prints none)."""
    s = SignState(o=sign_options(args, name))
    try:
        try:
            release = check(s)
            return None if s.o.check_only else sign(release)
        finally:
            # Inside what turns a failure into Signed: a signal here came
            # after the exchange as often as before.
            if s.work and s.opened:
                shutil.rmtree(os.path.basename(s.work.path), dir_fd=s.opened.parent_fd, ignore_errors=True)
    except BaseException as error:
        # Past the exchange DIR is signed, whatever fails to be said of it
        # (a closed pipe, a full disk, a signal).
        if not s.exchanged or not s.opened:
            raise
        raise Signed(after_exchange(s.opened.shown, error)) from None

"""What stops a command. Each Refusal carries the one line the command
prints on standard error before it exits 1; nothing else reports a refusal.
The other errors here are a step's own word for what it found, which its
caller turns into the refusal's line (the same finding reads differently
in scripts/sign, scripts/verify and sums)."""


class Refusal(Exception):
    """A refusal, whose text is the one line the command prints."""


class UsageError(Refusal):
    """The command line names no run the command can make: a wrong count
    of arguments, an unknown command or option, a missing value."""


class Signed(Refusal):
    """A failure after DIR was exchanged for the signed release: its line
    says that DIR is signed."""


class Unreadable(Exception):
    """A release's file that files.read_file does not return; its text is
    the word the refusals show in parentheses."""


class Missing(Unreadable):
    def __init__(self) -> None:
        super().__init__("missing")


class Odd(Unreadable):
    """A link, a folder, a file with a second name, or one that changed
    kind while it was opened."""

    def __init__(self) -> None:
        super().__init__("odd")


class Large(Unreadable):
    def __init__(self) -> None:
        super().__init__("large")


class Unjudged(Exception):
    """An ACL that folder.changeable_by_others cannot judge: its text says
    why, and the folder is refused for it."""


class NotABom(Exception):
    """Bytes that are not the bill of materials scripts/release writes: not
    JSON, a key given twice, or not of its shape."""


class NotASignature(Exception):
    """A launcher.exe whose Authenticode signature does not parse as one."""

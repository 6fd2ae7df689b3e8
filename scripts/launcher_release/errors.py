"""What stops a command. Each carries the one line the command prints on
standard error before it exits 1; nothing else reports a refusal."""


class Refusal(Exception):
    """A refusal, whose text is the one line the command prints."""


class UsageError(Refusal):
    """The command line names no run the command can make: a wrong count
    of arguments, an unknown command or option, a missing value."""


class Signed(Refusal):
    """A failure after DIR was exchanged for the signed release: its line
    says that DIR is signed."""

"""How a refusal shows what it names, so that it stays one line."""
import errno


def quoted(text: str) -> str:
    """TEXT as bash's ${text@Q} shows it, so that a refusal stays one line."""
    if text.isprintable():
        return "'" + text.replace("'", "'\\''") + "'"
    escaped = "".join(c if c.isprintable() and c not in "\\'" else
                      {"\\": "\\\\", "'": "\\'", "\n": "\\n", "\t": "\\t", "\r": "\\r"}.get(c, f"\\x{ord(c):02x}")
                      for c in text)
    return f"$'{escaped}'"


def shown(path: str) -> str:
    return path if path.isprintable() else quoted(path)


def errno_text(error: OSError) -> str:
    if error.strerror:
        return error.strerror
    return errno.errorcode.get(error.errno, str(error)) if error.errno is not None else str(error)

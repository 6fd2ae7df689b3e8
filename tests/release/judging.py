"""What rows judge a run by: its one line of refusal, the folders as they
were, a file's hash."""
import hashlib
import os
import pathlib

from throwaway_pki import SECRETS


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

"""What the release tests share, each in a module of its own beside this
one: how commands run (commands.py) and what rows judge them by
(judging.py), one throwaway PKI (throwaway_pki.py) with a time-stamp
server (timestamp_server.py), a small PE and releases of it
(releases.py), clean clones and their caches (clones.py); all made when
the tests run. The test files import the helpers from those modules.

The fixtures are imported here rather than named in pytest_plugins, which
pytest (7.2 and 8.3 alike) refuses in a conftest.py it meets only while
collecting, as this one is when pytest is started above tests/release;
the fixtures a conftest.py holds, imported or its own, are found wherever
it is started. This folder is on sys.path as the test files' own (it has
no __init__.py), so the modules import by name."""
import pytest

# Their asserts say what they compared, as a test file's do.
pytest.register_assert_rewrite("judging", "releases")

from clones import caches, clone  # noqa: E402 (after the rewrite is registered)
from releases import release, signed, signed_release, small_pe  # noqa: E402
from throwaway_pki import pki  # noqa: E402

__all__ = ["caches", "clone", "pki", "release", "signed", "signed_release", "small_pe"]

"""scripts/sign fails closed: an error injected where each step runs, in
turn, ends the run with one line and exit 1, leaves DIR and everything
beside it as they were, and, when the step is a check, leaves the key
unused (no osslsigncode sign, no openssl cms -sign)."""

import pytest

from judging import state
from releases import sign_args

from launcher_release import cli, sign, tools

CHECKS = [step.__name__ for step in sign.DIR_CHECKS + sign.KEY_CHECKS]
STEPS = CHECKS + [step.__name__ for step in sign.SIGNING]


@pytest.mark.parametrize("failing", STEPS + [None])
def test_a_failing_step_changes_nothing(failing, release, pki, monkeypatch, capsys):
    used, run = [], tools.run

    def watched(*args, **kw):
        if args[:2] == ("osslsigncode", "sign") or args[:3] == ("openssl", "cms", "-sign"):
            used.append(args[:3])
        return run(*args, **kw)

    def injected(_):
        raise OSError(5, "injected")

    monkeypatch.setattr(tools, "run", watched)
    # (Not in this process, which other tests share: a hard core limit of 0
    # and SIGTERM handlers are scripts/sign's own.)
    monkeypatch.setattr(cli.resource, "setrlimit", lambda *_: None)
    monkeypatch.setattr(cli.signal, "signal", lambda *_: None)
    for group in ("DIR_CHECKS", "KEY_CHECKS", "SIGNING"):
        steps = tuple(injected if step.__name__ == failing else step for step in getattr(sign, group))
        monkeypatch.setattr(sign, group, steps)
    before = state(release.dir)
    args = sign_args(release.dir, pki, anchor=release.sums)
    if failing is None:
        # The same run without a fault signs, so that the rows above judge
        # a run that would have.
        cli.main("sign", args)
        assert used and state(release.dir) != before
        return
    with pytest.raises(SystemExit) as stop:
        cli.main("sign", args)
    err = capsys.readouterr().err
    assert stop.value.code == 1 and err.count("\n") == 1 and "injected" in err, err
    assert state(release.dir) == before
    assert not used or failing not in CHECKS, used

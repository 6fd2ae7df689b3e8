"""Time stamps: the signature outlives its certificate only with one; the
servers are asked in order, by http:// or https://; a stamp that does not
verify against the time-stamp authority's anchors stops the signing."""
import subprocess
import time

from conftest import authenticode, one_line, run, sh, sign, state


def test_only_a_time_stamp_outlives_the_certificate(signed, pki):
    sh("osslsigncode", "remove-signature", "-in", signed / "launcher.exe", "-out", signed.parent / "unsigned.exe")
    authenticode(pki, signed.parent / "unsigned.exe", signed.parent / "no-timestamp.exe")
    later = ["-time", str(int(time.time()) + 3 * 86400)]

    def aged(exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", pki.ca, "-TSA-CAfile", pki.ca, *later, "-in", exe],
                              capture_output=True, text=True)
    assert aged(signed / "launcher.exe").returncode == 0
    expired = aged(signed.parent / "no-timestamp.exe")
    assert expired.returncode != 0 and "certificate has expired" in expired.stdout + expired.stderr


def test_https_server_asked(pki):
    # Nothing answers on port 9: the second server, by http://, grants.
    done = run("sign", "--check", *pki.p12_key, "--ca-file", pki.ca, "--timestamp", "https://127.0.0.1:9/",
               "--timestamp", pki.tsa_url)
    assert done.returncode == 0, done.stderr


def test_stamp_under_another_authority_refused(release, pki):
    before = state(release.dir)
    one_line(sign(release.dir, pki, "--tsa-ca-file", pki.other, anchor=release.sums),
             f"carries no time stamp that verifies against {pki.other}")
    assert state(release.dir) == before

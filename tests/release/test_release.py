"""The release path, end to end, from two clean clones in different folders:
one unsigned release, signed apart with PKCS#12 (scripts/sign), and one
signed through a PKCS#11 token by scripts/release itself, into a dist/ an
older release left files in. Both verify; without their signatures they
are one file, which an unsigned rebuild from BUILDINFO gives again; the
notices and the bill of materials name what the map shows linked in. The
builds take minutes: one fixture makes the pair once for the session, and
each check is a test of its own over it, so that one failing hides no
other."""
import datetime
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import time
import types

import jsonschema
import pytest

from clones import make_clone
from commands import CHECKOUT, run, sh
from judging import sha256
from releases import sign, verify

from launcher_release import pins


def schema_validator(schema, store):
    """A draft 7 validator that finds the schemas `schema` refers to in `store`,
    by their URIs: through a registry where jsonschema has one (4.18 on, as in
    Debian 13, which warns at RefResolver), else through RefResolver (Debian
    12's 4.10)."""
    checker = jsonschema.Draft7Validator.FORMAT_CHECKER
    try:
        import referencing
        import referencing.jsonschema
    except ImportError:
        return jsonschema.Draft7Validator(schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store),
                                          format_checker=checker)
    registry = referencing.Registry().with_resources(
        (uri, referencing.Resource.from_contents(contents, default_specification=referencing.jsonschema.DRAFT7))
        for uri, contents in store.items())
    return jsonschema.Draft7Validator(schema, registry=registry, format_checker=checker)


STRICT = """
const cdx = require(process.argv[1] + "/node_modules/@cyclonedx/cyclonedx-library");
new cdx.Validation.JsonStrictValidator("1.6").validate(require("fs").readFileSync(process.argv[2], "utf8"))
    .then(errors => { if (errors !== null) { console.log(JSON.stringify(errors)); process.exit(1); } },
          error => { console.log(String(error)); process.exit(1); });
"""


def unsigned_bom(dist):
    text = (dist / "launcher.cdx.json").read_text()
    return text.replace(sha256(dist / "launcher.exe"), "LAUNCHER").replace("Throwaway Studio", "Quenby launcher")


def leave_an_older_release(token_repo):
    """What an older release left in dist/, and what a release stopped by
    kill -9 leaves: its work folder, that nobody holds."""
    (token_repo / "dist").mkdir()
    for left in ("left-by-an-older-release", "..left-too"):
        (token_repo / "dist" / left).touch()
    (token_repo / "build/release-work/stopped/dist").mkdir(parents=True)
    for left in ("lock", "dist/launcher.exe"):
        (token_repo / "build/release-work/stopped" / left).touch()


def start_token_release(work, pki, env):
    """The token's release, from outside its checkout with every path relative;
    side by side with the other, since each waits on one core much of the time."""
    rel = os.path.relpath
    return subprocess.Popen(
        ["token-repo/scripts/release", "--pkcs11-module", pki.module, "--pkcs11-key", pki.uri,
         "--certs", rel(pki.token_chain, work), "--pin-file", rel(pki.pin, work), "--timestamp", "http://127.0.0.1:9/",
         "--timestamp", pki.tsa_url, "--ca-file", rel(pki.ca, work), "--crl-file", rel(pki.crl, work),
         "--build-dir", "token-build"], cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        stdin=subprocess.DEVNULL, start_new_session=True)


@pytest.fixture(scope="session")
def two(tmp_path_factory, pki, caches):
    """The pair of releases, made once: the unsigned one (repo/dist, built in
    a-second-clone/elsewhere) and the token's (token-repo/dist), each from a
    clean clone of its own. Neither failing is a check of its own: every
    other check needs both."""
    work = tmp_path_factory.mktemp("two-clones")
    repo, token_repo = make_clone(work / "repo"), make_clone(work / "token-repo")
    env = dict(os.environ, XDG_CACHE_HOME=str(caches["cache"]))
    leave_an_older_release(token_repo)
    token = start_token_release(work, pki, env)
    build = work / "a-second-clone" / "elsewhere"
    unsigned = run("release", "--build-dir", build, root=repo, env=env, timeout=3600)
    token_out = token.communicate(timeout=3600)[0]
    assert unsigned.returncode == 0, unsigned.stderr
    assert token.returncode == 0, token_out
    return types.SimpleNamespace(work=work, repo=repo, token_repo=token_repo, tokens=token_repo / "dist", env=env,
                                 build=build, unsigned=unsigned, token_out=token_out)


@pytest.fixture(scope="session")
def signing(two, pki):
    """The unsigned release's dist/, copied to the signing machine, signed there."""
    signing = two.work / "signing"
    sh("cp", "-r", two.repo / "dist", signing)
    signed = sign(signing, pki, anchor=sha256(two.repo / "dist/SHA256SUMS"))
    assert signed.returncode == 0, signed.stderr
    return signing


@pytest.fixture(scope="session")
def recorded(signing):
    """The SHA-256 BUILDINFO records of the build, before any signature."""
    return re.search(r"^launcher-sha256: (\S+)", (signing / "BUILDINFO").read_text(), re.M).group(1)


def dist(request, which):
    """The token's dist/, or the unsigned one signed apart."""
    return request.getfixturevalue("two").tokens if which == "token" else request.getfixturevalue("signing")


def test_unsigned_release_prints_the_hash_to_hand_over_last(two):
    assert two.unsigned.stdout.split("\n")[-2] == ("SHA-256 of dist/SHA256SUMS, for scripts/sign --expect-sha256: "
                                                   + sha256(two.repo / "dist/SHA256SUMS"))
    assert "UNSIGNED" in two.unsigned.stdout


def test_signed_apart_strips_back_to_buildinfos_build(two, signing, recorded):
    sh("osslsigncode", "remove-signature", "-in", signing / "launcher.exe", "-out", two.work / "stripped.exe")
    assert sha256(two.work / "stripped.exe") == recorded, "without its signature the file is not BUILDINFO's build"


def test_token_release_says_what_checked_and_time_stamped_it(two, pki):
    assert re.search("verified by osslsigncode [0-9]", two.token_out)
    assert f"time-stamped by {pki.tsa_url}, " in two.token_out


@pytest.mark.parametrize("which", ["token", "signed apart"])
def test_sums_signature_verifies_by_openssl_cms(request, pki, which):
    sums = dist(request, which)
    sh("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", sums / "SHA256SUMS.p7s", "-content",
       sums / "SHA256SUMS", "-purpose", "any", "-CAfile", pki.ca, "-out", "/dev/null")


@pytest.mark.parametrize("which, signer, extra", [
    ("token", "token", lambda pki: ["--crl-file", pki.crl]),
    ("signed apart", "valid", lambda pki: ["--time", int(time.time()) + 402 * 86400])], ids=["token", "signed apart"])
def test_scripts_verify_accepts(request, pki, which, signer, extra):
    checked = verify(dist(request, which), pki, getattr(pki, signer), *extra(pki))
    assert checked.returncode == 0, checked.stderr


def test_token_signature_and_time_stamp_verify_by_osslsigncode(two, pki):
    checked = subprocess.run(["osslsigncode", "verify", "-CAfile", pki.ca, "-CRLfile", pki.crl, "-TSA-CAfile", pki.ca,
                              "-in", two.tokens / "launcher.exe"], capture_output=True, text=True).stdout
    assert re.search("^Signature verification: ok", checked, re.M), checked
    assert re.search("^Timestamp Server Signature verification: ok", checked, re.M), checked


def test_two_clones_built_the_same_bytes(two, recorded):
    sh("osslsigncode", "remove-signature", "-in", two.tokens / "launcher.exe", "-out", two.work / "token-stripped.exe")
    assert sha256(two.work / "token-stripped.exe") == recorded, "the two clones built different bytes"


def test_both_sum_the_same_files_and_dist_holds_those_alone(two, signing):
    summed = {dist: [line.split("  ", 1)[1] for line in (dist / "SHA256SUMS").read_text().splitlines()]
              for dist in (two.tokens, signing)}
    assert summed[two.tokens] == summed[signing]
    # Not what the older release left.
    assert sorted(os.listdir(two.tokens)) == sorted(
        summed[two.tokens] + ["SHA256SUMS", "SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"])


def test_no_work_folder_is_left_or_kept(two):
    assert os.listdir(two.token_repo / "build/release-work") == [], "a release's work folder was left or kept"


def test_both_carry_the_same_notices_and_bill_of_materials(two, signing):
    assert (two.tokens / "NOTICES.txt").read_bytes() == (signing / "NOTICES.txt").read_bytes()
    assert unsigned_bom(two.tokens) == unsigned_bom(signing)


@pytest.fixture(scope="session")
def boms(two):
    """The token's bill of materials, its launcher and the unsigned one's."""
    bom = json.loads((two.tokens / "launcher.cdx.json").read_text())
    unsigned = json.loads((two.repo / "dist/launcher.cdx.json").read_text())
    return types.SimpleNamespace(bom=bom, launcher=bom["metadata"]["component"], unsigned=unsigned)


def test_bill_of_materials_is_valid_against_cyclonedx_schema(two, boms):
    """Against CycloneDX's own schema, as setup keeps it."""
    schema = sh("bash", "-c", "source cmake/boost-source.sh && source cmake/cyclonedx-schema.sh && "
                "schema_tarball_is_pinned && echo $schema_tarball", cwd=CHECKOUT, env=two.env, text=True).stdout.strip()
    # (Python 3.12 and later warn at an extraction without a filter; Debian
    # 12's 3.11.2 has none to give.)
    safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
    with tarfile.open(schema) as tar:
        tar.extractall(two.work, [m for m in tar.getmembers() if m.name.startswith("package/res/schema/")], **safe)
    store = {}
    for name in glob.glob(f"{two.work}/package/res/schema/*.schema.json"):
        with open(name) as f:
            store["http://cyclonedx.org/schema/" + os.path.basename(name)] = json.load(f)
    schema_validator(store["http://cyclonedx.org/schema/bom-1.6.SNAPSHOT.schema.json"], store).validate(boms.bom)


@pytest.mark.parametrize("which", ["token", "unsigned"])
def test_bill_of_materials_passes_cyclonedx_strict_validator(two, caches, which):
    bom = (two.tokens if which == "token" else two.repo / "dist") / "launcher.cdx.json"
    validator = os.path.join(caches["cache"], "quenby-launcher", "cyclonedx-validator")
    strict = subprocess.run(["node", "-e", STRICT, validator, bom], capture_output=True, text=True)
    assert strict.returncode == 0, strict.stdout


def test_bill_of_materials_names_what_the_notices_name(two, boms):
    rows = {tuple(cell.strip() for cell in row.split("|")[1:4])
            for row in (two.tokens / "NOTICES.txt").read_text().splitlines()
            if re.match(r"\| [^-]", row)} - {("component", "version", "licence (SPDX)")}
    named = {(c["name"], c["version"], c["licenses"][0]["expression"]) for c in boms.bom["components"]}
    assert named == rows, "the bill of materials names other components than the notices"


def test_bill_of_materials_holds_ntias_minimum_elements(two, boms):
    bom, launcher = boms.bom, boms.launcher
    assert all(c["supplier"]["name"] for c in bom["components"] + [launcher])
    # The token's certificate names an organisation, the unsigned release none.
    assert launcher["supplier"]["name"] == "Throwaway Studio"
    assert boms.unsigned["metadata"]["component"]["supplier"]["name"] == "Quenby launcher"
    assert bom["metadata"]["authors"] and bom["metadata"]["tools"]["components"]
    commit_time = int(sh("git", "-C", two.repo, "show", "-s", "--format=%ct", "HEAD", text=True).stdout)
    assert bom["metadata"]["timestamp"] == datetime.datetime.fromtimestamp(
        commit_time, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    assert re.fullmatch(r"urn:uuid:[0-9a-f-]{36}", bom["serialNumber"])
    assert bom["serialNumber"] == boms.unsigned["serialNumber"]


def test_bill_of_materials_names_the_launcher_signed_and_unsigned(two, boms):
    launcher, unsigned = boms.launcher, boms.unsigned
    assert launcher["purl"].startswith("pkg:generic/quenby-launcher@") and launcher["version"] in launcher["purl"]
    shipped, built = sha256(two.tokens / "launcher.exe"), unsigned["metadata"]["component"]["hashes"][0]["content"]
    assert launcher["hashes"] == [{"alg": "SHA-256", "content": shipped}]
    # CycloneDX: a bill of materials whose content changes is a new version.
    assert boms.bom["version"] == unsigned["version"] + 1
    assert {(p["name"], p["value"]) for p in launcher["properties"]} == {("quenby:unsigned-sha256", built),
                                                                         ("quenby:signed-sha256", shipped)}


def test_bill_of_materials_names_debian_packages_as_dpkg_does(boms):
    """The packages as dpkg -S names the files linked in, and purls written
    as packageurl's builders write them."""
    purls = {c["name"]: c["purl"] for c in boms.bom["components"]}
    assert purls["libgcc"].startswith("pkg:deb/debian/gcc-mingw-w64-i686-posix@")
    gxx = sh("dpkg-query", "-W", "-f=${Version}", "g++-mingw-w64-i686-posix", text=True).stdout
    assert purls["libstdc++"].startswith("pkg:deb/debian/g%2B%2B-mingw-w64-i686-posix@" + gxx.replace("+", "%2B") + "?")


def test_bill_of_materials_names_boosts_pinned_source(two, boms):
    boost = next(c for c in boms.bom["components"] if c["name"] == "Boost")
    assert boost["cpe"] == "cpe:2.3:a:boost:boost:1.81.0:*:*:*:*:*:*:*"
    pin = pins.read(str(two.repo / "cmake/boost-source.sh"))
    assert boost["purl"] == "pkg:deb/debian/%s@%s?arch=source" % (
        pin.source_package, pin.source_version.replace("+", "%2B"))
    assert {"type": "source-distribution", "url": boost["purl"],
            "hashes": [{"alg": "SHA-256", "content": pin.tarball_sha256}]} in boost["externalReferences"]


def test_bill_of_materials_depends_on_every_component(boms):
    assert {d["ref"] for d in boms.bom["dependencies"]} == {c["bom-ref"] for c in boms.bom["components"]} | {
        "launcher.exe"}


def test_notices_name_only_what_the_map_shows_and_its_texts(two):
    """Only what the map shows in the image, and the notices its members carry."""
    notices = (two.repo / "dist/NOTICES.txt").read_text()
    assert not re.search(r"^\|.*(libuser32|libssp|libboost_atomic|libboost_container)", notices, re.M)
    assert "Silicon Graphics Computer Systems" in notices and "Hewlett-Packard Company" in notices


def test_unsigned_rebuild_from_buildinfo_gives_the_recorded_bytes(two, recorded):
    rebuilt = run("reproducible", "--buildinfo", "repo/dist/BUILDINFO", root=two.repo, cwd=two.work, env=two.env,
                  timeout=3600)
    assert "UNSIGNED" in rebuilt.stdout
    head = sh("git", "-C", two.repo, "rev-parse", "HEAD", text=True).stdout.strip()
    assert f"reproducible: {head} rebuilt to the recorded {recorded}" in rebuilt.stdout
    assert "differs" not in rebuilt.stdout


def test_signed_file_passes_the_executables_checks(two, signing):
    checks = subprocess.run([sys.executable, "-B", "-m", "pytest", "-W", "error", "-q", "-p", "no:cacheprovider",
                             f"--rootdir={CHECKOUT}/tests", f"{CHECKOUT}/tests/executable_test.py",
                             "--executable", signing / "launcher.exe",
                             "--map", two.build / "build/windows-x86/launcher.map", "--build-folder", two.build],
                            capture_output=True, text=True)
    assert checks.returncode == 0, checks.stdout[-2000:]


def test_library_member_the_notices_do_not_cover_stops_the_release(two):
    """A library member the notices do not cover, in the image. The map is
    put back after: the executable's checks read it too."""
    linker_map = two.build / "build/windows-x86/launcher.map"
    kept = linker_map.read_text()
    linker_map.write_text(re.sub(r"^(Archive member included.*\n)", r"\1/usr/lib/libuncovered.a(uncovered.o)\n",
                                 kept, count=1, flags=re.M))
    try:
        uncovered = run("notices", two.build, two.work, "x", root=two.repo)
    finally:
        linker_map.write_text(kept)
    assert uncovered.returncode != 0 and "libuncovered.a" in uncovered.stderr


def test_buildinfo_refuses_a_tool_of_no_package(monkeypatch, tmp_path):
    """A tool dpkg knows no package of (a ninja built by hand) stops the
    record, which would otherwise name every package but its own."""
    from launcher_release import buildinfo, errors
    (tmp_path / "ninja").write_text("")
    which = shutil.which
    monkeypatch.setattr(buildinfo.shutil, "which", lambda name: str(tmp_path / "ninja") if name == "ninja"
                        else which(name))
    with pytest.raises(errors.Refusal, match=f"dpkg knows no package of {tmp_path}/ninja"):
        buildinfo.packages()


# A build that moves HEAD as it runs (a commit made meanwhile): what it
# builds, and so what the release records, is the commit read before it.
MOVING_BUILD = """#!/bin/sh
echo "$2" >"$(dirname "$0")/../../built-commit"
git -C "$(dirname "$0")/.." -c user.name=test -c user.email=test@localhost commit --quiet --allow-empty -m meanwhile
exit 1
"""


def test_build_given_the_commit_read_before_it(tmp_path, caches):
    repo = make_clone(tmp_path / "repo")
    (repo / "scripts/clean-build").write_text(MOVING_BUILD)
    sh("git", "-C", repo, "-c", "user.name=test", "-c", "user.email=test@localhost", "commit", "--quiet", "-am", "spy")
    before = sh("git", "-C", repo, "rev-parse", "HEAD", text=True).stdout.strip()
    done = run("release", root=repo, env=dict(os.environ, XDG_CACHE_HOME=str(caches["cache"])))
    assert done.returncode != 0 and "clean-build failed" in done.stderr, done.stderr
    assert sh("git", "-C", repo, "rev-parse", "HEAD", text=True).stdout.strip() != before, "the spy moved no HEAD"
    assert (tmp_path / "built-commit").read_text() == before + "\n"


# Debian 13's copyright file of mingw-w64 names mingw-w64-crt/crt/* second
# in its stanza, after cfguard/*: the start-up code's licence text was left
# out of NOTICES.txt there, since a stanza is named by its first pattern.
STANZAS = """Files: *
Copyright: the first stanza's
License: ZPL-2.1
 ZPL text

Files: mingw-w64-crt/cfguard/* mingw-w64-crt/crt/*
Copyright: the start-up code's
License: public-domain
 public domain text
"""


def test_notices_name_each_stanza_carried(tmp_path, monkeypatch):
    from launcher_release import notices
    (tmp_path / "copyright").write_text(STANZAS)
    monkeypatch.setattr(notices, "MINGW_COPYRIGHT", str(tmp_path / "copyright"))
    crt = notices.Component("mingw-w64-crt", "12.0.0", notices.DEBIAN, notices.crt_carries, (),
                            package=notices.MINGW, package_version="12.0.0-1", stanzas=True)
    carried = {"crt2.o": frozenset({"mingw-w64-crt/crt/*"}), "libkernel32.a": frozenset({"*"})}
    linked = notices.debian_texts(notices.Linked(crt, carried))
    assert linked.component.licence == "ZPL-2.1 AND LicenseRef-public-domain"
    text = notices.notices_text([linked], "c0ffee")
    assert "Copyright: the first stanza's" in text and "Copyright: the start-up code's" in text, text

"""The release path, end to end, from two clean clones in different folders:
one unsigned release, signed apart with PKCS#12 (scripts/sign), and one
signed through a PKCS#11 token by scripts/release itself, into a dist/ an
older release left files in. Both verify; without their signatures they
are one file, which an unsigned rebuild from BUILDINFO gives again; the
notices and the bill of materials name what the map shows linked in. The
builds take minutes: this is the one test that makes them."""
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

import jsonschema
import pytest

from clones import make_clone
from commands import CHECKOUT, ROOT, run, sh
from judging import sha256
from releases import sign, verify


def unsigned_bom(dist):
    text = (dist / "launcher.cdx.json").read_text()
    return text.replace(sha256(dist / "launcher.exe"), "LAUNCHER").replace("Throwaway Studio", "Quenby launcher")


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


def check_bom(schemas, dist, unsigned_dist, commit_time, clone):
    store = {}
    for name in glob.glob(f"{schemas}/*.schema.json"):
        with open(name) as f:
            store["http://cyclonedx.org/schema/" + os.path.basename(name)] = json.load(f)
    schema = store["http://cyclonedx.org/schema/bom-1.6.SNAPSHOT.schema.json"]
    with open(dist / "launcher.cdx.json") as f:
        bom = json.load(f)
    schema_validator(schema, store).validate(bom)
    rows = {tuple(cell.strip() for cell in row.split("|")[1:4]) for row in (dist / "NOTICES.txt").read_text().splitlines()
            if re.match(r"\| [^-]", row)} - {("component", "version", "licence (SPDX)")}
    named = {(c["name"], c["version"], c["licenses"][0]["expression"]) for c in bom["components"]}
    assert named == rows, "the bill of materials names other components than the notices"
    # NTIA's minimum elements, the Debian packages as dpkg -S names the files
    # linked in, and purls written as packageurl's builders write them.
    unsigned = json.loads((unsigned_dist / "launcher.cdx.json").read_text())
    launcher = bom["metadata"]["component"]
    assert all(c["supplier"]["name"] for c in bom["components"] + [launcher])
    # The token's certificate names an organisation, the unsigned release none.
    assert launcher["supplier"]["name"] == "Throwaway Studio"
    assert unsigned["metadata"]["component"]["supplier"]["name"] == "Quenby launcher"
    assert bom["metadata"]["authors"] and bom["metadata"]["tools"]["components"]
    assert bom["metadata"]["timestamp"] == datetime.datetime.fromtimestamp(
        commit_time, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    assert re.fullmatch(r"urn:uuid:[0-9a-f-]{36}", bom["serialNumber"])
    assert bom["serialNumber"] == unsigned["serialNumber"]
    assert launcher["purl"].startswith("pkg:generic/quenby-launcher@") and launcher["version"] in launcher["purl"]
    shipped, built = sha256(dist / "launcher.exe"), unsigned["metadata"]["component"]["hashes"][0]["content"]
    assert launcher["hashes"] == [{"alg": "SHA-256", "content": shipped}]
    # CycloneDX: a bill of materials whose content changes is a new version.
    assert bom["version"] == unsigned["version"] + 1
    assert {(p["name"], p["value"]) for p in launcher["properties"]} == {("quenby:unsigned-sha256", built),
                                                                         ("quenby:signed-sha256", shipped)}
    purls = {c["name"]: c["purl"] for c in bom["components"]}
    assert purls["libgcc"].startswith("pkg:deb/debian/gcc-mingw-w64-i686-posix@")
    gxx = sh("dpkg-query", "-W", "-f=${Version}", "g++-mingw-w64-i686-posix", text=True).stdout
    assert purls["libstdc++"].startswith("pkg:deb/debian/g%2B%2B-mingw-w64-i686-posix@" + gxx.replace("+", "%2B") + "?")
    boost = next(c for c in bom["components"] if c["name"] == "Boost")
    assert boost["cpe"] == "cpe:2.3:a:boost:boost:1.81.0:*:*:*:*:*:*:*"
    pin = dict(re.findall(r"^(boost_\w+)=(\S+)", (clone / "cmake/boost-source.sh").read_text(), re.M))
    assert boost["purl"] == "pkg:deb/debian/%s@%s?arch=source" % (pin["boost_source_package"],
                                                                 pin["boost_source_version"].replace("+", "%2B"))
    assert {"type": "source-distribution", "url": boost["purl"],
            "hashes": [{"alg": "SHA-256", "content": pin["boost_tarball_sha256"]}]} in boost["externalReferences"]
    assert {d["ref"] for d in bom["dependencies"]} == {c["bom-ref"] for c in bom["components"]} | {"launcher.exe"}


STRICT = """
const cdx = require(process.argv[1] + "/node_modules/@cyclonedx/cyclonedx-library");
new cdx.Validation.JsonStrictValidator("1.6").validate(require("fs").readFileSync(process.argv[2], "utf8"))
    .then(errors => { if (errors !== null) { console.log(JSON.stringify(errors)); process.exit(1); } },
          error => { console.log(String(error)); process.exit(1); });
"""


def test_two_clones_one_release(tmp_path, pki, caches):
    work = tmp_path
    repo, token_repo = make_clone(work / "repo"), make_clone(work / "token-repo")
    env = dict(os.environ, XDG_CACHE_HOME=str(caches["cache"]))
    (token_repo / "dist").mkdir()
    for left in ("left-by-an-older-release", "..left-too"):
        (token_repo / "dist" / left).touch()
    # What a release stopped by kill -9 leaves: its work folder, that nobody holds.
    (token_repo / "build/release-work/stopped/dist").mkdir(parents=True)
    for left in ("lock", "dist/launcher.exe"):
        (token_repo / "build/release-work/stopped" / left).touch()
    # The token's release, from outside its checkout with every path relative;
    # side by side with the other, since each waits on one core much of the time.
    rel = os.path.relpath
    token = subprocess.Popen(
        ["token-repo/scripts/release", "--pkcs11-module", pki.module, "--pkcs11-key", pki.uri,
         "--certs", rel(pki.token_chain, work), "--pin-file", rel(pki.pin, work), "--timestamp", "http://127.0.0.1:9/",
         "--timestamp", pki.tsa_url, "--ca-file", rel(pki.ca, work), "--crl-file", rel(pki.crl, work),
         "--build-dir", "token-build"], cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        stdin=subprocess.DEVNULL, start_new_session=True)
    build = work / "a-second-clone" / "elsewhere"
    unsigned = run("release", "--build-dir", build, root=repo, env=env, timeout=3600)
    token_out = token.communicate(timeout=3600)[0]
    assert unsigned.returncode == 0, unsigned.stderr
    assert token.returncode == 0, token_out
    assert unsigned.stdout.split("\n")[-2] == ("SHA-256 of dist/SHA256SUMS, for scripts/sign --expect-sha256: "
                                               + sha256(repo / "dist/SHA256SUMS"))
    assert "UNSIGNED" in unsigned.stdout

    # Its dist/, copied to the signing machine, signed there.
    signing = work / "signing"
    sh("cp", "-r", repo / "dist", signing)
    signed = sign(signing, pki, anchor=sha256(repo / "dist/SHA256SUMS"))
    assert signed.returncode == 0, signed.stderr
    recorded = re.search(r"^launcher-sha256: (\S+)", (signing / "BUILDINFO").read_text(), re.M).group(1)
    sh("osslsigncode", "remove-signature", "-in", signing / "launcher.exe", "-out", work / "stripped.exe")
    assert sha256(work / "stripped.exe") == recorded, "without its signature the file is not BUILDINFO's build"

    assert re.search("verified by osslsigncode [0-9]", token_out)
    assert f"time-stamped by {pki.tsa_url}, " in token_out
    tokens = token_repo / "dist"
    for dist in (tokens, signing):
        sh("openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", dist / "SHA256SUMS.p7s", "-content",
           dist / "SHA256SUMS", "-purpose", "any", "-CAfile", pki.ca, "-out", "/dev/null")
    for checked in (verify(tokens, pki, pki.token, "--crl-file", pki.crl),
                    verify(signing, pki, pki.valid, "--time", int(time.time()) + 402 * 86400)):
        assert checked.returncode == 0, checked.stderr
    checked = subprocess.run(["osslsigncode", "verify", "-CAfile", pki.ca, "-CRLfile", pki.crl, "-TSA-CAfile", pki.ca,
                              "-in", tokens / "launcher.exe"], capture_output=True, text=True).stdout
    assert re.search("^Signature verification: ok", checked, re.M), checked
    assert re.search("^Timestamp Server Signature verification: ok", checked, re.M), checked
    sh("osslsigncode", "remove-signature", "-in", tokens / "launcher.exe", "-out", work / "token-stripped.exe")
    assert sha256(work / "token-stripped.exe") == recorded, "the two clones built different bytes"
    summed = {dist: [line.split("  ", 1)[1] for line in (dist / "SHA256SUMS").read_text().splitlines()]
              for dist in (tokens, signing)}
    assert summed[tokens] == summed[signing]
    assert sorted(os.listdir(tokens)) == sorted(summed[tokens] + ["SHA256SUMS", "SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"])
    assert os.listdir(token_repo / "build/release-work") == [], "a release's work folder was left or kept"
    assert (tokens / "NOTICES.txt").read_bytes() == (signing / "NOTICES.txt").read_bytes()
    assert unsigned_bom(tokens) == unsigned_bom(signing)

    # The bill of materials against CycloneDX's own schema (as setup keeps it),
    # and by CycloneDX's own strict validator, the signed and the unsigned one.
    schema = sh("bash", "-c", "source cmake/boost-source.sh && source cmake/cyclonedx-schema.sh && "
                "schema_tarball_is_pinned && echo $schema_tarball", cwd=CHECKOUT, env=env, text=True).stdout.strip()
    # (Python 3.12 and later warn at an extraction without a filter; Debian
    # 12's 3.11.2 has none to give.)
    safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
    with tarfile.open(schema) as tar:
        tar.extractall(work, [m for m in tar.getmembers() if m.name.startswith("package/res/schema/")], **safe)
    commit_time = int(sh("git", "-C", repo, "show", "-s", "--format=%ct", "HEAD", text=True).stdout)
    check_bom(work / "package/res/schema", tokens, repo / "dist", commit_time, repo)
    validator = os.path.join(caches["cache"], "quenby-launcher", "cyclonedx-validator")
    for bom in (tokens / "launcher.cdx.json", repo / "dist/launcher.cdx.json"):
        strict = subprocess.run(["node", "-e", STRICT, validator, bom], capture_output=True, text=True)
        assert strict.returncode == 0, strict.stdout
    # Only what the map shows in the image, and the notices its members carry.
    notices = (repo / "dist/NOTICES.txt").read_text()
    assert not re.search(r"^\|.*(libuser32|libssp|libboost_atomic|libboost_container)", notices, re.M)
    assert "Silicon Graphics Computer Systems" in notices and "Hewlett-Packard Company" in notices

    rebuilt = run("reproducible", "--buildinfo", "repo/dist/BUILDINFO", root=repo, cwd=work, env=env, timeout=3600)
    assert "UNSIGNED" in rebuilt.stdout
    head = sh("git", "-C", repo, "rev-parse", "HEAD", text=True).stdout.strip()
    assert f"reproducible: {head} rebuilt to the recorded {recorded}" in rebuilt.stdout
    assert "differs" not in rebuilt.stdout

    checks = subprocess.run([sys.executable, CHECKOUT + "/tests/executable_test.py", signing / "launcher.exe",
                             build / "build/windows-x86/launcher.map", build], capture_output=True, text=True)
    assert checks.returncode == 0, checks.stderr[-2000:]
    # A library member the notices do not cover, in the image: the release must stop.
    linker_map = build / "build/windows-x86/launcher.map"
    linker_map.write_text(re.sub(r"^(Archive member included.*\n)", r"\1/usr/lib/libuncovered.a(uncovered.o)\n",
                                 linker_map.read_text(), count=1, flags=re.M))
    uncovered = run("notices", build, work, "x", root=repo)
    assert uncovered.returncode != 0 and "libuncovered.a" in uncovered.stderr


def test_buildinfo_refuses_a_tool_of_no_package(monkeypatch, tmp_path):
    """A tool dpkg knows no package of (a ninja built by hand) stops the
    record, which would otherwise name every package but its own."""
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    from launcher_release import buildinfo
    (tmp_path / "ninja").write_text("")
    which = shutil.which
    monkeypatch.setattr(buildinfo.shutil, "which", lambda name: str(tmp_path / "ninja") if name == "ninja"
                        else which(name))
    with pytest.raises(RuntimeError, match=f"dpkg knows no package of {tmp_path}/ninja"):
        buildinfo.packages()

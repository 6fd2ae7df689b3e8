"""The release package's pure helpers, one table each: what a row here
catches, no run of scripts/sign or scripts/verify in the other tests does
(each row was seen to fail with the fault its comment names planted)."""
import copy
import os

import pytest

from commands import in_process

from launcher_release import bom, errors, options, text, tools


# text.quoted: as bash's ${text@Q} shows a name, so that a refusal stays one
# line and a name can be pasted back into a shell.
QUOTED = {
    # (a quote left as it is ends the quoting early)
    "quote": ("it's", "'it'\\''s'"),
    # (a backslash left as it is escapes what follows it, in $'...')
    "backslash-beside-a-line-break": ("a\\\nb", "$'a\\\\\\nb'"),
    # (a quote inside $'...' needs its backslash too)
    "quote-beside-a-tab": ("it's\t", "$'it\\'s\\t'"),
    # (two hex digits, always: $'\x1' is a different byte before a digit)
    "control-before-a-digit": ("\x01" + "7", "$'\\x017'"),
}


@pytest.mark.parametrize("row", QUOTED)
def test_quoted(row):
    given, shown = QUOTED[row]
    assert text.quoted(given) == shown


HEX = "0123456789ABCDEF" * 4
KEY = ["--pkcs12", "k.p12", "--password-file", "pw"]


def here(path):
    return os.getcwd() + "/" + path


# options.sign_options and verify_options: argparse, held to the scripts'
# wording and to the options' meaning. (an expected dict: fields of the
# options; a string: the refusal's line.)
OPTIONS = {
    # (argparse's allow_abbrev would take --pkcs for --pkcs12)
    "abbreviation": ("sign", ["DIR", "--pkcs", "k.p12", "--no-timestamp"],
                     "unknown argument '--pkcs' (see the comment at the top of scripts/sign)"),
    # (argparse's own line, or its exit status 2, would reach the user)
    "value-missing": ("sign", ["DIR", "--no-timestamp", "--pkcs12"], "--pkcs12 needs a value"),
    # (the script named is the one the caller ran, scripts/release's own)
    "unknown-under-another-name": ("release", ["--check", "--bogus", "x"],
                                   "unknown argument '--bogus' (see the comment at the top of scripts/release)"),
    # (a digest given in capitals is the same digest)
    "capital-digest": ("sign", ["DIR", "--expect-sha256", HEX, *KEY, "--no-timestamp"],
                       {"expected": HEX.lower()}),
    # (each --crl-file and --timestamp counts, in order, not the last alone)
    "repeated": ("sign", ["--check", *KEY, "--crl-file", "a", "--crl-file", "b", "--timestamp", "http://x",
                          "--timestamp", "https://y"],
                 {"crl_files": (here("a"), here("b")), "timestamps": ("http://x", "https://y")}),
    # (paths byte for byte, not normalised: a/../b is not b when a is a link)
    "path-as-given": ("sign", ["--check", "--pkcs12", "a//b/../k.p12", "--password-file", "pw", "--no-timestamp"],
                      {"pkcs12": here("a//b/../k.p12")}),
    # (the word after an option is its value, whatever it starts with:
    # argparse alone takes "-k.p12" for an option and refuses)
    "value-with-a-dash": ("sign", ["--check", "--pkcs12", "-k.p12", "--password-file", "--x", "--no-timestamp"],
                          {"pkcs12": here("-k.p12"), "password_file": here("--x")}),
    # (a bare library name is the dynamic loader's to find, not a file here)
    "bare-module": ("sign", ["--check", "--pkcs11-module", "libsofthsm2.so", "--pkcs11-key", "pkcs11:object=k",
                             "--certs", "c.pem", "--no-timestamp"], {"module": "libsofthsm2.so"}),
    # (the time-stamp CA defaults to --ca-file's, wherever it is given)
    "tsa-ca-default": ("sign", ["--check", *KEY, "--no-timestamp", "--ca-file", "root.pem"],
                       {"ca_file": here("root.pem"), "tsa_ca_file": here("root.pem")}),
    "verify-tsa-ca-default": ("verify", ["DIR", "--ca-file", "root.pem", "--signer", "s.pem"],
                              {"tsa": here("root.pem"), "at": "", "crl": ()}),
    # (argparse would read -5 as an option; its refusal says what --time takes)
    "verify-time": ("verify", ["DIR", "--ca-file", "r", "--signer", "s", "--time", "1.5"],
                    "--time takes seconds since 1970, not '1.5'"),
}


@pytest.mark.parametrize("row", OPTIONS)
def test_options(row):
    name, args, expected = OPTIONS[row]
    parse = ((lambda: options.verify_options(args)) if name == "verify"
             else (lambda: options.sign_options(args, name)))
    if isinstance(expected, str):
        with pytest.raises(errors.Refusal) as refusal:
            parse()
        assert str(refusal.value) == expected
    else:
        got = parse()
        assert {field: getattr(got, field) for field in expected} == expected


def unsigned_bom(supplier="Quenby launcher", properties=()):
    digest = "ab" * 32
    return {"version": 1, "metadata": {"authors": [{"name": supplier}], "component": {
        "supplier": {"name": supplier}, "hashes": [{"alg": "SHA-256", "content": digest}],
        "properties": [{"name": "quenby:unsigned-sha256", "value": digest}, *properties]}}}


SIGNED = "cd" * 32
# bom.signed_bom: the bill of materials of the signed file. (the supplier
# and authors it should name, and how many quenby:signed-sha256 it holds.)
SIGNED_BOM = {
    # (--supplier names the supplier, whatever the release said)
    "supplier-over-a-vendor": (unsigned_bom("Vendor"), "Other", "Studio", "Other"),
    # (the signer's organisation replaces only the project's own name)
    "vendor-kept": (unsigned_bom("Vendor"), "", "Studio", "Vendor"),
    # (no organisation in the certificate: the project's name stays)
    "no-organisation": (unsigned_bom(), "", "", "Quenby launcher"),
    # (a release signed again names the new file once, not both)
    "signed-before": (unsigned_bom(properties=[{"name": "quenby:signed-sha256", "value": "ef" * 32}]), "", "",
                      "Quenby launcher"),
}


@pytest.mark.parametrize("row", SIGNED_BOM)
def test_signed_bom(row):
    unsigned, supplier, organisation, named = SIGNED_BOM[row]
    signed = bom.signed_bom(copy.deepcopy(unsigned), SIGNED, supplier, organisation)
    launcher = signed["metadata"]["component"]
    assert launcher["supplier"] == {"name": named} and signed["metadata"]["authors"] == [{"name": named}]
    assert [p["value"] for p in launcher["properties"] if p["name"] == "quenby:signed-sha256"] == [SIGNED]
    assert launcher["hashes"] == [{"alg": "SHA-256", "content": SIGNED}] and signed["version"] == 2


# bom.read and bom.unsigned_names: the build an unsigned release's bill of
# materials names, from bytes that come with the release. (None: refused,
# as NotABom; the caller's one line says it is not the bill of materials.)
UNSIGNED_NAMES = {
    # (only the unsigned-sha256 property names the build)
    "other-properties": (b'{"metadata": {"component": {"hashes": [{"content": "a"}], "properties": ['
                         b'{"name": "quenby:commit", "value": "b"}]}}}', "a"),
    # (a number where a hash goes: refused, not an error it did not expect)
    "number-for-a-hash": (b'{"metadata": {"component": {"hashes": [{"content": 5}], "properties": []}}}', None),
    "not-utf-8": (b'{"metadata": "\xff"}', None),
}


@pytest.mark.parametrize("row", UNSIGNED_NAMES)
def test_unsigned_names(row):
    data, named = UNSIGNED_NAMES[row]
    if named is None:
        with pytest.raises(errors.NotABom):
            bom.unsigned_names(bom.read(data))
    else:
        assert bom.unsigned_names(bom.read(data)) == named


# tools.primary_report: osslsigncode verify's report read for the primary
# signature alone. (signed, stamped)
REPORTS = {
    # (a time stamp's "ok" is not the signature's)
    "stamp-ok-signature-failed": ("Timestamp Server Signature verification: ok\n"
                                  "Signature verification: failed\n", (False, True)),
}


@pytest.mark.parametrize("row", REPORTS)
def test_primary_report(row):
    log, (signed, stamped) = REPORTS[row]
    report = tools.primary_report(log)
    assert (report.signed, report.stamped) == (signed, stamped)


# cli.main: a command line that names no run the command can make is one
# usage line and exit 1, not "stopped by an error it did not expect".
USAGE = {
    # (argparse's parse_known_args would sign or sum the first word alone)
    "one-word-too-many": ("sums", ["a", "b"], "sums: usage: sums DIR"),
    # (looked up as it came: a KeyError)
    "unknown-command": ("bogus", [], "launcher_release: usage: /usr/bin/python3 -I scripts/launcher_release "
                                     "[--as NAME] COMMAND ARGS..., COMMAND one of sign, verify, sums"),
}


@pytest.mark.parametrize("row", USAGE)
def test_usage(row, monkeypatch, capsys):
    command, args, line = USAGE[row]
    assert in_process(monkeypatch, command, *args) == 1
    err = capsys.readouterr().err
    assert err.startswith(line) and err.count("\n") == 1, err

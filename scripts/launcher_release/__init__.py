"""The release's tooling, run by Debian's /usr/bin/python3: scripts/sign and
scripts/verify, and what scripts/release, scripts/notices and
scripts/buildinfo share with them. By concern: cli (the commands), options
(their command lines), errors, text (how a refusal shows a name), files
(the release's files, SHA256SUMS, BUILDINFO's values), bom (the bill of
materials), folder (the folder, its exchange, work folders, locks, ACLs),
certs (certificates, CRLs, the Authenticode signature, as the Python
libraries read them), keys, timestamps, dir_checks, signing and state (the
steps of scripts/sign, ordered in sign), verify, and tools (every tool run,
and what it prints read)."""
import os

# OpenSSL reads these as it starts, in this process too (cryptography's
# OpenSSL): a caller's OPENSSL_CONF loads what it names, and one that asked
# for FIPS left verify without SHA-256. python3 -I does not drop them; so
# they go before cryptography is first imported, and the tools run with an
# environment of their own (tools.ENV).
for _name in [n for n in os.environ if n.startswith(("OPENSSL_", "SSL_CERT_"))]:
    del os.environ[_name]

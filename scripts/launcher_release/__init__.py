"""The release's tooling, run by Debian's /usr/bin/python3: scripts/sign and
scripts/verify, and what scripts/release, scripts/notices and
scripts/buildinfo share with them (folder.py)."""
import os

# OpenSSL reads these as it starts, in this process too (cryptography's
# OpenSSL): a caller's OPENSSL_CONF loads what it names, and one that asked
# for FIPS left verify without SHA-256. python3 -I does not drop them; so
# they go before cryptography is first imported, and the tools run with an
# environment of their own (tools.ENV).
for _name in [n for n in os.environ if n.startswith(("OPENSSL_", "SSL_CERT_"))]:
    del os.environ[_name]

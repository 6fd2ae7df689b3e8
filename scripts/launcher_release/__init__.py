"""The release's tooling, run by Debian's /usr/bin/python3: scripts/sign and
scripts/verify, and what scripts/release, scripts/notices and
scripts/buildinfo share with them (folder.py)."""

# shellcheck shell=bash
# The CycloneDX schema that the release test validates a bill of materials
# against, as CycloneDX publish it in their npm library: scripts/setup
# fetches the package's tarball once into the cache, and every use checks
# it against this SHA-256 first. Sourced by the scripts, after
# cmake/boost-source.sh (for the cache folder).
schema_package=@cyclonedx/cyclonedx-library@10.3.0
# shellcheck disable=SC2154  # boost_cache comes from cmake/boost-source.sh
schema_tarball=$boost_cache/download/cyclonedx-cyclonedx-library-10.3.0.tgz
schema_tarball_sha256=9833bd949052eb18218dd64b13ad62d9246f7395eef01c66dad08fcbacf74f01

# Succeeds when the schema tarball is the pinned one; otherwise says so in
# one line, naming both hashes, and fails.
schema_tarball_is_pinned() {
    local actual
    actual=$(sha256sum <"$schema_tarball" | cut -d' ' -f1)
    [ "$actual" = "$schema_tarball_sha256" ] && return
    echo "$schema_tarball is not the pinned $schema_package: SHA-256 $actual, expected $schema_tarball_sha256" >&2
    return 1
}

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

# Succeeds when the schema tarball is the pinned one, as is_pinned says.
schema_tarball_is_pinned() {
    is_pinned "$schema_tarball" "$schema_tarball_sha256" "the pinned $schema_package"
}

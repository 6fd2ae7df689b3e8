# shellcheck shell=bash
# The Boost sources the Windows build compiles: Debian 12's source package,
# pinned by the SHA-256 of its upstream tarball. Sourced by the scripts.
# The bill of materials names the source package and the version it was
# pinned from (scripts/notices); later revisions carry the same tarball.
# shellcheck disable=SC2034  # read by the scripts that source this file
boost_version=1.81.0
# shellcheck disable=SC2034  # read by scripts/setup
boost_source_package=boost1.81
# shellcheck disable=SC2034  # read by scripts/notices and the release test
boost_source_version=1.81.0-5+deb12u1
boost_tarball=boost1.81_1.81.0.orig.tar.xz
boost_tarball_sha256=449afecf5ef98edc0a46826cde6af98d1fb95c2e92962fa8c9e3eb1e8a2928ec

boost_cache=${XDG_CACHE_HOME:-$HOME/.cache}/quenby-launcher
boost_kept_tarball=$boost_cache/download/$boost_tarball

# is_pinned FILE SHA256 WHAT: succeeds when FILE has that SHA-256; otherwise
# says so in one line, naming both hashes, and fails.
is_pinned() {
    local actual
    actual=$(sha256sum <"$1" | cut -d' ' -f1)
    [ "$actual" = "$2" ] && return
    echo "$1 is not $3: SHA-256 $actual, expected $2" >&2
    return 1
}

# Succeeds when the tarball at $1 is the pinned one, as is_pinned says.
boost_tarball_is_pinned() { is_pinned "$1" "$boost_tarball_sha256" "the pinned Boost source"; }

# What the launcher's build reads of it: Boost's CMake files and the
# libraries that Boost.ProgramOptions and Boost.Filesystem need (the closure
# Boost's CMake configures for them), with Boost.Locale's headers; no tests,
# documentation or examples. A build from an extraction that lacks one fails
# to configure or to compile, so the list cannot silently fall short. The
# licence goes into a release's notices.
boost_members=(boost/CMakeLists.txt boost/LICENSE_1_0.txt boost/tools/cmake)
for library in align any array assert atomic bind concept_check config container \
    container_hash conversion core describe detail filesystem function function_types \
    functional fusion integer intrusive io iterator lexical_cast locale move mp11 mpl numeric \
    optional predef preprocessor program_options range regex smart_ptr static_assert system \
    throw_exception tokenizer tuple type_index type_traits typeof utility variant2 winapi; do
    boost_members+=("boost/libs/$library")
done

# Extracts what the build reads of the kept tarball into the folder $1.
boost_extract() {
    mkdir -p "$1"
    tar -xf "$boost_kept_tarball" -C "$1" --strip-components=1 \
        --exclude='boost/libs/*/test' --exclude='boost/libs/*/doc' --exclude='boost/libs/*/example' \
        --exclude='boost/libs/*/*/test' --exclude='boost/libs/*/*/doc' "${boost_members[@]}"
}

#!/usr/bin/env bash
# scripts/fresh-check's clean-up, which runs as root and unmounts what it
# mounted into its work folder in the cache: tried with a blank in the cache
# path, in a mount namespace of the test's own where /dev and /sys are
# throwaway tmpfs (each with a marker file and the few device nodes the
# scripts use), never the host's. A stand-in root tarball and a stand-in
# chroot on the PATH make the README's commands fail at once, so only the
# mounts and the clean-up are exercised.
#  - Both commands failing: nothing is left mounted below the cache, the
#    work folder is gone, and /dev, /sys (with what is mounted inside them)
#    and the bind-mounted package archives keep their files.
#  - Something outside the root holding its /tmp busy: the unmount fails,
#    fresh-check says so in one line and exits non-zero, and removes
#    nothing: the work folder, /dev, /sys and the archives keep their files.
#   tests/fresh_check_test.sh [FRESH_CHECK]   (as root; default scripts/fresh-check)
set -euo pipefail
cd "$(dirname "$0")/.."
fresh_check=$(realpath "${1:-scripts/fresh-check}")

if [ "${FRESH_CHECK_TEST_OUTER_NAMESPACE:-}" = "" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "FAILED: needs root, for a mount namespace of its own"; exit 1; }
    FRESH_CHECK_TEST_OUTER_NAMESPACE=$(readlink /proc/self/ns/mnt) \
        exec unshare --mount --propagation private -- "$0" "$fresh_check"
fi
# Nothing is mounted before this is certain.
[ "$(readlink /proc/self/ns/mnt)" != "$FRESH_CHECK_TEST_OUTER_NAMESPACE" ] ||
    { echo "FAILED: not in a mount namespace of its own"; exit 1; }

# Each with a file system mounted inside, as the host's /dev/pts and
# /sys/fs/cgroup are, and shared, as systemd makes them: an unmount below a
# recursive bind of a shared tree reaches the tree itself unless the bind
# was made a slave.
for tree in /dev /sys; do
    mount -t tmpfs throwaway "$tree"
    echo kept >"$tree/marker"
    mkdir "$tree/inner"
    mount -t tmpfs throwaway "$tree/inner"
    echo kept >"$tree/inner/marker"
    mount --make-rshared "$tree"
done
mknod -m 666 /dev/null c 1 3
mknod -m 666 /dev/zero c 1 5
mknod -m 666 /dev/urandom c 1 9
ln -s /proc/self/fd /dev/fd

work=$(mktemp -d)
# What a failed clean-up left mounted goes with this namespace; the folder
# beneath it is removed once that is unmounted here.
# shellcheck disable=SC2317  # run by the EXIT trap
finish() {
    local target
    [ ! -s "$work/holders" ] || xargs kill <"$work/holders" 2>/dev/null || true
    wait
    mounts_below "$work" | while IFS= read -r target; do
        umount --lazy "$target" 2>/dev/null || true
    done
    rm -rf --one-file-system "$work"
}
trap finish EXIT
cache="$work/a cache"
mkdir -p "$cache/quenby-launcher/fresh-apt-archives-bookworm" "$work/root" "$work/bin"
echo kept >"$cache/quenby-launcher/fresh-apt-archives-bookworm/kept.deb"
(cd "$work/root" && mkdir -p etc proc sys dev tmp var/cache/apt/archives root)
tar -C "$work/root" -cf "$cache/quenby-launcher/fresh-root-bookworm.tar" .
# The stand-in chroot fails at once; with HOLD set it first leaves a process
# behind whose working folder is the root's /tmp, outside the root, as a
# process of the host's might hold it.
cat >"$work/bin/chroot" <<'EOF'
#!/bin/sh
[ -z "${HOLD:-}" ] || { cd "$1/tmp" && exec sleep 300; } </dev/null >/dev/null 2>&1 &
[ -z "${HOLD:-}" ] || echo $! >>"$HOLD"
exit 1
EOF
chmod +x "$work/bin/chroot"

# shellcheck source=tests/check.sh
source tests/check.sh
# The mount points at or below the folder $1, deepest first (mountinfo
# writes a blank as \040).
mounts_below() {
    local target
    while read -r _ _ _ _ target _; do
        target=$(printf '%b.' "$target") target=${target%.}
        [ "$target" = "$1" ] || [[ $target == "$1"/* ]] && printf '%s\n' "$target"
    done </proc/self/mountinfo | sort -r
}
# shellcheck disable=SC2317  # called through check
nothing_mounted_below() { [ -z "$(mounts_below "$1")" ]; }
# shellcheck disable=SC2317  # called through check
work_folders() { compgen -G "$cache/quenby-launcher/fresh-check.*/root/etc" >/dev/null; }
# shellcheck disable=SC2317  # called through check
no_work_folders() { ! compgen -G "$cache/quenby-launcher/fresh-check.*" >/dev/null; }
# shellcheck disable=SC2317  # called through check
host_files_kept() {
    [ "$(cat /dev/marker)" = kept ] && [ "$(cat /sys/marker)" = kept ] && [ -c /dev/null ] &&
        [ "$(cat /dev/inner/marker)" = kept ] && [ "$(cat /sys/inner/marker)" = kept ] &&
        [ "$(cat "$cache/quenby-launcher/fresh-apt-archives-bookworm/kept.deb")" = kept ]
}
run() {
    status=0
    XDG_CACHE_HOME=$cache PATH=$work/bin:$PATH "$fresh_check" >"$work/out" 2>&1 || status=$?
}

echo "== both commands fail"
run
check "exit status $status, expected 1" [ "$status" -eq 1 ]
check "still mounted below the cache: $(mounts_below "$cache" | sed "s|^$cache/||" | tr '\n' ' ')" \
    nothing_mounted_below "$cache"
check "a work folder is left: $(cd "$cache/quenby-launcher" && echo fresh-check.*)" no_work_folders
check "/dev, /sys or the archives lost a file, or a mount" host_files_kept

echo "== the root's /tmp held busy from outside"
HOLD=$work/holders run
check "exit status $status, expected one that is not 0" [ "$status" -ne 0 ]
check "no line about the unmount: $(tail -n 1 "$work/out")" \
    grep -qx "fresh-check: could not unmount $cache/quenby-launcher/fresh-check\.[^/]*/root/tmp: left .*" \
    "$work/out"
check "the work folder is gone, or its root's files" work_folders
check "/dev, /sys or the archives lost a file, or a mount" host_files_kept

echo "fresh-check's last lines:"
tail -n 3 "$work/out" | sed 's/^/    /'
[ "$failed" -eq 0 ] && echo "fresh-check's clean-up: passed"
exit $failed

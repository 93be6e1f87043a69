#!/usr/bin/env bash
# What a newcomer sees of a release: the demo's output, the man pages, and the Debian
# packages: built with dpkg-buildpackage from a copy of the tree, lintian-clean, installed
# with apt-get, the installed tools and the installed demo run, and purged. Run after the
# default build (scripts/run-tests does); installing needs root (without it, the packages are
# built and checked but not installed).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build
failed=0
passed=0
check() { # check NAME COMMAND...: runs COMMAND, counts the result
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $name"
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}

work=$(mktemp -d)
packages=(dl-cor-fw dl-cor-fw-sim)
installed=0
cleanup() {
    if [ "$installed" -eq 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The demo: the first CFS run updates the two drives that need it, the second finds every
# ATA drive up to date and downloads nothing, and the -f run updates the SCSI drive.
section() { # section OUT N: the output of the Nth dl_cor_fw run of the demo output OUT
    awk -v n="$2" '/^\$ .*dl_cor_fw /{k++} k==n' "$1"
}
first_run() {
    [ "$(section "$1" 1 | grep -c '^Download SUCCESSFUL$')" -eq 2 ] &&
        section "$1" 1 | grep -qx 'The firmware on /dev/sg3 is up to date'
}
second_run() {
    local s
    s=$(section "$1" 2)
    ! grep -q 'Downloading' <<<"$s" &&
        for n in 0 1 3; do grep -qx "The firmware on /dev/sg$n is up to date" <<<"$s" || return 1; done &&
        grep -qx '(exit status 0)' <<<"$s"
}
third_run() {
    section "$1" 3 | grep -qx 'Download SUCCESSFUL' && section "$1" 4 | grep -q 'FW: N5R0$'
}
check_demo() { # check_demo WHAT OUT
    check "$1: first run updates the two outdated drives" first_run "$2"
    check "$1: second run finds every drive up to date" second_run "$2"
    check "$1: -f updates the SCSI drive" third_run "$2"
}
DEMO_DIR=$work/demo "$top/scripts/demo" >"$work/demo.out" 2>&1
check_demo demo "$work/demo.out"

# The man pages render without a warning.
for page in "$top"/docs/*.[18]; do
    check "man page $(basename "$page") renders cleanly" \
        sh -c 'test -z "$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)"' sh "$page"
done

# The Debian packages, built from a copy of the tree (dpkg-buildpackage writes into the
# directory above the source), without the tests, two jobs.
mkdir "$work/src"
tar -C "$top" --exclude-vcs --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$work/src" -xf -
if ! (cd "$work/src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -j2) \
    >"$work/package.log" 2>&1; then
    cat "$work/package.log"
    echo "FAILED: dpkg-buildpackage"
    exit 1
fi
version=$(cd "$work/src" && dpkg-parsechangelog -S Version)
debs=()
for p in "${packages[@]}"; do
    debs+=("$work/${p}_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb")
done
check "both packages built" test -f "${debs[0]}" -a -f "${debs[1]}"
lintian_clean() {
    local out
    out=$(lintian --fail-on error,warning "${debs[@]}" 2>/dev/null) && [ -z "$out" ] ||
        { printf '%s\n' "$out"; return 1; }
}
check "lintian reports nothing on either package" lintian_clean
check "dl-cor-fw depends on libssl3 and zlib1g" \
    sh -c 'case "$(dpkg-deb -f "$1" Depends)" in *libssl3*zlib1g*) ;; *) exit 1 ;; esac' sh "${debs[0]}"

if [ "$(id -u)" -eq 0 ]; then
    installed=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "${debs[@]}" \
        >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
    check "installed dl_cor_fw -v prints the banner of the package's version" \
        sh -c '/usr/sbin/dl_cor_fw -v | grep -q "Firmware Download Utility v$1 "' sh "$version"
    check "installed cfs_tool and sgsim run" \
        sh -c '/usr/sbin/cfs_tool --version >/dev/null && /usr/bin/sgsim show "$1" >/dev/null' \
        sh "$work/demo/bay.json"
    libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    check "installed sgsim preloads the interposer from its private directory" \
        sh -c 'test "$(/usr/bin/sgsim run "$1" -- sh -c "echo \$LD_PRELOAD")" = "$2"' \
        sh "$work/demo/bay.json" "$libdir/dl-cor-fw/libsgsim.so"
    check "installed sgsim answers for the bay" \
        sh -c '/usr/bin/sgsim run "$1" -- /usr/sbin/dl_cor_fw -i | grep -q "^ATA       /dev/sg0 "' \
        sh "$work/demo/bay.json"
    for page in dl_cor_fw.8 cfs_tool.8 sgsim.1; do
        check "installed man page $page, compressed" \
            test -f "/usr/share/man/man${page##*.}/$page.gz"
    done
    DEMO_DIR=$work/installed-demo /usr/share/doc/dl-cor-fw-sim/examples/demo \
        >"$work/installed-demo.out" 2>&1 || true
    check_demo "installed demo" "$work/installed-demo.out"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$work/purge.log" 2>&1 ||
        cat "$work/purge.log"
    installed=0
    check "purged: no package and no file left" \
        sh -c '! dpkg-query -W "$@" >/dev/null 2>&1 && test ! -e /usr/sbin/dl_cor_fw -a ! -e /usr/bin/sgsim \
               -a ! -e "$0/dl-cor-fw"' "$libdir" "${packages[@]}"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

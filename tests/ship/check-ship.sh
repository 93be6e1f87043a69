#!/usr/bin/env bash
# What a newcomer sees of a release: the demo's output, the man pages, and the Debian
# package installing and running. Run after the default build (scripts/run-tests does);
# installs and removes the package, so it needs root.
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
trap 'rm -rf "$work"' EXIT

# The demo: the first CFS run updates the two drives that need it, the second finds every
# ATA drive up to date and downloads nothing, and the -f run updates the SCSI drive.
DEMO_DIR=$work/demo "$top/scripts/demo" >"$work/demo.out" 2>&1
section() { # section N: the output of the demo's Nth dl_cor_fw run
    awk -v n="$1" '/^\$ .*dl_cor_fw /{k++} k==n' "$work/demo.out"
}
first_run() {
    [ "$(section 1 | grep -c '^Download SUCCESSFUL$')" -eq 2 ] &&
        section 1 | grep -qx 'The firmware on /dev/sg3 is up to date'
}
second_run() {
    local s
    s=$(section 2)
    ! grep -q 'Downloading' <<<"$s" &&
        for n in 0 1 3; do grep -qx "The firmware on /dev/sg$n is up to date" <<<"$s" || return 1; done &&
        grep -qx '(exit status 0)' <<<"$s"
}
third_run() {
    section 3 | grep -qx 'Download SUCCESSFUL' && section 4 | grep -q 'FW: N5R0$'
}
check "demo: first run updates the two outdated drives" first_run
check "demo: second run finds every drive up to date" second_run
check "demo: -f updates the SCSI drive" third_run

# The man pages render without a warning.
for page in "$top"/docs/*.[18]; do
    check "man page $(basename "$page") renders cleanly" \
        sh -c 'test -z "$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)"' sh "$page"
done

# The Debian package: its dependencies, installing it, running from it, removing it.
(cd "$build" && cpack >/dev/null)
deb=$(ls "$build"/dl-cor-fw_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
check "package depends on libssl3 and zlib1g" \
    sh -c 'case "$1" in *libssl3*zlib1g*) ;; *) exit 1 ;; esac' sh "$depends"
if [ "$(id -u)" -eq 0 ]; then
    dpkg -i "$deb" >/dev/null
    check "installed dl_cor_fw -v prints the banner" \
        sh -c '/usr/sbin/dl_cor_fw -v | grep -q "Firmware Download Utility v0.2.3"'
    check "installed cfs_tool and sgsim run" \
        sh -c '/usr/sbin/cfs_tool --version >/dev/null && /usr/bin/sgsim show "$1" >/dev/null' \
        sh "$work/demo/bay.json"
    check "installed sgsim finds its interposer" \
        sh -c '/usr/bin/sgsim run "$1" -- /usr/sbin/dl_cor_fw -i | grep -q "^ATA       /dev/sg0 "' \
        sh "$work/demo/bay.json"
    check "installed man pages" test -f /usr/share/man/man8/dl_cor_fw.8 -a -f /usr/share/man/man1/sgsim.1
    dpkg -r dl-cor-fw >/dev/null
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

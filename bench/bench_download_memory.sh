#!/bin/bash
# Peak memory of a firmware download: a 32 MiB image to a SATA drive (DOWNLOAD MICROCODE)
# and a 16 MiB image to a SCSI drive (WRITE BUFFER, whose 24-bit offset ends at 16 MiB),
# both with -s 255, in a simulated bay. Builds nothing.
#
#   bench/bench_download_memory.sh BUILD_DIR
#
# Each download runs as
#   sgsim run BAY -- /usr/bin/time -v dl_cor_fw -s 255 -f IMG -d /dev/sgN
# and its "Maximum resident set size" is compared with the image size. The interposer of
# the bay lives in the same process, and the process has a fixed footprint (shared
# libraries, the interposer and its bay) whatever the image; so the same run with a 4 KiB
# image is measured too, and the download's own cost is the difference. Target: that cost
# stays within the image size + 2 MiB. Exit status 0 when both downloads meet it, 1 when
# one does not, 2 on a setup error.
set -u

build=${1:?usage: bench_download_memory.sh BUILD_DIR}
prog=$build/dl_cor_fw
sgsim=$build/sim/sgsim
timer=/usr/bin/time
for f in "$prog" "$sgsim" "$timer"; do
    [ -x "$f" ] || { echo "missing: $f" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
template=$work/bay.template.json
bay=$work/bay.json
cat >"$template" <<'JSON'
{"drives": [
  {"node": "/dev/sg0", "type": "sata", "model": "QSTOR ACME-7200", "serial": "QS7X0042Z9",
   "revision": "QA12.B07", "firmware": {"mode": "accept-any", "target": "QA13.B00"}},
  {"node": "/dev/sg1", "type": "scsi", "vendor": "NORTHVL", "product": "NV-SAS10K",
   "revision": "N4R2", "serial": "NV0000777123",
   "firmware": {"mode": "accept-any", "target": "N5R0"}}
]}
JSON

mib=$((1024 * 1024))
head -c $((32 * mib)) /dev/urandom >"$work/ata32.bin"
head -c $((16 * mib)) /dev/urandom >"$work/scsi16.bin"
head -c $((32 * mib)) /dev/urandom >"$work/scsi32.bin"
head -c 4096 /dev/urandom >"$work/small.bin"

# peak_kib DEVICE IMAGE: runs the download in a fresh bay (a SCSI drive that took new
# microcode reports a unit attention to the next process), prints its peak RSS in KiB; the
# run's output is left in $work/out and $work/err.
peak_kib() {
    cp "$template" "$bay"
    "$sgsim" run "$bay" -- "$timer" -v "$prog" -s 255 -f "$2" -d "$1" >"$work/out" 2>"$work/err"
    sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/err"
}

verdict=0
# measure LABEL DEVICE IMAGE
measure() {
    local label=$1 dev=$2 image=$3
    local size_kib=$(($(stat -c %s "$image") / 1024))
    local base peak
    base=$(peak_kib "$dev" "$work/small.bin")
    peak=$(peak_kib "$dev" "$image")
    if ! grep -q '^Download SUCCESSFUL$' "$work/out"; then
        echo "$label: the download did not succeed:" >&2
        cat "$work/out" "$work/err" >&2
        verdict=1
        return
    fi
    local cost=$((peak - base)) limit=$((size_kib + 2048))
    local ok=PASS
    [ "$cost" -le "$limit" ] || { ok=FAIL; verdict=1; }
    printf '%s\n' "$label"
    printf '  command:        sgsim run BAY -- /usr/bin/time -v dl_cor_fw -s 255 -f %s -d %s\n' \
        "$(basename "$image")" "$dev"
    printf '  image:          %8d KiB\n' "$size_kib"
    printf '  peak RSS:       %8d KiB  (image + %d KiB)\n' "$peak" $((peak - size_kib))
    printf '  4 KiB image:    %8d KiB  (the fixed footprint)\n' "$base"
    printf '  download cost:  %8d KiB  target <= image + 2048 = %d KiB: %s\n' "$cost" "$limit" "$ok"
}

echo "dl_cor_fw alone, no device opened (shared libraries and C++ runtime):"
"$timer" -v "$prog" -i -d /nonexistent/sg0 >/dev/null 2>"$work/err"
printf '  peak RSS:       %8s KiB\n' \
    "$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/err")"

measure "SATA, DOWNLOAD MICROCODE 03h, 32 MiB" /dev/sg0 "$work/ata32.bin"
measure "SCSI, WRITE BUFFER 07h, 16 MiB" /dev/sg1 "$work/scsi16.bin"

echo "SCSI, WRITE BUFFER 07h, 32 MiB: refused before anything is sent"
peak=$(peak_kib /dev/sg1 "$work/scsi32.bin")
sed -e '/^[[:space:]]/d' -e '/^Command/d' "$work/err" | sed 's/^/  stderr: /'
printf '  peak RSS:       %8d KiB\n' "$peak"
exit $verdict

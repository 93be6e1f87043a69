#!/usr/bin/env bash
# The real-stack test tier: boots the host's own Debian kernel under QEMU (TCG) with three
# drives behind the real sg driver (a SATA disk on AHCI through libata, a virtio-scsi disk,
# and scsi_debug), runs scenario lines inside the guest, and compares each scenario's
# standard output, standard error and exit status with the files in expected/.
#
# usage: run-vm.sh [--bin PATH]... [--scenarios FILE]... [--full] [--expected DIR]
#                  [--results DIR] [--timeout SECONDS] [--keep] [--accept] [--self-test]
#   --bin PATH        a host program to run in the guest (with every library ldd lists);
#                     the sg3-utils programs the stack scenarios use are always added
#   --scenarios FILE  scenario file(s) to run instead of the sets below
#   --full            add every scenario set (as DLCOR_VM_SCENARIOS=full does)
#   --expected DIR    where NAME.stdout, NAME.status, NAME.stderr, NAME.capture live
#   --results DIR     keep the guest's results (NAME.stdout, .stderr, .status) there
#   --timeout SECONDS host-side hang guard for the whole boot (default 900; the default
#                     sets take about three minutes)
#   --keep            keep the temporary directory (initramfs tree, logs)
#   --self-test       check the comparison rules below on written-out samples, no boot
#   --accept          write the results into the expected directory instead of comparing
#                     (for writing new expected files; review them before committing)
#
# Exit status: 0 every scenario matched, 1 a mismatch or a broken run, 77 QEMU cannot run
# here at all (ctest reports that as skipped).
set -euo pipefail

readonly SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

bins=()
scenario_files=()
expected_dir=$here/expected
results_dir=
host_timeout=900
# The guest's hang guard for one scenario command: the longest, a dropped download command,
# waits out its two-minute time-out.
command_limit=600
keep=0
accept=0
full=0
self_test=0
[ "${DLCOR_VM_SCENARIOS:-}" = full ] && full=1

while [ $# -gt 0 ]; do
    case $1 in
    --bin) bins+=("$2"); shift 2 ;;
    --scenarios) scenario_files+=("$2"); shift 2 ;;
    --full) full=1; shift ;;
    --expected) expected_dir=$2; shift 2 ;;
    --results) results_dir=$2; shift 2 ;;
    --timeout) host_timeout=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --accept) accept=1; shift ;;
    --self-test) self_test=1; shift ;;
    *) echo "run-vm.sh: unknown argument: $1" >&2; exit 1 ;;
    esac
done
skip() { echo "SKIP: $*" >&2; exit $SKIP; }
die() { echo "run-vm.sh: $*" >&2; exit 1; }

# --- Comparison rules --------------------------------------------------------------------
# The banner's clock line (ctime, after the leading blank the copyright line leaves) and the
# copyright line itself, whose wording is not fixed, are masked before comparing.
mask() {
    sed -E -e 's/^ ?(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$/<CLOCK>/' \
        -e '/^ Corvane Firmware Download Utility /{n;s/^ .*/<COPYRIGHT>/}' "$1"
}

# The bytes of a capture in tests/data: KIND "sense" (the sense line) or "data" (the lines
# after "data:"), as one line of hex pairs; empty for "sense: (none)".
capture_bytes() { # capture_bytes FILE KIND
    awk -v kind="$2" '
        $0 ~ "^" kind ":" { sub("^" kind ": *", ""); if ($0 != "(none)") print; on = 1; next }
        /^[a-z]+:/ { on = 0; next }
        on && /^[0-9a-f][0-9a-f]( |$)/ { print }
    ' "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}
# The same bytes as a scenario printed them: "sense" = the hex lines after sg_raw's
# "Raw sense data" line; "data" = the hex lines after a line "data:" (od -An -tx1 -v).
printed_bytes() { # printed_bytes FILE KIND
    awk -v kind="$2" '
        kind == "sense" && /Raw sense data/ { on = 1; next }
        kind == "data" && /^data:$/ { on = 1; next }
        on && /^[[:space:]]*([0-9a-f][0-9a-f][[:space:]]+)*[0-9a-f][0-9a-f][[:space:]]*$/ { print; next }
        { on = 0 }
    ' "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}
# A data-in transfer may end early (resid): the capture then holds zeros beyond what came.
bytes_agree() { # bytes_agree CAPTURED PRINTED KIND
    local w=$1 g=$2
    [ "$w" = "$g" ] && return 0
    [ "$3" = data ] && [ -n "$g" ] || return 1
    case $w in "$g"*) ;; *) return 1 ;; esac
    [ -z "$(echo "${w#"$g"}" | tr -d ' 0')" ]
}
# Standard error against a pattern file: one extended regular expression per line, each
# matching the whole of the corresponding line.
lines_match() { # lines_match PATTERNS FILE
    local want got
    want=$(wc -l < "$1"); got=$(wc -l < "$2")
    [ "$want" -eq "$got" ] || return 1
    paste -d '\n' "$1" "$2" | awk 'NR % 2 == 1 { re = $0; next } $0 !~ ("^(" re ")$") { bad = 1 } END { exit bad }'
}

# --self-test: the rules above against written-out bytes, without a boot.
self_test() {
    local t=$(mktemp -d) n=0 bad=0
    st() { if "$@"; then echo 0; else echo 1; fi; }
    check() { # check DESCRIPTION WANT GOT
        n=$((n + 1))
        if [ "$2" != "$3" ]; then bad=$((bad + 1)); printf 'FAIL %s\n  want: %s\n  got:  %s\n' "$1" "$2" "$3"; fi
    }
    check "capture sense" "70 00 0b 00 00 00 00 0a 04 41 00 08 00 00 00 00 00 00" \
        "$(capture_bytes "$repo/tests/data/dlmc07_abort_sg0.hex" sense)"
    check "capture without sense" "" "$(capture_bytes "$repo/tests/data/wb05_ok_sg2.hex" sense)"
    check "capture data" "00 80 00 05 31 36 30 30 30 00 00 00" \
        "$(capture_bytes "$repo/tests/data/inquiry_vpd80_sg2.hex" data | cut -c1-35)"
    cat > "$t/raw" <<'SAMPLE'
SCSI Status: Check Condition 

 Raw sense data (in hex), sb_len=18, embedded_len=18
        70 00 06 00 00 00 00 0a  00 00 00 00 3f 16 00 00
        00 00

Unit attention, type: sense key
data:
 00 80 00 05 31
 36 30
SAMPLE
    check "printed sense" "70 00 06 00 00 00 00 0a 00 00 00 00 3f 16 00 00 00 00" "$(printed_bytes "$t/raw" sense)"
    check "printed data" "00 80 00 05 31 36 30" "$(printed_bytes "$t/raw" data)"
    check "equal bytes agree" 0 "$(st bytes_agree "00 80 00 05" "00 80 00 05" sense)"
    check "short data, zero rest" 0 "$(st bytes_agree "00 80 00 05 00 00" "00 80 00 05" data)"
    check "short data, nonzero rest" 1 "$(st bytes_agree "00 80 00 05 00 01" "00 80 00 05" data)"
    check "short sense" 1 "$(st bytes_agree "70 00 06 00" "70 00 06" sense)"
    check "no data printed" 1 "$(st bytes_agree "70 00 06" "" data)"
    printf '%s\n' "================" " Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013" \
        " Copyright (c) 2013 Corvane" " Tue Dec  8 01:13:58 2026" "=====" " Wed Dec  8 01:13:58 2026 x" > "$t/banner"
    check "masked banner" "$(printf '%s\n' "================" \
        " Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013" "<COPYRIGHT>" "<CLOCK>" \
        "=====" " Wed Dec  8 01:13:58 2026 x")" "$(mask "$t/banner")"
    printf '%s\n' 'send_io: .*' 'x' > "$t/re"
    printf '%s\n' 'send_io: Success' 'x' > "$t/e1"
    printf '%s\n' 'send_io: Success' 'xx' > "$t/e2"
    printf '%s\n' 'send_io: Success' > "$t/e3"
    printf '%s\n' 'oops send_io: Success' 'x' > "$t/e4"
    check "pattern lines match" 0 "$(st lines_match "$t/re" "$t/e1")"
    check "whole line only" 1 "$(st lines_match "$t/re" "$t/e2")"
    check "line count" 1 "$(st lines_match "$t/re" "$t/e3")"
    check "anchored at the start" 1 "$(st lines_match "$t/re" "$t/e4")"
    rm -rf "$t"
    echo "self-test: $n checks, $bad failed"
    [ $bad -eq 0 ]
}
[ "$self_test" -eq 1 ] && { self_test; exit $?; }

# The scenario sets: stack (sg3-utils only, always), dl_cor_fw, cfs (needs cfs_tool),
# sgsim (the stack and dl_cor_fw scenarios again under the simulated bay; needs sgsim and
# libsgsim.so), capture (sgsim capture of the guest's drives, the captured bay answering as
# they do; needs sgsim and libsgsim.so), timeout (one dropped download command: about two
# minutes), host (drives in use: six more scsi_debug disks, so it runs last).
# DLCOR_VM_SCENARIOS names the sets to add, comma-separated; "full" (or --full) adds all of
# them.
if [ ${#scenario_files[@]} -eq 0 ]; then
    sets=stack
    [ $full -eq 1 ] && sets=stack,dl_cor_fw,cfs,sgsim,capture,timeout,host
    case ${DLCOR_VM_SCENARIOS:-} in '' | full | stack) ;; *) sets=stack,$DLCOR_VM_SCENARIOS ;; esac
    for set in ${sets//,/ }; do
        if [ "$set" = cfs ] && ! printf '%s\n' "${bins[@]}" | grep -q '/cfs_tool$'; then
            echo "run-vm.sh: no cfs_tool given (--bin): the cfs scenarios are not run" >&2
            continue
        fi
        if { [ "$set" = sgsim ] || [ "$set" = capture ]; } && ! { printf '%s\n' "${bins[@]}" | grep -q '/sgsim$' &&
            printf '%s\n' "${bins[@]}" | grep -q '/libsgsim\.so$'; }; then
            echo "run-vm.sh: no sgsim and libsgsim.so given (--bin): the $set scenarios are not run" >&2
            continue
        fi
        [ -f "$here/scenarios/$set.txt" ] || { echo "run-vm.sh: no scenario set $set" >&2; exit 1; }
        scenario_files+=("$here/scenarios/$set.txt")
    done
fi



# --- Can QEMU run here at all? -----------------------------------------------------------
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not installed (package qemu-system-x86)"
kernel=$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$kernel" ] || skip "no kernel in /boot (package linux-image-amd64)"
[ -r "$kernel" ] || skip "$kernel is not readable (run as root)"
kver=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$kver" ] || skip "no modules for $kver in /lib/modules"
busybox=
for b in /bin/busybox /usr/bin/busybox; do
    if [ -x "$b" ] && file -L "$b" 2>/dev/null | grep -q 'statically linked'; then busybox=$b; break; fi
    [ -x "$b" ] && ! command -v file >/dev/null && { busybox=$b; break; }
done
[ -n "$busybox" ] || skip "no static busybox (package busybox-static)"
for tool in cpio modprobe ldd base64; do
    command -v $tool >/dev/null || skip "$tool not installed"
done

# sg3-utils programs the stack scenarios run in the guest, and the host set's own.
for p in sg_inq sg_vpd sg_sat_identify sg_raw sg_write_buffer sg_turs sg_requests mdadm dmsetup flock; do
    path=$(command -v $p) || die "$p not found (package sg3-utils)"
    bins+=("$path")
done
for b in "${bins[@]}"; do [ -x "$b" ] || die "not an executable: $b"; done
for f in "${scenario_files[@]}"; do [ -r "$f" ] || die "no scenario file $f"; done

# --- The temporary tree, cleaned up on every way out -------------------------------------
tmp=$(mktemp -d "${TMPDIR:-/tmp}/dlcor-vm.XXXXXX")
qemu_pid=
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid" 2>/dev/null || true
        sleep 1
        kill -9 "$qemu_pid" 2>/dev/null || true
    fi
    if [ $keep -eq 1 ]; then echo "kept $tmp" >&2; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

root=$tmp/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,work,etc,scenarios}

# busybox as /bin/sh with every applet linked to it
cp "$busybox" "$root/bin/busybox"
while read -r applet; do
    [ -e "$root/$applet" ] || [ -L "$root/$applet" ] || ln -s /bin/busybox "$root/$applet"
done < <("$busybox" --list-full)
[ -L "$root/bin/sh" ] || ln -sf /bin/busybox "$root/bin/sh"

# Kernel modules, in the order modprobe resolves them (soft dependencies included), each
# once. After the module of each drive kind the guest waits for its sg node, so that the
# nodes are numbered sg0 (AHCI), sg1 (virtio-scsi), sg2 (scsi_debug) on every boot.
readonly SCSI_DEBUG_PARAMS="dev_size_mb=4"
readonly WWN_AHCI_SLOT=0x10 WWN_AHCI_PCI=0000:00:10.0
declare -A have_module=()
: > "$root/etc/modules.order"
add_module() { # add_module NAME PARAMS SG_NODES_AFTER
    local line path found=0
    while read -r line; do
        case $line in insmod\ *) ;; *) continue ;; esac
        path=$(echo "$line" | awk '{print $2}')
        case $(basename "$path") in "$1.ko"*) found=1 ;; esac
        [ -n "${have_module[$path]:-}" ] && continue
        have_module[$path]=1
        mkdir -p "$root/$(dirname "$path")"
        case $path in
        *.ko.xz) xz -dc "$path" > "$root/${path%.xz}"; path=${path%.xz} ;;
        *.ko.zst) zstd -qdc "$path" > "$root/${path%.zst}"; path=${path%.zst} ;;
        *) cp "$path" "$root/$path" ;;
        esac
        if [ "$(basename "$path")" = "$1.ko" ]; then
            found=1
            echo "insmod $path $2" >> "$root/etc/modules.order"
        else
            echo "insmod $path" >> "$root/etc/modules.order"
        fi
    done < <(modprobe --show-depends -S "$kver" "$1")
    [ $found -eq 1 ] || skip "no module $1 for $kver"
    [ -n "$3" ] && echo "wait $3" >> "$root/etc/modules.order"
    return 0
}
add_module sg "" ""
add_module sd_mod "" ""
add_module ahci "" 1
add_module virtio_pci "" ""
add_module virtio_scsi "" 2
add_module scsi_debug "$SCSI_DEBUG_PARAMS" 3
# The host set's storage stack: md RAID1, device-mapper, and ext2 through the ext4 driver.
for m in raid1 dm-mod ext4; do add_module $m "" ""; done

# Host programs and every library they need
declare -A have_lib=()
libdirs=
for b in "${bins[@]}"; do
    cp -L "$b" "$root/bin/$(basename "$b")"
    while read -r lib; do
        [ -n "${have_lib[$lib]:-}" ] && continue
        have_lib[$lib]=1
        mkdir -p "$root/$(dirname "$lib")"
        cp -L "$lib" "$root/$lib"
        case ":$libdirs:" in *":$(dirname "$lib"):"*) ;; *) libdirs=${libdirs:+$libdirs:}$(dirname "$lib") ;; esac
    done < <(ldd "$b" 2>/dev/null | awk '/=> \//{print $3; next} /^[[:space:]]*\//{print $1}')
done

# Helper scripts the scenarios call (guest/)
for g in "$here"/guest/*; do cp "$g" "$root/bin/"; done

i=0
for f in "${scenario_files[@]}"; do
    i=$((i + 1))
    cp "$f" "$root/scenarios/$(printf %02d $i)-$(basename "$f")"
done

# The guest's /init: mount, load, wait for the drives, run the scenarios, report on the
# second serial port (raw, so that nothing is translated), drain it, power off.
cat > "$root/init" <<EOF
#!/bin/sh
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
export LD_LIBRARY_PATH=$libdirs
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /work
command_limit=$command_limit
# The second AHCI controller (its disk has a wwn) waits for its scenarios: sg0-sg2 stay.
export WWN_AHCI_PCI=$WWN_AHCI_PCI
echo none > /sys/bus/pci/devices/\$WWN_AHCI_PCI/driver_override
EOF
cat >> "$root/init" <<'EOF'
out=/dev/ttyS1
stty -F $out raw -echo
say() { echo "$*" > $out; }
sg_count() { ls /sys/class/scsi_generic 2>/dev/null | wc -l; }
say "@@BOOT $(uname -r)"
while read -r verb arg rest; do
    case $verb in
    insmod) insmod $arg $rest 2> /tmp/insmod.err || say "@@LOG insmod $arg: $(cat /tmp/insmod.err)" ;;
    wait)
        n=0
        while [ "$(sg_count)" -lt "$arg" ] && [ $n -lt 600 ]; do usleep 100000; n=$((n + 1)); done
        [ "$(sg_count)" -ge "$arg" ] || say "@@LOG only $(sg_count) sg nodes, expected $arg" ;;
    esac
done < /etc/modules.order
for d in /sys/class/scsi_generic/*; do
    say "@@NODE $(basename $d) $(cat $d/device/vendor 2>/dev/null) $(cat $d/device/model 2>/dev/null)"
done
now() { cut -d' ' -f1 /proc/uptime; }
say "@@READY $(now)"
# Scenario lines: "NAME COMMAND..." runs COMMAND with sh in /work and reports its output;
# "setup COMMAND..." runs it unreported (only a failure is logged). # starts a comment.
# "NAME=REF COMMAND..." compares with REF's expected files. "@wrap PREFIX..." runs every
# later command of the file as PREFIX sh -c COMMAND (e.g. under the simulated bay).
for f in /scenarios/*; do
    wrap=
    while IFS= read -r line; do
        case $line in '' | '#'*) continue ;; '@wrap '*) wrap=${line#@wrap }; continue ;; esac
        tok=${line%%[ 	]*}
        cmd=${line#"$tok"}
        name=${tok%%=*}
        ref=${tok#*=}
        if [ "$name" = setup ]; then
            (cd /work && $wrap sh -c "$cmd") > /tmp/setup.out 2>&1 ||
                say "@@LOG setup failed: $cmd: $(cat /tmp/setup.out)"
            continue
        fi
        t0=$(now)
        (cd /work && exec timeout $command_limit $wrap sh -c "$cmd") > /tmp/stdout 2> /tmp/stderr < /dev/null
        rc=$?
        t1=$(now)
        say "@@BEGIN $name $ref"
        say "@@STATUS $rc"
        say "@@TIME $t0 $t1"
        say "@@STDOUT"
        base64 < /tmp/stdout > $out
        say "@@STDERR"
        base64 < /tmp/stderr > $out
        say "@@END $name"
    done < $f
done
say "@@DONE $(now)"
sleep 1
poweroff -f
EOF
chmod +x "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet) > "$tmp/initramfs.cpio"

# Disks: blank raw images
for d in ata virtio ata_wwn; do
    if command -v qemu-img >/dev/null; then
        qemu-img create -q -f raw "$tmp/$d.img" 16M
    else
        truncate -s 16M "$tmp/$d.img"
    fi
done

# --- Boot ---------------------------------------------------------------------------------
# The identities are those of the captures in tests/data, so that their bytes apply.
readonly ATA_MODEL="QSTOR ACME-7200 SATA HYBRID" ATA_SERIAL="   QS7X0042Z9" ATA_FW="QA12.B07"
readonly V_VENDOR=NORTHVL V_PRODUCT=NV-SAS10K V_REV=N4R2 V_SERIAL=NV0000777123
# The second AHCI controller's disk: its own serial, and a world-wide name (IDENTIFY 108-111).
readonly W_MODEL="QSTOR ACME-7200 SATA HYBRID" W_SERIAL=QS7X0099W1 W_WWN=0x5000c500a1b2c3d4
console=$tmp/console.log
results=$tmp/results.txt
: > "$results"
start=$(date +%s.%N)
qemu-system-x86_64 \
    -accel tcg -cpu max -m 512 -smp 1 \
    -nodefaults -display none -no-reboot -monitor none \
    -kernel "$kernel" -initrd "$tmp/initramfs.cpio" \
    -append "console=ttyS0 rdinit=/init panic=-1 loglevel=4" \
    -serial "file:$console" -serial "file:$results" \
    -drive "if=none,id=d0,file=$tmp/ata.img,format=raw" \
    -device ahci,id=ahci \
    -device "ide-hd,drive=d0,bus=ahci.0,model=$ATA_MODEL,serial=$ATA_SERIAL,ver=$ATA_FW" \
    -drive "if=none,id=d1,file=$tmp/virtio.img,format=raw" \
    -device virtio-scsi-pci,id=vscsi \
    -device "scsi-hd,drive=d1,bus=vscsi.0,vendor=$V_VENDOR,product=$V_PRODUCT,ver=$V_REV,serial=$V_SERIAL" \
    -drive "if=none,id=d2,file=$tmp/ata_wwn.img,format=raw" \
    -device "ahci,id=ahci2,addr=$WWN_AHCI_SLOT" \
    -device "ide-hd,drive=d2,bus=ahci2.0,model=$W_MODEL,serial=$W_SERIAL,ver=$ATA_FW,wwn=$W_WWN" \
    > "$tmp/qemu.out" 2>&1 &
qemu_pid=$!
deadline=$(($(date +%s) + host_timeout))
while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
        echo "run-vm.sh: hang guard: the guest did not finish within ${host_timeout}s; stopping QEMU" >&2
        kill "$qemu_pid" 2>/dev/null || true
        break
    fi
    sleep 0.5
done
qemu_rc=0
wait "$qemu_pid" 2>/dev/null || qemu_rc=$?
qemu_pid=
end=$(date +%s.%N)
wall=$(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b - a}')

show_logs() {
    echo "--- QEMU ($qemu_rc) ---" >&2; tail -n 20 "$tmp/qemu.out" >&2 || true
    echo "--- guest console (last 40 lines) ---" >&2; tail -n 40 "$console" >&2 || true
}
grep -q '^@@BOOT' "$results" || { show_logs; die "the guest never reached /init"; }

# --- Unpack the results --------------------------------------------------------------------
out=$tmp/out
mkdir -p "$out"
grep '^@@\(LOG\|NODE\|READY\|DONE\|BOOT\)' "$results" | sed 's/^@@/guest: /' >&2 || true
awk -v dir="$out" '
    /^@@BEGIN / { name = $2; stream = ""; print $3 > (dir "/" name ".ref"); close(dir "/" name ".ref"); next }
    /^@@STATUS / { print $2 > (dir "/" name ".status"); close(dir "/" name ".status"); next }
    /^@@TIME / { printf "%.1f\n", $3 - $2 > (dir "/" name ".time"); close(dir "/" name ".time"); next }
    /^@@STDOUT$/ { stream = "stdout"; printf "" > (dir "/" name ".stdout.b64"); next }
    /^@@STDERR$/ { close(dir "/" name ".stdout.b64"); stream = "stderr"; printf "" > (dir "/" name ".stderr.b64"); next }
    /^@@END / { close(dir "/" name ".stderr.b64"); print name > (dir "/order"); stream = ""; next }
    /^@@/ { next }
    stream != "" { print > (dir "/" name "." stream ".b64") }
' "$results"
[ -f "$out/order" ] || { show_logs; die "the guest reported no scenario"; }
for f in "$out"/*.b64; do base64 -d < "$f" > "${f%.b64}" && rm "$f"; done

fail=0
checked=0
while read -r name; do
    checked=$((checked + 1))
    ref=$(cat "$out/$name.ref")
    if [ $accept -eq 1 ] && [ "$ref" = "$name" ]; then
        mask "$out/$name.stdout" > "$expected_dir/$name.stdout"
        cp "$out/$name.status" "$expected_dir/$name.status"
        if [ -s "$out/$name.stderr" ]; then cp "$out/$name.stderr" "$expected_dir/$name.stderr"; else rm -f "$expected_dir/$name.stderr"; fi
        continue
    fi
    bad=
    if [ ! -f "$expected_dir/$ref.stdout" ] || [ ! -f "$expected_dir/$ref.status" ]; then
        bad="no expected files"
    else
        mask "$out/$name.stdout" > "$out/$name.stdout.masked"
        diff -u "$expected_dir/$ref.stdout" "$out/$name.stdout.masked" > "$out/$name.diff" || bad="stdout differs"
        if [ -f "$expected_dir/$ref.stderr" ]; then
            diff -u "$expected_dir/$ref.stderr" "$out/$name.stderr" >> "$out/$name.diff" || bad="${bad:+$bad, }stderr differs"
        elif [ -f "$expected_dir/$ref.stderr.re" ]; then
            if ! lines_match "$expected_dir/$ref.stderr.re" "$out/$name.stderr"; then
                { echo "standard error does not match $ref.stderr.re:"; cat "$out/$name.stderr"; } >> "$out/$name.diff"
                bad="${bad:+$bad, }stderr differs"
            fi
        elif [ -s "$out/$name.stderr" ]; then
            { echo "unexpected standard error:"; cat "$out/$name.stderr"; } >> "$out/$name.diff"
            bad="${bad:+$bad, }unexpected stderr"
        fi
        want=$(cat "$expected_dir/$ref.status")
        got=$(cat "$out/$name.status")
        [ "$want" = "$got" ] || bad="${bad:+$bad, }status $got, expected $want"
        if [ "$got" = 124 ]; then bad="${bad:+$bad, }hit the hang guard of ${command_limit}s"; fi
        if [ -f "$expected_dir/$ref.capture" ]; then
            # each line: CAPTURE-FILE KIND — the capture's bytes must be those printed
            while read -r cap kind; do
                [ -n "$cap" ] || continue
                w=$(capture_bytes "$repo/tests/data/$cap" "$kind")
                g=$(printed_bytes "$out/$name.stdout" "$kind")
                if ! bytes_agree "$w" "$g" "$kind"; then
                    bad="${bad:+$bad, }$kind bytes differ from $cap"
                    printf 'capture %s %s:\n  %s\nprinted:\n  %s\n' "$cap" "$kind" "$w" "$g" >> "$out/$name.diff"
                fi
            done < "$expected_dir/$ref.capture"
        fi
    fi
    t=$(cat "$out/$name.time" 2>/dev/null || echo ?)
    if [ -n "$bad" ]; then
        fail=1
        echo "FAIL $name (${t}s): $bad"
        [ -f "$out/$name.diff" ] && sed 's/^/    /' "$out/$name.diff"
    else
        echo "ok   $name (${t}s)"
    fi
done < "$out/order"

# Every scenario line of the files must have reported.
want_n=0
for f in "${scenario_files[@]}"; do
    n=$(grep -Ev '^[[:space:]]*(#|$)' "$f" | grep -Ev '^@wrap ' | grep -Evc '^setup[[:space:]]' || true)
    want_n=$((want_n + n))
done
if [ "$checked" -ne "$want_n" ]; then
    echo "FAIL only $checked of $want_n scenarios reported (the guest stopped early?)"
    show_logs
    fail=1
fi
grep -q '^@@DONE' "$results" || { echo "FAIL the guest did not finish"; fail=1; }

if [ -n "$results_dir" ]; then
    mkdir -p "$results_dir"
    cp "$out"/* "$results_dir"/
fi
echo "real-stack run: $checked scenarios, wall time ${wall}s"
[ $accept -eq 1 ] && echo "wrote expected files to $expected_dir (review them)"
exit $fail

#!/usr/bin/env bash
# Whole-process cost of loading a CFS file, side by side with the openssl | gzip pipeline that
# undoes the same two layers.
#
#   bench/bench_cfs_load.sh [BUILD_DIR] [RUNS]
#
# For configuration texts of exactly 1, 8 and 64 MiB (deterministic entry lines), packed with
# cfs_tool, it measures:
#   load      cfs_tool unpack FILE > /dev/null              (runs the loader)
#   pipeline  openssl enc -d -des-ede3-cfb ... -in FILE | gzip -dc > /dev/null
#   decrypt   openssl enc -d ... -in FILE -out member.gz    (the first stage alone)
#   inflate   gzip -dc member.gz > /dev/null                (the second stage alone)
# CPU is user + system time of the whole process tree (perf stat task-clock, else
# /usr/bin/time), the best of RUNS runs (default 5); peak RSS comes from /usr/bin/time
# (largest resident set of any one process of the tree). Targets, printed beside the numbers:
# load CPU <= 1.0 x pipeline and <= 1.1 x (decrypt + inflate); CPU per MiB flat from 1 to
# 64 MiB; load peak RSS <= text + file + 2 MiB, judged both for the whole process and net of
# the resident set that loading a one-line file already has (program and libraries).
set -euo pipefail
export LC_ALL=C # awk counts bytes

build=${1:-build}
runs=${2:-5}
tool=$build/tools/cfs_tool
[ -x "$tool" ] || { echo "no $tool: build the project first" >&2; exit 1; }
for p in openssl gzip /usr/bin/time awk; do
    command -v "$p" >/dev/null || { echo "needs $p" >&2; exit 1; }
done
use_perf=0
if command -v perf >/dev/null && perf stat -x, -e task-clock true >/dev/null 2>&1; then
    use_perf=1
fi

key_hex=436f707065724b69746573486f6c6c6f774d6172626c6573 # "CopperKitesHollowMarbles"
iv_hex=3ca1075ed24918f6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Entry lines as a fleet map holds them: model families, revision patterns, image paths and
# the odd comment, varied by a fixed linear congruential sequence; cut to exactly $1 bytes.
make_text() {
    awk -v want="$1" 'BEGIN {
        x = 12345; n = 0
        split("QSTOR ACME-,HALCYON HD-,MERIDIAN MX,NORTHVL NV-,TORVEX T", fam, ",")
        while (n < want) {
            x = (x * 1103515245 + 12345) % 2147483648; a = x % 5 + 1; m = int(x / 8) % 10000
            x = (x * 1103515245 + 12345) % 2147483648; r = x % 97; s = int(x / 128) % 16
            if (m % 50 == 0)
                line = sprintf("# %s%04d batch %d: staged rollout\n", fam[a], m, r)
            else
                line = sprintf("%s%04d*;%c%c%02d.B0?;fw/%d/%s%04d_%02d%x.bin;%c%c%02d.B1*\n",
                               fam[a], m, 65 + a, 70 + s % 5, r, a, substr(fam[a], 1, 3), m,
                               r + 1, s, 65 + a, 70 + s % 5, r + 1)
            if (n + length(line) > want)
                line = substr(line, 1, want - n)
            printf "%s", line; n += length(line)
        }
    }'
}

# The pad behind the gzip member makes gzip exit with its warning status 2; the commands'
# statuses are therefore not judged here (the outputs were compared above).

# cpu_ms CMD...: the best task-clock of $runs runs of "sh -c CMD", in milliseconds.
cpu_ms() {
    local best="" t i
    for ((i = 0; i < runs; i++)); do
        if [ $use_perf = 1 ]; then
            t=$({ perf stat -x, -e task-clock -- sh -c "$1" 2>&1 >/dev/null || true; } |
                awk -F, '$3 ~ /^task-clock/ { print $1 }')
        else
            t=$({ /usr/bin/time -f '%U %S' sh -c "$1" 2>&1 >/dev/null || true; } | tail -1 |
                awk '{ printf "%.1f", ($1 + $2) * 1000 }')
        fi
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$t
        fi
    done
    echo "$best"
}

# rss_kib CMD: the peak resident set (KiB) of the largest process of "sh -c CMD".
rss_kib() {
    { /usr/bin/time -f '%M' sh -c "$1" 2>&1 >/dev/null || true; } | tail -1
}

dec="openssl enc -d -des-ede3-cfb -K $key_hex -iv $iv_hex"

# The resident set of cfs_tool loading a one-line file: the program and its libraries, which
# every load carries whatever the file's size.
printf 'QSTOR ACME-7200;QA12.*;fw/a.bin;QA13.*\n' >"$work/one.txt"
"$tool" pack "$work/one.txt" "$work/one.cfs"
base=$(rss_kib "'$tool' unpack '$work/one.cfs' >/dev/null")
printf '%-7s %9s %9s | %9s %9s %9s %9s | %7s %7s | %8s %7s | %9s %9s %9s %9s\n' \
    text file_KiB member_KiB load_ms pipe_ms decr_ms infl_ms load/pp load/sum \
    load_ms/M pp_ms/M rss_KiB net_KiB limit_KiB pp_rss_KiB
verdict=0 rss_verdict=0
for mib in 1 8 64; do
    size=$((mib * 1024 * 1024))
    txt=$work/map_$mib.txt cfs=$work/map_$mib.cfs gz=$work/member_$mib.gz
    make_text "$size" >"$txt"
    [ "$(stat -c %s "$txt")" = "$size" ] || { echo "text of $mib MiB not made" >&2; exit 1; }
    "$tool" pack "$txt" "$cfs"
    $dec -in "$cfs" -out "$gz"
    # Both readers must give back the text itself before their costs mean anything.
    "$tool" unpack "$cfs" | cmp -s - "$txt" || { echo "unpack differs ($mib MiB)" >&2; exit 1; }
    # gzip warns about the pad behind the member (exit status 2) and still gives the text.
    { gzip -dcq "$gz" || true; } | cmp -s - "$txt" || { echo "pipeline differs" >&2; exit 1; }

    load=$(cpu_ms "'$tool' unpack '$cfs' >/dev/null")
    pipe=$(cpu_ms "$dec -in '$cfs' | gzip -dcq >/dev/null")
    decr=$(cpu_ms "$dec -in '$cfs' -out '$work/scratch.gz'")
    infl=$(cpu_ms "gzip -dcq '$gz' >/dev/null")
    rss=$(rss_kib "'$tool' unpack '$cfs' >/dev/null")
    pp_rss=$(rss_kib "$dec -in '$cfs' | gzip -dcq >/dev/null")
    file_kib=$(($(stat -c %s "$cfs") / 1024))
    member_kib=$(($(stat -c %s "$gz") / 1024))
    limit=$((size / 1024 + file_kib + 2048))
    read -r r_pipe r_sum per_load per_pipe < <(awk -v l="$load" -v p="$pipe" -v d="$decr" \
        -v i="$infl" -v m="$mib" 'BEGIN { printf "%.3f %.3f %.2f %.2f\n", l / p, l / (d + i),
        l / m, p / m }')
    printf '%-7s %9s %9s | %9s %9s %9s %9s | %7s %7s | %8s %7s | %9s %9s %9s %9s\n' \
        "${mib}MiB" "$file_kib" "$member_kib" "$load" "$pipe" "$decr" "$infl" "$r_pipe" \
        "$r_sum" "$per_load" "$per_pipe" "$rss" "$((rss - base))" "$limit" "$pp_rss"
    awk -v a="$r_pipe" -v b="$r_sum" 'BEGIN { exit !(a <= 1.0 && b <= 1.1) }' || verdict=1
    [ "$rss" -le "$limit" ] || rss_verdict=1
    [ "$((rss - base))" -le "$limit" ] || verdict=1
done
echo "rss: whole process; net: rss less the $base KiB of loading a one-line file;" \
    "limit: text + file + 2 MiB"
echo "CPU: $([ $use_perf = 1 ] && echo 'perf stat task-clock' || echo '/usr/bin/time user+sys')," \
    "best of $runs; RSS: /usr/bin/time %M (largest single process)"
echo "targets: load/pp <= 1.0, load/sum <= 1.1, ms/MiB flat, net <= limit:" \
    "$([ $verdict = 0 ] && echo met || echo MISSED);" \
    "whole-process rss <= limit: $([ $rss_verdict = 0 ] && echo met || echo MISSED)"

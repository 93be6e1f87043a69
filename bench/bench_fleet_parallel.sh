#!/bin/bash
# Wall time of a whole fleet rollout (contrib/ansible/site.yml) with the drives of each host
# updated one after another (dl_cor_fw_parallel_drives 1: one dl_cor_fw -c run per host) and
# side by side (4 and 8 runs at a time, one dl_cor_fw -d per drive). Builds nothing.
#
#   bench/bench_fleet_parallel.sh BUILD_DIR [RUNS] [SLOW_MS]
#
# Four hosts on this machine (ansible_connection=local), one batch, each with a simulated bay
# of eight SATA drives that take a 256 KiB image in segments of 4 KiB (-s 8: 64 DOWNLOAD
# MICROCODE commands) and answer every command after SLOW_MS milliseconds (the bay key
# slow_ms; default 100), so that a drive's update (72 commands) takes about 7 s, most of it
# the download, as on real drives, whose update is the download and the commit; each of the
# two listings of a host takes 4 s (5 commands a drive). Every run starts from fresh
# bays; a run counts only when the playbook ends with status 0 and its summary shows all 32
# drives updated. Each setting runs RUNS times (default 3). Exit status 0, 1 when a run did
# not update the fleet, 2 on a setup error.
set -u

build=${1:?usage: bench_fleet_parallel.sh BUILD_DIR [RUNS] [SLOW_MS]}
runs=${2:-3}
slow_ms=${3:-100}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
playbook_dir=$here/../contrib/ansible
for f in "$build/dl_cor_fw" "$build/tools/cfs_tool" "$build/sim/sgsim"; do
    [ -x "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
command -v ansible-playbook >/dev/null || { echo "needs ansible-playbook (ansible-core)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images/fw"
"$build/sim/sgsim" mkimage --model QX2000A --revision B205 --size 262144 \
    "$work/images/fw/qx2000a_b205.bin" >/dev/null || exit 2
printf 'QX2000A;A1??;fw/qx2000a_b205.bin;B205\n' >"$work/map.txt"
"$build/tools/cfs_tool" pack "$work/map.txt" "$work/map.cfs" || exit 2

hosts="h1 h2 h3 h4"
{
    echo "[dl_cor_fw_fleet]"
    for h in $hosts; do
        echo "$h ansible_connection=local ansible_python_interpreter=/usr/bin/python3" \
            "bay=$work/$h/bay.json dl_cor_fw_work_dir=$work/$h/work dl_cor_fw_bin_dir=$work/$h/bin"
    done
} >"$work/inventory.ini"
cat >"$work/fleet.yml" <<YAML
dl_cor_fw_install: copy
dl_cor_fw_local_dl_cor_fw: $build/dl_cor_fw
dl_cor_fw_local_cfs_tool: $build/tools/cfs_tool
dl_cor_fw_cfs: $work/map.cfs
dl_cor_fw_image_dir: $work/images
dl_cor_fw_results_dir: $work/results
dl_cor_fw_wrapper: "$build/sim/sgsim run {{ bay }} --"
dl_cor_fw_run_args: ["-s", "8"]
fleet_serial: 4
YAML

# Fresh bays: eight drives at revision A104 per host, every command slowed.
make_bays() {
    local h i
    for h in $hosts; do
        rm -rf "${work:?}/$h"
        mkdir -p "$work/$h"
        {
            echo '{"drives": ['
            for i in 0 1 2 3 4 5 6 7; do
                printf '  {"node": "/dev/sg%d", "type": "sata", "model": "QX2000A", ' "$i"
                printf '"serial": "QX%s%02d", "revision": "A104", "slow_ms": %d}%s\n' \
                    "${h#h}" "$i" "$slow_ms" "$([ $i = 7 ] || echo ,)"
            done
            echo ']}'
        } >"$work/$h/bay.json"
    done
}

export ANSIBLE_CONFIG=$playbook_dir/ansible.cfg ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_REMOTE_TEMP=$work/ansible-tmp
export ANSIBLE_HOME=$work/.ansible

echo "command: ansible-playbook -i inventory.ini site.yml -e @fleet.yml" \
    "-e dl_cor_fw_parallel_drives=N (4 hosts x 8 drives, slow_ms $slow_ms, -s 8, 256 KiB image)"
printf '%-24s %s\n' "drives at a time" "wall time of the playbook (s), $runs runs, and their median"
verdict=0
declare -A median
for n in 1 4 8; do
    times=()
    for ((r = 1; r <= runs; r++)); do
        make_bays
        start=$(date +%s.%N)
        ansible-playbook -i "$work/inventory.ini" "$playbook_dir/site.yml" -e "@$work/fleet.yml" \
            -e "dl_cor_fw_parallel_drives=$n" -e "dl_cor_fw_run_id=n$n-$r" >"$work/log" 2>&1
        status=$?
        end=$(date +%s.%N)
        updated=$(grep -c ' updated$' "$work/results/n$n-$r/summary.txt" 2>/dev/null)
        if [ "$status" != 0 ] || [ "${updated:-0}" != 32 ]; then
            echo "N=$n run $r: status $status, ${updated:-0} of 32 drives updated:" >&2
            tail -20 "$work/log" >&2
            verdict=1
            continue
        fi
        times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')")
    done
    [ ${#times[@]} -gt 0 ] || continue
    median[$n]=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
        print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
    label=$([ $n = 1 ] && echo "1 (one after another)" || echo "$n (side by side)")
    printf '%-24s %s   median %s\n' "$label" "${times[*]}" "${median[$n]}"
done
for n in 4 8; do
    if [ -n "${median[1]:-}" ] && [ -n "${median[$n]:-}" ]; then
        awk -v s="${median[1]}" -v p="${median[$n]}" -v n="$n" \
            'BEGIN { printf "N=%d: %.2f x faster than one after another\n", n, s / p }'
    fi
done
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
exit $verdict

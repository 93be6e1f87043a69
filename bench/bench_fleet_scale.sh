#!/bin/bash
# How the fleet role scales with the number of hosts: the update play of
# contrib/ansible/site.yml over 4 and over 32 simulated hosts, all in one batch, with Ansible's
# forks at 8 and 32. Builds nothing.
#
#   bench/bench_fleet_scale.sh BUILD_DIR [SLOW_MS] [RUNS]
#
# Every host is this machine (ansible_connection=local) with a work directory and a simulated
# bay of its own: four SATA drives that answer every command after SLOW_MS milliseconds (the
# bay key slow_ms; default 100) and take a 256 KiB image in segments of 4 KiB (-s 8), so that
# a drive's update takes about 7 s and a host's four, one after another, about 30 s, most of
# it waiting as on real drives. Every run starts from fresh bays and counts only when the
# playbook ends with status 0 and its summary shows every drive updated. Each setting runs
# RUNS times (default 1).
#
# For each run: the wall time of the playbook; the CPU time (user + system) of everything it
# started, and the part of it that would run on the hosts (every module run on a host goes
# through an interpreter wrapper that times it, with what it starts: the shell commands,
# dl_cor_fw under sgsim), so that the rest is the controller's own; the peak memory (PSS, so
# that pages the forks share count once) of the controller's ansible-playbook processes (the
# main one and its forks) and of the whole process tree, sampled every 0.5 s. Then the cost
# per host at 32 hosts against the 4-host figure, and the time 1,000 hosts would take in
# serial batches. Exit status 0, 1 when a run did not update the fleet, 2 on a setup error.
set -u

build=${1:?usage: bench_fleet_scale.sh BUILD_DIR [SLOW_MS] [RUNS]}
slow_ms=${2:-100}
runs=${3:-1}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
playbook_dir=$here/../contrib/ansible
for f in "$build/dl_cor_fw" "$build/tools/cfs_tool" "$build/sim/sgsim"; do
    [ -x "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
for p in ansible-playbook setsid /usr/bin/time; do
    command -v $p >/dev/null || { echo "needs $p" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images/fw"
"$build/sim/sgsim" mkimage --model QX2000A --revision B205 --size 262144 \
    "$work/images/fw/qx2000a_b205.bin" >/dev/null || exit 2
printf 'QX2000A;A1??;fw/qx2000a_b205.bin;B205\n' >"$work/map.txt"
"$build/tools/cfs_tool" pack "$work/map.txt" "$work/map.cfs" || exit 2
# The hosts' interpreter: each module run appends its CPU seconds (user, system) to a file.
cat >"$work/python3-timed" <<SH
#!/bin/sh
exec /usr/bin/time -a -o "$work/host-cpu" -f '%U %S' /usr/bin/python3 "\$@"
SH
chmod +x "$work/python3-timed"
cat >"$work/fleet.yml" <<YAML
dl_cor_fw_install: copy
dl_cor_fw_local_dl_cor_fw: $build/dl_cor_fw
dl_cor_fw_local_cfs_tool: $build/tools/cfs_tool
dl_cor_fw_cfs: $work/map.cfs
dl_cor_fw_image_dir: $work/images
dl_cor_fw_results_dir: $work/results
dl_cor_fw_wrapper: "$build/sim/sgsim run {{ bay }} --"
dl_cor_fw_run_args: ["-s", "8"]
dl_cor_fw_gate_mdstat: ""
dl_cor_fw_gate_zpool: ""
YAML

# make_fleet N: an inventory of N hosts, each with a fresh bay of four drives at A104.
make_fleet() {
    local n=$1 h i
    rm -rf "${work:?}/hosts" "$work/results"
    echo "[dl_cor_fw_fleet]" >"$work/inventory.ini"
    for ((h = 1; h <= n; h++)); do
        mkdir -p "$work/hosts/h$h"
        echo "h$h ansible_connection=local ansible_python_interpreter=$work/python3-timed" \
            "bay=$work/hosts/h$h/bay.json dl_cor_fw_work_dir=$work/hosts/h$h/work" \
            "dl_cor_fw_bin_dir=$work/hosts/h$h/bin" >>"$work/inventory.ini"
        {
            echo '{"drives": ['
            for i in 0 1 2 3; do
                printf '  {"node": "/dev/sg%d", "type": "sata", "model": "QX2000A", ' "$i"
                printf '"serial": "QX%03d%d", "revision": "A104", "slow_ms": %d}%s\n' \
                    "$h" "$i" "$slow_ms" "$([ $i = 3 ] || echo ,)"
            done
            echo ']}'
        } >"$work/hosts/h$h/bay.json"
    done
}

# The summed PSS (KiB) of the processes of session sid: all of them, and the
# ansible-playbook ones (ps shows at most 15 characters of a command's name).
pss_of_session() {
    ps -e -o pid=,sess=,comm= | awk -v s="$1" '$2 == s {
        f = "/proc/" $1 "/smaps_rollup"
        while ((getline line < f) > 0) {
            if (line ~ /^Pss:/) {
                split(line, v, " ")
                all += v[2]
                if ($3 ~ /^ansible-playboo/) ctl += v[2]
                break
            }
        }
        close(f)
    } END { print all + 0, ctl + 0 }'
}

export ANSIBLE_CONFIG=$playbook_dir/ansible.cfg ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_REMOTE_TEMP=$work/ansible-tmp
export ANSIBLE_HOME=$work/.ansible

# run_once HOSTS FORKS: one playbook run; prints "wall cpu host_cpu peak_controller_mib
# peak_all_mib".
run_once() {
    local n=$1 forks=$2 pid sid all ctl peak_all=0 peak_ctl=0 status updated
    make_fleet "$n"
    : >"$work/host-cpu"
    # A session of its own, so that every process it starts can be found and measured.
    setsid /usr/bin/time -f '%e %U %S' -o "$work/time" \
        ansible-playbook -i "$work/inventory.ini" "$playbook_dir/site.yml" -e "@$work/fleet.yml" \
        -e "fleet_serial=$n" -e "dl_cor_fw_run_id=run" -f "$forks" >"$work/log" 2>&1 &
    pid=$!
    sleep 0.1
    sid=$(ps -o sess= -p $pid | tr -d ' ')
    while kill -0 $pid 2>/dev/null; do
        read -r all ctl < <(pss_of_session "$sid")
        [ "$all" -le "$peak_all" ] || peak_all=$all
        [ "$ctl" -le "$peak_ctl" ] || peak_ctl=$ctl
        sleep 0.5
    done
    wait $pid
    status=$?
    updated=$(grep -c ' updated$' "$work/results/run/summary.txt" 2>/dev/null)
    if [ "$status" != 0 ] || [ "${updated:-0}" != $((n * 4)) ]; then
        echo "$n hosts, forks $forks: status $status, ${updated:-0} of $((n * 4)) drives updated:" >&2
        tail -20 "$work/log" >&2
        return 1
    fi
    host_cpu=$(awk '/^[0-9.]+ [0-9.]+$/ { s += $1 + $2 } END { printf "%.1f", s }' "$work/host-cpu")
    awk -v h="$host_cpu" -v c="$peak_ctl" -v a="$peak_all" '{ printf "%.1f %.1f %s %.0f %.0f\n",
        $1, $2 + $3, h, c / 1024, a / 1024 }' "$work/time"
}

echo "command: ansible-playbook -i inventory.ini site.yml -e @fleet.yml -e fleet_serial=N -f FORKS" \
    "(N hosts x 4 drives, slow_ms $slow_ms, -s 8, 256 KiB image, one batch)"
printf '%-6s %-6s %8s %8s %10s %10s %10s %10s\n' hosts forks "wall s" "CPU s" "hosts' s" \
    "ctl CPU s" "ctl MiB" "tree MiB"
verdict=0
declare -A wall cpu ctl_cpu
for setting in "4 8" "32 8" "32 32"; do
    read -r n forks <<<"$setting"
    for ((r = 1; r <= runs; r++)); do
        if ! figures=$(run_once "$n" "$forks"); then
            verdict=1
            continue
        fi
        read -r w c h ctl all <<<"$figures"
        own=$(awk -v c="$c" -v h="$h" 'BEGIN { printf "%.1f", c - h }')
        printf '%-6s %-6s %8s %8s %10s %10s %10s %10s\n' "$n" "$forks" "$w" "$c" "$h" "$own" \
            "$ctl" "$all"
        wall[$n-$forks]=$w
        cpu[$n-$forks]=$c
        ctl_cpu[$n-$forks]=$own
    done
done
if [ -n "${wall[4-8]:-}" ] && [ -n "${wall[32-32]:-}" ] && [ -n "${wall[32-8]:-}" ]; then
    awk -v w4="${wall[4-8]}" -v c4="${cpu[4-8]}" -v w8="${wall[32-8]}" -v w32="${wall[32-32]}" \
        -v c32="${cpu[32-32]}" -v o4="${ctl_cpu[4-8]}" -v o32="${ctl_cpu[32-32]}" 'BEGIN {
        printf "CPU per host: %.1f s at 4 hosts, %.1f s at 32 hosts (forks 32)\n", c4 / 4, c32 / 32
        printf "controller CPU per host: %.1f s at 4 hosts, %.1f s at 32 hosts (forks 32)\n",
            o4 / 4, o32 / 32
        printf "wall time added per host beyond 4: %.2f s (forks 32), %.2f s (forks 8)\n",
            (w32 - w4) / 28, (w8 - w4) / 28
        printf "1,000 hosts in serial batches of 32 (forks 32): %d batches x %.0f s = %.1f h\n",
            32, w32, 32 * w32 / 3600
        printf "1,000 hosts in serial batches of 32 (forks 8): %d batches x %.0f s = %.1f h\n",
            32, w8, 32 * w8 / 3600
    }'
fi
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
exit $verdict

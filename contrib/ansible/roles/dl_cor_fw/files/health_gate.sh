#!/bin/sh
# The storage health gate of a host, run by the fleet role before its drives are touched and
# once they are done. A drive that resets while it takes microcode drops out of its array for
# a moment: on an array that is already degraded, rebuilding or resyncing, or a pool that is
# not healthy, that moment can cost the data. Reads only.
#
#   health_gate.sh MDSTAT ZPOOL
#
# MDSTAT: the md status file (/proc/mdstat; empty: not checked; absent: no md arrays). An
# array with fewer working members than it has ([3/2], or a "_" in [UU_]), or one that is
# resyncing, recovering or reshaping (also when that is pending or delayed), fails the gate.
# ZPOOL: the zpool command (empty, or not installed: not checked); anything that
# `zpool status -x` says but "all pools are healthy" or "no pools available" fails the gate.
# DL_COR_FW_GATE_COMMAND (environment; empty: none): a shell command; a status other than 0
# fails the gate, with its output.
#
# Prints one line per finding, naming the array, the pools or the command. Exit status 0: the
# host is healthy; 1: it is not.
mdstat=$1
zpool=$2
status=0

if [ -n "$mdstat" ] && [ -e "$mdstat" ]; then
    found=$(awk '
        # An array starts with "mdN : active raid5 ..." and ends at a blank line.
        /^md[^ ]* *:/ { name = $1; next }
        /^[ \t]*$/ { name = ""; next }
        name == "" { next }
        match($0, /\[[0-9]+\/[0-9]+\] *\[[U_]*\]/) {
            counts = substr($0, RSTART, RLENGTH)
            split(substr(counts, 2, index(counts, "]") - 2), n, "/")
            if (n[2] + 0 < n[1] + 0 || index(counts, "_") > 0)
                print name " is degraded " counts
        }
        match($0, /(resync|recovery|reshape)[ =]*[^ ]*/) {
            word = substr($0, RSTART, RLENGTH)
            verb = word ~ /^resync/ ? "resyncing" : word ~ /^recovery/ ? "recovering" : "reshaping"
            print name " is " verb " (" word ")"
        }' "$mdstat") || { echo "$mdstat could not be read"; exit 1; }
    if [ -n "$found" ]; then
        printf "%s\n" "$found"
        status=1
    fi
fi

if [ -n "$zpool" ] && command -v "$zpool" >/dev/null 2>&1; then
    said=$("$zpool" status -x 2>&1)
    case $said in
    "all pools are healthy" | "no pools available") ;;
    *)
        echo "zpool status -x: $(printf "%s" "$said" | tr -s ' \t\n' ' ' | sed 's/^ //; s/ $//')"
        status=1
        ;;
    esac
fi

if [ -n "${DL_COR_FW_GATE_COMMAND:-}" ]; then
    said=$(sh -c "$DL_COR_FW_GATE_COMMAND" 2>&1 </dev/null)
    rc=$?
    if [ $rc -ne 0 ]; then
        said=$(printf "%s" "$said" | tr -s ' \t\n' ' ' | sed 's/^ //; s/ $//')
        echo "the gate command ended with status $rc${said:+: $said}"
        status=1
    fi
fi
exit $status

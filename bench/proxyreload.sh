#!/bin/bash
# Start-up cost of an installed helper against its floor. Runs inside the
# sandbox appliance:
#   tools/sandbox/appliance --build BUILD -- bench/proxyreload.sh BUILD [ROUNDS]
# proxyreload runs set-user-ID root with both enable flags present; the
# reload command's program is a trivial one that only exits. References,
# measured in the same run and interleaved with it round by round:
#   floor: bench/floor (set-user-ID root too): fork, execve of /bin/sh -c
#          with the same command line, waitpid, nothing else;
#   shell: /bin/sh -c with the same command line, started directly.
# The rows, the usual case of an appliance first:
#   own cgroup, unified only: the caller in a cgroup of its own, process 1
#       in another, on a unified hierarchy alone (only cgroup2 mounted, in a
#       mount and pid namespace of the benchmark's own), a system log
#       listening at /dev/log: a web server under a service manager;
#   own cgroups, hybrid: the same on this machine's hierarchies, the caller
#       in a cgroup of its own beside init's in each;
#   home: the caller in init's cgroups, with and without a system log, and
#       at the hard descriptor limit, where a helper that walked its whole
#       descriptor table would pay;
#   -static-pie: proxyreload's code linked without the dynamic loader
#       (bench/proxyreload-static-pie, where the build has it), from the
#       caller's own cgroups and from init's.
# Every cgroup made here is made under the sandbox's own and removed.
# Prints a table: medians in microseconds, the helper's ratio to the floor,
# the median paired difference (helper less floor in the same round) and
# the row's target.
set -euo pipefail

# Inside a pid and mount namespace of its own (see unified_row): only
# cgroup2 mounted, this process (process 1 here) in init_cg, the caller in
# caller_cg, both given below the unified hierarchy's root.
if [ "${1:-}" = --unified-inside ]; then
    shift
    build=$1 rounds=$2 init_cg=$3 caller_cg=$4 line=$5
    umount -R /sys/fs/cgroup 2>/dev/null || umount -l /sys/fs/cgroup
    mount -t cgroup2 cgroup2 /sys/fs/cgroup
    echo $$ > "/sys/fs/cgroup$init_cg/cgroup.procs"
    (
        echo "$BASHPID" > "/sys/fs/cgroup$caller_cg/cgroup.procs"
        exec "$build/bench/startup_timer" --log /dev/log "$rounds" 33 33 -- \
            /run/appliance/bin/proxyreload ::: /run/appliance/bin/floor "$line" ::: /bin/sh -c "$line"
    )
    exit
fi

build=$1
rounds=${2:-400}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
line="/usr/sbin/squid -k reconfigure >/dev/null 2>/dev/null"

install -m 0755 /bin/true /usr/sbin/squid
install -o root -g root -m 4755 "$build/bench/floor" /run/appliance/bin/floor
: > /var/korvane/proxy/enable
: > /var/korvane/proxy/enable_blue

made=()  # cgroups made here, removed at the end
remove_made() {
    local dir tries
    for dir in ${made[@]+"${made[@]}"}; do
        for tries in $(seq 50); do rmdir "$dir" 2>/dev/null && break; sleep 0.1; done
    done
}
trap remove_made EXIT
make_cgroup() {
    local dir=$1 file
    mkdir -p "$dir"
    made=("$dir" ${made[@]+"${made[@]}"})
    for file in cpuset.cpus cpuset.mems; do
        if [ -f "$(dirname "$dir")/$file" ]; then cat "$(dirname "$dir")/$file" > "$dir/$file"; fi
    done
}

row() {  # NAME TARGET then the timer's lines: helper, floor, shell
    local name=$1 target=$2 h f s
    read -r h hd
    read -r f _
    read -r s _
    awk -v n="$name" -v t="$target" -v h="$h" -v f="$f" -v s="$s" -v d="$hd" 'BEGIN {
        printf "%-44s %9.1f %9.1f %9.1f %8.3f %9.1f %7s\n", n, h, f, s, h / f, d, t }'
}
helper=/run/appliance/bin/proxyreload
timer() {  # [--log PATH]: the three programs, interleaved
    exec "$build/bench/startup_timer" "$@" "$rounds" 33 33 -- \
        "$helper" ::: /run/appliance/bin/floor "$line" ::: /bin/sh -c "$line"
}

printf '%-44s %9s %9s %9s %8s %9s %7s\n' "case (microseconds)" helper floor "sh -c" ratio "diff" target
ulimit -Sn 1024

# The sandbox's cgroup in the unified hierarchy, as the hierarchy's root
# names it.
unified_mount=$(findmnt -n -t cgroup2 -o TARGET | head -n 1 || true)
unified=
while IFS= read -r sandbox; do
    if [ -n "$unified_mount" ] && [ "${sandbox#"$unified_mount"/}" != "$sandbox" ]; then unified=$sandbox; fi
done < /run/appliance/cgroups
if [ -n "$unified" ]; then
    make_cgroup "$unified/bench-unified-init"
    make_cgroup "$unified/bench-unified-caller"
    rel=${unified#"$unified_mount"}
    unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
        bash "$here/proxyreload.sh" --unified-inside "$build" "$rounds" \
        "$rel/bench-unified-init" "$rel/bench-unified-caller" "$line" |
        row "own cgroup, unified only, log listens" 1.18
else
    echo "own cgroup, unified only: the sandbox has no cgroup of its own in a unified hierarchy" >&2
fi

# The caller's own cgroups, one beside the sandbox's init in each
# hierarchy where the sandbox has cgroups of its own.
others=()
while IFS= read -r sandbox; do
    [ -n "$sandbox" ] || continue
    make_cgroup "$sandbox/bench-caller"
    others+=("$sandbox/bench-caller")
done < /run/appliance/cgroups
if [ ${#others[@]} -gt 0 ]; then
    (
        for dir in "${others[@]}"; do echo "$BASHPID" > "$dir/cgroup.procs"; done
        timer --log /dev/log
    ) | row "own cgroups, hybrid ($(wc -l < /run/appliance/cgroups) hierarchies), log listens" 1.30
fi

(timer --log /dev/log) | row "home (init's cgroups), log listens" 1.12
# The same code linked -static-pie, where the build has it: what the
# dynamic loader costs a start.
if [ -x "$build/bench/proxyreload-static-pie" ]; then
    install -o root -g root -m 4755 "$build/bench/proxyreload-static-pie" /run/appliance/bin/
    helper=/run/appliance/bin/proxyreload-static-pie
    if [ ${#others[@]} -gt 0 ]; then
        (
            for dir in "${others[@]}"; do echo "$BASHPID" > "$dir/cgroup.procs"; done
            timer --log /dev/log
        ) | row "own cgroups, hybrid, log listens, -static-pie" -
    fi
    (timer --log /dev/log) | row "home, log listens, -static-pie" -
    helper=/run/appliance/bin/proxyreload
fi
(timer) | row "home (init's cgroups), no log" 1.12
ulimit -Sn "$(ulimit -Hn)"
(timer) | row "home, no log, nofile $(ulimit -Hn)" -

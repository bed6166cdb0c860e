#!/bin/bash
# Start-up cost of an installed helper against its floor. Runs inside the
# sandbox appliance:
#   tools/sandbox/appliance --build BUILD -- bench/proxyreload.sh BUILD [ROUNDS]
# proxyreload runs set-user-ID root with both enable flags present; the
# reload command's program is a trivial one that only exits. References,
# measured in the same run and interleaved with it:
#   floor: bench/floor (set-user-ID root too): fork, execve of /bin/sh -c
#          with the same command line, waitpid, nothing else;
#   shell: /bin/sh -c with the same command line, started directly.
# Both are measured at a soft descriptor limit of 1024 and at the hard
# limit, where a helper that walked its whole descriptor table would pay;
# the caller then runs in init's cgroups (the sandbox's own), where a
# helper has nothing to join. A third row ("other-cg", at 1024) starts
# them from cgroups of the caller's own beside init's, the usual case under
# a service manager: there every helper start joins init's cgroups, the
# floor's does not. The last line is what that costs a start.
set -euo pipefail
build=$1
rounds=${2:-400}
line="/usr/sbin/squid -k reconfigure >/dev/null 2>/dev/null"

install -m 0755 /bin/true /usr/sbin/squid
install -o root -g root -m 4755 "$build/bench/floor" /run/appliance/bin/floor
: > /var/korvane/proxy/enable
: > /var/korvane/proxy/enable_blue

# The caller's own cgroups, one beside the sandbox's init in each
# hierarchy where the sandbox has cgroups of its own.
others=()
while IFS= read -r sandbox; do
    [ -n "$sandbox" ] || continue
    mkdir -p "$sandbox/bench-caller"
    for file in cpuset.cpus cpuset.mems; do
        if [ -f "$sandbox/$file" ]; then cat "$sandbox/$file" > "$sandbox/bench-caller/$file"; fi
    done
    others+=("$sandbox/bench-caller")
done < /run/appliance/cgroups

# Times the three at the current limit; with "other", from the caller's
# own cgroups.
measure() {
    local dir
    if [ "${1:-}" = other ]; then
        for dir in "${others[@]}"; do echo "$BASHPID" > "$dir/cgroup.procs"; done
    fi
    exec "$build/bench/startup_timer" "$rounds" 33 33 -- \
        /run/appliance/bin/proxyreload ::: /run/appliance/bin/floor "$line" ::: /bin/sh -c "$line"
}
row() {
    awk -v l="$1" -v h="$2" -v f="$3" -v s="$4" 'BEGIN {
        printf "%-10s %10.1fus %10.1fus %10.1fus %14.3f %14.3f\n", l, h, f, s, h / f, s / f }'
}

hard=$(ulimit -Hn)
printf '%-10s %12s %12s %12s %14s %14s\n' limit "proxyreload" floor "sh -c" "helper/floor" "shell/floor"
for limit in 1024 "$hard"; do
    ulimit -Sn "$limit"
    mapfile -t t < <(measure)
    row "$limit" "${t[0]}" "${t[1]}" "${t[2]}"
    if [ "$limit" = 1024 ]; then home=("${t[@]}"); fi
done
if [ ${#others[@]} -gt 0 ]; then
    ulimit -Sn 1024
    mapfile -t t < <(measure other)
    row other-cg "${t[0]}" "${t[1]}" "${t[2]}"
    # What the helper pays beyond its floor there, less what it pays at home.
    awk -v h="${t[0]}" -v f="${t[1]}" -v hh="${home[0]}" -v hf="${home[1]}" -v n="${#others[@]}" 'BEGIN {
        printf "joining init'"'"'s cgroups: %.1f us a start (%d hierarchies)\n", (h - f) - (hh - hf), n }'
    for dir in "${others[@]}"; do
        for _ in $(seq 50); do rmdir "$dir" 2>/dev/null && break; sleep 0.1; done
    done
fi

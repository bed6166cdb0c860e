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
# limit, where a helper that walked its whole descriptor table would pay.
set -euo pipefail
build=$1
rounds=${2:-400}
line="/usr/sbin/squid -k reconfigure >/dev/null 2>/dev/null"

install -m 0755 /bin/true /usr/sbin/squid
install -o root -g root -m 4755 "$build/bench/floor" /run/appliance/bin/floor
: > /var/korvane/proxy/enable
: > /var/korvane/proxy/enable_blue

hard=$(ulimit -Hn)
printf '%-10s %12s %12s %12s %14s %14s\n' limit "proxyreload" floor "sh -c" "helper/floor" "shell/floor"
for limit in 1024 "$hard"; do
    ulimit -Sn "$limit"
    mapfile -t t < <("$build/bench/startup_timer" "$rounds" 33 33 -- \
        /run/appliance/bin/proxyreload ::: /run/appliance/bin/floor "$line" ::: /bin/sh -c "$line")
    awk -v l="$limit" -v h="${t[0]}" -v f="${t[1]}" -v s="${t[2]}" 'BEGIN {
        printf "%-10s %10.1fus %10.1fus %10.1fus %14.3f %14.3f\n", l, h, f, s, h / f, s / f }'
done

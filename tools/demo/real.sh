#!/bin/bash
# The demonstration against the machine's own ucarp and iptables, run as
# root inside the sandbox appliance started with --real ucarp --real
# iptables, and inside a network namespace of its own (unshare -n), so that
# the daemon and the rules touch nothing of the host. The web-server user
# (uid 33) starts the installed helpers; after each run the real programs
# say what they did (ip addr, iptables -S); logger is still a recording
# stand-in, whose trace shows the log line.
set -euo pipefail
bin=/run/appliance/bin
trace=/run/appliance/trace

as_web_user() {  # the way an administration page starts a helper
    cd /
    setpriv --reuid=33 --regid=33 --groups=33 env -i PATH=/usr/bin:/bin HOME=/var/www "$@"
}

demo() {  # demo TITLE COMMAND...
    echo "-- $1"
    shift
    local status=0
    : > "$trace"
    as_web_user "$@" > /run/appliance/demo.out 2> /run/appliance/demo.err || status=$?
    [ ! -s /run/appliance/demo.out ] || sed 's/^/   stdout: /' /run/appliance/demo.out
    [ ! -s /run/appliance/demo.err ] || sed 's/^/   stderr: /' /run/appliance/demo.err
    echo "   exit status $status"
    awk '$1 == "begin" { args = "" } $1 == "arg" { sub(/^arg /, ""); args = args (args == "" ? "" : " ") $0 }
         $1 == "end" { print "   recorded: " args }' "$trace"
}

show() {  # show TITLE COMMAND...: what a real program reports
    echo "   $1:"
    shift
    "$@" 2>&1 | sed 's/^/      /'
}

ip link set lo up
# One failover host on its own: with no other host advertising on its
# link, it becomes master once three advertisements (one a second) are
# missing.
ip link add eth1 type veth peer name eth1-peer
ip link set eth1-peer up
ip link set eth1 up
ip addr add 10.77.0.1/24 dev eth1
cat > /var/korvane/ucarp/bin/up.sh <<'SCRIPT'
#!/bin/sh
# ucarp runs this with the interface and the virtual address on becoming master.
ip addr add "$2"/24 dev "$1"
SCRIPT
cat > /var/korvane/ucarp/bin/down.sh <<'SCRIPT'
#!/bin/sh
# ucarp runs this with the interface and the address on becoming backup;
# failswitch runs it with "stop" alone after killing the daemon.
[ "$1" != stop ] || set -- eth1 10.77.0.100
ip addr del "$2"/24 dev "$1" 2>/dev/null
exit 0
SCRIPT
chmod 0755 /var/korvane/ucarp/bin/up.sh /var/korvane/ucarp/bin/down.sh
touch /var/korvane/ucarp/settings/enable

echo "== failswitch with the real ucarp, in a private network namespace"
demo "failswitch start eth1 10.77.0.1 7 10.77.0.100 1 0 3 'pass word;\$(id)'" \
    $bin/failswitch start eth1 10.77.0.1 7 10.77.0.100 1 0 3 'pass word;$(id)'
for _ in $(seq 100); do
    ip -4 -o addr show dev eth1 | grep -q ' 10.77.0.100/' && break
    sleep 0.1
done
show "ucarp became master: ip -4 addr show dev eth1" ip -4 addr show dev eth1
show "the daemon, /var/run/ucarp.pid and the password's file" sh -c 'ps -o pid,args -C ucarp; echo "pid file: $(cat /var/run/ucarp.pid)"; stat -c "%n: %U, mode %a, %s bytes" /run/korvane/ucarp.pass'
demo "failswitch stop" $bin/failswitch stop
show "the daemon is gone, the down script removed the address" \
    sh -c 'ps -C ucarp >/dev/null || echo "no ucarp running"; [ -e /var/run/ucarp.pid ] || echo "no pid file"; ip -4 addr show dev eth1'

echo
echo "== rulepass with the real iptables (nf_tables), in the same namespace"
demo "a rule with a quoted comment" \
    $bin/rulepass "-A INPUT -p tcp --dport 443 -m comment --comment 'web ui' -j ACCEPT"
demo "a log prefix with a blank" \
    $bin/rulepass '-A INPUT -m conntrack --ctstate INVALID -j LOG --log-prefix "DROP: "'
demo "a transparent-proxy redirect in the nat table" \
    $bin/rulepass "-t nat -A PREROUTING -i eth1 -p tcp --dport 80 -j REDIRECT --to-ports 8080"
show "iptables -S" iptables -S
show "iptables -t nat -S" iptables -t nat -S
demo "a chain that does not exist: iptables' own message and exit status" \
    $bin/rulepass "-X nosuchchain"
demo "shell syntax inside quotes is refused" \
    $bin/rulepass "-A INPUT -m comment --comment 'x; id' -j ACCEPT"

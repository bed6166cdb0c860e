#!/bin/bash
# The demonstration, run as root inside the sandbox appliance. The web-server
# user (www-data, uid 33) starts the installed helpers; after each run the
# stand-ins' trace shows what ran as root and how.
set -euo pipefail
build=${1:?usage: demo.sh BUILD}
trace=/run/appliance/trace
bin=/run/appliance/bin

as_web_user() {  # the way an administration page starts a helper
    cd /
    setpriv --reuid=33 --regid=33 --groups=33 env -i PATH=/usr/bin:/bin HOME=/var/www "$@"
}

# What the stand-ins recorded since the last call: each command with its
# argument vector, credentials, groups and environment.
show_trace() {
    if [ ! -s "$trace" ]; then
        echo "   (no recorded program ran; rm, ps, grep and awk are the real tools)"
        return
    fi
    awk '
        $1 == "begin" { n++; args = ""; env = "" }
        $1 == "arg"   { sub(/^arg /, ""); args = args (args == "" ? "" : " ") $0 }
        $1 == "env"   { sub(/^env /, ""); env = env (env == "" ? "" : " ") $0 }
        $1 == "uid"   { uid = $2 "/" $3 "/" $4 }
        $1 == "gid"   { gid = $2 "/" $3 "/" $4 }
        $1 == "groups"{ $1 = ""; groups = ($0 == "" ? "none" : substr($0, 2)) }
        $1 == "end"   { printf "   ran: %s\n        uid %s  gid %s  groups %s\n        env %s\n", args, uid, gid, groups, env }
    ' "$trace"
    : > "$trace"
}

demo() {  # demo TITLE COMMAND...
    echo "-- $1"
    shift
    local status=0
    as_web_user "$@" > /run/appliance/demo.out 2> /run/appliance/demo.err || status=$?
    [ ! -s /run/appliance/demo.out ] || sed 's/^/   stdout: /' /run/appliance/demo.out
    [ ! -s /run/appliance/demo.err ] || sed 's/^/   stderr: /' /run/appliance/demo.err
    echo "   exit status $status"
    show_trace
}

echo "(Each trace shows the command's argument vector, real/effective/saved IDs, groups and its"
echo " whole environment; PWD is the one variable the shell adds by itself.)"
echo
echo "== proxyreload: the web proxy re-reads its configuration when enabled"
rm -f /var/korvane/proxy/enable /var/korvane/proxy/enable_blue
demo "neither enable flag" $bin/proxyreload
touch /var/korvane/proxy/enable
demo "/var/korvane/proxy/enable present" $bin/proxyreload
rm /var/korvane/proxy/enable
touch /var/korvane/proxy/enable_blue
demo "/var/korvane/proxy/enable_blue present" $bin/proxyreload
touch /var/korvane/proxy/enable
demo "both flags present (the reload runs once)" $bin/proxyreload

echo
echo "== velgrin_restarthavp: a content-filter controller of the restart form"
velgrin=/var/log/velgrin/default
rm -f $velgrin/etc/havp_enable
demo "havp disabled: stopped and left stopped" $bin/velgrin_restarthavp
touch $velgrin/etc/havp_enable
demo "havp enabled: stopped, then started again" $bin/velgrin_restarthavp
echo "-- a double click (two restarts of havp at once, the script taking 0.3 s): one after the other"
echo 300 > /run/appliance/standin/velgrin_havp.delay
as_web_user $bin/velgrin_restarthavp & as_web_user $bin/velgrin_restarthavp; wait
awk '$1 == "arg" && $2 != "/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp" && $2 != "weboutput" { printf "   %s", $2 }
     $1 == "exit" { printf " (ended)" } END { print "" }' "$trace"
: > "$trace"
rm /run/appliance/standin/velgrin_havp.delay

echo
echo "== failswitch: the failover daemon"
touch /var/korvane/ucarp/settings/enable
touch /run/appliance/standin/ucarp.daemon    # the stand-in keeps running, as the daemon does
mkdir -p /run/appliance/impostor && cp /bin/sleep /run/appliance/impostor/ucarp
as_web_user /run/appliance/impostor/ucarp 600 &   # anyone may name a program ucarp
impostor=$!
demo "start with eight values (a password with a blank and shell syntax stays one word)" \
    $bin/failswitch start eth0 10.0.0.2 7 10.0.0.1 1 100 3 'pass word;$(id)'
echo "   /var/run/ucarp.pid: $(tr '\n' ' ' < /var/run/ucarp.pid)(mode $(stat -c %a /var/run/ucarp.pid));" \
     "the web user's own ucarp, pid $impostor, not recorded"
echo "   the password: $(stat -c '%n, %U, mode %a' /run/korvane/ucarp.pass), in $(stat -c '%n, mode %a' /run/korvane);" \
     "command lines that show it: $(grep -l 'pass wor[d]' /proc/[0-9]*/cmdline 2>/dev/null | wc -l)"
echo "$impostor" >> /var/run/ucarp.pid
demo "stop (the pid file also lists the web user's ucarp): only the daemon is killed" $bin/failswitch stop
kill -0 $impostor && echo "   the web user's ucarp, pid $impostor, still runs" && kill $impostor
[ ! -e /var/run/ucarp.pid ] && echo "   /var/run/ucarp.pid: removed"
[ ! -e /run/korvane/ucarp.pass ] && echo "   /run/korvane/ucarp.pass: removed"

echo
echo "== reportpurge: delete one report backup"
touch /var/log/sarg/backup/report-2026-11.tar.gz /var/log/sarg/backup/report-2026-12.tar.gz
demo "reportpurge report-2026-11.tar.gz" $bin/reportpurge report-2026-11.tar.gz
echo "   left in /var/log/sarg/backup: $(ls /var/log/sarg/backup)"
demo "reportpurge '*' (a name, not a pattern)" $bin/reportpurge '*'
echo "   left in /var/log/sarg/backup: $(ls /var/log/sarg/backup)"
demo "reportpurge ../../../../etc/passwd (refused)" $bin/reportpurge ../../../../etc/passwd

echo
echo "== rulepass: one iptables command"
demo "rulepass '-L -n'" $bin/rulepass "-L -n"
echo 1 > /run/appliance/standin/iptables.exit
demo "rulepass '-X nosuchchain' (iptables fails: its status is reported)" $bin/rulepass "-X nosuchchain"
demo "rulepass '-L; id' (refused)" $bin/rulepass "-L; id"
demo "rulepass '-nL -M /tmp/loader' (iptables' module loader: refused)" $bin/rulepass "-nL -M /tmp/loader"

echo
echo "== plugloader: the instant-messaging proxy loads a logging plugin"
"$build/tools/demo/plughost" "$build/tools/demo/demoplugin.so" "$build/tools/demo/demobroken.so"

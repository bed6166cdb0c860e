#!/bin/bash
# The demonstration, run as root inside the sandbox appliance. The web-server
# user (www-data, uid 33) starts the installed helpers; after each run the
# stand-ins' trace shows what ran as root and how.
set -euo pipefail
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
        echo "   (no command ran)"
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
    as_web_user "$@" || status=$?
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

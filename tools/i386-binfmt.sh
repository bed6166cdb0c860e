#!/bin/bash
# Runs a command with 32-bit x86 programs runnable on this x86-64 machine,
# set-user-ID ones included, for the command's duration only:
#
#   i386-binfmt.sh [--qemu] COMMAND [ARG...]
#
# Where the kernel runs them itself (IA-32 emulation), or an enabled
# binfmt_misc entry for i386 programs is already there (binfmt-support, say;
# used as it is and never removed), nothing changes. Otherwise, as root, it
# registers a binfmt_misc entry of its own, "korvane-i386-PID", that hands
# i386 ELF programs to qemu-i386 with flags O, C and F: the kernel opens the
# emulator once, here, and takes the credentials from the 32-bit binary, so
# a set-user-ID helper becomes root as on the appliance. It mounts
# binfmt_misc first if it is not mounted. When the command ends, normally,
# with a failure or interrupted (INT, TERM), it removes its entry, and
# unmounts binfmt_misc if a run of this script mounted it and no entry is
# left (another run's, say). Where it cannot register (no binfmt_misc, not
# root, no qemu-i386) it says so in one line and runs the command as it is.
# With --qemu it registers even where the kernel runs them itself (the
# entry then comes before the kernel's own loader): the run is as on a
# kernel without IA-32 emulation. That entry is for the whole machine.
#
# One line on standard output says which way the 32-bit programs run. The
# command's exit status is this script's.
set -uo pipefail

force=
if [ "${1:-}" = --qemu ]; then
    force=yes
    shift
fi
[ $# -gt 0 ] || { echo "usage: i386-binfmt.sh [--qemu] COMMAND [ARG...]" >&2; exit 2; }

binfmt=/proc/sys/fs/binfmt_misc
name=korvane-i386-$$
# Shared by every run on this machine, in a directory of root's own: the
# lock orders their set-ups and clean-ups; the mark says that the mount is
# one a run of this script made.
shared=/tmp/korvane-i386-binfmt
lock=$shared/lock
mark=$shared/mounted
# An i386 ELF executable or shared object, whatever its OS/ABI byte.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "32-bit x86 programs: $*"; }

# No entry of our own: why, and how the programs run instead.
cannot() {
    if [ -n "$force" ] && runs_i386; then
        say "$1: run by the kernel itself instead"
    else
        say "the kernel runs none, and $1: the end-to-end tests are left out"
    fi
}

scratch=$(mktemp -d /tmp/korvane-i386-probe.XXXXXX) || exit 1
registered=
child=

# Whether a tiny -m32 program starts here.
runs_i386() {
    "$scratch/probe" 2>/dev/null
}

# The name of an enabled binfmt_misc entry for i386 ELF programs that no run
# of this script made, if there is one.
foreign_entry() {
    local entry
    for entry in "$binfmt"/*; do
        case "${entry##*/}" in register|status|korvane-i386-*) continue ;; esac
        [ -f "$entry" ] || continue
        grep -qx enabled "$entry" 2>/dev/null || continue
        # The magic in hexadecimal: 32-bit little-endian ELF, machine 3.
        grep -q '^magic 7f454c460101.\{24\}0300' "$entry" 2>/dev/null || continue
        echo "${entry##*/}"
        return 0
    done
    return 1
}

# Whether binfmt_misc holds an entry besides its two control files.
entries_left() {
    local entry
    for entry in "$binfmt"/*; do
        case "${entry##*/}" in register|status) ;; *) [ -e "$entry" ] && return 0 ;; esac
    done
    return 1
}

# The command's process group, told with SIGNAL to end; killed if it has
# not within ten seconds.
end_command() {
    local tries
    [ -n "$child" ] || return 0
    kill "-$1" -- "-$child" 2>/dev/null
    for tries in $(seq 50); do
        kill -0 "$child" 2>/dev/null || break
        sleep 0.2
    done
    kill -KILL -- "-$child" 2>/dev/null
    wait "$child" 2>/dev/null
    child=
}

# Our entry gone, and binfmt_misc unmounted when a run of this script
# mounted it and nothing else is registered there. Idempotent.
unregister() {
    [ -n "$registered" ] || return 0
    registered=
    (
        flock 9
        if [ -e "$binfmt/$name" ] && ! echo -1 > "$binfmt/$name"; then
            echo "i386-binfmt.sh: cannot remove the binfmt_misc entry $name" >&2
        fi
        if [ -e "$mark" ] && ! entries_left; then
            if umount "$binfmt"; then
                rm -f "$mark"
            else
                echo "i386-binfmt.sh: cannot unmount $binfmt" >&2
            fi
        fi
    ) 9> "$lock"
}

finish() {
    local status=$2
    trap - EXIT
    trap '' INT TERM
    end_command "$1"
    unregister
    rm -rf "$scratch"
    exit "$status"
}
trap 'finish TERM $?' EXIT
trap 'finish INT 130' INT
trap 'finish TERM 143' TERM

register() {
    local qemu
    # The build's own cross compiler, or a multilib one.
    printf 'int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n' >"$scratch/probe.c"
    if ! i686-linux-gnu-gcc "$scratch/probe.c" -o "$scratch/probe" 2>/dev/null &&
            ! gcc -m32 "$scratch/probe.c" -o "$scratch/probe" 2>/dev/null; then
        say "no 32-bit x86 compiler to tell how they run (gcc-i686-linux-gnu or gcc-multilib); nothing registered"
        return
    fi
    if entry=$(foreign_entry); then
        say "run by $(sed -n 's/^interpreter //p' "$binfmt/$entry") through binfmt_misc (entry $entry, already there, kept)"
        return
    fi
    if [ -z "$force" ] && runs_i386; then
        say "run by the kernel itself (IA-32 emulation)"
        return
    fi
    if [ "$(id -u)" != 0 ]; then
        cannot "only root can register qemu-i386 with binfmt_misc"
        return
    fi
    if ! qemu=$(command -v qemu-i386); then
        cannot "there is no qemu-i386 (qemu-user)"
        return
    fi
    if ! grep -qw binfmt_misc /proc/filesystems; then
        cannot "it has no binfmt_misc"
        return
    fi
    # Nobody else may have made it, or put anything in its place.
    mkdir -p -m 0700 "$shared" 2>/dev/null
    if [ -L "$shared" ] || [ ! -d "$shared" ] || [ "$(stat -c %u:%a "$shared")" != 0:700 ]; then
        cannot "$shared is not a directory of root's own"
        return
    fi
    exec 9> "$lock"
    flock 9
    if [ ! -e "$binfmt/register" ]; then
        rm -f "$mark"
        if ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
            exec 9>&-
            cannot "binfmt_misc cannot be mounted here"
            return
        fi
        : > "$mark"
    fi
    registered=yes
    if ! printf ':%s:M::%s:%s:%s:OCF' "$name" "$magic" "$mask" "$qemu" > "$binfmt/register" 2>/dev/null; then
        exec 9>&-
        cannot "binfmt_misc refused an entry for qemu-i386"
        return
    fi
    exec 9>&-
    if ! runs_i386; then
        unregister
        cannot "they did not start through qemu-i386 either"
        return
    fi
    say "run by $qemu through binfmt_misc (entry $name, flags OCF, for this run only)"
}
register

# The command in a process group of its own, waited for in the background,
# so that a signal to this script is handled at once and then passed on.
set -m
"$@" &
child=$!
wait "$child"
status=$?
child=
exit "$status"

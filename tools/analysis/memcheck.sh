#!/bin/bash
# Runs one test program under valgrind memcheck and fails on any memory
# error or lost block in it or in any process it forks, and on any block
# that the test program itself still holds when it ends.
#
#   memcheck.sh LOGDIR PROGRAM [ARG...]
#
# A forked child that ends without returning from main (a command runner's
# child that could not become its command, a test's child process) still
# holds the parent's heap when it ends; those blocks are reachable, not
# lost, and are not counted against the child. Programs that the tests
# execute (/bin/sh and whatever it runs) are not ours and run natively.
set -u
logdir=$1
shift
rm -rf "$logdir"
mkdir -p "$logdir"
# Children that a test lowers to an ordinary user open their own logs too.
chmod 1777 "$logdir"

valgrind --tool=memcheck --log-file="$logdir/vg.%p" \
    --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect,possible \
    --error-exitcode=99 --child-silent-after-fork=no --track-origins=yes \
    --run-libc-freeres=no --suppressions="$(dirname "$0")/memcheck.supp" \
    "$@"
status=$?

failed=0
complain() {
    echo "memcheck: $1" >&2
    cat "$2" >&2
    failed=1
}
main_log=
for log in "$logdir"/vg.*; do
    grep -q "Parent PID: $$\$" "$log" && main_log=$log
    grep -q 'ERROR SUMMARY: [1-9]' "$log" && complain "errors in process ${log##*.}" "$log"
done
if [ -z "$main_log" ]; then
    echo "memcheck: no log of the test program" >&2
    failed=1
elif ! grep -q -e 'All heap blocks were freed' -e 'still reachable: 0 bytes' "$main_log"; then
    complain "the test program ends holding memory" "$main_log"
fi
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    echo "memcheck: exit status $status" >&2
    failed=1
fi
[ "$failed" -eq 0 ] && rm -rf "$logdir"
exit "$failed"

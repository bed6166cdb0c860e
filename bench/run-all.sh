#!/bin/bash
# Every benchmark of the project in one run, and one table of ratios, each
# against a floor measured in the same run, written to
# docs/benchmark-results.md too (what each measures: docs/benchmarks.md):
#   helper start-up   proxyreload vs. a set-user-ID fork/execve/waitpid floor,
#                     the caller in cgroups of its own (a unified hierarchy
#                     alone, this machine's) and in init's, a system log
#                     listening and not, interleaved round by round
#   settings store    reading and writing vs. fgets into fresh zeroed records
#   plugin loaders    each forwarder vs. a direct call through a function
#                     pointer; a load-and-unload cycle vs. bare dlopen/dlsym/dlclose
# Needs root (the start-up benchmark runs in the sandbox appliance).
#   bash bench/run-all.sh [BUILD]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=$(cd "${1:-build}" && pwd)
out=$(mktemp -d "$build/bench-run.XXXXXX")

echo "Measuring helper start-up ..." >&2
tools/sandbox/appliance --build "$build" -- bench/proxyreload.sh "$build" "${KORVANE_BENCH_ROUNDS:-400}" > "$out/startup"
# A build without Google Benchmark for its target (the 32-bit x86 build)
# has only the start-up benchmark.
: > "$out/store"
: > "$out/plugloader"
if [ -x "$build/bench/store_bench" ]; then
    echo "Measuring the settings store ..." >&2
    "$build/bench/store_bench" --benchmark_min_time=0.5 > "$out/store" 2>/dev/null
fi
if [ -x "$build/bench/plugloader_bench" ]; then
    echo "Measuring the plugin loaders ..." >&2
    "$build/bench/plugloader_bench" > "$out/plugloader" 2>/dev/null
fi

machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), Linux $(uname -r)"
# The floor of the start-up rows: the median of the home row without a log.
floor_ms=$(awk '/^home \(init.s cgroups\), no log/ { printf "%.2f", $(NF - 4) / 1000 }' "$out/startup")

# The build's own word size (the ELF class of its floor): 32-bit x86 rows
# say so.
bits=64
[ "$(od -An -tu1 -j4 -N1 "$build/bench/floor" | tr -d ' ')" = 1 ] && bits=32

# One line a result: name, ratio, paired difference in microseconds (or
# -), target (or -).
results() {
    awk -v b="$bits" 'NR > 1 {
            name = $0; sub(/ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+$/, "", name)
            printf "%s, %s\t%.3f\t%.0f\t%s\n", (b == 32 ? "32-bit start-up" : "start-up"), name,
                   $(NF - 2), $(NF - 1), $NF }' "$out/startup"
    awk '
        /entries:/ && /store_read/  { printf "store read, %s entries\t%.2f\t-\t%s\n", $2, $4, ($2 == 10000 ? "2" : "-") }
        /entries:/ && /store_write/ { printf "store write (with fdatasync), %s entries\t%.2f\t-\t-\n", $2, $4 }
        /^  floor_read/ && NF == 2 { floor = $2 }
        /^  store_read/ && NF == 2 { growth = $2 }
        END {
            if (growth == "") exit
            printf "store read, time per entry 10000 / 1000\t%.2f\t-\t1.3\n", growth
            printf "  the same for the floor\t%.2f\t-\t-\n", floor
        }' "$out/store"
    awk 'f && NF == 4 { printf "loader %s\t%.3f\t-\t1.1\n", ($1 == "loadcycle" ? "load and unload cycle" : "forwarder " $1), $4 }
         /fastest of/ { f = 1 }' "$out/plugloader"
}
row() { printf '| %-62s | %7s | %8s | %6s | %4s |\n' "$1" "$2" "$3" "$4" "$5"; }
table() {
    row "benchmark (against its floor)" "ratio" "diff us" "target" "met"
    printf '|%s|%s|%s|%s|%s|\n' "$(printf '%64s' | tr ' ' -)" "---------" "----------" "--------" "------"
    results | while IFS=$'\t' read -r name ratio diff target; do
        met=-
        if [ "$target" != - ]; then
            met=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r <= t ? "yes" : "no") }')
        fi
        row "$name" "$ratio" "$diff" "$target" "$met"
    done
}

echo
echo "Machine: $machine; start-up floor $floor_ms ms"
echo "Start-up targets, each a ratio to the floor of the same run: the usual case (the caller in a cgroup"
echo "of its own, a system log listening) at most 1.18 on a unified hierarchy alone and 1.30 on this"
echo "machine's hybrid hierarchies; the caller in init's cgroups (home) at most 1.12."
echo
table | tee "$out/table"
{
    echo "# Benchmark results"
    echo
    echo "Written by \`bash bench/run-all.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'); $machine; start-up floor $floor_ms ms; diff: median paired difference against the floor in microseconds."
    echo
    cat "$out/table"
} > docs/benchmark-results.md
echo "Raw outputs: $out; the table also in docs/benchmark-results.md" >&2

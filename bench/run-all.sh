#!/bin/bash
# Every benchmark of the project in one run, and one table of ratios, each
# against a floor measured in the same run:
#   helper start-up   proxyreload vs. a set-user-ID fork/execve/waitpid floor,
#                     at a soft descriptor limit of 1024 and at the hard limit
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
tools/sandbox/appliance --build "$build" -- bench/proxyreload.sh "$build" 400 > "$out/startup"
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

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(uname -r)"
echo
row() { printf '| %-44s | %8s | %6s |\n' "$1" "$2" "$3"; }
row "benchmark (against its floor)" "ratio" "target"
printf '|%s|%s|%s|\n' "----------------------------------------------" "----------" "--------"
{
# The build's own word size (the ELF class of its floor): 32-bit x86 rows
# say so.
bits=64
[ "$(od -An -tu1 -j4 -N1 "$build/bench/floor" | tr -d ' ')" = 1 ] && bits=32
awk -v b="$bits" 'NR > 1 && $1 != "joining" {
        printf "%s, %s\t%.3f\t%s\n", (b == 32 ? "32-bit start-up, proxyreload" : "helper start-up, proxyreload"),
               ($1 == "other-cg" ? "caller in other cgroups" : "nofile " $1), $5, ($1 == "other-cg" ? "-" : "1.10") }' "$out/startup"
awk '
    /entries:/ && /store_read/  { printf "store read, %s entries\t%.2f\t%s\n", $2, $4, ($2 == 10000 ? "2" : "-") }
    /entries:/ && /store_write/ { printf "store write (with fdatasync), %s entries\t%.2f\t-\n", $2, $4 }
    /^  floor_read/ && NF == 2 { floor = $2 }
    /^  store_read/ && NF == 2 { growth = $2 }
    END {
        if (growth == "") exit
        printf "store read, time per entry 10000 / 1000\t%.2f\t1.3\n", growth
        printf "  the same for the floor\t%.2f\t-\n", floor
    }' "$out/store"
awk 'f && NF == 4 { printf "loader %s\t%.3f\t1.1\n", ($1 == "loadcycle" ? "load and unload cycle" : "forwarder " $1), $4 }
     /fastest of/ { f = 1 }' "$out/plugloader"
} | while IFS=$'\t' read -r name ratio target; do row "$name" "$ratio" "$target"; done
echo
grep '^joining' "$out/startup" || true
echo "Raw outputs: $out" >&2

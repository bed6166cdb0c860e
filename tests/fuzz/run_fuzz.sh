#!/bin/sh
# Builds the settings-store fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time. Fails when a
# target cannot be built or the fuzzer finds anything.
#   run_fuzz.sh <source dir> <work dir> <seconds per target>
set -eu
src=$(cd "$1" && pwd)
work=$2
seconds=$3
cxx=${KORVANE_FUZZ_CXX:-clang++}

mkdir -p "$work"
cd "$work"
for target in readkeyvalues readkeyvaluesfromline; do
    "$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=all -I "$src/lib" \
        "$src/lib/keyvalue.cpp" "$src/tests/fuzz/fuzz_$target.cpp" -o "fuzz_$target"
    # New inputs go into a scratch corpus; the committed seeds are only read.
    rm -rf "corpus_$target"
    mkdir -p "corpus_$target"
    echo "fuzzing $target for $seconds seconds"
    set -- "$PWD/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$PWD/" \
        "$PWD/corpus_$target" "$src/tests/fuzz/corpus/$target"
    # The file target writes and flushes a settings file per input: on a
    # tmpfs in a private mount namespace that costs no disk flushes and
    # leaves the host's mounts alone. Without one it runs in the work dir.
    mkdir -p files
    if unshare --mount --propagation private true 2>/dev/null; then
        unshare --mount --propagation private sh -c \
            'mount -t tmpfs -o size=64m tmpfs files && cd files && exec "$@"' \
            fuzz "$@"
    else
        (cd files && "$@")
    fi
done
rm -rf files

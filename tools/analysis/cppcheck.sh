#!/bin/bash
# cppcheck over the project's own code, with the exact flags of the native
# build (its compile_commands.json), and over the sources that only the
# sanitizer build compiles. Any finding fails.
#
#   cppcheck.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$1" && pwd)
build=$2
mkdir -p "$build/cppcheck"
common=(--std=c++17 --library=googletest
        --enable=warning,style,performance,portability
        --inline-suppr --suppressions-list="$here/cppcheck-suppressions.txt"
        --error-exitcode=1 --quiet)
cppcheck "${common[@]}" --project="$build/compile_commands.json" -i /usr/src -j2 \
    --cppcheck-build-dir="$build/cppcheck"
cppcheck "${common[@]}" -I "$src/lib" -I "$src/tests/support" \
    "$src/tests/sanitize" "$src/cmake"

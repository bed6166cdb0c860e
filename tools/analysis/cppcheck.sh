#!/bin/bash
# cppcheck over the project's own code, with the exact flags of the native
# build (its compile_commands.json). Any finding fails.
#
#   cppcheck.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
exec cppcheck --project="$build/compile_commands.json" \
    --std=c++17 --library=googletest \
    --enable=warning,style,performance,portability \
    --inline-suppr --suppressions-list="$here/cppcheck-suppressions.txt" \
    -i /usr/src --error-exitcode=1 --quiet -j2 \
    --cppcheck-build-dir="$(mkdir -p "$build/cppcheck" && echo "$build/cppcheck")"

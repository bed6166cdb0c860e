#!/bin/bash
# clang-tidy over every translation unit of the project's own code in the
# native build (its compile_commands.json), with the checks of the
# checked-in .clang-tidy. Any finding fails.
#
#   clang-tidy.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$2
exec run-clang-tidy -p "$build" -quiet -j 2 \
    "^$src/(lib|helpers|filtersvc|improxy|tools|tests|bench)/"

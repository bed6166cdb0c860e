#!/bin/bash
# clang-tidy over every translation unit of the project's own code in the
# native build (its compile_commands.json), with the checks of the
# checked-in .clang-tidy. Any finding fails.
#
#   clang-tidy.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

# clang refuses the GCC-only flags of the build (the test plugins are built
# with -fno-gnu-unique so that GCC lets them be unloaded); the analysis reads
# a copy of the compile commands without them. They change no diagnostic.
db="$build/clang-tidy"
mkdir -p "$db"
python3 - "$build/compile_commands.json" "$db/compile_commands.json" <<'PY'
import json, shlex, sys

gcc_only = {"-fno-gnu-unique"}
with open(sys.argv[1]) as f:
    entries = json.load(f)
for entry in entries:
    if "arguments" in entry:
        entry["arguments"] = [a for a in entry["arguments"] if a not in gcc_only]
    elif gcc_only & set(shlex.split(entry["command"])):
        args = shlex.split(entry["command"])
        entry["command"] = shlex.join(a for a in args if a not in gcc_only)
with open(sys.argv[2], "w") as f:
    json.dump(entries, f, indent=2)
PY

exec run-clang-tidy -p "$db" -quiet -j 2 \
    "^$src/(lib|helpers|filtersvc|improxy|tools|tests|bench)/"

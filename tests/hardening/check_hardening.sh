#!/bin/bash
# hardening-check over every installed program and the plugin-loader
# library of one build tree:
#
#   check_hardening.sh HARDENING-CHECK CMAKE BUILD HELPERS.LIST WORK CC [CFLAGS...]
#
# The programs (component helpers) and the library (component plugloader)
# are installed into WORK by the build's own install rule. Any property
# reported "no" fails, with one exception: control-flow integrity. Every
# object is compiled with -fcf-protection, but the linker keeps the
# property note in a program only when every object linked into it has the
# note, and Debian 12's C library start files do not. The note is never
# forced with linker options (the program would claim a protection that
# its start files lack). The exception stands only as long as the start
# files CC links lack the note: once they have it, "no" fails here too.
set -uo pipefail
check=$1 cmake=$2 build=$3 list=$4 work=$5 cc=$6
shift 6
fail=0
problem() { echo "FAIL: $*"; fail=1; }

rm -rf "$work"
for component in helpers plugloader; do
    "$cmake" --install "$build" --component "$component" --prefix "$work" >/dev/null ||
        { echo "FAIL: cannot install component $component"; exit 1; }
done
# Installed as root, these would be set-user-ID-root programs any account may run.
find "$work" -type f -perm /6000 -exec chmod u-s,g-s {} +

files=()
while read -r name; do
    if [ -f "$work/bin/$name" ]; then files+=("$work/bin/$name"); else problem "$name is not installed"; fi
done < <(grep -v -e '^#' -e '^[[:space:]]*$' "$list")
mapfile -t libs < <(find "$work" -type f -name 'libplugloader.so.*')
[ ${#libs[@]} -eq 1 ] || problem "expected one installed libplugloader, found ${#libs[@]}"
files+=("${libs[@]}")

cfi_exempt=1
startfiles=$("$cc" "$@" -print-file-name=Scrt1.o)
if readelf -n "$startfiles" 2>/dev/null | grep -q 'x86 feature: .*IBT'; then
    cfi_exempt=0
    echo "note: $startfiles carries the control-flow property: no exception for it"
fi

for f in "${files[@]}"; do
    out=$("$check" "$f" 2>&1)
    # One line per property, " Name: result"; fewer than the six known
    # ones means the tool did not understand the file.
    props=$(grep -c '^ [A-Z][A-Za-z ]*: ' <<<"$out")
    [ "$props" -ge 6 ] || problem "${f#"$work"/}: hardening-check gave no report: $out"
    while IFS= read -r line; do
        name=${line%%:*} name=${name# }
        result=${line#*: }
        case "$result" in
        *"(ignored)") ;;  # does not apply: "no, regular shared library (ignored)"
        no*)
            if [ "$name" = "Control flow integrity" ] && [ $cfi_exempt -eq 1 ]; then continue; fi
            problem "${f#"$work"/}: $name: $result" ;;
        esac
    done < <(grep '^ [A-Z][A-Za-z ]*: ' <<<"$out")
done
echo "checked ${#files[@]} files"
exit $fail

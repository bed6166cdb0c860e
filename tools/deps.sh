#!/bin/bash
# Installs, with apt-get, the Debian packages that the build, the tests and
# the demonstration need; does nothing when all of them are present.
set -euo pipefail
packages=(
    cmake make g++ gcc googletest libbenchmark-dev   # the build
    util-linux iproute2 procps                       # unshare, setpriv, ps
    g++-multilib qemu-user                           # 32-bit x86 build and its tests
    devscripts                                       # hardening-check
    clang libclang-rt-14-dev                         # fuzzing with sanitizers
    valgrind cppcheck clang-tidy                     # memcheck and static analysis
    dpkg-dev file lintian                            # Debian packages and their checks
    groff-base man-db gzip                           # manual pages
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

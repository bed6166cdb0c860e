#!/bin/bash
# The main job: build everything, install it into a staging root inside the
# checkout (never into the host's own directories), list what was
# installed with owners and modes, and demonstrate the helpers in the
# sandbox appliance: with recording stand-ins, then with the machine's own
# ucarp and iptables in a private network namespace. Last, the amd64 Debian
# packages: built by dpkg-buildpackage from a copy of the tree and checked
# (the package tests of the suite), and what korvane-helpers holds.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
rm -rf stage
DESTDIR="$PWD/stage" cmake --install build >/dev/null
echo
echo "== Installed into $PWD/stage (mode, owner:group, path)"
(cd stage && find . -mindepth 1 \( -type f -o -type l \) -printf '%M %u:%g /%P\n' | sort -k3)
echo
tools/sandbox/appliance --build build -- bash tools/demo/demo.sh "$PWD/build"
echo
tools/sandbox/appliance --build build --real ucarp --real iptables -- \
    unshare --net bash tools/demo/real.sh
echo
echo "== Debian packages (dpkg-buildpackage), checked"
(cd build && ctest --output-on-failure -L packaging)
ls -l build/debian-packages/*.deb
dpkg-deb --contents build/debian-packages/korvane-helpers_*.deb | grep ' ./usr/bin/'

#!/bin/bash
# The whole test suite: the native build (unit, end-to-end in the sandbox
# appliance, store, loader and fuzz tests) and the 32-bit x86 build, whose
# tests run under qemu-i386. Exits 0 only when everything passed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash tools/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)

# AddressSanitizer and UndefinedBehaviorSanitizer: the same unit and
# end-to-end tests, helpers set-user-ID root included (testing only).
cmake -S . -B build-asan -DKORVANE_SANITIZE=ON -DKORVANE_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-asan -j2
(cd build-asan && ctest --output-on-failure -j2)

cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake -DKORVANE_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-i386 -j2
(cd build-i386 && ctest --output-on-failure -j2)

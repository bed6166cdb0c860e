#!/bin/bash
# The whole test suite: the native build (unit, end-to-end in the sandbox
# appliance, store, loader, fuzz, hardening, package and analysis tests,
# autopkgtest on the packages it built, in a fresh Debian 12 chroot),
# the sanitizer build (unit and end-to-end) and the 32-bit x86 build, whose
# whole suite (end-to-end tests and the real-programs tier with the 32-bit
# helpers set-user-ID root in the sandbox appliance included, the i386
# packages, hardening) runs natively where the kernel runs 32-bit programs,
# and elsewhere under qemu-i386 through a binfmt_misc entry that
# tools/i386-binfmt.sh registers for that part only (flags OCF: set-user-ID
# works), with the rows that depend on what the emulator does not do left
# out by name and the start-state matrix on a fixed few programs; its first
# line says which way the 32-bit programs ran. Where no entry can be
# registered (not root, no binfmt_misc), only the in-process 32-bit tests
# run, under qemu-i386. KORVANE_I386_QEMU=1 takes the emulator even where
# the kernel runs 32-bit programs. Exits 0 only when everything passed.
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

# The appliance's own platform. Its benchmark programs are built too (the
# start-up benchmark measures the 32-bit helpers); none of them is a test.
# Configured and tested with 32-bit programs runnable, set-user-ID ones
# included (tools/i386-binfmt.sh: the kernel itself, or qemu-i386 through a
# binfmt_misc entry for this part only; KORVANE_I386_QEMU=1 asks for qemu
# even where the kernel runs them), so that the build's probe finds them.
i386_binfmt=(bash tools/i386-binfmt.sh ${KORVANE_I386_QEMU:+--qemu})
"${i386_binfmt[@]}" bash -c '
    set -euo pipefail
    cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build-i386 -j2
    cd build-i386 && ctest --output-on-failure -j2'

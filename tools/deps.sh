#!/bin/bash
# Installs, with apt-get, the Debian packages that the build, the tests and
# the demonstration need; does nothing when all of them are present.
#
# A mirror in mid-sync, or one index briefly out of reach, is ordinary:
# `apt-get update` is tried a few times, a short pause apart, and when some
# indexes still fail the install goes on with those that arrived (apt keeps
# the older copy of a failed index, if it had one). Only a package that
# cannot be installed stops the set-up, and the message names it.
set -euo pipefail
packages=(
    cmake make g++ gcc googletest libbenchmark-dev   # the build
    util-linux iproute2 procps                       # unshare, setpriv, ps
    crossbuild-essential-i386 qemu-user              # 32-bit x86 build, i386 packages, their tests
    libc6:i386 libstdc++6:i386 libgcc-s1:i386        # what the i386 packages depend on
    devscripts                                       # hardening-check
    autopkgtest mmdebstrap                           # the installed packages' tests, in a fresh Debian 12
    clang libclang-rt-14-dev                         # fuzzing with sanitizers
    valgrind cppcheck clang-tidy                     # memcheck and static analysis
    dpkg-dev debhelper pkgconf fakeroot              # the Debian packages (debian/control's Build-Depends)
    file lintian git                                 # their checks (git: the copy of the checkout)
    groff-base man-db gzip                           # manual pages
    ucarp iptables squid bsdutils rsyslog            # the real outside programs (logger: bsdutils), a system log
)
# (crossbuild-essential-i386's compilers conflict with gcc-multilib, whose
# -m32 mode the 32-bit build used before: apt removes that.)
update_tries=3 update_pause=5

# The packages of the list that dpkg does not have installed.
not_installed() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

# The i386 packages must depend on the i386 system's own libc6, libstdc++6
# and libgcc-s1, as the appliance has them. dpkg-shlibdeps names the package
# that holds each library a program needs, so those libraries must be
# installed here as i386 packages (Debian multiarch; the amd64 system's own
# packages stay as they are), and for that dpkg must know the architecture.
# Added only when it is not yet known, so a second run changes nothing
# (the package index is then read afresh: the i386 libraries are missing).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture to dpkg"
    dpkg --add-architecture i386
fi
mapfile -t missing < <(not_installed "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Installing squid (or any daemon) must not start its service on this
    # machine: while the packages go in, a policy that forbids every start,
    # removed afterwards only when it was ours.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Left by tools/deps.sh while it installs packages.\nexit 101\n' > "$policy"
        chmod 0755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    try=1
    until apt-get update -q; do
        if [ "$try" -ge "$update_tries" ]; then
            echo "deps.sh: some package indexes could not be fetched ($try tries); installing from those that were" >&2
            break
        fi
        try=$((try + 1))
        sleep "$update_pause"
    done
    if ! apt-get install -y -q --no-install-recommends "${missing[@]}"; then
        mapfile -t failed < <(not_installed "${missing[@]}")
        echo "deps.sh: could not install: ${failed[*]:-${missing[*]}}" >&2
        exit 1
    fi
fi

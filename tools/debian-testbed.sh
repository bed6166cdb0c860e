#!/bin/bash
# The packages as a Debian developer tries them, each time on a fresh
# Debian 12 that mmdebstrap makes from Debian's registry under /tmp and
# that is removed when the run ends (nothing is installed on this machine):
#
#   debian-testbed.sh autopkgtest PKGDIR   debian/tests against the packages
#                                          of PKGDIR (its .deb files and the
#                                          source's .dsc), on autopkgtest's
#                                          chroot backend
#   debian-testbed.sh crossbuild SRCDIR    the standard i386 cross-build of
#                                          the source tree SRCDIR; prints
#                                          "built: PACKAGE" and its Depends
#                                          for each package made
#
# Must run as root. The chroot backend is the one of autopkgtest's that
# needs no virtual machine and runs the helpers set-user-ID root: the
# tests make their own pid and mount namespaces (the sandbox appliance).
# The testbed needs only to be a mount point with the machine's /proc,
# /sys and /dev, all in a private mount namespace that ends with the run.
set -euo pipefail
action=${1:-} arg=${2:-}
die() { echo "debian-testbed: $*" >&2; exit 1; }
[ -n "$arg" ] || die "usage: debian-testbed.sh autopkgtest PKGDIR | crossbuild SRCDIR"
[ "$(id -u)" = 0 ] || die "must be run as root"

testbed=$(mktemp -d /tmp/korvane-testbed.XXXXXX)
trap 'rm -rf --one-file-system "$testbed"' EXIT

case "$action" in
autopkgtest)
    pkgdir=$(cd "$arg" && pwd)
    compgen -G "$pkgdir/*.dsc" >/dev/null || die "$pkgdir holds no source package"
    # The package lists stay: autopkgtest installs the tests' Depends.
    mmdebstrap --variant=apt --quiet --skip=cleanup/apt/lists bookworm "$testbed" ||
        die "mmdebstrap could not make the testbed"
    # shellcheck disable=SC2016
    unshare --mount --propagation private bash -euc '
        root=$1; shift
        mount --bind "$root" "$root"
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        exec autopkgtest "$@" -- chroot "$root"' _ "$testbed" "$pkgdir"/*.deb "$pkgdir"/*.dsc
    ;;
crossbuild)
    src=$(cd "$arg" && pwd)
    [ -f "$src/debian/control" ] || die "$src is no Debian source tree"
    # What a clean clone holds: git's files, without the build trees.
    mkdir "$testbed/korvane"
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        tar -C "$src" --null -T - --ignore-failed-read -cf - | tar -C "$testbed/korvane" -xf -
    recipe='set -e; cd /build/korvane
        dpkg --add-architecture i386; apt-get update -q
        apt-get install -y -q crossbuild-essential-i386
        apt-get build-dep -y -q -a i386 ./
        dpkg-buildpackage -a i386 -us -uc -b
        for d in ../*.deb; do echo "built: ${d#../}"; dpkg-deb --field "$d" Depends; done'
    # The system goes with its output (/dev/null): only the log remains.
    mmdebstrap --variant=apt --quiet bookworm /dev/null \
        --customize-hook='mkdir -p "$1/build"' \
        --customize-hook="copy-in $testbed/korvane /build" \
        --customize-hook="chroot \"\$1\" sh -c '$recipe'"
    ;;
*)
    die "unknown action $action"
    ;;
esac

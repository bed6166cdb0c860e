#!/bin/bash
# Checks of the Debian packages that dpkg-buildpackage makes from debian/
# (in BUILDDIR/debian-packages) and of the manual pages they carry. One
# action per run:
#
#   build BUILDDIR SRCDIR ARCH     make the packages afresh, from a copy of
#                                  the checkout's files (no git)
#   lintian PKGDIR                 lintian finds no error, no warning and
#                                  no hardening tag of any level
#   modes PKGDIR HELPERS.LIST      every built program is in korvane-helpers
#                                  as /usr/libexec/korvane/NAME, root/www-data,
#                                  -rwsr-xr-- with no override for the mode,
#                                  and all else is root/root and not set-ID
#   control PKGDIR ARCH TRIPLET    every package is for ARCH and newer than
#                                  the first release, those with programs
#                                  depend on that system's own C and C++
#                                  libraries, the Multi-Arch fields are right,
#                                  and the library with its pkg-config and
#                                  CMake files lies in /usr/lib/TRIPLET
#   deliverables PKGDIR LIST       every program of LIST is there, likewise,
#                                  with its documents and the tmpfiles entry
#   manpages PKGDIR HELPERS.LIST   the unpacked packages give every program
#                                  (and each loader class) a manual entry that
#                                  renders without warnings
#   render MANDIR                  the page sources format without warnings
#   reproduce PKGDIR SRCDIR ARCH   building again elsewhere makes the same
#                                  packages, byte for byte
#   userns SRCDIR ARCH             a build in a user namespace that maps only
#                                  root (no group www-data) fails, loudly,
#                                  and makes no korvane-helpers package
#   crossbuild SRCDIR              on a clean Debian 12, the standard recipe
#                                  cross-builds the i386 packages
#   autopkgtest PKGDIR             debian/tests pass against the packages on
#                                  a fresh Debian 12 (tools/debian-testbed.sh)
#   deps DEPS.SH                   tools/deps.sh against stand-ins
set -uo pipefail

testbed=$(dirname "$0")/../../tools/debian-testbed.sh
fail=0
problem() { echo "FAIL: $*"; fail=1; }

# The program names of a list file: no comments, no empty lines.
names() { grep -v -e '^#' -e '^[[:space:]]*$' "$1"; }

# The checkout's files as they are now, without git, into the new directory DEST.
export_tree() {
    mkdir -p "$2" && git -C "$1" ls-files -z --cached --others --exclude-standard |
        tar -C "$1" --null -T - --ignore-failed-read -cf - | tar -C "$2" -xf -
}
# dpkg-buildpackage in SRC for ARCH (cross-building where it is not this
# machine's), the tests not built, started through $WRAP if set; the
# packages land beside SRC.
dpkgbuild() {
    # shellcheck disable=SC2086
    (cd "$1" && DEB_BUILD_OPTIONS="nocheck parallel=2" ${WRAP:-} \
        dpkg-buildpackage -us -uc -Pnocheck --host-arch="$2" "${@:3}")
}

helpers_deb() {
    local debs=("$1"/korvane-helpers_*.deb)
    [ -f "${debs[0]}" ] || { echo "FAIL: no korvane-helpers package in $1"; exit 1; }
    [ ${#debs[@]} -eq 1 ] || { echo "FAIL: several korvane-helpers packages in $1"; exit 1; }
    echo "${debs[0]}"
}

# "MODE OWNER PATH" for every entry of a package, as the archive records it.
listing() { dpkg-deb --contents "$1" | awk '{ print $1, $2, $6 }'; }

# Checks that each named program is in the listing, set-user-ID root for the web server alone.
helper_entry="-rwsr-xr-- root/www-data" place=./usr/libexec/korvane
check_programs() {
    local listing=$1 list=$2 name entry missing=()
    while read -r name; do
        entry=$(awk -v p="$place/$name" '$3 == p { print $1, $2 }' <<<"$listing")
        if [ -z "$entry" ]; then
            missing+=("$name")
        elif [ "$entry" != "$helper_entry" ]; then
            problem "${place#.}/$name is '$entry', not '$helper_entry'"
        fi
    done < <(names "$list")
    if [ ${#missing[@]} -gt 0 ]; then
        problem "missing from the korvane-helpers package (${#missing[@]}): ${missing[*]}"
    fi
}

action=${1:-}
case "$action" in
build)
    pkgdir=$2/debian-packages
    rm -rf "$pkgdir" && export_tree "$3" "$pkgdir/src" || exit 1
    dpkgbuild "$pkgdir/src" "$4" >"$pkgdir/build.log" 2>&1 ||
        { tail -30 "$pkgdir/build.log"; problem "dpkg-buildpackage failed ($pkgdir/build.log)"; }
    # Built as root, its staging trees hold real set-user-ID-root programs.
    rm -rf "$pkgdir/src"
    ls -l "$pkgdir"/*.deb || problem "no package was made"
    ;;
lintian)
    # Errors and warnings both fail: what the set-user-ID bit makes lintian
    # warn about is overridden in the package, each with its reason.
    # Hardening tags come at every level, most of them as information.
    out=$(lintian --fail-on error,warning --display-info --tag-display-limit 0 "$2"/*.changes 2>&1)
    status=$?
    grep -v 'running with root privileges is not recommended' <<<"$out"
    [ "$status" -eq 0 ] || problem "lintian reported errors or warnings"
    if grep -q ': hardening-' <<<"$out"; then problem "lintian reported hardening tags"; fi
    ;;
modes)
    deb=$(helpers_deb "$2") || { echo "$deb"; exit 1; }
    check_programs "$(listing "$deb")" "$3"
    for d in "$2"/*.deb; do
        while read -r mode owner path; do
            [[ "$mode $owner" == "$helper_entry" && "$(basename "$d")" == korvane-helpers_* &&
               "$path" == "$place"/* ]] && grep -qxF "${path#"$place"/}" <(names "$3") && continue
            [[ "$path" != ./usr/bin/?* && "$path" != ./usr/sbin/?* ]] ||
                problem "$(basename "$d"): $path is on the users' PATH"
            [ "$owner" = root/root ] || problem "$(basename "$d"): $path owned by $owner"
            case "$mode" in
            *s* | *S* | *t | *T) problem "$(basename "$d"): $path has mode $mode" ;;
            esac
        done < <(listing "$d")
    done
    # The mode is Debian's own for a helper of the web server: nothing to override.
    if dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/lintian/overrides/korvane-helpers |
        grep -E 'non-standard-setuid-executable-perm|executable-is-not-world-readable'; then
        problem "korvane-helpers overrides lintian's tags on the mode"
    fi
    ;;
control)
    pkgdir=$2 arch=$3 triplet=$4
    for d in "$pkgdir"/*.deb; do
        base=$(basename "$d")
        package=$(dpkg-deb --field "$d" Package)
        [ "$(dpkg-deb --field "$d" Architecture)" = "$arch" ] ||
            problem "$base: architecture $(dpkg-deb --field "$d" Architecture), not $arch"
        dpkg --compare-versions "$(dpkg-deb --field "$d" Version)" gt 1.0.0-1 ||
            problem "$base: version $(dpkg-deb --field "$d" Version) is not newer than the first release"
        [[ $package == *-dbgsym ]] && continue
        multiarch=$(dpkg-deb --field "$d" Multi-Arch)
        case "$package" in korvane-helpers) want=foreign ;; *) want=same ;; esac
        [ "$multiarch" = "$want" ] || problem "$base: Multi-Arch '$multiarch', not $want"
        depends=$(dpkg-deb --field "$d" Depends)
        echo "$package: Depends: $depends"
        if [ "$package" = korvane-helpers ]; then
            # What the helpers run on every system and Essential does not
            # hold (ps), and the outside programs they start.
            grep -Eq '(^|, )procps(,|$| )' <<<"$depends" || problem "$base: no dependency on procps"
            [ "$(dpkg-deb --field "$d" Recommends)" = "ucarp, iptables, squid" ] ||
                problem "$base: Recommends '$(dpkg-deb --field "$d" Recommends)', not ucarp, iptables, squid"
        fi
        # The amd64 system's 32-bit compatibility libraries (libc6-i386,
        # lib32stdc++6, lib32gcc-s1) and the cross compilers' copies
        # (libc6-i386-cross) are not on an i386 system.
        if grep -Eq '(^|[ ,])(lib32|libx32|lib64)|-i386([ ,(]|$)|-cross([ ,(]|$)' <<<"$depends"; then
            problem "$base: depends on another architecture's compatibility packages"
        fi
        # Every library that a program or library of the package needs is
        # depended on, as the package of this architecture that holds it.
        root=$(mktemp -d "$pkgdir/control.XXXXXX")
        dpkg-deb --extract "$d" "$root"
        while read -r soname; do
            case "$soname" in
            libc.so.6 | libm.so.6) want=libc6 ;;
            libstdc++.so.6) want=libstdc++6 ;;
            libgcc_s.so.1) want=libgcc-s1 ;;
            *) problem "$base: needs $soname, which this check does not know"; continue ;;
            esac
            grep -Eq "(^|, )${want//+/\\+} \(>= " <<<"$depends" ||
                problem "$base: needs $soname, but no versioned dependency on $want"
        done < <(find "$root" -type f -exec readelf -d {} + 2>/dev/null |
                 sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort -u)
        rm -rf "$root"
        # Library files only in the multiarch directory.
        while read -r _ _ path; do
            case "$path" in
            ./usr/lib/"$triplet"/* | ./usr/lib/ | ./usr/lib/"$triplet"/ | ./usr/lib/tmpfiles.d/*) ;;
            ./usr/lib/*) problem "$base: $path is not in /usr/lib/$triplet" ;;
            esac
        done < <(listing "$d")
        case "$package" in
        libplugloader[0-9]*)
            listing "$d" | grep -Eq " \./usr/lib/$triplet/libplugloader\.so\.[0-9]+\.[0-9.]+\$" ||
                problem "$base: no library in /usr/lib/$triplet" ;;
        libplugloader-dev)
            for f in pkgconfig/plugloader.pc cmake/plugloader/plugloaderConfig.cmake libplugloader.so; do
                listing "$d" | grep -q " \./usr/lib/$triplet/$f\$" || problem "$base: no /usr/lib/$triplet/$f"
            done ;;
        esac
    done
    ;;
deliverables)
    deb=$(helpers_deb "$2") || { echo "$deb"; exit 1; }
    echo "expected: $(names "$3" | wc -l) programs"
    check_programs "$(listing "$deb")" "$3"
    doc=./usr/share/doc/korvane-helpers files=$(listing "$deb" | awk '{ print $3 }')
    for f in $doc/SECURITY.md.gz $doc/README.Debian $doc/NEWS.Debian.gz ./usr/lib/tmpfiles.d/korvane-helpers.conf; do
        grep -qxF "$f" <<<"$files" || problem "korvane-helpers has no ${f#.}"
    done
    entry=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/tmpfiles.d/korvane-helpers.conf | grep -v '^#')
    [ "$entry" = "d /run/korvane 0700 root root -" ] || problem "tmpfiles entry '$entry'"
    ;;
manpages)
    pkgdir=$2 list=$3
    root=$(realpath "$(mktemp -d "$pkgdir/unpacked.XXXXXX")")
    trap 'rm -rf "$root"' EXIT
    for d in "$pkgdir"/*.deb; do dpkg-deb --extract "$d" "$root" || problem "cannot unpack $d"; done
    man_entry() {  # SECTION NAME: the page is found, renders cleanly, names NAME
        local page out
        page=$(man -M "$root/usr/share/man" -w "$1" "$2" 2>/dev/null)
        if [ -z "$page" ] || [[ "$page" != "$root"/* ]]; then
            problem "no manual entry $2($1) in the packages"
            return
        fi
        out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || problem "$2($1) renders with warnings: $out"
        [[ "$(lexgrog "$page")" == *": \"$2 - "* ]] || problem "$2($1): the page's NAME section does not name $2"
    }
    count=0
    while read -r name; do man_entry 8 "$name"; count=$((count + 1)); done < <(names "$list")
    if compgen -G "$pkgdir/libplugloader-dev_*.deb" >/dev/null; then
        for class in ProtocolPlugin ResponderPlugin LoggingPlugin; do
            man_entry 3 "$class"; count=$((count + 1))
        done
    fi
    echo "checked $count manual entries"
    ;;
render)
    for page in "$2"/*.[0-9]; do
        out=$(groff -man -ww -z "$page" 2>&1)
        [ -z "$out" ] || problem "$(basename "$page"): $out"
        lexgrog "$page" >/dev/null || problem "$(basename "$page"): no whatis entry"
    done
    ;;
reproduce)
    # Another copy at another path, built later, under umask 077, the time
    # zone UTC+14 and the locale C.UTF-8: the changelog's time is every
    # time in the packages.
    pkgdir=$2 second=$(mktemp -d /tmp/korvane-second.XXXXXX) && trap 'rm -rf "$second"' EXIT
    export_tree "$3" "$second/a-longer-source-directory" || exit 1
    (umask 0077 && export TZ=UTC-14 LC_ALL=C.UTF-8 &&
     dpkgbuild "$second/a-longer-source-directory" "$4" -b) >"$second/log" 2>&1 ||
        { tail -30 "$second/log"; echo "FAIL: the second build failed"; exit 1; }
    diff <(cd "$pkgdir" && ls -- *.deb) <(cd "$second" && ls -- *.deb) ||
        problem "the two builds made different sets of packages"
    for d in "$pkgdir"/*.deb; do
        other=$second/$(basename "$d")
        if cmp -s "$d" "$other"; then echo "identical: $(sha256sum "$d")"; continue; fi
        problem "$(basename "$d") differs between the two builds"
        diff <(ar tv "$d"; dpkg-deb -c "$d") <(ar tv "$other"; dpkg-deb -c "$other")
    done
    ;;
userns)
    # As root of a user namespace that maps no other id (unshare -r), the
    # group www-data cannot be given: the build must stop there and say so.
    work=$(mktemp -d /tmp/korvane-userns.XXXXXX) && trap 'rm -rf "$work"' EXIT
    export_tree "$2" "$work/src" || exit 1
    if WRAP="unshare -r" dpkgbuild "$work/src" "$3" -b >"$work/log" 2>&1; then
        problem "the build in a user namespace succeeded"
    fi
    grep 'helper-modes:' "$work/log" || problem "the build gave no reason for stopping"
    ! compgen -G "$work/korvane-helpers_*.deb" >/dev/null || problem "a korvane-helpers package was made"
    ;;
crossbuild)
    out=$(bash "$testbed" crossbuild "$2" 2>&1) || { tail -30 <<<"$out"; echo "FAIL: the cross-build failed"; exit 1; }
    grep -A1 '^built: ' <<<"$out"
    grep -q '^built: korvane-helpers_.*_i386\.deb$' <<<"$out" || problem "no i386 korvane-helpers package"
    ;;
autopkgtest)
    out=$(bash "$testbed" autopkgtest "$2" 2>&1)
    status=$?
    tail -40 <<<"$out"
    [ "$status" = 0 ] || problem "autopkgtest: status $status"
    grep -Eq '^installed-helpers +PASS' <<<"$out" || problem "installed-helpers did not pass"
    ;;
deps)
    # Stand-ins for apt-get, dpkg, dpkg-query and sleep, first on PATH, log their calls and
    # answer as each row says. /usr/sbin, where deps.sh puts the policy that keeps daemons
    # from starting, is a fresh tmpfs of a private mount namespace that this action enters.
    [ "${3:-}" = --in-namespace ] ||
        exec unshare --mount --propagation private "$BASH" "$0" deps "$2" --in-namespace
    bin=$(mktemp -d) && trap 'rm -rf "$bin"' EXIT
    mount -t tmpfs tmpfs /usr/sbin || exit 1
    cat >"$bin/apt-get" <<'EOF'
#!/bin/sh
if [ "$1" = update ]; then
    read -r status rest <"$STANDIN/updates"; echo "${rest:-$status}" >"$STANDIN/updates"
    echo update >>"$STANDIN/log"; exit "$status"
fi
shift 4; /usr/sbin/policy-rc.d; echo "install:$* policy:$?" >>"$STANDIN/log"; exit "$(cat "$STANDIN/install")"
EOF
    printf '%s\n' '#!/bin/sh' 'echo sleep >>"$STANDIN/log"' >"$bin/sleep"
    printf '%s\n' '#!/bin/sh' 'echo i386' >"$bin/dpkg"
    printf '%s\n' '#!/bin/sh' 'for p; do :; done' \
        'grep -qx "$p" "$STANDIN/missing" || echo "install ok installed"' >"$bin/dpkg-query"
    chmod +x "$bin/apt-get" "$bin/sleep" "$bin/dpkg" "$bin/dpkg-query"
    # missing | update statuses | install status | status | calls | text in the output
    rows=("lintian|100 100 100|0|0|update sleep update sleep update install:lintian policy:101|could not be fetched (3 tries)"
          "lintian|100 0|0|0|update sleep update install:lintian policy:101|Installing: lintian"
          "lintian squid|0|100|1|update install:lintian squid policy:101|could not install: lintian squid"
          "|0|0|0||")
    for row in "${rows[@]}"; do
        IFS='|' read -r missing updates install want calls text <<<"$row"
        printf '%s\n' $missing >"$bin/missing"
        echo "$updates" >"$bin/updates" && echo "$install" >"$bin/install" && : >"$bin/log"
        out=$(PATH="$bin:$PATH" STANDIN=$bin bash "$2" 2>&1)
        status=$?
        echo "missing '$missing', updates $updates, install $install: status $status"
        [ "$status" = "$want" ] || problem "status $status, not $want: $out"
        [ "$(paste -sd' ' "$bin/log")" = "$calls" ] || problem "calls: $(paste -sd' ' "$bin/log"), not $calls"
        [[ "$out" == *"$text"* ]] || problem "output lacks '$text': $out"
        [ ! -e /usr/sbin/policy-rc.d ] || problem "the policy file was left behind"
    done
    ;;
*)
    echo "usage: $0 build|lintian|modes|control|deliverables|manpages|render|reproduce|userns|crossbuild|deps ..." >&2
    exit 2
    ;;
esac
exit $fail

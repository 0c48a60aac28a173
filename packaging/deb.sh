#!/usr/bin/env bash
# Builds the Debian packages zq-gps_<version>-1~deb<R>_<arch>.deb into build-deb/ (ZQ_DEB_DIR),
# for each Debian release R asked for (default: the machine's own) and each architecture in
# ZQ_DEB_ARCHES (default: amd64 arm64). Each release's packages are built against that
# release's compiler, interpreter and libraries: the machine's own release here, any other in
# a cached debootstrap chroot of it (build-chroots/<codename>-<arch>-build). arm64 is
# cross-compiled with the release's g++-aarch64-linux-gnu and its multiarch
# libpython3.X-dev:arm64. Release build with the release's hardening flags (dpkg-buildflags),
# stripped; each package is checked for those flags, and with lintian where lintian is
# installed (a chroot build always has it): an error or warning fails the build.
#
# Usage: packaging/deb.sh [RELEASE ...]       e.g. packaging/deb.sh 12 13
set -euo pipefail
source "$(dirname "$0")/common.sh"
out="${ZQ_DEB_DIR:-$repo/build-deb}"
arches=(${ZQ_DEB_ARCHES:-amd64 arm64})
releases=("$@")
this_release="$(host_release)"
[ ${#releases[@]} -gt 0 ] || releases=("$this_release")
mkdir -p "$out"

# Fails unless every ELF object in the package DEB is stripped and has full RELRO, BIND_NOW
# and the stack protector.
check_binaries() {
    local deb="$1" tmp f bad=0
    tmp="$(mktemp -d)"
    dpkg-deb -x "$deb" "$tmp"
    while IFS= read -r -d '' f; do
        LC_ALL=C readelf -h "$f" >/dev/null 2>&1 || continue
        local name="${f#"$tmp"/}" why=() elf
        # Whole outputs first: grep -q ending a pipe early would fail it under pipefail.
        elf="$(LC_ALL=C readelf -lW -dW -SW --dyn-syms "$f")"
        grep -q GNU_RELRO <<<"$elf" || why+=("no RELRO")
        grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$elf" || why+=("no BIND_NOW")
        grep -q __stack_chk_fail <<<"$elf" || why+=("no stack protector")
        grep -Eq ' \.(symtab|debug_info) ' <<<"$elf" && why+=("not stripped")
        if [ ${#why[@]} -gt 0 ]; then
            echo "deb: $(basename "$deb"): $name: ${why[*]}" >&2
            bad=1
        fi
    done < <(find "$tmp" -type f -print0)
    rm -rf "$tmp"
    return $bad
}

# lintian on DEB when installed: errors and warnings fail, and so does any hardening tag.
run_lintian() {
    local deb="$1" report
    if ! command -v lintian >/dev/null; then
        echo "deb: lintian is not installed; $(basename "$deb") not checked by it"
        return 0
    fi
    echo "== deb: lintian $(lintian --version | awk '{print $2}') on $(basename "$deb")"
    report="$(lintian --display-info --fail-on error,warning "$deb" 2>&1)" || {
        echo "$report" >&2
        echo "deb: lintian found errors or warnings in $(basename "$deb")" >&2
        return 1
    }
    [ -z "$report" ] || echo "$report"
    if grep -q 'hardening-' <<<"$report"; then
        echo "deb: lintian finds hardening missing in $(basename "$deb")" >&2
        return 1
    fi
}

# The manual pages a native build of the same sources makes (its man/ directory): a cross
# build cannot run its own tools for their --help.
native_man_pages() {
    local native="$out/build-deb$this_release-$host_arch"
    if [ ! -f "$native/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$native" -DPython3_EXECUTABLE=/usr/bin/python3 -DZQ_BUILD_TESTS=OFF \
            -DCMAKE_BUILD_TYPE=Release -DZQ_MAN_PAGES=ON >/dev/null
    fi
    cmake --build "$native" -j "$(nproc)" --target zq_man_pages >/dev/null
    echo "$native/man"
}

# Builds the package of the machine's own release for ARCH.
build_here() {
    local arch="$1" build="$out/build-deb$this_release-$1" pyver
    pyver="$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    # The manual pages are made from the tools' --help with help2man, and must be there.
    local args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DZQ_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
                -DZQ_MAN_PAGES=ON)
    local strip=strip
    need_packages cmake make g++ python3-dev python3-serial dpkg-dev file help2man
    case "$arch" in
        "$host_arch") ;;
        arm64)
            need_arm64_arch
            need_packages g++-aarch64-linux-gnu "libpython$pyver-dev:arm64" libstdc++6:arm64
            args+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake"
                   -DZQ_MAN_FROM="$(native_man_pages)")
            strip=aarch64-linux-gnu-strip ;;
        *) echo "deb: no build for $arch on $host_arch" >&2; return 2 ;;
    esac
    # Strips as Debian's own packages are stripped: debug information and symbols, and the
    # sections that only name the compiler.
    mkdir -p "$build"
    printf '#!/bin/sh\nexec %s --remove-section=.comment --remove-section=.note "$@"\n' \
        "$(command -v "$strip")" >"$build/zq-strip"
    chmod 755 "$build/zq-strip"
    args+=(-DCMAKE_STRIP="$build/zq-strip")
    # The release's flags: optimisation and debug info, stack protector, fortified functions,
    # format checks, full RELRO and immediate binding.
    local flags
    flags="$(DEB_HOST_ARCH="$arch" DEB_BUILD_PATH="$repo" DEB_BUILD_MAINT_OPTIONS=hardening=+all \
        dpkg-buildflags --export=sh)"
    eval "$flags"
    echo "== deb: Debian $this_release $arch in $build"
    cmake -S "$repo" -B "$build" "${args[@]}" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
        -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
        -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
    cmake --build "$build" -j "$(nproc)"
    # dpkg-shlibdeps reads the target architecture's libraries (multiarch) for Depends.
    (cd "$build" && DEB_HOST_ARCH="$arch" cpack -G DEB -B "$out" >/dev/null)
    rm -rf "$out/_CPack_Packages"
    local version deb
    # The version the build gave the package (1.4.0-1~deb12): its changelog's newest entry.
    version="$(sed -n '1s/^zq-gps (\([^)]*\)).*/\1/p' "$build/debian/changelog.Debian")"
    deb="$out/zq-gps_${version}_$arch.deb"
    [ -f "$deb" ] || { echo "deb: $deb was not made" >&2; return 1; }
    check_binaries "$deb"
    run_lintian "$deb"
}

# Builds the packages of release R inside its cached build chroot, by this script.
build_in_chroot() {
    local r="$1" suite dir pyver
    suite="$(codename "$r")"
    dir="$chroots/$suite-$host_arch-build"
    ensure_chroot "$dir" "$suite" "$host_arch" \
        g++,cmake,make,python3-dev,python3-serial,dpkg-dev,lintian,file,help2man,g++-aarch64-linux-gnu
    # The target's interpreter headers and C++ runtime for the cross build (multiarch).
    if [[ " ${arches[*]} " == *" arm64 "* ]] && [ ! -f "$dir/.zq-arm64-ready" ]; then
        in_chroot "$dir" <<'SH'
dpkg --add-architecture arm64
apt-get update -qq
v="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
apt-get install -y -qq "libpython$v-dev:arm64" libstdc++6:arm64 >/dev/null
SH
        $sudo touch "$dir/.zq-arm64-ready"
    fi
    echo "== deb: Debian $r ($suite) in $dir"
    mkdir -p "$out"
    ZQ_CHROOT_ENV="ZQ_DEB_DIR=/zq-out ZQ_DEB_ARCHES='${arches[*]}'" \
        in_chroot "$dir" "$repo:/zq-src" "$out:/zq-out:rw" <<SH
/zq-src/packaging/deb.sh $r
SH
}

started=$SECONDS
for r in "${releases[@]}"; do
    codename "$r" >/dev/null
    if [ "$r" = "$this_release" ]; then
        for arch in "${arches[@]}"; do build_here "$arch"; done
    else
        build_in_chroot "$r"
    fi
done

shopt -s nullglob
for r in "${releases[@]}"; do
    for deb in "$out"/zq-gps_*~deb"${r}"_*.deb; do
        printf 'deb: %s  %s bytes, %s installed KiB\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
            "$(dpkg-deb -f "$deb" Installed-Size)"
    done
done
echo "deb: done in $((SECONDS - started)) s"

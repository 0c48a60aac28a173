#!/usr/bin/env bash
# Builds the Debian packages zq-gps_<version>_amd64.deb and _arm64.deb with CPack into
# build-deb/ (ZQ_DEB_DIR): Release builds, everything under /opt/zq_gps, tools included.
# Run as root on an amd64 host, it also installs the host's package with dpkg, imports
# zq_gps from /opt/zq_gps and removes the package again, unless /opt/zq_gps is already in use.
#
# Usage: packaging/deb.sh [amd64] [arm64]     (default: both)
set -euo pipefail
source "$(dirname "$0")/common.sh"
out="${ZQ_DEB_DIR:-$repo/build-deb}"
host_arch="$(dpkg --print-architecture)"
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 arm64)

need_packages cmake make g++ python3-dev python3-serial
mkdir -p "$out"
for arch in "${arches[@]}"; do
    args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DZQ_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release)
    case "$arch" in
        "$host_arch") ;;
        arm64)
            need_arm64_arch
            need_packages g++-aarch64-linux-gnu libpython3.11-dev:arm64
            args+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake") ;;
        *) echo "deb: no build for $arch on $host_arch" >&2; exit 2 ;;
    esac
    build="$out/$arch"
    echo "== deb: $arch in $build"
    cmake -S "$repo" -B "$build" "${args[@]}" >/dev/null
    cmake --build "$build" -j "$(nproc)"
    (cd "$build" && cpack -G DEB -B "$out" >/dev/null)
    rm -rf "$out/_CPack_Packages"
done

shopt -s nullglob
for deb in "$out"/*.deb; do
    printf '%s  %s bytes, %s installed KiB\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)"
done

# Smoke test of the real thing: install, import as a host does, remove.
deb="$(echo "$out"/zq-gps_*_"$host_arch".deb)"
if [ "$(id -u)" -eq 0 ] && [ -f "$deb" ] && [ -z "${ZQ_DEB_NO_INSTALL:-}" ]; then
    if [ -e /opt/zq_gps ] || dpkg-query -W zq-gps >/dev/null 2>&1; then
        echo "deb: /opt/zq_gps is in use; not installing $deb to try it"
    else
        echo "== deb: dpkg -i $(basename "$deb"), import from /opt/zq_gps, dpkg --purge"
        dpkg -i "$deb" >/dev/null
        status=0
        (cd / && ROOT_PATH=/opt/zq_gps PYTHONPATH=/opt/zq_gps /usr/bin/python3 -c '
import zq_gps
from libs.pyubx2 import SET, UBXMessage
assert zq_gps.version == "1.4.0"
assert UBXMessage(6, 0x11, SET, lpMode=0).serialize().hex() == "b5620611020008002191"
print("deb: zq_gps", zq_gps.version, "imports from", zq_gps.__file__)') || status=$?
        [ -x /opt/zq_gps/tools/zq-sim ] || { echo "deb: zq-sim missing" >&2; status=1; }
        dpkg --purge zq-gps >/dev/null 2>&1
        if [ -e /opt/zq_gps ]; then echo "deb: /opt/zq_gps left after purge" >&2; status=1; fi
        exit $status
    fi
fi

#!/usr/bin/env bash
# Cross-builds zq_gps for AArch64 and runs the Python test suites on that build inside an arm64
# Debian userland under qemu user emulation (binfmt_misc + chroot).
#
# Usage: packaging/arm64-check.sh [pytest path or option ...]
#   default paths: tests/setup tests/codec tests/receiver tests/logger tests/tools
# Everything lands under build-arm64/ (ZQ_ARM64_DIR): build/ the cross build, rootfs/ the
# userland (made once, reused while its stamp is there). Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "$0")/common.sh"
out="${ZQ_ARM64_DIR:-$repo/build-arm64}"
build="$out/build"
rootfs="$out/rootfs"
suite="bookworm"
started=$SECONDS
if [ $# -gt 0 ]; then tests=("$@"); else
    tests=(tests/setup tests/codec tests/receiver tests/logger tests/tools)
fi
step() { printf '\n== arm64-check: %s (%ds)\n' "$*" $((SECONDS - started)); }

step "host packages"
need_arm64_arch
need_packages cmake make g++-aarch64-linux-gnu libpython3.11-dev:arm64 qemu-user-static debootstrap

step "cross build in $build"
cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
    -DPython3_EXECUTABLE=/usr/bin/python3 -DZQ_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
for so in "$build"/root/zq_gps.cpython-311-aarch64-linux-gnu.so \
          "$build"/root/libs/pyubx2.cpython-311-aarch64-linux-gnu.so; do
    if ! LC_ALL=C readelf -h "$so" | grep -q 'Machine:.*AArch64'; then
        echo "arm64-check: $so is not an AArch64 object" >&2
        exit 1
    fi
done

step "qemu user emulation (binfmt_misc)"
qemu=/usr/bin/qemu-aarch64-static
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    # AArch64 ELF executables; F opens the emulator now, so it need not exist inside the chroot.
    magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-aarch64:M::$magic:$mask:$qemu:F" | $sudo tee "$binfmt/register" >/dev/null
fi
grep -q '^enabled' "$binfmt/qemu-aarch64"

step "arm64 $suite userland in $rootfs"
stamp="$rootfs/.zq-userland-ready"
if [ ! -f "$stamp" ]; then
    mirror="${ZQ_DEBIAN_MIRROR:-$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' |
        awk -v s="$suite" '$2 == s { print $1; exit }')}"
    [ -n "$mirror" ] || { echo "arm64-check: no $suite source in apt's lists" >&2; exit 1; }
    $sudo rm -rf "$rootfs"
    $sudo debootstrap --arch=arm64 --foreign --variant=minbase \
        --include=python3,python3-serial,python3-pytest,python3-hypothesis \
        "$suite" "$rootfs" "$mirror"
    $sudo cp "$qemu" "$rootfs/usr/bin/"
    $sudo chroot "$rootfs" /debootstrap/debootstrap --second-stage
    $sudo touch "$stamp"
fi

step "copy the build and the tests into the userland"
work="$rootfs/zq"
$sudo rm -rf "$work"
$sudo mkdir -p "$work/build"
# The sources as the tests see them in a checkout (some load libs/*.py or tools/ directly).
tar -C "$repo" --exclude=./.git --exclude='./build*' --exclude=__pycache__ --exclude=./logs -cf - . |
    $sudo tar -C "$work" -xf -
$sudo cp -a "$build/root" "$work/build/"
if [ -d "$build/tools" ]; then
    $sudo mkdir -p "$work/build/tools"
    $sudo find "$build/tools" -maxdepth 1 -type f -perm -u+x -exec cp -a {} "$work/build/tools/" \;
fi
$sudo find "$work" -name __pycache__ -prune -exec rm -rf {} +

step "the arm64 package, installed with dpkg in the userland"
rm -rf "$out/deb"
(cd "$build" && cpack -G DEB -B "$out/deb" >/dev/null)
rm -rf "$out/deb/_CPack_Packages"
deb="$(echo "$out"/deb/zq-gps_*_arm64.deb)"
$sudo cp "$deb" "$rootfs/tmp.zq-gps.deb"

# Runs a shell script (stdin) as root inside the userland, in a private mount namespace:
# /proc and /dev (ptys) for the chroot vanish with it.
in_userland() {
    $sudo tee "$rootfs/zq-run.sh" >/dev/null
    $sudo unshare --mount --propagation private -- /bin/sh -c "
        mount -t proc proc '$rootfs/proc' &&
        mount --rbind /dev '$rootfs/dev' &&
        mount -t tmpfs tmpfs '$rootfs/tmp' &&
        exec chroot '$rootfs' /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 /bin/sh -e /zq-run.sh"
}
status=0
in_userland <<'SH' || status=$?
dpkg -i /tmp.zq-gps.deb >/dev/null
cd /
ROOT_PATH=/opt/zq_gps PYTHONPATH=/opt/zq_gps python3 -c '
import platform, zq_gps
from libs.pyubx2 import SET, UBXMessage
assert zq_gps.version == "1.4.0"
assert UBXMessage(6, 0x11, SET, lpMode=0).serialize().hex() == "b5620611020008002191"
print("arm64-check: the package imports on", platform.machine(), "from", zq_gps.__file__)'
/opt/zq_gps/tools/zq-sim --help >/dev/null
dpkg --purge zq-gps >/dev/null 2>&1
test ! -e /opt/zq_gps
SH
$sudo rm -f "$rootfs/tmp.zq-gps.deb"

step "pytest under emulation: ${tests[*]}"
tstart=$SECONDS
{ echo "cd /zq"; printf 'exec python3 -m pytest -q -p no:cacheprovider'; printf ' %q' "${tests[@]}"; echo; } |
    in_userland || status=$?
echo "arm64-check: pytest took $((SECONDS - tstart)) s under emulation"
step "done, exit status $status"
exit $status

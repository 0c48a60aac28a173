#!/usr/bin/env bash
# The packages on the systems they are for. For each Debian release (RELEASES, default 12 13)
# and architecture (ARCHES, default amd64 arm64): a minimal userland of that release made with
# debootstrap (cached in build-chroots/<codename>-<arch>-test; arm64 entered through qemu user
# emulation and binfmt_misc), the release's package installed there with apt so that its
# Depends come from that release's archive, the commands on PATH and the udev rule tried, and
# the pytest suites (SUITES) run against the installed tree /opt/zq_gps, the end-to-end tests
# on pseudo-terminals included. Every run works on a throw-away layer over the cached userland,
# which stays as debootstrap and apt made it. The packages are (re)built first by deb.sh.
#
# Usage: packaging/platform-check.sh [pytest path or option ...]    (default: $SUITES)
#   env: RELEASES, ARCHES, SUITES, ZQ_CHROOT_DIR, ZQ_DEB_DIR, ZQ_DEBIAN_MIRROR
# Exits non-zero when anything fails on any release or architecture; a table of the results
# and their times ends the output.
set -euo pipefail
source "$(dirname "$0")/common.sh"
# The suites run on every platform: module frame, receiver, codec, logger and tools.
SUITES="${SUITES:-tests/setup tests/codec tests/receiver tests/logger tests/tools}"
read -r -a releases <<<"${RELEASES:-12 13}"
read -r -a arches <<<"${ARCHES:-amd64 arm64}"
if [ $# -gt 0 ]; then tests=("$@"); else read -r -a tests <<<"$SUITES"; fi
debs="${ZQ_DEB_DIR:-$repo/build-deb}"
started=$SECONDS
step() { printf '\n== platform-check: %s (%ds)\n' "$*" $((SECONDS - started)); }

step "packages for Debian ${releases[*]}, ${arches[*]}"
ZQ_DEB_DIR="$debs" ZQ_DEB_ARCHES="${arches[*]}" "$repo/packaging/deb.sh" "${releases[@]}"
for a in "${arches[@]}"; do
    [ "$a" = "$host_arch" ] || need_qemu_aarch64
done

# The sources as the tests see them in a checkout (some load tools/ or fuzz/ directly), without
# builds, packages or userlands.
src="$(mktemp -d)"
trap '$sudo rm -rf "$src"' EXIT
tar -C "$repo" --exclude=./.git --exclude='./build*' --exclude=__pycache__ --exclude=./logs \
    --exclude=.hypothesis --exclude=.pytest_cache -cf - . | tar -C "$src" -xf -

results=()
status=0
for r in "${releases[@]}"; do
    suite="$(codename "$r")"
    for arch in "${arches[@]}"; do
        t0=$SECONDS
        step "Debian $r ($suite) $arch"
        deb="$(ls "$debs"/zq-gps_*~deb"${r}"_"$arch".deb 2>/dev/null | tail -n 1)"
        if [ -z "$deb" ]; then
            echo "platform-check: no package for Debian $r $arch in $debs" >&2
            results+=("$r $arch FAILED (no package) $((SECONDS - t0))s")
            status=1
            continue
        fi
        dir="$chroots/$suite-$arch-test"
        ensure_chroot "$dir" "$suite" "$arch" python3,python3-pytest,python3-hypothesis,udev
        # Current package lists, kept in the cache: the package's Depends come from them.
        echo "apt-get update -qq" | in_chroot "$dir"
        tsetup=$SECONDS
        one=0
        ZQ_THROWAWAY=1 ZQ_CHROOT_ENV="ZQ_DEB=$(basename "$deb") ZQ_ARCH=$arch" \
            in_chroot "$dir" "$(dirname "$deb"):/zq-debs" "$src:/zq-src" <<SH || one=$?
$(cat "$repo/packaging/platform-check-inside.sh")
run_suites $(printf ' %q' "${tests[@]}")
SH
        if [ $one -eq 0 ]; then
            results+=("$r $arch passed $((SECONDS - t0))s (suites and checks $((SECONDS - tsetup))s)")
        else
            results+=("$r $arch FAILED $((SECONDS - t0))s")
            status=1
        fi
    done
done

step "done"
printf 'platform-check: Debian %s\n' "${results[@]}"
exit $status

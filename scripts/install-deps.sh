#!/usr/bin/env bash
# Installs, from Debian's archive and only when missing, what the build needs: with --demo the
# lean set that builds and runs the demo (compiler, cmake, Python headers, pyserial), otherwise
# that plus the test toolchain (pytest, Hypothesis, mypy, GoogleTest, clang for the fuzzers,
# dpkg-dev for the package tests, help2man for the manual pages the package tests check, and the
# peer programs the hub is tested against).
# Usage: scripts/install-deps.sh [--demo] [--list] [extra-package ...]
#   --list prints the set (one package a line) instead of installing it.
set -euo pipefail

demo=(g++ cmake make python3 python3-dev python3-serial)
set_name=test
list=""
while [ $# -gt 0 ]; do
    case "$1" in
        --demo) set_name=demo; shift ;;
        --list) list=1; shift ;;
        *) break ;;
    esac
done
packages=("${demo[@]}")
if [ "$set_name" = test ]; then
    # The fuzzers' runtime is versioned with the release's clang (14 on Debian 12, 19 on 13).
    clang_version="$(apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)"
    packages+=(
        pkg-config dpkg-dev file help2man
        python3-pytest python3-hypothesis python3-mypy
        googletest libgtest-dev libgmock-dev
        clang "libclang-rt-${clang_version:-14}-dev"
        # The peers the hub is checked against: gpsd and its clients, chrony, RTKLIB's caster,
        # tmux for the full-screen viewers.
        gpsd gpsd-clients python3-gps chrony rtklib pps-tools tmux
    )
fi
packages+=("$@")

if [ -n "$list" ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"

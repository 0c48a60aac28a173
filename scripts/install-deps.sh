#!/usr/bin/env bash
# Installs, from Debian's archive and only when missing, what the build and the tests need.
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    python3 python3-dev python3-serial python3-pytest python3-hypothesis python3-mypy
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    "$@"
)

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
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# The platform check (platform-check.sh) for arm64 on the machine's own Debian release: the
# cross-built package installed with apt in an arm64 userland of that release, entered through
# qemu user emulation, and the suites run there.
# Usage: packaging/arm64-check.sh [pytest path or option ...]
set -euo pipefail
source "$(dirname "$0")/common.sh"
RELEASES="${RELEASES:-$(host_release)}" ARCHES=arm64 exec "$repo/packaging/platform-check.sh" "$@"

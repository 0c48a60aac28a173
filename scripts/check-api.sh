#!/usr/bin/env bash
# The API's two guards, run by `make test`:
#  1. mypy's stubtest: the type stubs (zq_gps.pyi, zq_hub.pyi, libs/pyubx2.pyi) against the built modules
#     in the staged root (build/root, or $ZQ_BUILD/root);
#  2. docs/API.md is what docs/gen_api.py renders from the stubs now.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
root="${ZQ_BUILD:-$repo/build}/root"
status=0

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# From the staged root, so that `libs` is the staged package with its extension; the import's
# log directory goes to a temporary ROOT_PATH.
if ! (cd "$root" && ROOT_PATH="$work" PYTHONDONTWRITEBYTECODE=1 \
        /usr/bin/python3 -m mypy.stubtest --mypy-config-file "$repo/scripts/stubtest-mypy.ini" \
        --allowlist "$repo/scripts/stubtest-allowlist.txt" zq_gps zq_hub libs.pyubx2); then
    echo "check-api: the stubs disagree with the modules built in $root" >&2
    status=1
fi
if ! /usr/bin/python3 "$repo/docs/gen_api.py" --check; then
    status=1
fi
if [ $status -eq 0 ]; then echo "check-api: stubs match the modules, docs/API.md is current"; fi
exit $status

#!/usr/bin/env bash
# The test suite again, on a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DZQ_SANITIZE=ON, build directory build-asan/): the GoogleTest suites through ctest, then
# pytest with our extension modules loaded into Debian's /usr/bin/python3.
#
# How the interpreter is run:
#  - LD_PRELOAD puts gcc's libasan and libubsan first in every process the tests start; the
#    uninstrumented interpreter cannot load an instrumented extension otherwise.
#  - PYTHONMALLOC=malloc: CPython's small-object allocator carves objects out of mmap'd arenas
#    that LeakSanitizer neither tracks nor reports, so a leaked object (a missing Py_DECREF)
#    would be invisible. With plain malloc every object is one block that ASan watches for
#    overflows, use after free and leaks.
#  - Leaks are detected (detect_leaks=1) with scripts/lsan-suppressions.txt, which names only
#    programs that are not ours (see the file for why it never names the interpreter).
#  - Every report goes to a log file per process (log_path) as well as failing that process:
#    ASan stops at the first error, UBSan errors abort (-fno-sanitize-recover=all, plus
#    halt_on_error here), leaks give exit status 23. Reports from child processes (simulator,
#    tools, host subprocesses) whose status a test may not look at are caught by the log
#    check at the end: any report file fails the run.
#
# Not run here: tests/target (install tree and Debian package: file layout, no code paths of
# their own; their host subprocesses start with a scrubbed environment that cannot carry the
# preloaded runtime), tests/bench (smoke runs of the benchmarks) and the API stub check (a
# static comparison).
#
# Then the Python surface and tools fuzz targets run for ZQ_FUZZ_SECONDS (default 60) each.
#
# Usage: scripts/test-sanitize.sh [pytest args...]   (default: the whole of tests/ but target/)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
build="$repo/build-asan"
python=/usr/bin/python3
jobs="${JOBS:-$(nproc)}"

scripts/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DPython3_EXECUTABLE="$python" -DZQ_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$jobs"

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:print_stacktrace=1:log_path=$reports/report:log_exe_name=1"
export ASAN_OPTIONS="$common:detect_leaks=1:exitcode=23:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$repo/scripts/lsan-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="$common"

status=0
echo "== ctest (sanitized)"
(cd "$build" && ctest --output-on-failure -j "$jobs") || status=1

echo "== pytest (sanitized interpreter run)"
libasan="$(g++ -print-file-name=libasan.so)"
libubsan="$(g++ -print-file-name=libubsan.so)"
for lib in "$libasan" "$libubsan"; do
    [ -f "$lib" ] || { echo "test-sanitize: $lib not found" >&2; exit 1; }
done
args=("$@")
# Not tests/bench either: the benchmarks' smoke runs compile and time things (their figures
# mean nothing under the sanitizer); the hub's code they run is tested in tests/hub.
[ ${#args[@]} -gt 0 ] || args=(-q tests --ignore=tests/target --ignore=tests/bench)
LD_PRELOAD="$libasan $libubsan" PYTHONMALLOC=malloc ZQ_ROOT="$build/root" ZQ_BUILD="$build" \
    "$python" -m pytest "${args[@]}" || status=1

# The Python surface fuzz targets for a bounded time each on the same build (fuzz/run.sh);
# ZQ_FUZZ_SECONDS=0 leaves them out.
fuzz_seconds="${ZQ_FUZZ_SECONDS:-60}"
if [ "$fuzz_seconds" -gt 0 ]; then
    echo "== fuzz (sanitized, ${fuzz_seconds}s per Python surface and tools target)"
    FUZZ_TARGETS="py-module py-codec py-import tools-dump tools-config tools-fifo" \
        ZQ_BUILD="$build" fuzz/run.sh "$fuzz_seconds" ||
        status=1
fi

if compgen -G "$reports/report*" >/dev/null; then
    echo "test-sanitize: sanitizer reports:" >&2
    for f in "$reports"/report*; do
        echo "---- $f" >&2
        cat "$f" >&2
    done
    status=1
fi
if [ $status -eq 0 ]; then echo "test-sanitize: no sanitizer report, all tests passed"; fi
exit $status

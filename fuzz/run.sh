#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each, one after the other, for SECONDS
# (default 60):
#   ubx     scanner and decoder on arbitrary bytes in arbitrary chunking   (fuzz_ubx.cpp)
#   build   the builder from arbitrary field names, values and modes        (fuzz_build.cpp)
#   reader  libs.pyubx2's UBXReader and UBXMessage seen from Python, in an
#           embedded interpreter                                           (fuzz_reader.cpp)
# and the Python surface, by Hypothesis over forked hosts (fuzz_surface.py), on the staged
# build ($ZQ_BUILD, default build/; a build configured with ZQ_SANITIZE runs under ASan/UBSan):
#   py-module  zq_gps: receiver, zq_error, module names replaced by hostile stand-ins
#   py-codec   libs.pyubx2: UBXReader over hostile streams, UBXMessage, messages
#   py-import  import zq_gps with broken libs stand-ins, odd ROOT_PATH, patched os/sys/datetime
#   py-hub     py-module plus zq_hub: every Hub method, from several threads, hubs closed under
#              waiting programs
# and the tools, each run a process of its own (fuzz_tools.py), on $ZQ_BUILD's binaries:
#   tools-dump    ubxdump over mutated recordings, from a file and from a line
#   tools-config  ubxconfig against a line answering garbage, random frames or nothing
#   tools-fifo    zq-sim's control FIFO fed random lines
# Usage: fuzz/run.sh [SECONDS]     env: FUZZ_TARGETS="ubx build reader py-module py-codec
#        py-import py-hub tools-dump tools-config tools-fifo", FUZZ_JOBS (default 1)
# Build, corpora, logs and crash artifacts go to build-fuzz/ at the repository root. Seeds: the
# recorded receiver streams, a few seconds of zq-sim output when the simulator is built, and the
# inputs in fuzz/regressions/ (named <target>-..., unprefixed ones belong to ubx). The py-*
# targets keep their Hypothesis database and findings (JSON programs) in build-fuzz/surface/;
# a finding is kept as a regression in fuzz/surface-regressions/, replayed by the test suite.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
out="$repo/build-fuzz"
cxx="${CXX_FUZZ:-clang++-14}"
targets="${FUZZ_TARGETS:-ubx build reader py-module py-codec py-import py-hub tools-dump tools-config tools-fifo}"
flags=(-std=c++20 -O1 -g -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -I "$repo/libs/ubx/include" -I "$repo/libs/ubx/src")
core=("$repo"/libs/ubx/src/*.cpp)
version="$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")"
# Largest input per target: small inputs keep each execution cheap (>= 1000 a second here).
declare -A max_len=([ubx]=4096 [build]=512 [reader]=512)

mkdir -p "$out/artifacts"

build() {
    case "$1" in
        ubx | build) "$cxx" "${flags[@]}" "$here/fuzz_$1.cpp" "${core[@]}" -o "$out/fuzz_$1" ;;
        reader)
            # The binding's source is linked in and registered as a built-in module, so the
            # whole Python-facing path carries the fuzzer's instrumentation.
            # shellcheck disable=SC2046
            "$cxx" "${flags[@]}" -I "$repo/common" $(/usr/bin/python3-config --includes) \
                -DZQ_FUZZ_DIR="\"$here\"" -DZQ_VERSION="\"$version\"" "$here/fuzz_reader.cpp" "$repo"/libs/pyubx2/*.cpp \
                "${core[@]}" $(/usr/bin/python3-config --ldflags --embed) -o "$out/fuzz_reader" ;;
        *) echo "fuzz: unknown target $1" >&2; exit 2 ;;
    esac
}

# A few seconds of the simulated receiver's line: NAV-PVT, NMEA and its noise.
sim_seed() {
    local sim="${ZQ_BUILD:-$repo/build}/tools/zq-sim" dir
    [ -x "$sim" ] || return 0
    [ -s "$out/sim-recording.bin" ] && return 0
    dir="$(mktemp -d)"
    "$sim" --quiet --link "$dir/tty" --truth /dev/null --rate 10 --noise 40 --bad-checksum-every 5 \
        --duration 4 --paused &
    local pid=$!
    /usr/bin/python3 - "$dir/tty" "$out/sim-recording.bin" <<'EOF' || true
import os, sys, time, serial
link, dest = sys.argv[1:]
deadline = time.monotonic() + 5
while not os.path.exists(link + ".ctl") and time.monotonic() < deadline:
    time.sleep(0.01)
port = serial.Serial(link, 9600, timeout=0.2)
with open(link + ".ctl", "w") as ctl:
    ctl.write("resume\n")
data = b""
end = time.monotonic() + 3
while time.monotonic() < end:
    data += port.read(65536)
open(dest, "wb").write(data)
EOF
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$dir"
}

seed() {
    local target="$1" corpus="$2" f
    mkdir -p "$corpus"
    local streams=("$repo"/tests/captures/*.log)
    [ -s "$out/sim-recording.bin" ] && streams+=("$out/sim-recording.bin")
    # Seeds of a recording whole were longer than the fuzzer takes; cut into pieces that fit.
    rm -f "$corpus"/seed-*.log "$corpus"/seed-sim-recording.bin
    local piece=$(( ${max_len[$target]} - 1 ))
    for f in "${streams[@]}"; do
        # byte 0 picks the chunking (ubx, reader); the builder reads the stream as field data
        local size k=0
        size=$(stat -c %s "$f")
        while [ $(( k * piece )) -lt "$size" ] && [ $k -lt 8 ]; do
            local name="$corpus/seed-$(basename "$f")-$k"
            [ -e "$name" ] || { printf '\x07'; dd if="$f" bs="$piece" skip="$k" count=1 2>/dev/null; } > "$name"
            k=$(( k + 1 ))
        done
    done
    for f in "$here"/regressions/*; do
        [ -e "$f" ] || continue
        case "$(basename "$f")" in
            build-* | reader-*) [[ "$(basename "$f")" == "$target"-* ]] || continue ;;
            *) [ "$target" = ubx ] || [ "$target" = reader ] || continue ;;
        esac
        cp -n "$f" "$corpus/" 2>/dev/null || true
    done
}

# The Python surface and tools targets: no clang build, the staged root and tools of an
# ordinary CMake build.
py_fuzz() {
    local target="$1" build="${ZQ_BUILD:-$repo/build}" env=()
    [ -d "$build/root" ] || { echo "fuzz: no staged root in $build, build first" >&2; return 1; }
    if grep -qs '^ZQ_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
        local reports="$out/surface/sanitizer-reports-$target"
        rm -rf "$reports"
        mkdir -p "$reports"
        local common="halt_on_error=1:print_stacktrace=1:log_path=$reports/report:log_exe_name=1"
        # Leaks are not looked for: every host ends with os._exit, mid-way through its work.
        env=(LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
             PYTHONMALLOC=malloc UBSAN_OPTIONS="$common"
             ASAN_OPTIONS="$common:detect_leaks=0:exitcode=23:allocator_may_return_null=1:max_allocation_size_mb=4096")
    fi
    local command=("$here/fuzz_surface.py" run "${target#py-}" "$seconds" --out "$out/surface")
    [[ "$target" == tools-* ]] &&
        command=("$here/fuzz_tools.py" "${target#tools-}" "$seconds" --out "$out/tools")
    echo "== fuzz $target for ${seconds}s on $build (log: $out/fuzz_$target.log)"
    if ! env "${env[@]}" ZQ_BUILD="$build" ZQ_ROOT="$build/root" nice -n "${FUZZ_NICE:-19}" \
            /usr/bin/python3 "${command[@]}" > "$out/fuzz_$target.log" 2>&1; then
        echo "fuzz $target: FAILED, see $out/fuzz_$target.log and $out/surface/" >&2
        tail -40 "$out/fuzz_$target.log" >&2
        return 1
    fi
    if compgen -G "$out/surface/sanitizer-reports-$target/report*" >/dev/null; then
        echo "fuzz $target: sanitizer reports in $out/surface/sanitizer-reports-$target/" >&2
        cat "$out/surface/sanitizer-reports-$target"/report* | head -80 >&2
        return 1
    fi
    tail -1 "$out/fuzz_$target.log"
}

case " $targets " in *" ubx "* | *" build "* | *" reader "*) sim_seed ;; esac
status=0
for t in $targets; do
    if [[ "$t" == py-* || "$t" == tools-* ]]; then
        py_fuzz "$t" || status=1
        continue
    fi
    build "$t"
    corpus="$out/corpus-$t"
    # the first corpus of the ubx target lived in build-fuzz/corpus
    [ "$t" = ubx ] && [ -d "$out/corpus" ] && [ ! -d "$corpus" ] && mv "$out/corpus" "$corpus"
    seed "$t" "$corpus"
    extra=(-max_len="${max_len[$t]}")
    case "$t" in
        ubx) extra+=(-dict="$here/ubx.dict") ;;
        build) extra+=(-use_value_profile=1) ;;
        reader) extra+=(-dict="$here/ubx.dict") ;;
    esac
    echo "== fuzz_$t for ${seconds}s (log: $out/fuzz_$t.log)"
    if ! (cd "$out" && "./fuzz_$t" -max_total_time="$seconds" "${extra[@]}" \
            -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 "$corpus" \
            > "$out/fuzz_$t.log" 2>&1); then
        echo "fuzz_$t: FAILED, see $out/fuzz_$t.log and $out/artifacts/" >&2
        tail -40 "$out/fuzz_$t.log" >&2
        status=1
    fi
    grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$out/fuzz_$t.log" | tail -1 || true
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz_$t.log")"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/fuzz_$t.log")"
    echo "fuzz_$t: ${runs:-?} executions in ${seconds} s, ${rate:-?} exec/s (inputs up to ${max_len[$t]} bytes)"
done
exit $status

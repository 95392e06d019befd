#!/usr/bin/env bash
# Hostile-input checks: every fuzz target for a bounded time plus the replay
# of its corpus and regression inputs, the concurrency tests under
# ThreadSanitizer, and Valgrind memcheck over the scripted-host tests of the
# three protocols. Prints each stage's duration; exits non-zero on the first
# failing stage.
#
#   scripts/test-hardening.sh              all stages, 60 s per fuzz target
#   FUZZ_SECONDS=1800 scripts/test-hardening.sh fuzz    one stage, longer runs
#   VALGRIND_BUILD_DIR=build/default ...          reuse an existing build without sanitizers
#
# Stages: tools fuzz tsan valgrind (default: all of them).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
JOBS="${JOBS:-2}"
TARGETS=(ymsg_relay oscar_relay msn_relay containers oscar_frame ymsg_fields proxy_header capture)
STAGES=("$@")
[ ${#STAGES[@]} -eq 0 ] && STAGES=(tools fuzz tsan valgrind)

stage_start=0
begin() { stage_start=$(date +%s); echo "=== $1"; }
finish() { echo "=== $1 done in $(( $(date +%s) - stage_start )) s"; }

tools() {
    begin tools
    local missing=()
    command -v clang++ >/dev/null || missing+=(clang)
    command -v valgrind >/dev/null || missing+=(valgrind)
    command -v ninja >/dev/null || missing+=(ninja-build)
    command -v cmake >/dev/null || missing+=(cmake)
    pkg-config --exists libpcap 2>/dev/null || missing+=(libpcap-dev pkg-config)
    [ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || [ -e /usr/lib/libgtest.a ] || missing+=(libgtest-dev libgmock-dev)
    # libFuzzer ships with clang's runtime libraries.
    if command -v clang++ >/dev/null && ! ls "$(clang++ -print-resource-dir)"/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
        missing+=("libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev")
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
    finish tools
}

fuzz() {
    begin "fuzz build"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j"$JOBS"
    finish "fuzz build"

    local work="$ROOT/build/fuzz/work"
    mkdir -p "$work"
    printf '%-12s %10s %8s %s\n' target execs exec/s result
    local failed=0
    for t in "${TARGETS[@]}"; do
        begin "fuzz $t (${FUZZ_SECONDS} s)"
        mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
        local inputs=("$ROOT/fuzz/corpus/$t")
        [ -d "$ROOT/fuzz/regression/$t" ] && inputs+=("$ROOT/fuzz/regression/$t")
        # New units go to the scratch corpus (the first folder); the
        # committed folders are only read.
        local rc=0
        "$ROOT/build/fuzz/fuzz/fuzz_$t" "$work/$t/corpus" "${inputs[@]}" \
            -max_total_time="$FUZZ_SECONDS" -max_len=70000 -timeout=25 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" >"$work/$t/log.txt" 2>&1 || rc=$?
        local execs
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log.txt" | tail -1)
        execs=${execs:-0}
        if [ "$rc" -eq 0 ]; then
            printf '%-12s %10s %8s %s\n' "$t" "$execs" "$(( execs / FUZZ_SECONDS ))" ok
        else
            printf '%-12s %10s %8s %s\n' "$t" "$execs" "$(( execs / FUZZ_SECONDS ))" FAILED
            tail -40 "$work/$t/log.txt"
            echo "crashing input(s) in $work/$t/artifacts/: copy them into fuzz/regression/$t/ once fixed"
            failed=1
        fi
        finish "fuzz $t"
    done
    [ "$failed" -eq 0 ] || return 1

    begin "corpus replay"
    ctest --preset fuzz -j"$JOBS"
    finish "corpus replay"
}

tsan() {
    begin "tsan build"
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j"$JOBS" --target qmx_hardening_tests
    finish "tsan build"
    begin "tsan concurrency tests"
    # ThreadSanitizer cannot map its shadow memory under the largest address
    # randomisation some kernels use; running without it is always safe.
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        setarch "$(uname -m)" -R ctest --preset tsan -j"$JOBS"
    else
        ctest --preset tsan -j"$JOBS"
    fi
    finish "tsan concurrency tests"
}

valgrind_stage() {
    begin "valgrind build"
    # Any build without sanitizers serves (VALGRIND_BUILD_DIR=build/default
    # reuses the Release build); by default it gets a folder of its own.
    local dir="${VALGRIND_BUILD_DIR:-build/valgrind}"
    [ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMX_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j"$JOBS" --target qmx_ymsg_tests qmx_oscar_tests qmx_msn_tests
    finish "valgrind build"
    begin "valgrind memcheck"
    # One process per test, as ctest runs them (the callback caches are
    # process-wide).
    local list
    list=$(mktemp)
    for p in ymsg oscar msn; do
        local bin="$dir/tests/qmx_${p}_tests"
        # The pure decoder suites have fuzzers of their own; memcheck runs
        # the tests that drive instances through the scripted host.
        "$bin" --gtest_list_tests | awk -v bin="$bin" '
            /^[^ ]/ { suite = $1 }
            /^  / && suite !~ /^(YmsgPacket|OscarDecode|OscarFraming|MsnText|MsnHeaderLines)\./ { print bin " " suite $1 }' >>"$list"
    done
    echo "$(wc -l <"$list") tests"
    local rc=0
    xargs -P "$JOBS" -L 1 sh -c '
        out=$(valgrind -q --error-exitcode=99 --leak-check=full \
              --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
              "$0" --gtest_filter="$1" --gtest_brief=1 2>&1) || { echo "FAILED under valgrind: $1"; echo "$out"; exit 255; }
    ' <"$list" || rc=$?
    rm -f "$list"
    [ "$rc" -eq 0 ] || return 1
    finish "valgrind memcheck"
}

total_start=$(date +%s)
for s in "${STAGES[@]}"; do
    case "$s" in
    tools) tools ;;
    fuzz) fuzz ;;
    tsan) tsan ;;
    valgrind) valgrind_stage ;;
    *) echo "unknown stage $s" >&2; exit 2 ;;
    esac
done
echo "=== hardening done in $(( $(date +%s) - total_start )) s"

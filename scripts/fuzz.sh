#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each over its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "${dir}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_FUZZ=ON \
    -DNIMBO_BUILD_TESTS=OFF -DNIMBO_BUILD_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "${dir}" -j "$(nproc)"
# Qt has no frame pointers: unwind slowly so that leak suppressions see the whole stack.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:fast_unwind_on_malloc=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0"
for fuzzer in "${dir}"/tests/fuzz/fuzz_*; do
    name=$(basename "${fuzzer}")
    seeds="tests/data/fuzz/${name}"
    work=$(mktemp -d)
    echo "=== ${name}: ${seconds} s"
    # New inputs go to a scratch folder; the checked-in seeds are only read.
    if ! "${fuzzer}" -max_total_time="${seconds}" "${work}" "${seeds}" > "${work}.log" 2>&1; then
        cat "${work}.log"
        echo "=== ${name} found a fault"
        exit 1
    fi
    tail -n 2 "${work}.log"
    rm -rf "${work}" "${work}.log"
done
echo "=== fuzzers ran clean"

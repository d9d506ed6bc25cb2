#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build; then the core's tests once more in a
# ThreadSanitizer build; then builds the libFuzzer targets and runs each for a few seconds. Any
# failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${SKIP_DEPS:-0}" != "1" ]; then
    ./scripts/install-deps.sh
fi

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
# intercept_tls_get_addr=0 (both sanitizers): this toolchain's runtimes guess the size of a dynamic
# TLS block from the 16 bytes before it, which glibc no longer fills, whenever the block happens to
# start 16 bytes into a page. LeakSanitizer's tracer then crashes scanning the bogus range (seen with
# libjpeg, loaded late through Qt's image plugin); ThreadSanitizer tries to map shadow for it and
# dies with "failed to allocate 0xfffff... bytes". Untracked blocks are not scanned as roots, which
# can only add leak reports, never hide one; glibc allocates them with malloc, whose shadow
# ThreadSanitizer already resets.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:intercept_tls_get_addr=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0"
# Any ThreadSanitizer report ends the test process with exit code 66, which fails the test.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:intercept_tls_get_addr=0:suppressions=$(pwd)/tests/tsan.supp"

build_config() {
    local dir=$1
    shift
    echo "=== ${dir}: configure and build"
    cmake -S . -B "${dir}" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
    cmake --build "${dir}" -j "${jobs}"
}

run_tests() {
    local dir=$1
    shift
    echo "=== ${dir}: tests $*"
    ctest --test-dir "${dir}" -j "${jobs}" --output-on-failure --timeout 300 "$@"
}

build_config build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build
build_config build-asan -DCMAKE_BUILD_TYPE=Debug -DNIMBO_SANITIZE=ON -DNIMBO_BUILD_BENCH=OFF
run_tests build-asan
# The core's threads under ThreadSanitizer (Qt itself is not instrumented: see tests/tsan.supp).
tsan_start=$(date +%s)
build_config build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_TSAN=ON -DNIMBO_BUILD_BENCH=OFF
run_tests build-tsan -L 'common|database|network|sync|cache|transfer|login'
echo "=== build-tsan: $(($(date +%s) - tsan_start)) s"
echo "=== fuzz targets: build with clang and run each briefly"
./scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
echo "=== all tests passed in the normal, sanitizer and ThreadSanitizer builds"

#!/bin/sh
# Builds and runs the whole test suite: format check, unit/integration tests
# under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the install test, and a short run of every fuzz target.
# Warnings are errors. See README.md.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh --test
JOBS="$(nproc)"
FUZZ_SECONDS="${FUZZ_SECONDS:-20}"

step() { printf '\n==== %s ====\n' "$*"; }

step "format check (clang-format 14)"
find src include tests fuzz tools examples benchmarks \( -name '*.cc' -o -name '*.hh' -o -name '*.h' \) -print0 |
    xargs -0 clang-format-14 --dry-run --Werror

step "build and test: AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSAL_WERROR=ON \
    -DTESSAL_SANITIZE="address;undefined" -DTESSAL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j"$JOBS" --no-tests=error --output-on-failure

step "build and test: ThreadSanitizer (threaded tests)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSAL_WERROR=ON \
    -DTESSAL_SANITIZE=thread -DTESSAL_BUILD_EXAMPLES=OFF -DTESSAL_BUILD_TOOLS=OFF >/dev/null
cmake --build build/tsan -j"$JOBS"
# Newer kernels randomise mmap addresses beyond what this TSan runtime maps;
# run without address-space randomisation where setarch allows it.
RUN=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
    RUN="setarch $(uname -m) -R"
fi
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    $RUN ctest --test-dir build/tsan -j"$JOBS" -L 'threaded|integration' --no-tests=error --output-on-failure

step "fuzz targets (${FUZZ_SECONDS}s each)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSAL_WERROR=ON -DTESSAL_BUILD_FUZZERS=ON -DTESSAL_BUILD_TESTS=OFF \
    -DTESSAL_BUILD_EXAMPLES=OFF -DTESSAL_BUILD_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
cmake --build build/fuzz -j"$JOBS"
for target in build/fuzz/fuzz/fuzz_*; do
    name="$(basename "$target" | sed 's/^fuzz_//')"
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    echo "fuzzing $name"
    # sh has no pipefail: keep the fuzzer's own status, and show why it failed.
    log="build/fuzz/$name.log"
    if ! "$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz target $name failed" >&2
        exit 1
    fi
    tail -n 3 "$log"
done

step "all tests passed"

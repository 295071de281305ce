#!/bin/sh
# Fuzz campaigns: runs every libFuzzer target (or the ones named) for a
# chosen time each, one after another, on a persistent corpus, and reports
# executions, coverage and corpus size per target. Crashes are left in
# build/fuzz-campaign/crashes/<target>/; a crash found becomes a regression
# input in fuzz/corpus/<target>/ once it is fixed.
#
#   scripts/fuzz.sh [-t SECONDS] [-r RUNS] [TARGET...]
#
#   -t SECONDS  time per target (default 1800)
#   -r RUNS     also stop a target once it ran this many executions
#               (e.g. 10000000): whichever limit comes first ends it
#
# The corpus of each target lives in build/fuzz-campaign/corpus/<target>/,
# seeded from fuzz/corpus/<target>/, and grows from one campaign to the next.
# Runs at the lowest CPU priority. Not part of the README's two commands.
set -eu
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=1800
RUNS=""
while getopts t:r: opt; do
    case "$opt" in
        t) SECONDS_PER_TARGET="$OPTARG" ;;
        r) RUNS="$OPTARG" ;;
        *) sed -n '2,16p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

BUILD=build/fuzz-campaign
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSAL_BUILD_FUZZERS=ON -DTESSAL_BUILD_TESTS=OFF -DTESSAL_BUILD_EXAMPLES=OFF \
    -DTESSAL_BUILD_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
nice -n 19 cmake --build "$BUILD" -j"$(nproc)"

targets="$*"
if [ -z "$targets" ]; then
    targets=$(cd "$BUILD/fuzz" && ls fuzz_* | sed 's/^fuzz_//')
fi
# One report line per target, so that campaigns over different targets may
# run side by side (one per core).
status=0
for name in $targets; do
    target="$BUILD/fuzz/fuzz_$name"
    [ -x "$target" ] || { echo "no fuzz target $name" >&2; exit 2; }
    corpus="$BUILD/corpus/$name"
    crashes="$BUILD/crashes/$name"
    mkdir -p "$corpus" "$crashes"
    [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    log="$BUILD/$name.log"
    report="$BUILD/$name.report"
    limit="-max_total_time=$SECONDS_PER_TARGET"
    [ -n "$RUNS" ] && limit="$limit -runs=$RUNS"
    echo "fuzzing $name ($limit)"
    # sh has no pipefail: keep the fuzzer's status and read its log after.
    # shellcheck disable=SC2086 # $limit holds one or two options
    if ! nice -n 19 "$target" $limit -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$corpus" >"$log" 2>&1; then
        status=1
        echo "  $name: FAILED, see $log and $crashes/" | tee "$report"
        tail -n 30 "$log"
        continue
    fi
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
    line=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    cov=$(echo "$line" | grep -o 'cov: [0-9]*' | grep -o '[0-9]*')
    ft=$(echo "$line" | grep -o 'ft: [0-9]*' | grep -o '[0-9]*')
    files=$(ls "$corpus" | wc -l)
    echo "  $name: ${execs:-?} executions, coverage ${cov:-?} edges, ${ft:-?} features, $files corpus files" |
        tee "$report"
done
echo
for name in $targets; do cat "$BUILD/$name.report"; done
exit "$status"

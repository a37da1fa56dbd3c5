#!/bin/sh
# Runs each libFuzzer target for a bounded time on a scratch copy of its seed
# corpus (the repository is never written) and fails when any of them finds a
# crash, a failed invariant, a leak, a timeout or runs out of memory.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS_PER_FUZZER
# A crashing input is left in BUILD_DIR/fuzz-run/<target>/artifacts/: copy it
# into tests/fuzz/corpus/<target>/ so that the replay test keeps it fixed.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS_PER_FUZZER" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
supp=$(cd "$here/../sanitize" && pwd)/lsan.supp
work=$build/fuzz-run
targets="portnumber address transcript utf8view"

rm -rf "$work"
failed=""
for t in $targets; do
    exe=$build/tests/fuzz/fuzz_$t
    dir=$work/$t
    mkdir -p "$dir/corpus" "$dir/artifacts"
    if [ ! -x "$exe" ]; then
        echo "fuzz_$t: $exe is missing (build the target 'fuzzers')" >&2
        failed="$failed $t"
        continue
    fi
    cp "$here/corpus/$t/"* "$dir/corpus/"
    dict=""
    [ -f "$here/$t.dict" ] && dict="-dict=$here/$t.dict"

    echo "== fuzz_$t: ${seconds}s, $(ls "$dir/corpus" | wc -l) seed inputs"
    # shellcheck disable=SC2086
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$exe" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
            -print_final_stats=1 $dict -artifact_prefix="$dir/artifacts/" \
            "$dir/corpus" >"$dir/log" 2>&1
    rc=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^Done [0-9]+ runs|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$dir/log"
    if [ $rc -ne 0 ]; then
        echo "fuzz_$t FAILED (exit $rc); log: $dir/log" >&2
        grep -E 'ERROR: |invariant failed|SUMMARY: |^  ' "$dir/log" | head -20 >&2
        ls "$dir/artifacts" >&2
        failed="$failed $t"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzers that failed:$failed" >&2
    exit 1
fi
echo "all fuzzers ran ${seconds}s each without a failure"

#!/usr/bin/env bash
# Runs the suite in the given AddressSanitizer build (usage: ctest-asan.sh BUILD_DIR JOBS).
#
# LeakSanitizer checks every process for leaks as it exits, after stopping its threads from a
# tracer of its own. On rare runs that tracer itself crashes ("Tracer caught signal 11", then
# "LeakSanitizer has encountered a fatal error"): the process exits with a failure although
# nothing was checked, let alone found. When every failed test failed so, those tests run once
# more and their second run decides. A leak report ("detected memory leaks") or any other failure
# fails the suite at once.
set -uo pipefail
build=$1
jobs=$2
cd "$build" || exit 1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:quarantine_size_mb=32"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

ctest --output-on-failure -j "$jobs" && exit 0
status=$?

# The failed tests of the last run, each with whether its output holds the tracer's crash.
verdicts=$(awk '
    / Testing: / { name = $0; sub(/^[0-9]+\/[0-9]+ Testing: /, "", name); tracer = 0; next }
    /LeakSanitizer has encountered a fatal error/ { tracer = 1 }
    /^Test Failed\./ { print (tracer ? "tracer " : "other ") name }
' Testing/Temporary/LastTest.log)
if [ -z "$verdicts" ] || grep -q '^other ' <<<"$verdicts"; then
    exit "$status"
fi
echo "ctest-asan: LeakSanitizer's tracer crashed in $(wc -l <<<"$verdicts") test(s), which run once more:"
sed 's/^tracer /  /' <<<"$verdicts"
ctest --output-on-failure --rerun-failed -j "$jobs"

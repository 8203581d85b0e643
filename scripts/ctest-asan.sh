#!/usr/bin/env bash
# Runs the suite in the given AddressSanitizer build (usage: ctest-asan.sh BUILD_DIR JOBS).
#
# LeakSanitizer checks every process for leaks as it exits, scanning its threads from a tracer of
# its own. GCC 12's runtime takes the bounds of a thread's dynamic TLS block (a dlopen'd module's
# thread-local variables: the core's plugins and the libraries they bring) from a header it
# expects before the block when the block starts 16 bytes past a 4 KiB boundary, a layout of
# glibc 2.19 to 2.24. glibc 2.25 and later allocate the block with malloc and write no such
# header, so a block that happened to start there got bounds read from other bytes, and the tracer
# crashed scanning them ("Tracer caught signal 11: addr=0x1f0", then "LeakSanitizer has
# encountered a fatal error"): the core exited with a failure although nothing was checked.
# intercept_tls_get_addr=0 keeps the runtime from recording those bounds; the blocks are still
# scanned as allocations of the dynamic linker (use_ld_allocations, on by default).
#
# Should the tracer still crash, a test that failed only so runs once more, when every failed test
# failed so, and its second run decides. A leak report ("detected memory leaks") or any other
# failure fails the suite at once.
set -uo pipefail
build=$1
jobs=$2
cd "$build" || exit 1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:quarantine_size_mb=32:intercept_tls_get_addr=0"
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

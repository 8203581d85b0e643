#!/usr/bin/env bash
# Runs an installed core with the example plugin Heartbeat.so in its plugins folder and checks the
# plugin's whole life: its beats come back to it through the core's queue, SIGTERM stops the core
# with status 0, the plugin gives back every block it kept, and the core closes, joins and unloads
# it. The core runs with standard output on a terminal (script), so that the lines it prints after
# its queue stopped can be read.
#   heartbeat_run.sh CORE RUN_FOLDER
set -euo pipefail
core=$1
run=$2
core_pid=
script_pid=
cleanup()
{
    if [ -n "$core_pid" ] && kill -0 "$core_pid" 2>/dev/null; then
        kill -KILL "$core_pid" 2>/dev/null || true
    fi
    [ -z "$script_pid" ] || wait "$script_pid" 2>/dev/null || true
}
trap cleanup EXIT

fail()
{
    echo "FAILED: $*"
    exit 1
}

# Waits until a command succeeds; a generous bound only keeps a broken build from hanging the suite.
wait_for()
{
    local rounds=600
    until "$@"; do
        rounds=$((rounds - 1))
        [ "$rounds" -gt 0 ] || return 1
        sleep 0.1
    done
}

mkdir -p "$run"
# The core's level-0 lines on: the console then shows any data block left unreleased at exit.
echo '<oDVR><Modules><Module><Plugin ID="-2147483648" LogLevel="0"/></Module></Modules></oDVR>' >"$run/core.xml"
(cd "$run" && exec script -qefc "echo \$\$ >core.pid; exec '$core'" console.raw </dev/null >/dev/null 2>&1) &
script_pid=$!
wait_for test -s "$run/core.pid" || fail "the core did not start"
core_pid=$(cat "$run/core.pid")
# A summary line that counts beats received through Write: events went through the core's queue.
wait_for grep -sqE '0x00B00000 +25 heartbeat: sent [0-9]+, refused 0, received [1-9]' "$run/dvrcore.log" ||
    fail "no beat came back through the core"
kill -TERM "$core_pid"
status=0
wait "$script_pid" || status=$?
script_pid=
core_pid=
sed 's/\x1b\[[0-9;]*m//g' "$run/console.raw" >"$run/console.txt"
[ "$status" -eq 0 ] || { cat "$run/console.txt"; fail "the core ended with status $status"; }

grep -q 'heartb heartbeat: opened' "$run/console.txt" || fail "no opening line on the console"
closing=$(grep -oE 'closing after [0-9]+ beats sent, [0-9]+ received, [0-9]+ blocks released' "$run/console.txt") ||
    fail "no closing line on the console"
read -r _ _ _ _ _ received _ released _ <<<"$closing"
[ "$received" -gt 0 ] && [ "$received" = "$released" ] || fail "received $received beats but released $released blocks"
! grep -q 'leaked by plugins' "$run/console.txt" || fail "the core reports leaked blocks"
for line in 'calling close for Heartbeat.so' 'joining workerthread for Heartbeat.so' \
            'calling Unload for Heartbeat.so' 'unloading object Heartbeat.so'; do
    grep -q "$line" "$run/dvrcore.log" || fail "no '$line' in dvrcore.log"
done
tail -n 1 "$run/dvrcore.log" | grep -q 'Plugins unloaded$' || fail "dvrcore.log does not end with 'Plugins unloaded'"
echo "$closing; the core stopped with status 0"

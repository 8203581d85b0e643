#!/usr/bin/env bash
# Runs the built core under the supervisor stand-in (parentsim) in the working folder run/, with the
# plugins built into BUILD/plugins: the log plugin and the demo source and recorder. Runs until
# Ctrl-C, which parentsim turns into the parent's stop packet; lines typed here
# ("TARGET COMMAND [PAYLOAD]", "stop", "close") go to the core as parent packets.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
mkdir -p run
cd run
exec "$build/parentsim" "$build/dvrcore"

#!/usr/bin/env bash
# Runs the built core without a parent link in the working folder run/, until Ctrl-C.
set -euo pipefail
build=${1:-build}
mkdir -p run
cd run
exec "../$build/dvrcore"

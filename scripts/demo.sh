#!/usr/bin/env bash
# Sets everything up, builds the module and runs the demonstration.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
build_and_install
cd "$ROOT/examples"
"$VENV/bin/python" demo.py

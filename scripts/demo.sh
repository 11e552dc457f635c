#!/usr/bin/env bash
# Sets everything up, builds the module, runs the demonstration, then writes a small dataset
# into run/dataset and sums it up in one line.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
build_and_install
cd "$ROOT/examples"
"$VENV/bin/python" demo.py
echo "== telvora-datasets generate: 5,000 frameworks of 20 points in 2-D"
rm -rf "$ROOT/run/dataset"
"$VENV/bin/telvora-datasets" generate --graphs 5000 --nodes 20 --dim 2 --seed 2026 --out "$ROOT/run/dataset"

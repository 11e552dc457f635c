#!/usr/bin/env bash
# Sets everything up, builds the module, runs the demonstration, then writes a small dataset
# into run/dataset and sums it up in one line. Each step says what it does first: setting up and
# building take a few minutes on a small machine, and would otherwise pass in silence.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
started=$SECONDS
step() { echo "== $* ($((SECONDS - started)) s so far)"; }
step "setting up .venv (build and test tools; quick once they are installed)"
ensure_venv
step "building and installing telvora (the C++ core: about two minutes on two cores)"
build_and_install
step "the demonstration"
cd "$ROOT/examples"
"$VENV/bin/python" -u demo.py
step "telvora-datasets generate: 5,000 frameworks of 20 points in 2-D"
rm -rf "$ROOT/run/dataset"
"$VENV/bin/telvora-datasets" generate --graphs 5000 --nodes 20 --dim 2 --seed 2026 --out "$ROOT/run/dataset"
step "done"

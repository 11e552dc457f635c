#!/usr/bin/env bash
# Sets everything up and trains a small graph network on a telvora dataset, from a fresh clone:
# the module's environment (.venv, CPython >= 3.12) writes 10,000 balanced G(20, 39) graphs in the
# plane to run/gnm20 (kept and resumed on later runs), then the PyTorch Geometric environment
# (.venv-pyg, CPython 3.11, where the CPU build of torch lies on disk) trains on them, reading the
# dataset with the pure-Python telvora_datasets from the source tree. The held-out accuracy per
# epoch is drawn to run/learning_gnm.png. Extra arguments go to examples/learn_rigidity.py.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
build_and_install
echo "== the dataset (run/gnm20)"
"$VENV/bin/telvora-datasets" generate --family gnm --edges 2n-3+2 --nodes 20 --dim 2 --graphs 10000 --seed 1 \
    --balance rigid --split 0.8,0.1,0.1 --format npz --out "$ROOT/run/gnm20"

pyg_python=$(python_311)
if [ -z "$pyg_python" ]; then
    echo "No CPython 3.11 found: the CPU build of torch on this machine is for 3.11 only." >&2
    exit 1
fi
pyg_env="$ROOT/.venv-pyg"
[ -x "$pyg_env/bin/python" ] || "$pyg_python" -m venv "$pyg_env"
echo "== the training environment ($pyg_env)"
"$pyg_env/bin/python" -m pip install --quiet --disable-pip-version-check "${PYG_REQUIREMENTS[@]}" "matplotlib>=3.7"
echo "== training"
PYTHONPATH="$ROOT/src" "$pyg_env/bin/python" "$ROOT/examples/learn_rigidity.py" "$ROOT/run/gnm20" \
    --epochs 15 --curve "$ROOT/run/learning_gnm.png" "$@"

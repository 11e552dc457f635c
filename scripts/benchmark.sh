#!/usr/bin/env bash
# Sets everything up and runs the benchmarks: telvora against NumPy, plain Python and PyRigi on the
# same inputs in one process, plus the native timer of the rank checker when it is built, and the
# molecules benchmark (benchmarks/bench_molecules.py) against the protein rigidity peer, which lives
# in a venv of its own (.venv-peer): it is never a dependency of telvora nor of its tests.
# Options are passed on to benchmarks/run.py: --quick, --only simulate,batch,pebble,components,reconstruct,gram,native,
# graphs,numeric,kernels,plane,datasets (or --only molecules alone),
# --no-memory, ... (see `python benchmarks/run.py --help`).
# Results: benchmarks/results/latest.md, .json and .png (quick.* for --quick, partial.* for --only).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BENCH_VENV="$ROOT/.venv-bench"
BENCH_REQUIREMENTS=("numpy>=2.0" "matplotlib>=3.8" "pyarrow>=16" "pytest>=7" "gemmi>=0.6" "MDAnalysis>=2.7" "scipy>=1.11")  # pyarrow: the datasets rows write Parquet; pytest: the peer tests; gemmi: structures; MDAnalysis: the trajectory row; scipy: null_space in the kernels rows
PEER_REQUIREMENTS=("pyrigi>=1.0")
# The molecules peer imports biopandas and scipy without declaring them.
MOLECULE_PEER_VENV="$ROOT/.venv-peer"
MOLECULE_PEER_REQUIREMENTS=("trambio==1.0.3" "biopandas>=0.5" "scipy>=1.11")
PIP_FLAGS=(--quiet --disable-pip-version-check)

echo "== building the wheel"
ensure_venv
export PATH="$VENV/bin:$PATH"
build_and_install
wheel=$(ls "$ROOT"/dist/telvora-*.whl)

echo "== benchmark environment ($BENCH_VENV)"
[ -x "$BENCH_VENV/bin/python" ] || "$(primary_python)" -m venv "$BENCH_VENV"
"$BENCH_VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" --upgrade pip
"$BENCH_VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" "${BENCH_REQUIREMENTS[@]}" \
    || echo "warning: could not install ${BENCH_REQUIREMENTS[*]}; the plot may be missing" >&2
"$BENCH_VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" "${PEER_REQUIREMENTS[@]}" \
    || echo "warning: PyRigi could not be installed; its columns will be left out" >&2
"$BENCH_VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" --force-reinstall --no-deps "$wheel"

echo "== molecules peer ($MOLECULE_PEER_VENV)"
if { [ -x "$MOLECULE_PEER_VENV/bin/python" ] || "$(primary_python)" -m venv "$MOLECULE_PEER_VENV"; } \
    && "$MOLECULE_PEER_VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" "${MOLECULE_PEER_REQUIREMENTS[@]}"; then
    export TELVORA_PEER_PYTHON="$MOLECULE_PEER_VENV/bin/python"
else
    echo "warning: the molecules peer could not be installed; telvora's molecules rows run alone" >&2
fi

echo "== native rank timer"
bench_rank=""
if cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTELVORA_BUILD_EXTENSION=OFF -DTELVORA_BUILD_BENCHMARKS=ON >/dev/null 2>&1 \
    && cmake --build "$ROOT/build/bench" --target bench_rank bench_pebble >/dev/null 2>&1; then
    bench_rank="$ROOT/build/bench/bench_rank"
    echo "built $bench_rank"
else
    echo "no bench_rank target in this tree yet; the native rows are left out"
fi

cd "$ROOT"
# The molecules rows (and the peer) run with every benchmark, or alone with --only molecules.
only="" quick="" previous=""
for arg in "$@"; do
    case "$arg" in --quick) quick="--quick" ;; --only=*) only="${arg#--only=}" ;; esac
    [ "$previous" = "--only" ] && only="$arg"
    previous="$arg"
done
if [ -z "$only" ] || [ "$only" = "molecules" ]; then
    echo "== running benchmarks/bench_molecules.py $quick"
    "$BENCH_VENV/bin/python" benchmarks/bench_molecules.py $quick
fi
[ "$only" = "molecules" ] && exit 0

echo "== running benchmarks/run.py $*"
exec "$BENCH_VENV/bin/python" benchmarks/run.py ${bench_rank:+--bench-rank "$bench_rank"} "$@"

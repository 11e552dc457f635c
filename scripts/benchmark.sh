#!/usr/bin/env bash
# Sets everything up and runs the benchmarks: telvora against NumPy, plain Python and PyRigi on the
# same inputs in one process, plus the native timer of the rank checker when it is built.
# Options are passed on to benchmarks/run.py: --quick, --only simulate,batch,pebble,components,reconstruct,gram,native,
# graphs,datasets,
# --no-memory, ... (see `python benchmarks/run.py --help`).
# Results: benchmarks/results/latest.md, .json and .png (quick.* for --quick, partial.* for --only).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BENCH_VENV="$ROOT/.venv-bench"
BENCH_REQUIREMENTS=("numpy>=2.0" "matplotlib>=3.8" "pyarrow>=16" "pytest>=7")  # pyarrow: the datasets rows write Parquet; pytest: the peer tests
PEER_REQUIREMENTS=("pyrigi>=1.0")
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

echo "== running benchmarks/run.py $*"
cd "$ROOT"
exec "$BENCH_VENV/bin/python" benchmarks/run.py ${bench_rank:+--bench-rank "$bench_rank"} "$@"

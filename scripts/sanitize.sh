#!/usr/bin/env bash
# Builds telvora with AddressSanitizer and UndefinedBehaviorSanitizer and runs it under them.
#
#   ./scripts/sanitize.sh                                   # the quick run (-O1), well under 15 minutes
#   ./scripts/sanitize.sh --full                            # the whole campaign (about an hour on 2 busy cores)
#   ./scripts/sanitize.sh --full -k concurrency             # extra arguments go to pytest
#   TELVORA_SANITIZE_FUZZ_MINUTES=10 ./scripts/sanitize.sh  # a longer fuzz run (default 1, --full 2)
#
# The quick run builds at -O1 only the native tests of the graph core and its memory checks and the
# extension (both modules), then runs those native tests, a focused set of Python tests (both
# modules' errors, limits, components, threads and the fuzz corpora), a fuzz run of both modules'
# compiled routines with leak detection, and a small generate / info / load / regenerate round trip
# of telvora-datasets. The full campaign builds everything at -O2, runs every native test, the whole
# Python suite and a longer fuzz run.
#
# Everything lives apart from the normal build: the wheel is built in build/sanitize[-quick], the
# native tests in build/native-sanitize[-quick], and the Python side runs in its own environment
# .venv-sanitize, so the regular .venv and dist/ are left alone.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FULL=0
if [ "${1:-}" = "--full" ]; then
    FULL=1
    shift
fi
if [ "$FULL" = 1 ]; then
    SUFFIX="" BUILD_TYPE=RelWithDebInfo OPTIMIZE="-O2 -g -DNDEBUG" FUZZ_MINUTES="${TELVORA_SANITIZE_FUZZ_MINUTES:-2}"
else
    SUFFIX="-quick" BUILD_TYPE=RelWithDebInfo OPTIMIZE="-O1 -g -DNDEBUG" FUZZ_MINUTES="${TELVORA_SANITIZE_FUZZ_MINUTES:-1}"
fi
# The native tests of the quick run: the graph core, its edge lists and its memory checks.
QUICK_NATIVE_TESTS=(test_memory test_node test_graph_rigidity test_component_pebble test_rigid_components)
# The Python tests of the quick run: what either module refuses and how, limits, components, threads.
QUICK_PYTHON_TESTS=(tests/test_graphs_limits.py tests/test_graphs_api.py tests/test_graph_components.py
                    tests/test_module.py tests/test_pebble_game.py tests/test_concurrency.py)

SANITIZE_VENV="$ROOT/.venv-sanitize"
WHEEL_DIR="$ROOT/build/sanitize$SUFFIX-dist"
LEAK_DIR="$ROOT/build/sanitize$SUFFIX-leaks"
NATIVE_DIR="$ROOT/build/native-sanitize$SUFFIX"
CXX_COMPILER="${CXX:-c++}"
started=$(date +%s)

if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
    else
        sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev >/dev/null
    fi
fi

if [ ! -x "$SANITIZE_VENV/bin/python" ]; then
    "$(primary_python)" -m venv "$SANITIZE_VENV"
fi
"$SANITIZE_VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
    "${BUILD_REQUIREMENTS[@]}" "${TEST_REQUIREMENTS[@]}"
export PATH="$SANITIZE_VENV/bin:$PATH"

# The sanitizer runtimes the compiler links against. The interpreter itself is not
# instrumented, so the address sanitizer's runtime has to be loaded before anything else.
ASAN_RUNTIME=$("$CXX_COMPILER" -print-file-name=libasan.so)
UBSAN_RUNTIME=$("$CXX_COMPILER" -print-file-name=libubsan.so)
for runtime in "$ASAN_RUNTIME" "$UBSAN_RUNTIME"; do
    if [ ! -e "$runtime" ]; then
        echo "Sanitizer runtime not found ($runtime); install the compiler's sanitizer libraries." >&2
        exit 1
    fi
done

# allocator_may_return_null: an impossible request must reach the code as an allocation
# failure (std::bad_alloc), as it does without the sanitizer, not end the process.
COMMON_ASAN="allocator_may_return_null=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== native tests (address + undefined behaviour sanitizers, leak detection, $OPTIMIZE)"
cmake -S "$ROOT" -B "$NATIVE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=$BUILD_TYPE \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$OPTIMIZE" \
    -DTELVORA_BUILD_EXTENSION=OFF -DTELVORA_BUILD_NATIVE_TESTS=ON -DTELVORA_SANITIZE=ON >/dev/null
if [ "$FULL" = 1 ]; then
    cmake --build "$NATIVE_DIR" --parallel 2
    ASAN_OPTIONS="detect_leaks=1:$COMMON_ASAN" ctest --test-dir "$NATIVE_DIR" --output-on-failure --parallel 2
else
    cmake --build "$NATIVE_DIR" --parallel 2 --target "${QUICK_NATIVE_TESTS[@]}"
    for test in "${QUICK_NATIVE_TESTS[@]}"; do
        ASAN_OPTIONS="detect_leaks=1:$COMMON_ASAN" "$NATIVE_DIR/$test" --gtest_brief=1 \
            || { echo "$test failed under the sanitizers" >&2; exit 1; }
    done
fi

echo "== building the sanitized extension (both modules, $OPTIMIZE)"
rm -rf "$WHEEL_DIR"
"$SANITIZE_VENV/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$ROOT/build/sanitize$SUFFIX" \
    --config-settings=cmake.build-type=$BUILD_TYPE \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=$OPTIMIZE" \
    --config-settings=cmake.define.TELVORA_SANITIZE=ON \
    -w "$WHEEL_DIR" "$ROOT"
"$SANITIZE_VENV/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall \
    "$WHEEL_DIR"/telvora-*.whl

# PYTHONMALLOC=malloc sends every Python object through the instrumented allocator, so a
# reference dropped once too often shows as a use after free instead of going unnoticed in
# the interpreter's own pools.
SANITIZED_PYTHON=(env "LD_PRELOAD=$ASAN_RUNTIME $UBSAN_RUNTIME${LD_PRELOAD:+ $LD_PRELOAD}" PYTHONMALLOC=malloc
                  TELVORA_SANITIZED=1 "$SANITIZE_VENV/bin/python")
cd "$ROOT"

echo "== Python tests under the sanitizers"
# The interpreter leaks at exit by design, so leak detection is off for the test run; the
# leak tests of the suite and the fuzz run below cover the module's own memory.
status=0
if [ "$FULL" = 1 ]; then
    ASAN_OPTIONS="detect_leaks=0:$COMMON_ASAN" "${SANITIZED_PYTHON[@]}" -m pytest -q -p no:cacheprovider tests "$@" \
        || status=1
else
    ASAN_OPTIONS="detect_leaks=0:$COMMON_ASAN" "${SANITIZED_PYTHON[@]}" -m pytest -q -p no:cacheprovider \
        "${QUICK_PYTHON_TESTS[@]}" tests/test_fuzz.py -k "not test_arbitrary_arguments" "$@" || status=1

    echo "== telvora-datasets under the sanitizers: generate, info, load and regenerate"
    dataset=$(mktemp -d)
    ASAN_OPTIONS="detect_leaks=0:$COMMON_ASAN" "${SANITIZED_PYTHON[@]}" - "$dataset" <<'PYTHON' || status=1
import subprocess, sys
import numpy as np
import telvora_datasets as td
def same(a, b):
    if isinstance(a, (list, tuple)):
        return isinstance(b, (list, tuple)) and len(a) == len(b) and all(map(same, a, b))
    return np.array_equal(np.asarray(a), np.asarray(b))
out = sys.argv[1] + "/gnm"
for extra in ([], ["--family", "gnm", "--edges", "12", "--components", "--globally-rigid"]):
    subprocess.run([sys.executable, "-m", "telvora_datasets.cli", "generate", "--graphs", "60", "--nodes", "8",
                    "--dim", "2", "--seed", "5", "--out", out + str(len(extra)), "--shard-size", "25",
                    "--format", "npz", "--workers", "1", "--quiet", *extra], check=True)
    subprocess.run([sys.executable, "-m", "telvora_datasets.cli", "info", out + str(len(extra))], check=True,
                   stdout=subprocess.DEVNULL)
    records = list(td.load(out + str(len(extra))))
    assert len(records) == 60, len(records)
    for k in (0, 31, 59):
        again = td.regenerate(out + str(len(extra)), k)
        assert again.keys() == records[k].keys()
        assert all(same(again[key], records[k][key]) for key in again), (k, [key for key in again
                                                                            if not same(again[key], records[k][key])])
print("dataset round trip: 2 datasets of 60 graphs generated, checked, loaded and regenerated")
PYTHON
    rm -rf "$dataset"
fi

echo "== fuzzing both modules under the sanitizers, with leak detection ($FUZZ_MINUTES min)"
# Most leak reports at exit are the interpreter's own, so a report does not end the process
# (exitcode=0): fuzz/leak_report.py reads the reports and counts only errors and blocks
# allocated on a path through the module.
rm -rf "$LEAK_DIR" && mkdir -p "$LEAK_DIR"
ASAN_OPTIONS="detect_leaks=1:malloc_context_size=30:log_path=$LEAK_DIR/report:$COMMON_ASAN:abort_on_error=0:exitcode=0" \
    "${SANITIZED_PYTHON[@]}" fuzz/run.py --minutes "$FUZZ_MINUTES" --batch "$([ "$FULL" = 1 ] && echo 200 || echo 40)" \
    --record "$LEAK_DIR/last-case.txt" || status=1
"$SANITIZE_VENV/bin/python" fuzz/leak_report.py "$LEAK_DIR" || status=1
echo "sanitizer run ($([ "$FULL" = 1 ] && echo full || echo quick)) took $(( $(date +%s) - started )) s; status $status"
exit $status

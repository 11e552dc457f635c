#!/usr/bin/env bash
# Builds the extension and the native tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every test under them, then fuzzes the module under them with leak detection.
# Everything lives apart from the normal build: the wheel is built in build/sanitize, the
# native tests in build/native-sanitize, and the Python side runs in its own environment
# .venv-sanitize, so the regular .venv and dist/ are left alone.
#
#   ./scripts/sanitize.sh                                   # everything
#   ./scripts/sanitize.sh -k concurrency                    # extra arguments go to pytest
#   TELVORA_SANITIZE_FUZZ_MINUTES=10 ./scripts/sanitize.sh  # a longer fuzz run (default 2)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SANITIZE_VENV="$ROOT/.venv-sanitize"
WHEEL_DIR="$ROOT/build/sanitize-dist"
LEAK_DIR="$ROOT/build/sanitize-leaks"
CXX_COMPILER="${CXX:-c++}"

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

echo "== native tests (address + undefined behaviour sanitizers, leak detection)"
cmake -S "$ROOT" -B "$ROOT/build/native-sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELVORA_BUILD_EXTENSION=OFF -DTELVORA_BUILD_NATIVE_TESTS=ON -DTELVORA_SANITIZE=ON >/dev/null
cmake --build "$ROOT/build/native-sanitize" --parallel 2
ASAN_OPTIONS="detect_leaks=1:$COMMON_ASAN" \
    ctest --test-dir "$ROOT/build/native-sanitize" --output-on-failure --parallel 2

echo "== building the sanitized extension"
rm -rf "$WHEEL_DIR"
"$SANITIZE_VENV/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$ROOT/build/sanitize" \
    --config-settings=cmake.build-type=RelWithDebInfo \
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
ASAN_OPTIONS="detect_leaks=0:$COMMON_ASAN" "${SANITIZED_PYTHON[@]}" -m pytest -q -p no:cacheprovider tests "$@" \
    || status=1

echo "== fuzzing under the sanitizers, with leak detection"
# Most leak reports at exit are the interpreter's own, so a report does not end the process
# (exitcode=0): fuzz/leak_report.py reads the reports and counts only errors and blocks
# allocated on a path through the module.
rm -rf "$LEAK_DIR" && mkdir -p "$LEAK_DIR"
ASAN_OPTIONS="detect_leaks=1:malloc_context_size=30:log_path=$LEAK_DIR/report:$COMMON_ASAN:abort_on_error=0:exitcode=0" \
    "${SANITIZED_PYTHON[@]}" fuzz/run.py --minutes "${TELVORA_SANITIZE_FUZZ_MINUTES:-2}" --batch 200 \
    --record "$LEAK_DIR/last-case.txt" || status=1
"$SANITIZE_VENV/bin/python" fuzz/leak_report.py "$LEAK_DIR" || status=1
exit $status

#!/usr/bin/env bash
# Sets everything up and runs every test: the native unit tests of the core, the Python tests
# against one abi3 wheel under every CPython >= 3.12 found on the machine, then the PyTorch
# Geometric conversion of telvora_datasets under CPython 3.11, and builds the documentation site.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
    else
        sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev >/dev/null
    fi
fi

ensure_venv
export PATH="$VENV/bin:$PATH"

echo "== native tests"
cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTELVORA_BUILD_EXTENSION=OFF -DTELVORA_BUILD_NATIVE_TESTS=ON >/dev/null
cmake --build "$ROOT/build/native" --parallel 2
ctest --test-dir "$ROOT/build/native" --output-on-failure --parallel 2

echo "== building the abi3 wheel"
build_and_install
wheel=$(ls "$ROOT"/dist/telvora-*.whl)

status=0
while read -r python; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== Python tests under CPython $version"
    env_dir="$ROOT/.venv-tests/$version"
    [ -x "$env_dir/bin/python" ] || "$python" -m venv "$env_dir"
    "$env_dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$env_dir/bin/python" -m pip install --quiet --disable-pip-version-check "${TEST_REQUIREMENTS[@]}"
    "$env_dir/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall "$wheel"
    (cd "$ROOT" && "$env_dir/bin/python" -m pytest -q -p no:cacheprovider tests) || status=1
done < <(find_pythons)

echo "== the same wheel against the oldest supported NumPy (1.26)"
oldest_env="$ROOT/.venv-tests/numpy-1.26"
[ -x "$oldest_env/bin/python" ] || "$(primary_python)" -m venv "$oldest_env"
"$oldest_env/bin/python" -m pip install --quiet --disable-pip-version-check "numpy==1.26.*" "pytest>=8" "hypothesis>=6"
"$oldest_env/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$wheel"
(cd "$ROOT" && "$oldest_env/bin/python" -m pytest -q -p no:cacheprovider tests/test_module.py tests/test_simulate.py \
    tests/test_batch.py tests/test_pebble_game.py tests/test_distance_geometry.py) || status=1

echo "== documentation site (warnings are errors)"
NO_MKDOCS_2_WARNING=1 "$VENV/bin/mkdocs" build --strict --quiet --config-file "$ROOT/mkdocs.yml" || status=1

echo "== PyTorch Geometric tests under CPython 3.11 (CPU build of torch)"
pyg_python=$(python_311)
if [ -z "$pyg_python" ]; then
    echo "No CPython 3.11 found: tests/test_datasets_pyg.py needs it for the CPU build of torch." >&2
    status=1
else
    pyg_env="$ROOT/.venv-pyg"
    [ -x "$pyg_env/bin/python" ] || "$pyg_python" -m venv "$pyg_env"
    if "$pyg_env/bin/python" -m pip install --quiet --disable-pip-version-check "${PYG_REQUIREMENTS[@]}"; then
        (cd "$ROOT" && PYTHONPATH="$ROOT/src" TELVORA_REQUIRE_PYG=1 \
            "$pyg_env/bin/python" -m pytest -q -p no:cacheprovider tests/test_datasets_pyg.py) || status=1
    else
        echo "Could not install ${PYG_REQUIREMENTS[*]} under CPython 3.11." >&2
        status=1
    fi
fi
exit $status

#!/usr/bin/env bash
# Sets everything up and runs every test: the native unit tests of the core, then the
# Python tests against one abi3 wheel under every CPython >= 3.12 found on the machine.
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
exit $status

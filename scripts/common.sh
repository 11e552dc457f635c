# Shared by the scripts: finds CPython interpreters of version 3.12 or later and prepares
# the project's virtual environment. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
BUILD_REQUIREMENTS=("scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.26" "ninja")
TEST_REQUIREMENTS=("pytest>=8" "hypothesis>=6" "mypy>=1.10" "pyarrow>=16" "dask[distributed]>=2024.8" "matplotlib>=3.7" "networkx>=3.2" "gemmi>=0.6" "MDAnalysis>=2.7")
# The documentation site (mkdocs.yml), built with warnings as errors by the test command.
DOCS_REQUIREMENTS=("mkdocs>=1.6" "mkdocs-material>=9.5" "mkdocstrings[python]>=0.26")
# torch's CPU build for CPython 3.11 lies on disk (PyPI has only multi-GB CUDA builds), so the
# PyTorch Geometric tests run under 3.11 with the pure-Python package from the source tree.
PYG_REQUIREMENTS=("torch==2.13.0+cpu" "torch_geometric>=2.4" "pytest>=8")

# Prints one interpreter path per supported minor version, newest first.
find_pythons() {
    local candidates=() seen="" path version
    for path in python3.15 python3.14 python3.13 python3.12 python3; do
        command -v "$path" >/dev/null 2>&1 && candidates+=("$(command -v "$path")")
    done
    for path in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 /usr/local/bin/python3.1? /usr/bin/python3.1?; do
        [ -x "$path" ] && candidates+=("$path")
    done
    for path in "${candidates[@]}"; do
        version=$("$path" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 12) else None' 2>/dev/null) || continue
        [ -n "$version" ] && [ "$version" != "None" ] || continue
        case " $seen " in *" $version "*) continue ;; esac
        seen="$seen $version"
        echo "$version $path"
    done | sort -t. -k2 -n -r | cut -d' ' -f2
}

# Prints a CPython 3.11 interpreter that can make a virtual environment, if there is one.
python_311() {
    local path
    for path in "$(command -v python3.11 || true)" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.11.*/bin/python3 /usr/bin/python3.11; do
        [ -n "$path" ] && [ -x "$path" ] || continue
        if "$path" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null; then
            echo "$path"
            return 0
        fi
    done
    return 0
}

primary_python() {
    local first
    first=$(find_pythons | tail -n 1)  # the oldest supported one builds the abi3 wheel
    if [ -z "$first" ]; then
        echo "No CPython 3.12 or later found (looked on PATH and in pyenv)." >&2
        exit 1
    fi
    echo "$first"
}

# Creates .venv with the build and test tools when it does not exist yet.
ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        "$(primary_python)" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check "${BUILD_REQUIREMENTS[@]}" "${TEST_REQUIREMENTS[@]}" \
        "${DOCS_REQUIREMENTS[@]}"
}

# Builds the wheel once into dist/ and installs it into .venv.
build_and_install() {
    rm -rf "$ROOT/dist"
    "$VENV/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps -w "$ROOT/dist" "$ROOT"
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall "$ROOT"/dist/telvora-*.whl
}

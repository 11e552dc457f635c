"""The one way the tests run mypy: in a fresh process, without its cache, from tmp_path."""

import os
import subprocess
import sys

import pytest


def run_mypy(tmp_path, *targets, strict=True):
    pytest.importorskip("mypy")
    flags = ["--strict"] if strict else []
    # mypy finds the packages as the interpreter imports them: the source tree under PYTHONPATH=src,
    # otherwise the installed copy. The path is made absolute, as mypy runs in tmp_path.
    entries = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    path = os.pathsep.join(os.path.abspath(entry) for entry in entries if entry)
    return subprocess.run([sys.executable, "-m", "mypy", *flags, "--no-incremental", "--cache-dir",
                           str(tmp_path / "cache"), *map(str, targets)], capture_output=True, text=True,
                          timeout=600, cwd=tmp_path, env={**os.environ, "PYTHONPATH": path})

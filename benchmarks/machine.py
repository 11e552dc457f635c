"""A description of the machine and the software the benchmark ran on."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _cpuinfo() -> dict:
    info = {}
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return info
    for line in text.splitlines():
        if ":" not in line:
            continue
        key, value = (part.strip() for part in line.split(":", 1))
        if key in ("model name", "cache size", "flags") and key not in info:
            info[key] = value
    return info


def _meminfo_gib() -> float | None:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return None


def _blas() -> str:
    try:
        import numpy as np
        config = np.show_config(mode="dicts")
        blas = config.get("Build Dependencies", {}).get("blas", {})
        return f"{blas.get('name', '?')} {blas.get('version', '')}".strip()
    except Exception:
        return "unknown"


def _version(dist: str) -> str | None:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def _commit() -> str | None:
    try:
        out = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        return out.stdout.strip() or None
    except Exception:
        return None


def load_average() -> str | None:
    try:
        return " ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return None


def _blas_threads() -> str:
    for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        if os.environ.get(variable):
            return f"{os.environ[variable]} ({variable})"
    return "library default"


def describe() -> dict:
    import numpy as np

    cpu = _cpuinfo()
    flags = set(cpu.get("flags", "").split())
    simd = [name for name in ("sse2", "avx", "avx2", "fma", "avx512f") if name in flags]
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu.get("model name", platform.processor() or "unknown"),
        "cache": cpu.get("cache size"),
        "simd": simd,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "memory_gib": _meminfo_gib(),
        "os": platform.platform(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "numpy": np.__version__,
        "blas": _blas(),
        "blas_threads": _blas_threads(),
        "load_before": load_average(),
        "telvora": _version("telvora"),
        "pyrigi": _version("pyrigi"),
        "commit": _commit(),
        "executable": sys.executable,
    }

"""Timing machinery shared by the benchmark subjects.

A subject module (bench_*.py) describes its work as a list of `Case`s. Each case holds one input,
built from a fixed seed so that a subprocess can rebuild exactly the same input for the memory
probe, and the contenders that run on it. telvora is always the first contender; every other one
is compared with it on the very same input object.
"""

from __future__ import annotations

import gc
import math
import statistics
import time
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass
class Contender:
    name: str                              # short name used in tables and the plot legend
    run: Callable[[Any], Any]              # one call on the case input
    exponent: float = 2.0                  # assumed growth of the time with n, for the budget guess
    per_unit: int = 1                      # units of work per call (frameworks in a batch)
    budgeted: bool = True                  # telvora itself is never skipped
    prepare: Callable[[Any], None] | None = None   # untimed set-up on the case input (peer's own input form)


@dataclass
class Case:
    task: str                              # "simulate", "batch", "pebble", "reconstruct", "gram"
    variant: str                           # "random", "degenerate", ...
    n: int
    d: int | None
    make_input: Callable[[], Any]
    contenders: list[Contender]
    # compare(telvora_result, peer_result) -> short text such as "labels identical"
    compare: Callable[[Any, Any], str] | None = None
    unit: str = "call"                     # what one time value refers to ("call" or "framework")
    largest: bool = False                  # memory is probed for the largest size of each series
    memory_bound: Callable[[], str] | None = None   # optional text: what telvora should need

    @property
    def key(self) -> str:
        return f"{self.task}|{self.variant}|{self.n}|{self.d}"

    @property
    def series(self) -> tuple:
        return (self.task, self.variant, self.d)


@dataclass
class Measurement:
    case: Case
    contender: str
    status: str = "ok"                     # "ok", "skipped", "failed"
    samples: list[float] = field(default_factory=list)   # seconds per unit, one per repetition
    warmup: float | None = None
    reps: int = 0
    note: str = ""
    expected: float | None = None          # for a skipped peer: the expected seconds of one call
    agreement: str = ""
    peak_rss_kib: int | None = None
    call_rss_kib: int | None = None
    memory_note: str = ""
    memory_method: str = ""

    @property
    def median(self) -> float | None:
        return statistics.median(self.samples) if self.samples else None


@dataclass
class Settings:
    repetitions: int          # timed repetitions after the warm-up (at most)
    min_reps_telvora: int     # telvora is always timed at least this often
    call_budget: float        # a peer whose single call is expected to take longer is skipped
    case_budget: float        # total seconds a contender may spend on one case (warm-up included)
    inner_target: float       # very short calls are repeated in a loop until a sample lasts this long


def _timed(fn: Callable[[Any], Any], arg: Any, number: int) -> tuple[float, Any]:
    result = None
    start = time.perf_counter()
    for _ in range(number):
        result = fn(arg)
    return time.perf_counter() - start, result


def measure(contender: Contender, arg: Any, settings: Settings, telvora: bool) -> tuple[Measurement, Any]:
    """Warm-up call, then repetitions; returns the measurement and the result of the last call."""
    if contender.prepare is not None:
        contender.prepare(arg)
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        warm, result = _timed(contender.run, arg, 1)
        number = 1
        if warm < settings.inner_target:
            number = max(1, min(100_000, math.ceil(settings.inner_target / max(warm, 1e-7))))
        per_sample = warm * number
        affordable = int((settings.case_budget - warm) // max(per_sample, 1e-9))
        reps = max(settings.min_reps_telvora if telvora else 1, min(settings.repetitions, affordable))
        samples = []
        for _ in range(reps):
            elapsed, result = _timed(contender.run, arg, number)
            samples.append(elapsed / number / contender.per_unit)
    finally:
        if was_enabled:
            gc.enable()
    m = Measurement(case=None, contender=contender.name, samples=samples,
                    warmup=warm / contender.per_unit, reps=reps)
    if number > 1:
        m.note = f"{number} calls per sample"
    return m, result


def predict(history: list[tuple[int, float]], n: int, exponent: float) -> float | None:
    """Expected seconds per unit at size n from the last measured size of the same series, growing
    with the assumed exponent, or with the one measured between the last two sizes if steeper."""
    if not history:
        return None
    n0, t0 = history[-1]
    if len(history) >= 2:
        n1, t1 = history[-2]
        if n0 > n1 and t0 > 0 and t1 > 0:
            exponent = max(exponent, math.log(t0 / t1) / math.log(n0 / n1))
    return t0 * (n / n0) ** exponent


def format_seconds(value: float | None) -> str:
    if value is None or math.isnan(value):
        return "n/a"
    if value >= 7200:
        return f"{value / 3600:.1f} h"
    if value >= 600:
        return f"{value / 60:.0f} min"
    if value >= 100:
        return f"{value:.0f} s"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.3g} ms"
    if value >= 1e-6:
        return f"{value * 1e6:.3g} µs"
    return f"{value * 1e9:.3g} ns"


def format_ratio(value: float | None) -> str:
    if value is None or math.isnan(value):
        return "n/a"
    if value >= 100:
        return f"{value:,.0f}×"
    if value >= 10:
        return f"{value:.1f}×"
    return f"{value:.2f}×"

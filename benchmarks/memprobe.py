"""Peak resident memory of one contender on one case, measured in a fresh process.

Usage: python memprobe.py CASE_KEY CONTENDER [--quick]
Prints one JSON object with, in KiB: the resident size just before the call (imports and the
input already in memory) and the peak resident size of the process during the call.

On Linux the peak is the high-water mark VmHWM of /proc/self/status, reset just before the call by
writing 5 to /proc/self/clear_refs, so a transient peak while building the input does not hide
the call's own. Where that is not possible the process-lifetime ru_maxrss is used instead.
"""

from __future__ import annotations

import gc
import json
import resource
import sys


def status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def main() -> int:
    key, name = sys.argv[1], sys.argv[2]
    quick = "--quick" in sys.argv[3:]
    import run  # the registry of cases

    # PyRigi (with SymPy and NetworkX) is imported only when it is the contender measured.
    case = next(c for c in run.collect_cases(quick, name.startswith("pyrigi")) if c.key == key)
    contender = next(c for c in case.contenders if c.name == name)
    if name.startswith("pyrigi"):
        import peers
        peers.pyrigi_version()  # imports PyRigi now, so that its import does not count as the call's memory
    arg = case.make_input()
    if contender.prepare is not None:
        contender.prepare(arg)
    gc.collect()
    reset = reset_peak()
    before = status_kib("VmRSS") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    contender.run(arg)
    peak = status_kib("VmHWM") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"before_kib": before, "peak_kib": peak,
                      "method": "VmHWM after reset" if reset else "ru_maxrss"}))
    return 0


if __name__ == "__main__":
    sys.exit(main())

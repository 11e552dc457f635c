"""The telvora-datasets launcher (also `python -m telvora_datasets`).

It imports nothing but the standard library before it is ready for a Ctrl-C, so that an
interrupt at any moment, while NumPy and the command are still being imported included, ends the
command with one line on stderr and exit status 130 instead of a traceback.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from collections.abc import Sequence
from types import FrameType

PROG = "telvora-datasets"
INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for a command ended by Ctrl-C


def _say_interrupted() -> None:
    print(f"{PROG}: interrupted", file=sys.stderr, flush=True)


def _end_now(signum: int, frame: FrameType | None) -> None:
    """Once the command has finished or been interrupted: a (further) Ctrl-C ends the process at
    once, with nothing half-printed and no report of the threads it interrupts."""
    with contextlib.suppress(OSError, ValueError):  # a closed or broken stream
        sys.stdout.flush()
        _say_interrupted()
    os._exit(INTERRUPTED)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with arguments argv (sys.argv[1:] by default); returns its exit status."""
    try:
        from .cli import main as command

        status = command(argv)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, _end_now)
        with contextlib.suppress(OSError, ValueError):  # a closed or broken stream
            _say_interrupted()
        return INTERRUPTED
    # What is left (flushing output, joining finished worker threads) is interrupted the same way.
    signal.signal(signal.SIGINT, _end_now)
    return status


if __name__ == "__main__":
    sys.exit(main())

"""The telvora-datasets launcher (also `python -m telvora_datasets`).

It imports nothing but the standard library before it is ready for a Ctrl-C, so that an
interrupt at any moment, while NumPy and the command are still being imported included, ends the
command with one line on stderr and exit status 130 instead of a traceback.
"""

from __future__ import annotations

import atexit
import contextlib
import os
import signal
import sys
from collections.abc import Sequence
from types import FrameType
from typing import NoReturn

PROG = "telvora-datasets"
INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for a command ended by Ctrl-C
_said = False  # whether the interruption has had its line already


def _say_interrupted() -> None:
    global _said
    if not _said:
        _said = True
        print(f"{PROG}: interrupted", file=sys.stderr, flush=True)


def _end_now(signum: int, frame: FrameType | None) -> NoReturn:
    """Once the command has finished or been interrupted: a (further) Ctrl-C ends the process at
    once, with its output flushed, its line said once, and no report of the threads it stops."""
    with contextlib.suppress(OSError, ValueError):  # a closed or broken stream
        sys.stdout.flush()
        _say_interrupted()
        sys.stderr.flush()
    os._exit(INTERRUPTED)


def _ignore_interrupts() -> None:
    """The last exit handler: threads are joined and output is written, and what is left of the
    interpreter's ending is quick; were a Ctrl-C to come now, after the interpreter has put back
    the default handler, it would end the process by the signal instead of with status 130."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with arguments argv (sys.argv[1:] by default); returns its exit status,
    except after a Ctrl-C, which ends the process at once with status 130."""
    atexit.register(_ignore_interrupts)  # registered first, so run last
    try:
        from .cli import main as command

        status = command(argv)
    except KeyboardInterrupt:
        status = INTERRUPTED
        signal.signal(signal.SIGINT, _end_now)
    else:
        # What is left (flushing output, joining finished worker threads) is interrupted the same way.
        signal.signal(signal.SIGINT, _end_now)
        global _said
        _said = status == INTERRUPTED  # the command said so itself
    if status == INTERRUPTED:
        # Whatever was written is whole (see writer), but worker threads may still be inside the
        # compiled module, stopping at their next shard: the interpreter's ending would wait for
        # them, or tear them down mid-call. Nothing is left to do, so end here.
        _end_now(signal.SIGINT, None)
    return status


if __name__ == "__main__":
    sys.exit(main())

"""The telvora-datasets command: generate a dataset, describe it, or draw a framework or a summary."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NoReturn

from . import __version__
from .errors import DatasetError, MissingExtraError
from .formats import FORMATS
from .manifest import DEFAULT_SHARD_SIZE, dataset_directory, is_complete, plan_of, sha256_file, shard_records
from .points import _MASK
from .reader import read_manifest
from .writer import default_workers, generate

PROG = "telvora-datasets"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other error of the command, instead of the usage and then the error.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _integer(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None


def _at_least(lowest: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = _integer(text)
        if value < lowest:
            raise argparse.ArgumentTypeError(f"{what} must be at least {lowest} (got {value})")
        if value > _MASK:
            raise argparse.ArgumentTypeError(f"{what} must be at most 2**64 - 1 (got {value})")
        return value
    return parse


def _seed(text: str) -> int:
    value = _integer(text)
    if not 0 <= value <= _MASK:
        raise argparse.ArgumentTypeError(f"the seed must be from 0 to 2**64 - 1 = {_MASK} (got {value})")
    return value


def _dimension(text: str) -> int:
    value = _integer(text)
    if value not in (2, 3):
        raise argparse.ArgumentTypeError(f"the dimension must be 2 or 3 (got {value})")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Reproducible, sharded datasets of labelled random frameworks.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    make = commands.add_parser(
        "generate", help="write a dataset",
        description="Write the frameworks of generate_training_batch(GRAPHS, NODES, DIM, SEED) to a directory in "
                    "shards; framework k has the seed SEED + k (mod 2**64). Rerunning the same command resumes an "
                    "interrupted run and gives byte-identical shards; the same command with a larger N grows "
                    "the dataset.")
    make.add_argument("--graphs", required=True, type=_at_least(1, "the number of frameworks"), metavar="N",
                      help="number of frameworks")
    make.add_argument("--nodes", required=True, type=_at_least(2, "the number of points"), metavar="n",
                      help="points per framework (at least 2)")
    make.add_argument("--dim", required=True, type=_dimension, metavar="d", help="dimension, 2 or 3")
    make.add_argument("--seed", required=True, type=_seed, metavar="s", help="seed of framework 0, 0 to 2**64 - 1")
    make.add_argument("--out", required=True, type=Path, metavar="DIR", help="dataset directory")
    make.add_argument("--shard-size", type=_at_least(1, "the shard size"), default=DEFAULT_SHARD_SIZE, metavar="S",
                      help=f"frameworks per shard (default {DEFAULT_SHARD_SIZE})")
    make.add_argument("--format", choices=FORMATS, default="parquet",
                      help="parquet (default) or npz (needs only NumPy)")
    make.add_argument("--workers", type=_at_least(1, "the number of workers"), default=None, metavar="W",
                      help=f"shards built at once: threads, or processes with --scheduler local "
                           f"(default: every core, {default_workers()} here)")
    make.add_argument("--scheduler", metavar="ADDRESS",
                      help="run the shards on a Dask cluster: tcp://host:port of its scheduler, or 'local' for a "
                           "LocalCluster of W processes; DIR must be shared with the workers")
    make.add_argument("--overwrite", action="store_true",
                      help="replace a different dataset found in DIR (a smaller one with the same other "
                           "parameters is grown without it)")
    make.add_argument("--quiet", action="store_true", help="no progress bar and no summary")

    info = commands.add_parser("info", help="describe a dataset and check its shards",
                               description="Print a dataset's parameters and summary, and check every shard "
                                           "against its SHA-256; exit 1 if any is missing or damaged, or if "
                                           "the run writing it has not finished.")
    info.add_argument("directory", type=Path, metavar="DIR", help="the dataset directory, or its manifest.json")

    show = commands.add_parser("show", help="draw one generated framework (needs matplotlib)",
                               description="Draw framework 0 of generate_training_batch(1, NODES, DIM, SEED): "
                                           "independent bars solid, redundant bars thin and dashed. With --pebbles "
                                           "(2-D only) bars are coloured by whether the rank test and the pebble "
                                           "game agree.")
    show.add_argument("--nodes", required=True, type=_at_least(2, "the number of points"), metavar="n")
    show.add_argument("--dim", required=True, type=_dimension, metavar="d")
    show.add_argument("--seed", required=True, type=_seed, metavar="s")
    show.add_argument("--pebbles", action="store_true", help="compare with the pebble game instead")
    show.add_argument("-o", "--output", required=True, type=Path, metavar="PNG",
                      help="the picture; its suffix (.png, .pdf, .svg, ...) gives the format")

    summary = commands.add_parser("summary", help="draw the label balance and rigid share of datasets",
                                  description="Draw the label balance and the share of rigid frameworks against the "
                                              "number of points, over one or more dataset directories.")
    summary.add_argument("directories", nargs="+", type=Path, metavar="DIR")
    summary.add_argument("-o", "--output", required=True, type=Path, metavar="PNG",
                         help="the picture; its suffix (.png, .pdf, .svg, ...) gives the format")
    return parser


def _generate(args: argparse.Namespace) -> int:
    report = generate(args.graphs, args.nodes, args.dim, args.seed, args.out, shard_size=args.shard_size,
                      format=args.format, workers=args.workers, scheduler=args.scheduler,
                      overwrite=args.overwrite, progress=not args.quiet and sys.stderr.isatty())
    if not args.quiet:
        print(report.summary)
    return 0


def _info(args: argparse.Namespace) -> int:
    directory = dataset_directory(args.directory)
    manifest = read_manifest(directory)
    plan = plan_of(manifest)
    print(f"{plan.graphs:,} frameworks of {plan.nodes} points in {plan.dim}-D, seed {plan.seed}, "
          f"{plan.shard_count} {plan.format} shards of up to {plan.shard_size} (version {manifest.get('version')})")
    # Streamed, one shard at a time, so that a dataset of any size is checked in the same memory.
    shards = bad = rigid = independent = 0
    first_bad = None
    for name, record in shard_records(directory, manifest):
        shards += 1
        path = os.path.join(directory, name)  # not a Path: see writer
        if record is None or not os.path.isfile(path) or sha256_file(path) != record["sha256"]:
            bad += 1
            first_bad = first_bad or name
        else:
            rigid += record["rigid"]
            independent += record["independent_bars"]
    if bad:
        print(f"incomplete: {bad} of {shards} shards missing, unfinished or damaged "
              f"(first: {first_bad}); run the same generate command again to finish it")
        return 1
    if not is_complete(manifest):
        print("incomplete: every shard is intact but the run writing them did not finish; "
              "run the same generate command again to finish it")
        return 1
    share = independent / plan.bars
    print(f"complete: {rigid / plan.graphs:.1%} rigid, bars {share:.1%} independent / {1 - share:.1%} redundant")
    return 0


def _picture(path: Path) -> Path:
    """path, once its suffix names a format matplotlib writes: checked before any drawing."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise MissingExtraError("pictures need matplotlib: pip install 'telvora[plot]'") from None
    formats = FigureCanvasBase.get_supported_filetypes()
    fmt = path.suffix.lower().lstrip(".")
    if fmt not in formats:
        found = f"{path.suffix!r} is not a picture format" if fmt else "it has no suffix"
        raise DatasetError(f"cannot draw {path}: {found}; end its name with one of "
                           f"{', '.join('.' + name for name in sorted(formats))}")
    if not path.parent.is_dir():
        raise DatasetError(f"cannot write {path}: there is no directory {path.parent}")
    return path


def _show(args: argparse.Namespace) -> int:
    output = _picture(args.output)
    if args.pebbles and args.dim != 2:
        raise DatasetError("--pebbles compares with the pebble game, which is planar: use --dim 2")
    from .plotting import plot_framework, plot_pebble_comparison
    from .points import framework_points

    coords = framework_points([args.seed], args.nodes, args.dim)[0]
    title = f"{args.nodes} points in {args.dim}-D, seed {args.seed}"
    if args.pebbles:
        artists = plot_pebble_comparison(coords, title=title)
    else:
        import telvora

        (result,) = telvora.generate_training_batch(1, args.nodes, args.dim, args.seed)
        artists = plot_framework(coords, result["labels"], title=title)
    artists.figure.savefig(output, dpi=130, bbox_inches="tight")
    print(f"wrote {output}")
    return 0


def _summary(args: argparse.Namespace) -> int:
    from itertools import chain

    from .plotting import plot_dataset_summary
    from .reader import load

    output = _picture(args.output)
    directories = [dataset_directory(directory) for directory in args.directories]
    for directory in directories:  # every one readable before any is drawn
        read_manifest(directory)
    names = ", ".join(directory.resolve().name for directory in directories)
    figure = plot_dataset_summary(chain.from_iterable(load(directory) for directory in directories), title=names)
    figure.savefig(output, dpi=130, bbox_inches="tight")
    print(f"wrote {output}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "generate": _generate, "info": _info, "show": _show, "summary": _summary}


def _describe(error: Exception) -> str:
    """error as one line for the person running the command."""
    if isinstance(error, DatasetError):
        text = str(error)
    elif isinstance(error, OSError) and error.filename is not None:
        text = f"cannot use {error.filename}: {error.strerror or error}"
    elif isinstance(error, MemoryError):
        text = "not enough memory for this request"
    else:  # from a library: its own words, with its kind
        text = f"{type(error).__name__}: {error}"
    return " ".join(text.split())


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except KeyboardInterrupt:
        resume = "; run the same command again to resume" if args.command == "generate" else ""
        print(f"{PROG}: interrupted{resume}", file=sys.stderr)
        return 130
    except Exception as error:  # every failure is one line on stderr, never a traceback
        print(f"{PROG}: error: {_describe(error)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

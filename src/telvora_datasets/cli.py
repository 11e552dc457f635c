"""The telvora-datasets command: generate a dataset, describe it, or draw a framework or a summary."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from collections.abc import Iterator
from typing import Any, NoReturn

from . import __version__
from .errors import DatasetError, MissingExtraError
from .families import BALANCES, FAMILIES, ORDERS, POSITIONS, CompleteFamily, GraphFamily, OptionError, make_family
from .files import read_file
from .formats import FORMATS
from .manifest import DEFAULT_SHARD_SIZE, Manifest, Plan, ShardRecord, dataset_directory, is_complete, plan_of
from .manifest import present_records, sha256_of, shard_records
from .points import MASK
from .reader import read_manifest
from .stats import Statistics, dataset_statistics, shard_statistics
from .writer import Options, default_workers, generate

PROG = "telvora-datasets"
PIPE_CLOSED = 141  # 128 + SIGPIPE: what a shell reports for a writer whose reader closed the pipe


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
        if value > MASK:
            raise argparse.ArgumentTypeError(f"{what} must be at most 2**64 - 1 (got {value})")
        return value
    return parse


def _seed(text: str) -> int:
    value = _integer(text)
    if not 0 <= value <= MASK:
        raise argparse.ArgumentTypeError(f"the seed must be from 0 to 2**64 - 1 = {MASK} (got {value})")
    return value


def _dimension(text: str) -> int:
    value = _integer(text)
    if value not in (2, 3):
        raise argparse.ArgumentTypeError(f"the dimension must be 2 or 3 (got {value})")
    return value


def _float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _number(text: str) -> int | float:
    """An integer when text is one, else a float (the expected degree of gnp may be fractional)."""
    try:
        return int(text, 0)
    except ValueError:
        return _float(text)


def _parser() -> argparse.ArgumentParser:
    """The command line: generate, info, and the three commands that draw."""
    parser = _Parser(prog=PROG, description="Reproducible, sharded datasets of labelled random frameworks.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    _add_generate(commands)
    info = commands.add_parser("info", help="describe a dataset and check its shards",
                               description="Print a dataset's parameters and summary, and check every shard "
                                           "against its SHA-256; exit 1 if any is missing or damaged, or if "
                                           "the run writing it has not finished.")
    info.add_argument("directory", type=Path, metavar="DIR", help="the dataset directory, or its manifest.json")

    _add_pictures(commands)
    return parser


def _add_generate(commands: Any) -> None:
    """The generate command: the run's own options, then the graph families' in a group of their own."""
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
    _add_family_options(make)


def _add_family_options(make: argparse.ArgumentParser) -> None:
    """generate's options that choose a graph family and its parameters."""
    graphs = make.add_argument_group(
        "graph families", "Instead of the complete-graph frameworks, graphs of a random family labelled by "
                          "telvora_graphs: graph k is drawn from (SEED, k) alone. Each option applies to the "
                          "families named in its help; any other combination is refused.")
    graphs.add_argument("--family", choices=list(FAMILIES), default="complete",
                        help="complete (default: the frameworks of generate_training_batch), gnp, gnm, geometric, "
                             "knn, henneberg or regular")
    graphs.add_argument("--positions", choices=POSITIONS,
                        help="generic (default: exact generic labels), or points drawn uniform, on a few lines or "
                             "planes, on an integer grid or on a conic, labelled at those points")
    graphs.add_argument("--order", choices=ORDERS,
                        help="edge order of the labels: given (default, lexicographic) or random (per graph)")
    graphs.add_argument("--edges", metavar="M", help="gnm: edges per graph, a number or an expression in n and d "
                                                     "such as 2n-3+2 (default d*n - d(d+1)/2)")
    graphs.add_argument("--p", type=_float, metavar="P", help="gnp: edge probability (default: as many edges as "
                                                              "a rigid graph needs, on average)")
    graphs.add_argument("--degree", type=_number, metavar="D",
                        help="gnp: expected degree instead of --p; regular: the degree (default 2d)")
    graphs.add_argument("--radius", type=_float, metavar="R", help="geometric: join points at most R apart")
    graphs.add_argument("--k", type=_integer, metavar="K", help="knn: join each point to its K nearest (default d+1)")
    graphs.add_argument("--add", type=_integer, metavar="A",
                        help="henneberg: pairs added to the minimally rigid graph (default 0)")
    graphs.add_argument("--remove", type=_integer, metavar="R", help="henneberg: edges then removed (default 0)")
    graphs.add_argument("--flats", type=_integer, metavar="F",
                        help=f"positions lines or planes: how many (default 3)")
    graphs.add_argument("--grid-size", type=_integer, metavar="G",
                        help="positions grid: points on distinct cells of {0..G-1}^d (default: G^d >= 2n)")
    graphs.add_argument("--balance", choices=BALANCES,
                        help="rigid: redraw graphs until even-numbered ones are rigid and odd-numbered flexible")
    graphs.add_argument("--split", metavar="FRACTIONS",
                        help="train,validation,test fractions such as 0.8,0.1,0.1 (or train,test), by graph index")
    graphs.add_argument("--globally-rigid", action="store_true",
                        help="also decide generic global rigidity (about a fifth slower)")
    graphs.add_argument("--components", action="store_true",
                        help="also store each graph's rigid components (and in the plane each edge's component)")



def _add_pictures(commands: Any) -> None:
    """show, draw and summary: the commands that draw with matplotlib."""
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

    draw = commands.add_parser("draw", help="draw one graph or framework of a dataset (needs matplotlib)",
                               description="Draw record INDEX of the dataset in DIR: its edges at its points (a "
                                           "graph without points on a circle), each rigid component in a colour "
                                           "of its own when the dataset has them (--components), otherwise "
                                           "independent edges solid and dependent ones dashed.")
    draw.add_argument("directory", type=Path, metavar="DIR", help="the dataset directory, or its manifest.json")
    draw.add_argument("--index", type=int, default=0, metavar="K", help="which graph or framework (default 0)")
    draw.add_argument("-o", "--output", required=True, type=Path, metavar="PNG",
                      help="the picture; its suffix (.png, .pdf, .svg, ...) gives the format")

    summary = commands.add_parser("summary", help="draw the label balance and rigid share of datasets",
                                  description="Draw the label balance and the share of rigid frameworks against the "
                                              "number of points, over one or more dataset directories.")
    summary.add_argument("directories", nargs="+", type=Path, metavar="DIR")
    summary.add_argument("-o", "--output", required=True, type=Path, metavar="PNG",
                         help="the picture; its suffix (.png, .pdf, .svg, ...) gives the format")


FAMILY_OPTIONS = ("positions", "order", "edges", "p", "degree", "radius", "k", "add", "remove", "flats",
                  "grid_size", "balance", "split", "globally_rigid", "components")


def _family(args: argparse.Namespace) -> GraphFamily | CompleteFamily:
    """The family the flags ask for, resolved against --nodes and --dim (OptionError otherwise)."""
    family = make_family(args.family, args.nodes, args.dim, **{name: getattr(args, name) for name in FAMILY_OPTIONS})
    return CompleteFamily() if family is None else family


def _generate(args: argparse.Namespace) -> int:
    options = Options(shard_size=args.shard_size, format=args.format, workers=args.workers, scheduler=args.scheduler,
                      overwrite=args.overwrite, progress=not args.quiet and sys.stderr.isatty())
    report = generate(args.graphs, args.nodes, args.dim, args.seed, args.out, _family(args), options)
    if not args.quiet:
        print(report.summary)
    return 0


def _describe_plan(plan: Plan, manifest: Manifest) -> list[str]:
    shards = f"{plan.shard_count} {plan.format} shards of up to {plan.shard_size} (version {manifest.get('version')})"
    if plan.family is None:
        return [f"{plan.graphs:,} frameworks of {plan.nodes} points in {plan.dim}-D, seed {plan.seed}, {shards}"]
    return [f"{plan.graphs:,} {plan.family.name} graphs on {plan.nodes} vertices in {plan.dim}-D, seed {plan.seed}, "
            f"{shards}", plan.family.describe()]


def _intact(directory: Path, name: str, record: ShardRecord | None, plan: Plan) -> Statistics | None:
    """The statistics of a shard that matches its record, else None (missing, a link, damaged)."""
    if record is None:
        return None
    try:
        data = read_file(directory, name)
    except (OSError, DatasetError):
        return None
    if sha256_of(data) != record["sha256"]:
        return None
    try:
        return shard_statistics(data, plan.format, plan.nodes)
    except Exception:  # the checksum matches a record that is not this shard's
        return None


def _info(args: argparse.Namespace) -> int:
    directory = dataset_directory(args.directory)
    manifest = read_manifest(directory)
    plan = plan_of(manifest)
    for line in _describe_plan(plan, manifest):
        print(line)
    # Streamed, one shard at a time, so that a dataset of any size is checked in the same memory;
    # a shard without a record is missing whatever its file holds, so only recorded ones are read.
    if manifest.get("layout") == 1:
        entries: Iterator[tuple[int, tuple[str, ShardRecord | None]]] = enumerate(shard_records(directory, manifest))
    else:
        entries = ((index, (plan.shard_name(index), record)) for index, record in present_records(directory, plan))
    good = damaged = expected = 0  # expected: the next shard, unless the records skipped some
    found = Statistics()
    first_missing: str | None = None
    first_damaged: str | None = None
    for index, (name, record) in entries:
        if index > expected and first_missing is None:
            first_missing = plan.shard_name(expected)  # skipped: no record
        expected = index + 1
        statistics = _intact(directory, name, record, plan)
        if statistics is not None:
            found.add(statistics)
            good += 1
        elif record is None:  # never recorded: not written yet, or torn by a crash
            first_missing = first_missing or name
        else:  # recorded, yet the file is gone, changed or unreadable
            damaged += 1
            first_damaged = first_damaged or name
    missing = plan.shard_count - good - damaged
    if damaged:
        also = f", and {missing:,} missing" if missing else ""
        print(f"damaged: {damaged:,} of {plan.shard_count:,} shards do not match their checksums (first: "
              f"{first_damaged}){also}; run the same generate command again to rewrite them")
        return 1
    if missing:
        first_missing = first_missing or plan.shard_name(expected)
        print(f"incomplete: {missing:,} of {plan.shard_count:,} shards missing, not written yet (first: {first_missing}); "
              "run the same generate command again to finish it")
        return 1
    if not is_complete(manifest):
        print("incomplete: every shard is intact but the run writing them did not finish; "
              "run the same generate command again to finish it")
        return 1
    lines = found.lines()
    if plan.family is None:
        share = found.independent / plan.bars
        print(f"complete: {found.rigid / plan.graphs:.1%} rigid, bars {share:.1%} independent / "
              f"{1 - share:.1%} redundant")
        lines = lines[1:]
    else:
        lines[0] = "complete: " + lines[0]
    for line in lines:
        print(line)
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


def _draw(args: argparse.Namespace) -> int:
    output = _picture(args.output)
    from .regeneration import regenerate
    from .plotting import plot_record

    # The record computed again from the manifest, as load would give it, without reading shards.
    record = regenerate(args.directory, args.index)
    plot_record(record).figure.savefig(output, dpi=130, bbox_inches="tight")
    print(f"wrote {output}")
    return 0


def _summary(args: argparse.Namespace) -> int:
    from .plotting import plot_datasets_summary
    from .reader import load

    output = _picture(args.output)
    directories = [dataset_directory(directory) for directory in args.directories]
    for directory in directories:  # every one readable before any is drawn
        read_manifest(directory)
    statistics = [dataset_statistics(directory) for directory in directories]  # checked before anything is printed
    for directory, found in zip(directories, statistics):
        print(f"{directory}:")
        for line in found.lines():
            print(f"  {line}")
    names = [directory.resolve().name for directory in directories]
    # Each dataset its own bar, even beside another of the same size (a name twice gets its path).
    keys = [str(directory) if names.count(name) > 1 else name for name, directory in zip(names, directories)]
    figure = plot_datasets_summary({key: load(directory) for key, directory in zip(keys, directories)},
                                   title=", ".join(names))
    figure.savefig(output, dpi=130, bbox_inches="tight")
    print(f"wrote {output}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "generate": _generate, "info": _info, "show": _show, "draw": _draw, "summary": _summary}


def _describe(error: Exception) -> str:
    """error as one line for the person running the command."""
    if isinstance(error, OptionError):  # the library speaks Python; the command speaks its flags
        text = error.command
    elif isinstance(error, DatasetError):
        text = str(error)
    elif isinstance(error, OSError) and error.filename is not None:
        text = f"cannot use {error.filename}: {error.strerror or error}"
    elif isinstance(error, MemoryError):
        text = "not enough memory for this request"
    else:  # from a library: its own words, with its kind
        text = f"{type(error).__name__}: {error}"
    return " ".join(text.split())


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with arguments argv (sys.argv[1:] by default); returns its exit status.
    Every error is one line on stderr; a Ctrl-C is one line and status 130."""
    command = None
    try:
        parser = _parser()
        args = parser.parse_args(argv)
        command = args.command
        if command == "generate":  # a bad combination of options is a usage error, found before any work
            try:
                _family(args)
            except OptionError as error:
                parser.exit(2, f"{PROG}: error: {error.command}\n")
        status = COMMANDS[command](args)
        sys.stdout.flush()  # here, so that a reader that went away is met inside this try
        return status
    except BrokenPipeError:
        # The reader of the output went away (`info DIR | head -1`): nothing more can be said, and
        # the interpreter's own flush at exit must not try again.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return PIPE_CLOSED
    except KeyboardInterrupt:
        resume = "; run the same command again to resume" if command == "generate" else ""
        print(f"{PROG}: interrupted{resume}", file=sys.stderr)
        return 130
    except Exception as error:  # every failure is one line on stderr, never a traceback
        print(f"{PROG}: error: {_describe(error)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

"""The telvora-datasets command: generate a dataset, describe it, or draw a framework or a summary."""

import argparse
import sys
from pathlib import Path

from . import __version__
from .errors import DatasetError
from .formats import FORMATS
from .manifest import DEFAULT_SHARD_SIZE, plan_of, sha256_file
from .points import _MASK
from .reader import read_manifest
from .writer import default_workers, generate

PROG = "telvora-datasets"


def _integer(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None


def _at_least(lowest, what):
    def parse(text):
        value = _integer(text)
        if value < lowest:
            raise argparse.ArgumentTypeError(f"{what} must be at least {lowest} (got {value})")
        if value > _MASK:
            raise argparse.ArgumentTypeError(f"{what} must be at most 2**64 - 1 (got {value})")
        return value
    return parse


def _seed(text):
    value = _integer(text)
    if not 0 <= value <= _MASK:
        raise argparse.ArgumentTypeError(f"the seed must be from 0 to 2**64 - 1 = {_MASK} (got {value})")
    return value


def _dimension(text):
    value = _integer(text)
    if value not in (2, 3):
        raise argparse.ArgumentTypeError(f"the dimension must be 2 or 3 (got {value})")
    return value


def _parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Reproducible, sharded datasets of labelled random frameworks.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    make = commands.add_parser(
        "generate", help="write a dataset",
        description="Write the frameworks of generate_training_batch(GRAPHS, NODES, DIM, SEED) to a directory in "
                    "shards; framework k has the seed SEED + k (mod 2**64). Rerunning the same command resumes an "
                    "interrupted run and gives byte-identical shards.")
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
                      help="parquet (default, needs pyarrow) or npz (needs only NumPy)")
    make.add_argument("--workers", type=_at_least(1, "the number of workers"), default=None, metavar="W",
                      help=f"shards built at once: threads, or processes with --scheduler local "
                           f"(default: every core, {default_workers()} here)")
    make.add_argument("--scheduler", metavar="ADDRESS",
                      help="run the shards on a Dask cluster: tcp://host:port of its scheduler, or 'local' for a "
                           "LocalCluster of W processes; DIR must be shared with the workers")
    make.add_argument("--overwrite", action="store_true", help="replace a different dataset found in DIR")
    make.add_argument("--quiet", action="store_true", help="no progress bar and no summary")

    info = commands.add_parser("info", help="describe a dataset and check its shards",
                               description="Print a dataset's parameters and summary, and check every shard "
                                           "against its SHA-256; exit 1 if any is missing or damaged.")
    info.add_argument("directory", type=Path, metavar="DIR")

    show = commands.add_parser("show", help="draw one generated framework (needs matplotlib)",
                               description="Draw framework 0 of generate_training_batch(1, NODES, DIM, SEED): "
                                           "independent bars solid, redundant bars thin and dashed. With --pebbles "
                                           "(2-D only) bars are coloured by whether the rank test and the pebble "
                                           "game agree.")
    show.add_argument("--nodes", required=True, type=_at_least(2, "the number of points"), metavar="n")
    show.add_argument("--dim", required=True, type=_dimension, metavar="d")
    show.add_argument("--seed", required=True, type=_seed, metavar="s")
    show.add_argument("--pebbles", action="store_true", help="compare with the pebble game instead")
    show.add_argument("-o", "--output", required=True, type=Path, metavar="PNG")

    summary = commands.add_parser("summary", help="draw the label balance and rigid share of datasets",
                                  description="Draw the label balance and the share of rigid frameworks against the "
                                              "number of points, over one or more dataset directories.")
    summary.add_argument("directories", nargs="+", type=Path, metavar="DIR")
    summary.add_argument("-o", "--output", required=True, type=Path, metavar="PNG")
    return parser


def _generate(args):
    report = generate(args.graphs, args.nodes, args.dim, args.seed, args.out, shard_size=args.shard_size,
                      format=args.format, workers=args.workers, scheduler=args.scheduler,
                      overwrite=args.overwrite, progress=not args.quiet and sys.stderr.isatty())
    if not args.quiet:
        print(report.summary)
    return 0


def _info(args):
    manifest = read_manifest(args.directory)
    plan = plan_of(manifest)
    shards = manifest["shards"]
    bad = []
    for entry in shards:
        path = args.directory / entry["file"]
        if entry.get("sha256") is None or not path.is_file() or sha256_file(path) != entry["sha256"]:
            bad.append(entry["file"])
    print(f"{plan.graphs:,} frameworks of {plan.nodes} points in {plan.dim}-D, seed {plan.seed}, "
          f"{plan.shard_count} {plan.format} shards of up to {plan.shard_size} (version {manifest.get('version')})")
    if bad:
        print(f"incomplete: {len(bad)} of {len(shards)} shards missing, unfinished or damaged "
              f"(first: {bad[0]}); run the same generate command again to finish it")
        return 1
    rigid = sum(entry["rigid"] for entry in shards)
    independent = sum(entry["independent_bars"] for entry in shards) / plan.bars
    print(f"complete: {rigid / plan.graphs:.1%} rigid, bars {independent:.1%} independent / "
          f"{1 - independent:.1%} redundant")
    return 0


def _show(args):
    from .plotting import plot_framework, plot_pebble_comparison
    from .points import framework_points

    if args.pebbles and args.dim != 2:
        raise DatasetError("--pebbles compares with the pebble game, which is planar: use --dim 2")
    coords = framework_points([args.seed], args.nodes, args.dim)[0]
    title = f"{args.nodes} points in {args.dim}-D, seed {args.seed}"
    if args.pebbles:
        artists = plot_pebble_comparison(coords, title=title)
    else:
        import telvora

        (result,) = telvora.generate_training_batch(1, args.nodes, args.dim, args.seed)
        artists = plot_framework(coords, result["labels"], title=title)
    artists.figure.savefig(args.output, dpi=130, bbox_inches="tight")
    print(f"wrote {args.output}")
    return 0


def _summary(args):
    from itertools import chain

    from .plotting import plot_dataset_summary
    from .reader import load

    names = ", ".join(directory.resolve().name for directory in args.directories)
    figure = plot_dataset_summary(chain.from_iterable(load(directory) for directory in args.directories),
                                  title=names)
    figure.savefig(args.output, dpi=130, bbox_inches="tight")
    print(f"wrote {args.output}")
    return 0


COMMANDS = {"generate": _generate, "info": _info, "show": _show, "summary": _summary}


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except DatasetError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; run the same command again to resume", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

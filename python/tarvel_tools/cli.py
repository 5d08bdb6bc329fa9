"""Command line: ``python -m tarvel_tools generate ...`` writes a dataset, ``verify DIR`` checks one,
``summarize DIR`` tells how its labels vary.

Every error is one line in the terms of the command line (the option typed, the
command to run). Exit status: 0 done, 1 failed (a damaged or unfinished dataset,
a directory that cannot be written, a missing extra), 2 usage error (a bad option,
or a directory that the command as typed may not write into), 130 interrupted;
a reader that stops early (``| head``) ends the command quietly.
"""

from __future__ import annotations

import argparse
import difflib
import os
import re
import shlex
import sys
from collections.abc import Sequence
from decimal import Decimal, InvalidOperation
from typing import Any

from .dataset.store import (
    COMPLETE,
    DatasetError,
    Manifest,
    OccupiedDirectoryError,
    OtherArgumentsError,
    UnfinishedDatasetError,
    check_arguments,
    model_record,
    read_manifest,
    verify_dataset,
    write_dataset,
)
from ._graph_input import ARITHMETICS
from ._realize_cli import add_realize_command, realize_command
from .models import GRAPH_MODELS, LABEL_METHODS, POINT_MODELS
from .dataset.summary import summarize

__all__ = ["main"]

# The options of `generate` that carry write_dataset's arguments, by argument name.
OPTIONS = {
    "n_graphs": "--graphs",
    "n_nodes": "--nodes",
    "d": "--dim",
    "seed": "--seed",
    "shard_size": "--shard-size",
    "workers": "--workers",
}
REQUIRED = ("--graphs", "--nodes", "--dim", "--seed", "--out", "--shard-size")
DEFAULT_MODEL = "near-threshold"
# Every parameter of the graph and point models, each once, in the order of their documentation.
MODEL_PARAMETERS = {parameter.name: parameter for models in (GRAPH_MODELS, POINT_MODELS) for
                    parameters in models.values() for parameter in parameters}  # fmt: skip
# Exit statuses.
FAILURE = 1
USAGE = 2
# What a shell reports for a command ended by Ctrl-C (128 + SIGINT).
INTERRUPTED = 130
# What a shell reports for a writer whose reader went away (128 + SIGPIPE).
BROKEN_PIPE = 141
# Whole numbers beyond this are surely typing errors, and converting them could take long.
LARGEST_NUMBER = Decimal(10) ** 40


def whole_number(text: str) -> int:
    """An integer written as 1000000, 1_000_000, 1e6 or 1.5e6 (but not 1.5)."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value.is_finite() or abs(value) > LARGEST_NUMBER or value != value.to_integral_value():
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    return int(value)


def option_of(name: str) -> str:
    """The option of `generate` that carries the argument or model parameter `name`."""
    return OPTIONS.get(name) or "--" + name.replace("_", "-")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Make and check sharded Parquet datasets of labelled random frameworks.",
        epilog="Exit status: 0 done, 1 failed, 2 usage error, 130 interrupted.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    generate = commands.add_parser(
        "generate",
        help="write N labelled random graphs of a model as Parquet shards",
        description="Write N seeded random graphs of a model, labelled, as Parquet shards with a manifest "
        f"(by default the {DEFAULT_MODEL} model: about half of its graphs are rigid). "
        "Every finished shard is kept: after Ctrl-C or a crash, run the same command again to finish.",
        usage="%(prog)s --graphs N --nodes n --dim {2,3} --seed s --out DIR --shard-size S "
        "[--model MODEL [model options]] [--workers W | --scheduler ADDRESS] [--no-progress] [--force]",
    )
    # Required options are checked after parsing, so that a misspelt option is reported first.
    required = generate.add_argument_group("required options (numbers may be written 1e6 or 1_000_000)")
    required.add_argument("--graphs", type=whole_number, metavar="N", help="number of graphs")
    required.add_argument("--nodes", type=whole_number, metavar="n", help="nodes per graph")
    required.add_argument("--dim", type=whole_number, metavar="{2,3}", help="dimension d")
    required.add_argument("--seed", type=whole_number, metavar="s", help="seed, 0 <= s < 2**64")
    required.add_argument("--out", metavar="DIR", help="dataset directory (created if missing)")
    required.add_argument("--shard-size", type=whole_number, metavar="S", help="graphs per shard file")
    _add_model_options(generate)
    others = generate.add_argument_group("other options")
    where = others.add_mutually_exclusive_group()
    where.add_argument("--workers", type=whole_number, metavar="W", help="local threads (default: min(2, CPU count))")
    where.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address: make the shards on its cluster")
    others.add_argument("--no-progress", action="store_true", help="do not show a progress bar")
    others.add_argument("--force", action="store_true",
                        help="write into a directory that holds other files (they are left alone)")
    generate.set_defaults(parser=generate)

    _add_directory_command(
        commands,
        "verify",
        "check a dataset's shards against their checksums",
        "Check that every shard of a dataset is present and matches the SHA-256 checksum in its "
        "manifest. Exits with 0 if the dataset is complete and sound, 1 otherwise.",
    )
    _add_directory_command(
        commands,
        "summarize",
        "tell how a dataset's labels vary",
        "Print the rigid fraction, the mean and spread of the independent-bar share, the number "
        "of distinct label vectors and the histogram of degrees of freedom of a dataset's graphs.",
    )
    add_realize_command(commands)
    return parser


def _add_directory_command(commands: Any, name: str, summary: str, description: str) -> None:
    command = commands.add_parser(name, help=summary, description=description)
    command.add_argument("directory", metavar="DIR", help="the dataset directory (the --out of generate)")
    command.set_defaults(parser=command)


def _add_model_options(generate: argparse.ArgumentParser) -> None:
    models = generate.add_argument_group(
        "model options", "what graphs to make (see tarvel_tools.models); a parameter left out takes its default"
    )
    models.add_argument("--model", choices=[*GRAPH_MODELS, COMPLETE], default=DEFAULT_MODEL,
                        help=f"graph model (default {DEFAULT_MODEL}; {COMPLETE}: generate_training_batch)")
    models.add_argument("--points", choices=list(POINT_MODELS), help="point model (default box)")
    models.add_argument("--labels", choices=LABEL_METHODS, help="how bars are labelled (default numeric)")
    models.add_argument("--tol", type=float,
                        help="tolerance of the numeric rank test (default 1e-6 relative, 1e-9 absolute for simulate)")
    models.add_argument("--arithmetic", choices=ARITHMETICS,
                        help="arithmetic of numeric labels (default orthogonal; simulate to resume a dataset made with it)")
    for name, parameter in MODEL_PARAMETERS.items():
        default = "" if parameter.default is None else f" (default {parameter.default})"
        models.add_argument(
            option_of(name),
            dest=name,
            type=whole_number if parameter.kind is int else float,
            metavar=name.split("_")[-1].upper(),
            help=parameter.help + default,
        )


def model_options(args: argparse.Namespace) -> dict[str, Any]:
    """The model parameters given on the command line, by name."""
    names = ["points", *MODEL_PARAMETERS]
    return {name: getattr(args, name) for name in names if getattr(args, name) is not None}


def labelling(args: argparse.Namespace) -> tuple[str, float | None]:
    """The labels and tolerance asked for, or write_dataset's defaults (None: the arithmetic's own tolerance)."""
    return ("numeric" if args.labels is None else args.labels), args.tol


def option_names(parser: argparse.ArgumentParser) -> list[str]:
    """The options a parser offers, as its help lists them (argparse has no public list of them)."""
    return sorted(set(re.findall(r"(?<![\w-])--?[A-Za-z][\w-]*", parser.format_help())))


def unknown_arguments(parser: argparse.ArgumentParser, unknown: Sequence[str]) -> str:
    """The error for arguments no option takes, suggesting the option a misspelt one may mean."""
    options = [token for token in unknown if token.startswith("-")]
    if not options:
        return f"unrecognized arguments: {' '.join(unknown)}"
    known = option_names(parser)
    described = []
    for option in options:
        close = difflib.get_close_matches(option.split("=")[0], known, n=1)
        described.append(f"{option} (did you mean {close[0]}?)" if close else option)
    return f"unknown option{'s' if len(options) > 1 else ''} {', '.join(described)}"


def check_generate_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    missing = [option for option in REQUIRED if getattr(args, option[2:].replace("-", "_")) is None]
    if missing:
        parser.error(f"the following arguments are required: {', '.join(missing)}")
    values = {name: getattr(args, option[2:].replace("-", "_")) for name, option in OPTIONS.items()}
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        parser.error(f"--out {args.out} is a file: give a directory for the dataset")
    try:
        check_arguments(values, label=OPTIONS.__getitem__)
        model_record(args.model, args.nodes, args.dim, *labelling(args), model_options(args), label=option_of,
                     arithmetic=args.arithmetic)
    except (TypeError, ValueError) as error:
        parser.error(str(error))


def generate(args: argparse.Namespace) -> int:
    try:
        result = write_dataset(
            args.out,
            args.graphs,
            args.nodes,
            args.dim,
            args.seed,
            args.shard_size,
            model=args.model,
            labels=labelling(args)[0],
            tol=labelling(args)[1],
            arithmetic=args.arithmetic,
            client=args.scheduler,
            workers=args.workers,
            progress=not args.no_progress,
            force=args.force,
            **model_options(args),
        )
    except KeyboardInterrupt:
        print(interrupted(args.out), file=sys.stderr)
        return INTERRUPTED
    except OtherArgumentsError as error:
        return usage_error(error.describe(lambda name: option_of(name) + " "))
    except OccupiedDirectoryError as error:
        return usage_error(error.describe("--force"))
    except (DatasetError, ImportError, OSError) as error:
        return failure(str(error))
    print(written(result))
    return 0


def written(result: Any) -> str:
    """The line that tells what `generate` did."""
    manifest = result.manifest
    where = f"{counted(manifest.n_graphs, 'graph')} in {counted(len(manifest.shards), 'shard')} in {manifest.directory}"
    if not manifest.shards:
        return f"{where}: an empty dataset (--graphs 0), written in {result.seconds:.2f} s"
    if result.shards_written == 0:
        return f"{where}: complete already, {counted(result.shards_reused, 'shard')} verified in {result.seconds:.2f} s"
    kept = f", {counted(result.shards_reused, 'shard')} kept from an earlier run" if result.shards_reused else ""
    return (
        f"{where}: wrote {counted(result.graphs_written, 'graph')} ({counted(result.shards_written, 'shard')}{kept}) "
        f"in {result.seconds:.2f} s, {result.graphs_per_second:,.0f} graphs/s"
    )


def counted(count: int, noun: str) -> str:
    """``1 shard``, ``2 shards``, ``1,000 graphs``."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def interrupted(directory: str) -> str:
    """The line that tells how far an interrupted run got: what is kept, not what the progress bar counted."""
    try:
        manifest = read_manifest(directory)
    except DatasetError:
        return "interrupted before any shard was done; run the same command again to start over"
    kept = sum(shard.rows for shard in manifest.shards if shard.sha256 is not None)
    return (
        f"interrupted: {counted(kept, 'graph')} of {manifest.n_graphs:,} kept "
        f"({manifest.shards_done} of {len(manifest.shards)} shards done; graphs of unfinished shards are made again); "
        "run the same command again to resume"
    )


def generate_command(manifest: Manifest) -> str:
    """The `generate` command that makes (or finishes) the dataset of a manifest."""
    arguments = manifest.arguments
    words = [program_name(), "generate"]
    words += [f"{OPTIONS[name]} {arguments[name]}" for name in ("n_graphs", "n_nodes", "d", "seed", "shard_size")]
    words.append(f"--out {shlex.quote(str(manifest.directory))}")
    model = dict(manifest.model) if manifest.model is not None else {"model": COMPLETE}
    for name, value in model.items():
        if value is not None:
            option = "--" + name if name in ("model", "points", "labels", "tol") else option_of(name)
            words.append(f"{option} {value!s}")
    return " ".join(words)


def program_name() -> str:
    """How the user started the command line: ``python -m tarvel_tools`` or the console script's name."""
    launcher = os.path.basename(sys.argv[0])
    return "python -m tarvel_tools" if launcher in ("__main__.py", "-m", "-c", "") else launcher


def usage_error(message: str) -> int:
    print(f"error: {message}", file=sys.stderr)
    return USAGE


def failure(message: str) -> int:
    print(f"error: {message}", file=sys.stderr)
    return FAILURE


def verify(args: argparse.Namespace) -> int:
    try:
        problems = verify_dataset(args.directory)
        manifest = read_manifest(args.directory)
    except (DatasetError, OSError) as error:
        return failure(str(error))
    for problem in problems:
        print(problem)
    if problems:
        unfinished = any(problem.endswith("not written yet") for problem in problems)
        hint = f"; to finish it, run: {generate_command(manifest)}" if unfinished else ""
        verb = "is" if len(problems) == 1 else "are"
        print(f"{len(problems)} of {len(manifest.shards)} shards {verb} not sound{hint}", file=sys.stderr)
        return FAILURE
    graphs, shards = counted(manifest.n_graphs, "graph"), counted(len(manifest.shards), "shard")
    print(f"ok: {graphs} in {shards} match their checksums")
    return 0


def summarize_command(args: argparse.Namespace) -> int:
    try:
        summary = summarize(args.directory)
    except UnfinishedDatasetError as error:
        return failure(error.describe(f"run {generate_command(read_manifest(args.directory))}"))
    except (DatasetError, ImportError, OSError) as error:
        return failure(str(error))
    print(summary)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        args.parser.error(unknown_arguments(args.parser, unknown))
    try:
        status = run_command(args)
        sys.stdout.flush()  # here, where a reader that went away is caught, not at exit
        return status
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        return _reader_gone()


def run_command(args: argparse.Namespace) -> int:
    if args.command == "generate":
        check_generate_options(args.parser, args)
        return generate(args)
    if args.command == "summarize":
        return summarize_command(args)
    if args.command == "realize":
        return realize_command(args)
    return verify(args)


def _reader_gone() -> int:
    """End quietly when the reader of the output has gone (``... | head``)."""
    # Output still buffered would fail again at exit, with a message: send it nowhere.
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # stdout is not a file (a test's capture)
        pass
    finally:
        os.close(devnull)
    return BROKEN_PIPE


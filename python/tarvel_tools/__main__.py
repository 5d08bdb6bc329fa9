"""Command line: ``python -m tarvel_tools generate ...`` writes a dataset, ``verify DIR`` checks one."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from .dataset import DatasetError, read_manifest, verify_dataset, write_dataset


def build_parser() -> argparse.ArgumentParser:
    launcher = os.path.basename(sys.argv[0])
    parser = argparse.ArgumentParser(
        prog="python -m tarvel_tools" if launcher in ("__main__.py", "-m") else launcher,
        description="Make and check sharded Parquet datasets of labelled random frameworks.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    generate = commands.add_parser(
        "generate",
        help="write generate_training_batch(N, n, d, s) as Parquet shards",
        description="Write the training batch of N random frameworks as Parquet shards with a manifest. "
        "Rerunning an interrupted command with the same arguments finishes it.",
    )
    generate.add_argument("--graphs", type=int, required=True, metavar="N", help="number of graphs")
    generate.add_argument("--nodes", type=int, required=True, metavar="n", help="nodes per graph")
    generate.add_argument("--dim", type=int, required=True, choices=(2, 3), help="dimension d")
    generate.add_argument("--seed", type=int, required=True, metavar="s", help="seed, 0 <= s < 2**64")
    generate.add_argument("--out", required=True, metavar="DIR", help="dataset directory (created if missing)")
    generate.add_argument("--shard-size", type=int, required=True, metavar="S", help="graphs per shard")
    where = generate.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="W", help="local threads (default: min(2, CPU count))")
    where.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address: make the shards on its cluster")
    generate.add_argument("--no-progress", action="store_true", help="do not show a progress bar")
    generate.set_defaults(parser=generate)

    verify = commands.add_parser("verify", help="check a dataset's shards against their checksums")
    verify.add_argument("directory", metavar="DIR")
    return parser


def generate(args: argparse.Namespace) -> int:
    try:
        result = write_dataset(
            args.out,
            args.graphs,
            args.nodes,
            args.dim,
            args.seed,
            args.shard_size,
            client=args.scheduler,
            workers=args.workers,
            progress=not args.no_progress,
        )
    except (ValueError, TypeError) as error:
        args.parser.error(str(error))
    except (ImportError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    manifest = result.manifest
    where = f"{manifest.n_graphs} graphs in {len(manifest.shards)} shards in {manifest.directory}"
    if result.shards_written == 0:
        print(f"{where}: complete already, {result.shards_reused} shards verified in {result.seconds:.2f} s")
    else:
        print(
            f"{where}: wrote {result.graphs_written} graphs ({result.shards_written} shards, "
            f"{result.shards_reused} kept) in {result.seconds:.2f} s, {result.graphs_per_second:,.0f} graphs/s"
        )
    return 0


def verify(args: argparse.Namespace) -> int:
    try:
        problems = verify_dataset(args.directory)
        manifest = read_manifest(args.directory)
    except DatasetError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} of {len(manifest.shards)} shards are not sound", file=sys.stderr)
        return 1
    print(f"ok: {manifest.n_graphs} graphs in {len(manifest.shards)} shards match their checksums")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "generate":
        return generate(args)
    return verify(args)


if __name__ == "__main__":
    sys.exit(main())

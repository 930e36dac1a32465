"""``velmor update``: embed the new nodes of a grown graph into a saved model.

Reads a model written by ``velmor --save-model`` (or ``Node2Vec.save``), reads the grown graph,
trains the new nodes with the old vectors frozen, and writes the embeddings of every node and,
with ``--save-model``, the updated model. Exit statuses and the handling of outputs are those of
``velmor``: outputs are opened before any work and appear only once everything has succeeded,
so the saved model is never left half-written, even when it is also the ``--model`` read.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time

from velmor._checks import check_int, check_real
from velmor.cli import (
    _ESCAPES,
    _failing_as,
    _flag_names,
    _open_model_file,
    _Parser,
    _read_graph,
    add_edge_list_flags,
    check_distinct_files,
    check_model_path,
    run_guarded,
)
from velmor.embedding_files import FORMATS, check_keys, embedding_format, embedding_output
from velmor.model import Node2Vec


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="velmor update",
        description="Embed the new nodes of a grown graph into a saved model, leaving the "
                    "vectors of its old nodes as they are.",
        epilog="Output formats by extension: " + ", ".join(FORMATS) + ". Example: velmor "
               "update --model karate.npz --input grown.tsv --output grown.emb")
    io = parser.add_argument_group("input and output")
    io.add_argument("--model", required=True, metavar="PATH",
                    help="the model, as written by velmor --save-model")
    io.add_argument("--input", required=True, metavar="PATH",
                    help="the grown graph's edge list: every node of the model under its own "
                         "name, new names for new nodes")
    io.add_argument("--output", metavar="PATH", help="where to write the embeddings of all nodes")
    io.add_argument("--save-model", metavar="PATH",
                    help="where to write the updated model, as .npz (may be --model itself)")
    add_edge_list_flags(io)

    training = parser.add_argument_group("training")
    training.add_argument("--freeze-old", action=argparse.BooleanOptionalAction, default=True,
                          help="keep the old nodes' vectors exactly as they are (default); "
                               "--no-freeze-old lets them move too")
    training.add_argument("--num-walks", type=int, default=None, metavar="N",
                          help="walks from each new node (default: 4 times the model's)")
    training.add_argument("--alpha", type=float, default=None,
                          help="initial learning rate (default: twice the model's)")
    training.add_argument("--workers", type=int, default=None, metavar="N",
                          help="threads; 0 = all cores (default: the model's)")
    training.add_argument("--seed", type=int, default=None,
                          help="random seed (default: the model's)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    return parser


def main(argv: list[str]) -> int:
    """Run ``velmor update`` with ``argv`` (the arguments after ``update``); return the exit
    status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.output is None and args.save_model is None:
        parser.error("give --output for the embeddings, --save-model for the updated model, or "
                     "both")
    delimiter = _ESCAPES.get(args.delimiter, args.delimiter)
    try:
        if args.output is not None:
            embedding_format(args.output)
        check_model_path(args.save_model)
        check_distinct_files([("--model", args.model), ("--input", args.input),
                              ("--output", args.output), ("--save-model", args.save_model)],
                             outputs={"--output", "--save-model"},
                             may_share=("--model", "--save-model"))
        for name, minimum in (("num_walks", 1), ("workers", 0), ("seed", 0)):
            if getattr(args, name) is not None:
                check_int(name, getattr(args, name), minimum=minimum)
        if args.alpha is not None:
            check_real("alpha", args.alpha, positive=True)
    except (TypeError, ValueError) as error:
        parser.error(_flag_names(str(error)))
    return run_guarded(lambda: _update(args, delimiter))


def _update(args: argparse.Namespace, delimiter: str | None) -> None:
    started = time.perf_counter()
    with contextlib.ExitStack() as stack:
        output = None
        if args.output is not None:
            with _failing_as(f"cannot write {args.output}", OSError):
                output = stack.enter_context(embedding_output(args.output))
        model_file = _open_model_file(stack, args.save_model)
        with _failing_as(None, ValueError), _failing_as(f"cannot read {args.model}", OSError):
            model = Node2Vec.load(args.model)
        old_count = len(model.embeddings_)
        model.progress = not args.quiet
        if args.workers is not None:
            model.workers = args.workers
        graph = _read_graph(args, delimiter)
        if output is not None:
            with _failing_as(None, ValueError):
                check_keys(output.format, graph.names, graph.num_nodes)
        with _failing_as(None, MemoryError, ValueError, TypeError, flags=True):
            model.update(graph, freeze_old=args.freeze_old, num_walks=args.num_walks,
                         alpha=args.alpha, seed=args.seed)
        if output is not None:
            with _failing_as(f"cannot write {args.output}", ValueError):
                output.write(model.embeddings_, graph.names)
        if model_file is not None:
            model_file.write(model)
    if not args.quiet:
        written = " and ".join(path for path in (args.output, args.save_model) if path)
        print(f"velmor: {graph.num_nodes} nodes ({graph.num_nodes - old_count} added) in "
              f"{time.perf_counter() - started:.1f} s; wrote {written}", file=sys.stderr)

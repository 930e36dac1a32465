"""The ``velmor`` command: embed an edge-list file and write the vectors.

Flags follow the node2vec and PecanPy scripts. Exit status: 0 on success, 2 for a usage error,
1 when the run fails (unreadable or malformed input, unwritable output), 130 when interrupted.
The output file appears only once training and writing have both succeeded.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
import warnings
from typing import List, Optional

from velmor import __version__
from velmor.edgelist import EdgeListError, check_delimiters, read_edgelist
from velmor.embedding_files import FORMATS, embedding_format, word2vec_words
from velmor.model import Node2Vec

_ESCAPES = {"\\t": "\t", "tab": "\t", "space": " ", "comma": ","}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmor",
        description="Learn node2vec embeddings of an unweighted graph given as an edge list.",
        epilog="Output formats by extension: " + ", ".join(FORMATS) + " (.emb/.emd/.txt/.vec "
               "are word2vec text). Example: velmor --input data/karate/edges.tsv "
               "--output karate.emb")
    io = parser.add_argument_group("input and output")
    io.add_argument("--input", required=True, metavar="PATH",
                    help="edge list: two node names per line; '#' starts a comment")
    io.add_argument("--output", required=True, metavar="PATH", help="where to write the embeddings")
    io.add_argument("--delimiter", default=None, metavar="CHAR",
                    help="column separator, e.g. ',' or '\\t' (default: whitespace or commas)")
    direction = io.add_mutually_exclusive_group()
    direction.add_argument("--directed", action="store_true", help="edges are one-way")
    direction.add_argument("--undirected", dest="directed", action="store_false",
                           help="edges go both ways (the default)")
    weighting = io.add_mutually_exclusive_group()
    weighting.add_argument("--weighted", action="store_true",
                           help="not supported yet: weighted walks are planned")
    weighting.add_argument("--unweighted", dest="weighted", action="store_false",
                           help="every edge counts the same (the default)")

    walks = parser.add_argument_group("walks")
    walks.add_argument("--walk-length", type=int, default=80, metavar="N",
                       help="nodes per walk (default: 80)")
    walks.add_argument("--num-walks", type=int, default=10, metavar="N",
                       help="walks from each node (default: 10)")
    walks.add_argument("--p", type=float, default=1.0, help="return parameter (default: 1)")
    walks.add_argument("--q", type=float, default=1.0, help="in-out parameter (default: 1)")

    training = parser.add_argument_group("training")
    training.add_argument("--dimensions", type=int, default=128, metavar="D",
                          help="embedding size (default: 128)")
    training.add_argument("--window-size", type=int, default=10, metavar="K",
                          help="context window (default: 10)")
    training.add_argument("--negative", type=int, default=5, metavar="N",
                          help="negative samples per context pair (default: 5)")
    training.add_argument("--ns-exponent", type=float, default=0.75, metavar="E",
                          help="negatives drawn in proportion to visit count^E; 0 = uniformly "
                               "(default: 0.75)")
    training.add_argument("--alpha", type=float, default=0.025,
                          help="initial learning rate (default: 0.025)")
    training.add_argument("--min-alpha", type=float, default=0.0001,
                          help="final learning rate (default: 0.0001)")
    training.add_argument("--workers", type=int, default=None, metavar="N",
                          help="threads; 0 = all cores (default: all cores)")
    training.add_argument("--seed", type=int, default=None,
                          help="random seed; with --workers 1 the output is reproducible")

    parser.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    parser.add_argument("--version", action="version", version=f"velmor {__version__}")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.weighted:
        parser.error("--weighted: weighted graphs are not supported yet; "
                     "drop the weight column to embed the graph unweighted")
    delimiter = _ESCAPES.get(args.delimiter, args.delimiter)
    model = Node2Vec(dimensions=args.dimensions, walk_length=args.walk_length,
                     walks_per_node=args.num_walks, window=args.window_size, p=args.p, q=args.q,
                     negative=args.negative, ns_exponent=args.ns_exponent, alpha=args.alpha,
                     min_alpha=args.min_alpha, workers=args.workers, seed=args.seed,
                     progress=not args.quiet)
    try:
        check_delimiters(delimiter, "#")
        output_format = embedding_format(args.output)
        model.check_params()
    except (TypeError, ValueError) as error:
        parser.error(_flag_names(str(error)))
    directory = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(directory):
        return _fail(f"cannot write {args.output}: directory {directory} does not exist")

    try:
        return _run(args, model, delimiter, output_format)
    except KeyboardInterrupt:
        print("velmor: interrupted; nothing written", file=sys.stderr)
        return 130


def _run(args: argparse.Namespace, model: Node2Vec, delimiter: Optional[str],
         output_format: str) -> int:
    started = time.perf_counter()
    try:
        graph = read_edgelist(args.input, directed=args.directed, delimiter=delimiter)
    except EdgeListError as error:
        return _fail(str(error))
    except OSError as error:
        return _fail(f"cannot read {args.input}: {error.strerror or error}")
    if output_format == "word2vec" and graph.names is not None:
        try:
            word2vec_words(graph.names, graph.num_nodes)
        except ValueError as error:
            return _fail(str(error))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the interruption is reported below
        model.fit(graph)
    if model.epochs_trained_ < args.num_walks:
        print("velmor: interrupted; nothing written", file=sys.stderr)
        return 130
    try:
        model.save(args.output)
    except (OSError, ValueError) as error:
        return _fail(f"cannot write {args.output}: {getattr(error, 'strerror', None) or error}")
    if not args.quiet:
        print(f"velmor: embedded {graph.num_nodes} nodes in {args.dimensions} dimensions "
              f"into {args.output} ({time.perf_counter() - started:.1f} s)", file=sys.stderr)
    return 0


def _fail(message: str) -> int:
    print(f"velmor: error: {message}", file=sys.stderr)
    return 1


_FLAGS = {"dimensions": "--dimensions", "walk_length": "--walk-length",
          "walks_per_node": "--num-walks", "window": "--window-size", "p": "--p", "q": "--q",
          "negative": "--negative", "ns_exponent": "--ns-exponent", "alpha": "--alpha",
          "min_alpha": "--min-alpha", "workers": "--workers", "seed": "--seed",
          "delimiter": "--delimiter"}


def _flag_names(message: str) -> str:
    """Speak of the command's flags rather than of the Python parameters behind them."""
    # A name is the subject of its message ("negative must ...", "min_alpha (0.5) must ..."):
    # the same word elsewhere ("must not be negative") is English, not a name.
    return re.sub(r"(?<![-\w])(" + "|".join(_FLAGS) + r")(?= must | \()",
                  lambda m: _FLAGS[m.group(1)], message)

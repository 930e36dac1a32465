"""The ``velmor`` command: embed an edge-list file and write the vectors.

Flags follow the node2vec and PecanPy scripts, so that their command lines run unchanged.
``--input -`` reads the edge list from standard input, and ``--output -`` writes the embeddings
to standard output as word2vec text; progress, notes and errors always go to standard error.
Exit status: 0 on success, 2 for a usage error,
1 when the run fails (unreadable or malformed input, unwritable output, too little memory), 130
when interrupted by Ctrl-C and 143 by SIGTERM. The output is opened before any work, so that an
unwritable destination fails at once, and appears only once training and writing have both
succeeded.
"""

from __future__ import annotations

import argparse
import contextlib
import re
import signal
import sys
import time
import warnings
from typing import NoReturn

from velmor import __version__
from velmor._paths import replacing, same_file
from velmor.distributed.command import add_cluster_flags, check_cluster_flags, fit_on_cluster
from velmor.edgelist import EdgeListError, EdgeListWarning, check_delimiters, read_edgelist
from velmor.embedding_files import (
    FORMATS,
    EmbeddingOutput,
    check_keys,
    embedding_format,
    embedding_output,
)
from velmor.model import Node2Vec, Node2VecWarning
from velmor.walks import simulate_walks, walks_format, walks_output

_ESCAPES = {"\\t": "\t", "tab": "\t", "space": " ", "comma": ","}
# PecanPy's walk implementations, among which its --mode chooses.
_PECANPY_MODES = ("DenseOTF", "FirstOrderUnweighted", "PreComp", "PreCompFirstOrder", "SparseOTF")
_STANDARD_STREAM = "-"


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the command; the usage block that
    argparse would print first is left to --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} ({self.prog} --help lists the flags)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="velmor",
        description="Learn node2vec embeddings of a graph given as an edge list.",
        epilog="Output formats by extension: " + ", ".join(FORMATS) + " (.emb/.emd/.txt/.vec "
               "are word2vec text). Example: velmor --input data/karate/edges.tsv "
               "--output karate.emb. 'velmor update --help': embed the new nodes of a grown "
               "graph into a model saved by --save-model.")
    io = parser.add_argument_group("input and output")
    io.add_argument("--input", required=True, metavar="PATH",
                    help="edge list: two node names per line; '#' starts a comment; - for "
                         "standard input")
    io.add_argument("--output", metavar="PATH",
                    help="where to write the embeddings; - for standard output, as word2vec "
                         "text")
    io.add_argument("--save-model", metavar="PATH",
                    help="also write the whole model, as .npz, for 'velmor update' to embed new "
                         "nodes later")
    io.add_argument("--walks-output", metavar="PATH",
                    help="also write the walks: .npy for an array of node indices (-1 after a "
                         "walk's end), for nodes named 0..n-1; .txt for text, one walk of node "
                         "names per line; .txt.gz for that text gzipped")
    add_edge_list_flags(io)

    walks = parser.add_argument_group("walks")
    walks.add_argument("--walk-length", type=int, default=80, metavar="N",
                       help="nodes per walk (default: 80)")
    walks.add_argument("--num-walks", type=int, default=10, metavar="N",
                       help="walks from each node (default: 10)")
    walks.add_argument("--p", type=float, default=1.0, help="return parameter (default: 1)")
    walks.add_argument("--q", type=float, default=1.0, help="in-out parameter (default: 1)")
    walks.add_argument("--mode", choices=_PECANPY_MODES, default=None,
                       help="PecanPy's choice of walk implementation, accepted so that its "
                            "command lines run: velmor has one, for every graph")

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
    training.add_argument("--shared-negatives", action=argparse.BooleanOptionalAction,
                          default=True,
                          help="draw the negatives once per walk position, shared by its "
                               "context pairs: twice as fast, several times on large graphs; "
                               "--no-shared-negatives draws them per pair, as word2vec does "
                               "(default: on)")
    training.add_argument("--epochs", "--iter", type=int, default=1, metavar="N",
                          help="passes over the graph, each with walks of its own; the learning "
                               "rate falls over all of them (default: 1)")
    training.add_argument("--alpha", type=float, default=0.025,
                          help="initial learning rate (default: 0.025)")
    training.add_argument("--min-alpha", type=float, default=0.0001,
                          help="final learning rate (default: 0.0001)")
    training.add_argument("--workers", type=int, default=None, metavar="N",
                          help="threads; 0 = all cores (default: all cores)")
    training.add_argument("--seed", "--random_state", type=int, default=None,
                          help="random seed; with --workers 1 or --deterministic the output is "
                               "reproducible")
    training.add_argument("--deterministic", action="store_true",
                          help="the same output for a --seed whatever --workers says: threads "
                               "train blocks of nodes that share no vector, in a fixed order")

    add_cluster_flags(parser)

    parser.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    parser.add_argument("--verbose", dest="quiet", action="store_false",
                        help="a progress bar and a summary (the default)")
    parser.add_argument("--version", action="version", version=f"velmor {__version__}")
    return parser


def add_edge_list_flags(io) -> None:
    """The flags that say how to read the --input edge list."""
    io.add_argument("--delimiter", default=None, metavar="CHAR",
                    help="column separator, e.g. ',' or '\\t' (default: whitespace or commas)")
    io.add_argument("--names", action="store_true", default=None,
                    help="node ids are string names, even those that look like numbers "
                         "(default: integer ids, or names when the file's first lines are not "
                         "integers)")
    direction = io.add_mutually_exclusive_group()
    direction.add_argument("--directed", action="store_true", help="edges are one-way")
    direction.add_argument("--undirected", dest="directed", action="store_false",
                           help="edges go both ways (the default)")
    weighting = io.add_mutually_exclusive_group()
    weighting.add_argument("--weighted", action="store_true", default=None,
                           help="a third column holds edge weights, which walks follow")
    weighting.add_argument("--unweighted", dest="weighted", action="store_false", default=None,
                           help="every edge counts the same, and a third column is left "
                                "unread (without either flag, edges count the same and a third "
                                "column is an error)")


def main(argv: list[str] | None = None) -> int:
    """Run the command with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["update"]:
        from velmor.cli_update import main as update_main

        return update_main(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.output is None and args.walks_output is None and args.save_model is None:
        parser.error("give --output for the embeddings, --walks-output for the walks, or both")
    if cluster_error := check_cluster_flags(args):
        parser.error(cluster_error)
    delimiter = _ESCAPES.get(args.delimiter, args.delimiter)
    model = Node2Vec(dimensions=args.dimensions, walk_length=args.walk_length,
                     num_walks=args.num_walks, window_size=args.window_size, p=args.p, q=args.q,
                     negative=args.negative, ns_exponent=args.ns_exponent, alpha=args.alpha,
                     min_alpha=args.min_alpha, workers=args.workers, seed=args.seed,
                     progress=not args.quiet, shared_negatives=args.shared_negatives,
                     epochs=args.epochs, deterministic=args.deterministic or args.ray is not None,
                     num_blocks=args.num_blocks)
    try:
        check_delimiters(delimiter, "#")
        if args.output not in (None, _STANDARD_STREAM):
            embedding_format(args.output)
        if args.walks_output is not None:
            walks_format(args.walks_output)
        check_model_path(args.save_model)
        check_distinct_files([("--input", args.input), ("--output", args.output),
                              ("--walks-output", args.walks_output),
                              ("--save-model", args.save_model)],
                             outputs={"--output", "--walks-output", "--save-model"})
        model.check_params()
    except (TypeError, ValueError) as error:
        parser.error(_flag_names(str(error)))
    if args.mode is not None:
        print(f"velmor: note: --mode {args.mode} chooses among PecanPy's walk implementations; "
              "velmor has one, which serves every graph", file=sys.stderr)

    if args.ray is not None:
        from velmor.distributed._ray import import_ray

        try:
            import_ray()
        except ImportError as error:
            print(f"velmor: error: {error}", file=sys.stderr)
            return 1
    return run_guarded(lambda: _run(args, model, delimiter))


def _run(args: argparse.Namespace, model: Node2Vec, delimiter: str | None) -> None:
    started = time.perf_counter()
    # Both outputs are opened before any work, so that an unwritable destination fails at once,
    # and appear together only when all the work is done.
    with contextlib.ExitStack() as stack:
        output = walks_file = None
        if args.output == _STANDARD_STREAM:
            # Written only once training is done: a failure before leaves the stream empty.
            output = EmbeddingOutput(sys.stdout.buffer, "word2vec")
        elif args.output is not None:
            with _failing_as(f"cannot write {args.output}", OSError):
                output = stack.enter_context(embedding_output(args.output))
        if args.walks_output is not None:
            with _failing_as(f"cannot write {args.walks_output}", OSError):
                walks_file = stack.enter_context(walks_output(args.walks_output))
        model_file = _open_model_file(stack, args.save_model)
        graph = _read_graph(args, delimiter)
        with _failing_as(None, ValueError):
            if output is not None:
                check_keys(output.format, graph.names, graph.num_nodes)
            if walks_file is not None:
                walks_file.check_names(graph.names, graph.num_nodes)
        if walks_file is not None:
            with _failing_as(None, MemoryError, ValueError, flags=True):
                walks = simulate_walks(graph, num_walks=args.num_walks,
                                       walk_length=args.walk_length, p=args.p, q=args.q,
                                       workers=args.workers, seed=args.seed)
            with _failing_as(f"cannot write {args.walks_output}", OSError, ValueError):
                walks_file.write(walks, graph.names)
            del walks
        if output is not None or model_file is not None:
            with _failing_as(None, MemoryError, ValueError, flags=True), \
                    _failing_as(None, ConnectionError), _notes(Node2VecWarning, flags=True):
                if args.ray is None:
                    embeddings = model.fit(graph).embeddings_
                else:
                    embeddings = fit_on_cluster(args, model.get_params(), graph)
        if output is not None:
            with _failing_as(f"cannot write {_shown(args.output)}", OSError, ValueError):
                output.write(embeddings, graph.names)
                if args.output == _STANDARD_STREAM:
                    sys.stdout.flush()
        if model_file is not None:
            model_file.write(model)
    if not args.quiet:
        written = " and ".join(_shown(path) for path in
                               (args.output, args.walks_output, args.save_model) if path)
        print(f"velmor: {graph.num_nodes} nodes in {time.perf_counter() - started:.1f} s; "
              f"wrote {written}", file=sys.stderr)


def _read_graph(args: argparse.Namespace, delimiter: str | None):
    """The input graph; each notice of the reader (a skipped header) becomes one line."""
    source = sys.stdin.buffer if args.input == _STANDARD_STREAM else args.input
    shown = "standard input" if source is sys.stdin.buffer else args.input
    with _notes(EdgeListWarning), _failing_as(None, EdgeListError), \
            _failing_as(f"cannot read {shown}", OSError):
        return read_edgelist(source, directed=args.directed, delimiter=delimiter,
                             names=args.names, weighted=args.weighted)


@contextlib.contextmanager
def _notes(category: type[Warning], flags: bool = False):
    """Print each warning of the category raised in the block as a note of one line, even
    when the block fails; `flags` as for _failing_as."""
    notices: list = []
    try:
        with warnings.catch_warnings(record=True) as notices:
            warnings.simplefilter("always", category)
            yield
    finally:
        for notice in notices:
            if issubclass(notice.category, category):
                note = str(notice.message)
                print(f"velmor: note: {_flag_names(note) if flags else note}", file=sys.stderr)
            else:  # not for this block to speak of
                warnings.warn_explicit(notice.message, notice.category, notice.filename,
                                       notice.lineno)


def _shown(output: str) -> str:
    """An output path as the messages name it."""
    return "standard output" if output == _STANDARD_STREAM else output


def check_distinct_files(files: list[tuple[str, str | None]], outputs: set[str],
                         may_share: tuple[str, str] | None = None) -> None:
    """ValueError if an output flag names the file of another flag, input or output: writing it
    would silently replace what the other read or wrote. ``files`` are (flag, path) in the
    command's order, None and - (a standard stream) left out of the check; ``may_share`` is an
    (input, output) pair allowed one file, as ``velmor update`` may save the model it read."""
    named = [(flag, path) for flag, path in files if path not in (None, _STANDARD_STREAM)]
    for i, (flag, path) in enumerate(named):
        for other, other_path in named[:i]:
            if (flag in outputs or other in outputs) and (other, flag) != may_share \
                    and same_file(path, other_path):
                raise ValueError(f"{other} and {flag} both name {path}; give each output a file "
                                 "of its own")


def check_model_path(path: str | None) -> None:
    """ValueError for a --save-model path that does not name an .npz file."""
    if path is not None and not path.lower().endswith(".npz"):
        raise ValueError(f"--save-model writes an .npz file; got {path!r}")


class _ModelFile:
    """A model file opened before any work, written once the model is trained."""

    def __init__(self, path: str):
        self.path, self.file, self.written = path, None, False

    def write(self, model: Node2Vec) -> None:
        from velmor.model_file import write_model

        with _failing_as(f"cannot write {self.path}", OSError, ValueError):
            write_model(self.file, model)
        self.written = True


def _open_model_file(stack: contextlib.ExitStack, path: str | None) -> _ModelFile | None:
    """The --save-model file, created at once (so that an unwritable one fails before any
    work) and put in place only once written, with the other outputs."""
    if path is None:
        return None
    model_file = _ModelFile(path)
    with _failing_as(f"cannot write {path}", OSError):
        model_file.file = stack.enter_context(replacing(path, keep=lambda: model_file.written))
    return model_file


def run_guarded(run) -> int:
    """Call ``run()`` as the command runs its work: an exit status of 1 with a one-line reason
    for a _Failure, 130 for Ctrl-C and 143 for SIGTERM, else 0."""
    # SIGTERM (sent by timeout and batch schedulers) stops the run as Ctrl-C does, so that the
    # temporary output is removed on the way out.
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        run()
    except _Failure as failure:
        print(f"velmor: error: {failure}", file=sys.stderr)
        return 1
    except MemoryError as error:
        print(f"velmor: error: {_flag_names(str(error)) or 'out of memory'}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("velmor: interrupted; nothing written", file=sys.stderr)
        return 130
    except _Terminated:
        print("velmor: terminated; nothing written", file=sys.stderr)
        return 128 + signal.SIGTERM
    finally:
        signal.signal(signal.SIGTERM, previous)
    return 0


class _Failure(Exception):
    """A run that failed for a reason the user can act on; str() is the one-line reason."""


@contextlib.contextmanager
def _failing_as(context: str | None, *kinds: type, flags: bool = False):
    """Turns the given exception kinds into a _Failure, after `context: ` when one is given;
    `flags`: the message names Python parameters, to be spoken of as the command's flags."""
    try:
        yield
    except kinds as error:
        reason = getattr(error, "strerror", None) or str(error) or \
            ("out of memory" if isinstance(error, MemoryError) else type(error).__name__)
        reason = _flag_names(reason) if flags else reason
        raise _Failure(reason if context is None else f"{context}: {reason}") from None


class _Terminated(BaseException):
    """Raised in the main thread by SIGTERM."""


def _raise_terminated(signum, frame):
    raise _Terminated


_FLAGS = {"dimensions": "--dimensions", "walk_length": "--walk-length", "epochs": "--epochs",
          "num_walks": "--num-walks", "window_size": "--window-size", "p": "--p", "q": "--q",
          "negative": "--negative", "ns_exponent": "--ns-exponent", "alpha": "--alpha",
          "min_alpha": "--min-alpha", "workers": "--workers", "seed": "--seed",
          "delimiter": "--delimiter", "num_blocks": "--num-blocks", "num_actors": "--actors"}


def _flag_names(message: str) -> str:
    """Speak of the command's flags rather than of the Python parameters behind them."""
    # A name is the subject of its message ("negative must ...", "min_alpha (0.5) must ..."):
    # the same word elsewhere ("must not be negative") is English, not a name.
    # "dimensions=8" in a message becomes "--dimensions 8".
    return re.sub(r"(?<![-\w])(" + "|".join(_FLAGS) + r")(?= must | \(|=)(=?)",
                  lambda m: _FLAGS[m.group(1)] + (" " if m.group(2) else ""), message)

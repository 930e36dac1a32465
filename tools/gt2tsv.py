"""Converts an undirected graph from graph-tool's binary .gt format into data/'s edge list.

    python3 tools/gt2tsv.py GRAPH.gt.gz OUTDIR [--weight PROPERTY] [--largest-component]

Writes OUTDIR/edges.tsv: `u<TAB>v` or, with --weight, `u<TAB>v<TAB>w`, each edge once with
u < v, sorted, ids 0-based in the file's vertex order (renumbered without gaps when
--largest-component keeps only the largest connected component). A weight is written in the
shortest form that reads back as the same double ("2", "0.333333"). Needs numpy and scipy.

The reader follows graph-tool's published description of the format: a magic string, a
version byte, an endianness byte, a comment, a directed flag, the vertex count, each vertex's
out-neighbours (indices as 8, 16, 32 or 64-bit integers depending on the vertex count), then
the graph, vertex and edge property maps; edge properties are in adjacency order.
"""

import argparse
import gzip
import os
import struct
import sys
import zlib

import numpy as np

MAGIC = b"\xe2\x9b\xbe gt"
SCALARS = {0: "u1", 1: "i2", 2: "i4", 3: "i8", 4: "f8"}  # bool, int16/32/64, double
LONG_DOUBLE, STRING, VECTORS, STRINGS, PYTHON = 5, 6, range(7, 13), 13, 14


class GtError(Exception):
    pass


class Reader:
    def __init__(self, data):
        self.data, self.at, self.order = data, 0, "<"

    def take(self, n):
        if self.at + n > len(self.data):
            raise GtError("the file ends early")
        out = self.data[self.at:self.at + n]
        self.at += n
        return out

    def byte(self):
        return self.take(1)[0]

    def u64(self):
        return struct.unpack(self.order + "Q", self.take(8))[0]

    def array(self, kind, count):
        dtype = np.dtype(self.order + kind)
        return np.frombuffer(self.take(dtype.itemsize * count), dtype=dtype)

    def values(self, kind, count):
        """`count` values of a property; only scalars come back as an array."""
        if kind in SCALARS:
            return self.array(SCALARS[kind], count)
        if kind == LONG_DOUBLE:
            return self.take(16 * count)
        if kind in (STRING, PYTHON):
            return [self.take(self.u64()) for _ in range(count)]
        if kind in VECTORS:
            return [self.values(kind - 7, self.u64()) for _ in range(count)]
        if kind == STRINGS:
            return [self.values(STRING, self.u64()) for _ in range(count)]
        raise GtError(f"unknown value type {kind}")


def read_gt(path):
    """Returns (directed, vertex count, edges as an (m, 2) array, {(kind, name): values})."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as e:
            raise GtError(f"broken gzip data ({e})") from None
    r = Reader(data)
    if r.take(len(MAGIC)) != MAGIC:
        raise GtError("not a graph-tool .gt file")
    r.byte()  # format version
    r.order = ">" if r.byte() else "<"
    r.take(r.u64())  # comment
    directed = bool(r.byte())
    n = r.u64()
    index = "u1" if n < 1 << 8 else "u2" if n < 1 << 16 else "u4" if n < 1 << 32 else "u8"
    heads, tails = [], []
    for v in range(n):
        out = r.array(index, r.u64())
        if out.size and out.max() >= n:
            raise GtError(f"vertex {v} has a neighbour {int(out.max())} beyond the {n} vertices")
        heads.append(np.full(out.size, v, dtype=np.int64))
        tails.append(out.astype(np.int64))
    edges = np.stack([np.concatenate(heads or [[]]), np.concatenate(tails or [[]])], axis=1)
    props = {}
    for _ in range(r.u64()):
        key = r.byte()
        if key > 2:
            raise GtError(f"unknown property map key type {key}")
        kind = ("graph", "vertex", "edge")[key]
        name = r.take(r.u64()).decode("utf-8", "replace")
        props[kind, name] = r.values(r.byte(), (1, n, len(edges))[key])
    if r.at != len(data):
        raise GtError(f"{len(data) - r.at} bytes left over after the property maps")
    return directed, n, edges.astype(np.int64), props


def largest_component(n, edges):
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    adj = coo_matrix((np.ones(len(edges)), (edges[:, 0], edges[:, 1])), shape=(n, n))
    _, label = connected_components(adj, directed=False)
    return label == np.bincount(label).argmax()


def weight_text(w):
    return str(int(w)) if w.is_integer() else repr(w)


def convert(path, outdir, weight=None, largest=False):
    directed, n, edges, props = read_gt(path)
    if directed:
        raise GtError("the graph is directed; only undirected graphs are converted")
    if not len(edges):
        raise GtError("the graph has no edges")
    if weight is not None:
        w = props.get(("edge", weight))
        if not isinstance(w, np.ndarray):
            have = sorted(name for kind, name in props if kind == "edge")
            raise GtError(f"no numeric edge property {weight!r} "
                          f"(edge properties: {', '.join(have) or 'none'})")
        w = w.astype(np.float64)
        bad = ~(np.isfinite(w) & (w > 0))
        if bad.any():
            raise GtError(f"{int(bad.sum())} edge weights are not positive finite numbers")
    edges = np.stack([edges.min(axis=1), edges.max(axis=1)], axis=1)
    if (edges[:, 0] == edges[:, 1]).any():
        raise GtError("the graph has self loops")
    if len(np.unique(edges[:, 0] * n + edges[:, 1])) != len(edges):
        raise GtError("the graph has parallel edges")
    if largest:
        keep = largest_component(n, edges)
        new_id = np.cumsum(keep) - 1
        inside = keep[edges[:, 0]]
        edges = new_id[edges[inside]]
        if weight is not None:
            w = w[inside]
    order = np.lexsort((edges[:, 1], edges[:, 0]))
    edges = edges[order]
    lines = [f"{u}\t{v}" for u, v in edges.tolist()]
    if weight is not None:
        lines = [f"{line}\t{weight_text(x)}" for line, x in zip(lines, w[order].tolist())]
    os.makedirs(outdir, exist_ok=True)
    target = os.path.join(outdir, "edges.tsv")
    tmp = target + ".tmp"
    with open(tmp, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, target)
    return int(edges.max()) + 1, len(edges)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("graph", help="a .gt or .gt.gz file")
    ap.add_argument("outdir")
    ap.add_argument("--weight", metavar="PROPERTY",
                    help="edge property to write as the third column (e.g. value)")
    ap.add_argument("--largest-component", action="store_true")
    a = ap.parse_args(argv)
    try:
        nodes, m = convert(a.graph, a.outdir, a.weight, a.largest_component)
    except (GtError, OSError) as e:
        print(f"gt2tsv: {a.graph}: {e}", file=sys.stderr)
        return 1
    print(f"{a.outdir}/edges.tsv: {nodes} nodes, {m} edges")
    return 0


if __name__ == "__main__":
    sys.exit(main())

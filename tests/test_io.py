"""Edge-list reading and embedding files."""

import gzip
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmor
from velmor import _edgeparse
from velmor.edgelist import EdgeListError


def named_arcs(graph):
    """The arcs of a small graph, by node name."""
    n = graph.num_nodes
    names = list(range(n)) if graph.names is None else graph.names.tolist()
    return {(names[s], names[d]) for s in range(n) for d in range(n) if graph.has_edge(s, d)}


def write(tmp_path, text, name="edges.txt"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


# Layouts that the property test below does not write.
@pytest.mark.parametrize("name, text, options", [
    ("edges.txt", "# SNAP header\n# Nodes: 3\n1\t2\n\n2\t3  # trailing note\n", {}),
    ("edges.txt", "1 2\r\n2 3\r\n", {}),
    ("edges.txt", "\ufeff1 2\n2 3\n", {}),
    ("edges.txt", "1;2\n 2 ; 3 \n", {"delimiter": ";"}),
    ("edges.txt", "1 2\n2 3\n% remark\n", {"comments": "%"}),
    ("edges.txt.gz", gzip.compress(b"1 2\n2 3\n"), {}),
])
def test_layouts_give_the_same_graph(tmp_path, name, text, options):
    graph = velmor.read_edgelist(write(tmp_path, text, name), directed=True, **options)
    assert named_arcs(graph) == {(1, 2), (2, 3)}


@pytest.mark.parametrize("text, names", [
    ("0 1\n1 2\n", None),                      # ids already 0..n-1 stay as they are
    ("10 2\n2 7\n", [2, 7, 10]),               # integers: ascending numeric order
    ("b a\na c\n", ["b", "a", "c"]),           # strings: order of first appearance
    ("10 x\n9 10\n", ["10", "x", "9"]),        # one non-integer makes every name a string
    ("-1 2\n", ["-1", "2"]),
])
def test_relabel_order(tmp_path, text, names):
    graph = velmor.read_edgelist(write(tmp_path, text))
    assert (graph.names is None if names is None else graph.names.tolist() == names)


def test_relabel_false_uses_ids_as_they_stand(tmp_path):
    graph = velmor.read_edgelist(write(tmp_path, "5 2\n"), relabel=False, directed=True)
    assert graph.num_nodes == 6 and graph.names is None
    assert graph.has_edge(5, 2) and not graph.has_edge(2, 5)


def test_names_with_inner_spaces_need_a_delimiter(tmp_path):
    graph = velmor.read_edgelist(write(tmp_path, "New York,Boston\nBoston, Paris\n"), delimiter=",")
    assert named_arcs(graph) >= {("New York", "Boston"), ("Boston", "Paris")}


@pytest.mark.parametrize("text, options, line, fragment", [
    ("1 2\n3 x\n", {"relabel": False}, 2, "'x' is not a non-negative integer"),
    ("1 2\n# c\n-3 4\n", {"relabel": False}, 3, "negative node id -3"),
    ("1 4294967295\n", {"relabel": False}, 1, "larger than 4294967294"),
    ("1 2\n\n3\n", {}, 3, "found one"),
    ("1 2 0.5\n", {}, 1, "weights are not supported"),
    ("1 2 3 4\n", {}, 1, "found 4 columns"),
    ("a,,b\n", {"delimiter": ","}, 1, "empty column"),
    ("1,2\n,\n", {"delimiter": ","}, 2, "empty column"),
    ("1 2\n3 x\n4\n", {"relabel": False}, 2, "'x'"),    # the first fault in the file wins
    ("", {}, None, "no edges"),
    ("0 2147483647\n", {"relabel": False}, None, "read_edgelist does this with relabel=True"),
    ("# nothing here\n\n", {}, None, "no edges"),
])
def test_bad_files_name_the_file_and_line(tmp_path, text, options, line, fragment):
    path = write(tmp_path, text)
    with pytest.raises(EdgeListError) as caught:
        velmor.read_edgelist(path, **options)
    where = f"{path}:{line}: " if line else f"{path}: "
    assert str(caught.value).startswith(where) and fragment in str(caught.value)
    assert caught.value.line == line


@pytest.mark.parametrize("delimiter, comments", [("ab", "#"), ("1", "#"), (",", ","), (None, "\n")])
def test_bad_delimiter_or_comment_character(tmp_path, delimiter, comments):
    with pytest.raises(ValueError):
        velmor.read_edgelist(write(tmp_path, "1 2\n"), delimiter=delimiter, comments=comments)


@pytest.fixture
def small_blocks(monkeypatch):
    """Blocks of 64 bytes, so that small files cross many block boundaries."""
    monkeypatch.setattr(_edgeparse, "BLOCK_BYTES", 64)


def test_blocks_join_without_losing_or_splitting_lines(tmp_path, small_blocks):
    edges = np.random.default_rng(0).integers(0, 60, size=(300, 2))
    text = "# header\n" + "".join(f"{a}\t{b}\n" for a, b in edges)
    graph = velmor.read_edgelist(write(tmp_path, text), directed=True, relabel=False)
    assert named_arcs(graph) == {tuple(e) for e in edges.tolist()}


@pytest.mark.parametrize("bad_line, fragment", [("7 oops", "node id 'oops'"), ("7", "found one")])
def test_line_numbers_count_across_blocks(tmp_path, small_blocks, bad_line, fragment):
    text = "".join(f"{i} {i + 1}\n" for i in range(200)) + bad_line + "\n"
    with pytest.raises(EdgeListError, match=f":201: .*{fragment}"):
        velmor.read_edgelist(write(tmp_path, text), relabel=False)


def test_a_late_string_name_relabels_the_whole_file(tmp_path, small_blocks):
    text = "".join(f"{i} {i + 1}\n" for i in range(100)) + "100 end\n"
    graph = velmor.read_edgelist(write(tmp_path, text), directed=True)
    assert graph.names.tolist()[:3] == ["0", "1", "2"] and graph.names[-1] == "end"
    assert ("100", "end") in named_arcs(graph)


names = st.text(alphabet="abcxyz0123456789_-.", min_size=1, max_size=6)


@settings(max_examples=60, deadline=None)
@given(edges=st.lists(st.tuples(names, names), min_size=1, max_size=30),
       separators=st.lists(st.sampled_from([" ", "\t", ",", "  ", " , "]), min_size=1),
       noise=st.lists(st.sampled_from(["", "# note", "   "]), max_size=5))
def test_any_layout_reads_back_the_named_edges(tmp_path_factory, edges, separators, noise):
    lines = [f"{a}{separators[i % len(separators)]}{b}" for i, (a, b) in enumerate(edges)]
    for i, extra in enumerate(noise):
        lines.insert((7 * i) % (len(lines) + 1), extra)
    path = write(tmp_path_factory.mktemp("h"), "\n".join(lines))
    graph = velmor.read_edgelist(path, directed=True)
    expected = {(a, b) for a, b in edges}
    if graph.names is None or graph.names.dtype != object:
        # All names were integers: compare by value (leading zeros collapse, as integers do).
        expected = {(int(a), int(b)) for a, b in edges}
    assert named_arcs(graph) == expected

"""Reading graphs from edge-list files."""

import gzip
import warnings

import numpy as np
import pytest

import velmor
from velmor.edgelist import EdgeListError, EdgeListWarning


def write(tmp_path, text, name="edges.txt"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


def read_noting_warnings(path, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        graph = velmor.read_edgelist(path, **options)
    assert all(w.category is EdgeListWarning and w.filename == __file__ for w in caught)
    return graph, [str(w.message) for w in caught]


# Layouts that the header rows below do not write.
@pytest.mark.parametrize("name, text, options", [
    ("edges.txt", "1 2\r\n2 3\r\n", {}),
    ("edges.txt", "\ufeff1 2\n2 3\n", {}),
    ("edges.txt", "1;2\n 2 ; 3 \n", {"delimiter": ";"}),
    ("edges.txt", "1 2\n2 3\n% remark\n", {"comments": "%"}),
    ("edges.txt.gz", gzip.compress(b"1 2\n2 3\n"), {}),
    # Separators mixed line by line, notes and blank lines, leading zeros, no final newline.
    ("edges.txt", "# note\n01 , 2\n\n   \n2\t  003", {}),
])
def test_layouts_give_the_same_graph(tmp_path, name, text, options):
    graph = velmor.read_edgelist(write(tmp_path, text, name), directed=True, **options)
    arcs = [(s, d) for s in range(3) for d in range(3) if graph.has_edge(s, d)]
    assert graph.names.tolist() == [1, 2, 3] and arcs == [(0, 1), (1, 2)]


@pytest.mark.parametrize("text, options, names, note", [
    ("0 1\n1 2\n", {}, None, None),                 # ids already 0..n-1 stay as they are
    ("10 2\n2 7\n", {}, [2, 7, 10], None),          # integers: ascending numeric order
    ("0 99999999999\n5 0\n", {}, [0, 5, 99999999999], None),  # ids beyond 32 bits too
    ("b a\na c\n", {}, ["b", "a", "c"], None),      # strings: order of first appearance
    ("10 x\nx 9\n", {}, ["10", "x", "9"], None),    # numbers among names are names too
    ("a b\n", {}, ["a", "b"], None),                 # a single line of words is an edge
    ("source\ttarget\n0\t1\n1\t2\n", {}, None,
     "1: skipped the header line 'source\\ttarget'"),
    ("# SNAP\nfrom,to  # c\n\n5,2\n", {"names": False}, [2, 5],
     "2: skipped the header line 'from,to'"),
    ("source target\n7 007\n", {"names": True}, ["source", "target", "7", "007"], None),
])
def test_node_names_and_header_lines(tmp_path, text, options, names, note):
    path = write(tmp_path, text)
    graph, notes = read_noting_warnings(path, **options)
    assert (graph.names is None if names is None else graph.names.tolist() == names)
    assert notes == ([f"{path}:{note}"] if note else [])


@pytest.mark.parametrize("text", [
    "7 5 0.5\n5 9 x\n",                          # ids; the third column is never read
    "source target weight\n7 5 1\n5 9 2\n",       # a header above them
    "# c\nann bob 2\nbob cy 0.5\n",                 # names, read by the engine
    "ann bob -\nbob cy ?\n",                        # names, the third column not a number
])
def test_unweighted_reading_skips_a_third_column(tmp_path, text):
    two_columns = "".join(" ".join(line.split()[:2]) + "\n" for line in text.splitlines())
    graph, _ = read_noting_warnings(write(tmp_path, text), weighted=False, directed=True)
    expected, _ = read_noting_warnings(write(tmp_path, two_columns, "two.txt"), directed=True)
    arcs = [[g.has_edge(s, d) for s in range(3) for d in range(3)] for g in (graph, expected)]
    assert not graph.weighted and graph.names.tolist() == expected.names.tolist()
    assert arcs[0] == arcs[1] and sum(arcs[0]) == 2


NAMES_HINT = "; pass names=True (--names on the command line) if the nodes are named by strings"
WEIGHTED = {"weighted": True}
OUT_OF_RANGE = ": edge weights must be finite and greater than 0"


@pytest.mark.parametrize("text, options, line, fragment", [
    ("0 1\n1 2\n3 foo\n", {}, 3, "node id 'foo' is not a non-negative integer" + NAMES_HINT),
    ("from to\n1 2\n3\n", {}, 3, "found one"),               # lines still count after a header
    ("-3 4\n5 6\n", {}, 1, "negative node id -3" + NAMES_HINT),  # numbers, not a header
    ("0 1\n1234567890123456789 2\n", {}, 2, "has more than 18 digits" + NAMES_HINT),
    ("1 4294967295\n", {"relabel": False}, 1, "larger than 4294967294"),
    ("1 2 0.5\n", {}, 1, "found a third column; pass weighted=True (--weighted on the command "
     "line) to read the third column as edge weights, or weighted=False (--unweighted) to ignore "
     "it; if node names contain spaces, pass delimiter='\\t'"),
    ("1 2 1\n2 3\n", WEIGHTED, 2, "expected three columns (source, target, weight), found two"),
    # No weight anywhere: ids or names, the fault is the first line's.
    ("# c\n1 2\n2 3\n", WEIGHTED, 2, "found two; to read a file without weights, leave out "
     "weighted=True"),
    ("ann bob\n", WEIGHTED, 1, "found two; to read a file without weights"),
    ("1 2 0.5 7\n", WEIGHTED, 1, "found 4; if node names contain spaces"),
    ("from to w\nann bob x\n", WEIGHTED, 1, "edge weight 'w' is not a number"),  # no header
    ("1 2 1\n2 3 1-2\n", WEIGHTED, 2, "edge weight '1-2' is not a number"),
    ("1 2 1\n3 4 0\n5 6 x\n", WEIGHTED, 2, "invalid edge weight 0" + OUT_OF_RANGE),
    ("1 2 nan\n", WEIGHTED, 1, "invalid edge weight nan" + OUT_OF_RANGE),
    ("a,,b\n", {"delimiter": ","}, 1, "empty column"),
    ("1 2\n3 x\n4\n", {"relabel": False}, 2, "'x'"),    # the first fault in the file wins
    ("1 2\n2 3\n".encode("utf-16"), {}, 1, "NUL byte"),
    (b"a b\ncaf\xe9 b\n", {}, 2, "not UTF-8 text (byte 0xe9)"),
    ("", {}, None, "no edges"),
    ("0 2147483647\n", {"relabel": False}, None, "read_edgelist does this with relabel=True"),
])
def test_bad_files_name_the_file_and_line(tmp_path, text, options, line, fragment):
    path = write(tmp_path, text)
    with pytest.raises(EdgeListError) as caught:
        velmor.read_edgelist(path, **options)
    where = f"{path}:{line}: " if line else f"{path}: "
    assert str(caught.value).startswith(where) and fragment in str(caught.value)
    assert caught.value.line == line and "\n" not in str(caught.value)


@pytest.mark.parametrize("data, reason", [
    pytest.param(gzip.compress(b"".join(b"%d %d\n" % (i, i + 1) for i in range(1000)))[:200],
                 "the gzip data ends early (truncated file?)", id="truncated"),
    pytest.param(b"1 2\n", "not valid gzip data", id="not-gzip"),
])
def test_broken_gzip_is_an_edge_list_error(tmp_path, data, reason):
    path = write(tmp_path, data, "edges.txt.gz")
    with pytest.raises(EdgeListError) as caught:
        velmor.read_edgelist(path)
    assert str(caught.value) == f"{path}: {reason}"


LONG_HEADER = "source_node_of_the_edge\ttarget_node_of_the_edge_with_a_long_name\n"


@pytest.mark.parametrize("head", ["", LONG_HEADER])
@pytest.mark.parametrize("weight, bad_line, fragment", [
    ("", "7 oops", "node id 'oops'"), ("", "7", "found one"),
    (" 0.5", "7 8 -1", "invalid edge weight -1"),
])
def test_line_numbers_count_across_blocks(tmp_path, head, weight, bad_line, fragment):
    head = head.replace("\n", "\tweight\n") if weight else head
    text = head + "".join(f"{i} {i + 1}{weight}\n" for i in range(200)) + bad_line + "\n"
    with pytest.raises(EdgeListError, match=f":{201 + bool(head)}: .*{fragment}"):
        velmor.read_edgelist(write(tmp_path, text), weighted=bool(weight))


def many_names():
    # Enough names to grow the table many times; some long, many alike in their first bytes.
    rng = np.random.default_rng(7)
    pool = [("node_" + "x" * int(rng.integers(0, 30)) + str(i)) for i in range(3000)]
    pool += [str(i) for i in range(3000)]
    return [(pool[a], pool[b]) for a, b in rng.integers(0, len(pool), size=(20000, 2))]


WEIGHTS = ["1", "0.1", "+7", "1.e3", ".5", "5.", "2.2250738585072011e-308", "1E+06", "7e-3",
           "123456789012345678901", "0.30000000000000004441", "9007199254740993"]


# Files of names: numbered in order of first appearance, weights rounded as float() rounds them.
@pytest.mark.parametrize("text, options, pairs", [
    pytest.param("café ü\nü 東京\n東京 🙂\n", {}, [("café", "ü"), ("ü", "東京"), ("東京", "🙂")],
                 id="unicode"),
    pytest.param("10 x\nx 007\n7 10\n1e3 +5\n", {},
                 [("10", "x"), ("x", "007"), ("7", "10"), ("1e3", "+5")], id="numbers-among-words"),
    pytest.param("\ufeffa,b\r\nb , c\r\n\r\nb a\na a # x\n\fc\ta", {},
                 [("a", "b"), ("b", "c"), ("b", "a"), ("a", "a"), ("c", "a")], id="layouts"),
    pytest.param("New York ; Boston\n Boston;Los Angeles  # west\n \n", {"delimiter": ";"},
                 [("New York", "Boston"), ("Boston", "Los Angeles")], id="inner-spaces"),
    pytest.param("from to w\n" + "".join(f"n{i} m{i} {w}\n" for i, w in enumerate(WEIGHTS)),
                 {"weighted": True}, [(f"n{i}", f"m{i}", w) for i, w in enumerate(WEIGHTS)],
                 id="weights"),
    # The first line's names choose the table: slots that hold 8 bytes of a name, or 24.
    pytest.param(None, {"names": True}, [("a", "b")] + many_names(), id="many-names"),
    pytest.param(None, {"names": True}, [("node_one", "node_two")] + many_names(),
                 id="many-long-names"),
])
def test_names_and_weights_are_read_exactly(tmp_path, monkeypatch, text, options, pairs):
    monkeypatch.setattr("velmor.edgelist.Graph", lambda edges, **given: dict(given, edges=edges))
    if text is None:
        text = "".join(f"{a}\t{b}\n" for a, b in pairs)
    found, _ = read_noting_warnings(write(tmp_path, text), **options)
    numbers = {}
    for pair in pairs:
        numbers.update((name, len(numbers)) for name in pair[:2] if name not in numbers)
    assert found["names"].tolist() == list(numbers)
    assert found["edges"].tolist() == [[numbers[a], numbers[b]] for a, b, *_ in pairs]
    if options.get("weighted"):
        assert found["weights"].tolist() == [float(w) for *_, w in pairs]


NETWORKX = ("found a dict of edge attributes, as NetworkX's write_edgelist writes them; write the "
            "file with nx.write_weighted_edgelist(G, path), or nx.write_edgelist(G, path, "
            "data=False) for a graph without weights")


# Messages that the rows above do not show whole.
@pytest.mark.parametrize("text, options, message", [
    ("a b\n" + "x" * 256 + " b\n", {}, "2: node name longer than 255 bytes"),
    ("0 1\n1 2 3 4\n", {}, "2: expected two node ids, found 4 columns; if node names contain "
     "spaces, pass delimiter='\\t' (--delimiter on the command line)"),
    ("0 1\n1 " + "9" * 60 + "\n", {"relabel": False}, f"2: node id {'9' * 37}... is larger than "
     "4294967294"),
    ("0 1\n1 x\n", {"relabel": False}, "2: node id 'x' is not a non-negative integer; for nodes "
     "named by strings, pass relabel=True and names=True"),
    ("a b 1\nb c 1e999\n", WEIGHTED, "2: invalid edge weight 1e999" + OUT_OF_RANGE),
    ("a b 1\nb c 0x10\n", WEIGHTED, "2: edge weight '0x10' is not a number"),
    # NetworkX's write_edgelist, by default; a header and a comment before it.
    ("from to\n# c\n0 1 {'weight': 4}\n", {}, "3: " + NETWORKX),
    ("a b 1\nb c {'weight': 4}\n", WEIGHTED, "2: " + NETWORKX),
])
def test_faults_are_worded_whole(tmp_path, text, options, message):
    path = write(tmp_path, text)
    with pytest.raises(EdgeListError) as caught:
        velmor.read_edgelist(path, **options)
    assert str(caught.value) == f"{path}:{message}"


def test_the_engine_refuses_to_write_past_its_arrays():
    from velmor.engine._engine import read_edge_list

    ids = np.full(5, 9, dtype=np.uint32)  # room for 2 edges, not 3
    with pytest.raises(ValueError, match="argument 'ids': too short"):
        read_edge_list(b"a b\nb c\nc a", None, None, None, True, False, ids[:4], None)
    assert ids[4] == 9


# Valid and invalid UTF-8: two to four bytes, surrogates, overlong forms, beyond U+10FFFF, cut.
@pytest.mark.parametrize("name", [
    b"caf\xc3\xa9", b"\xe6\x9d\xb1", b"\xf0\x9f\x99\x82", b"\xed\xa0\x80", b"\xc0\xaf",
    b"\xe0\x80\xaf", b"\xf4\x90\x80\x80", b"\xf0\x9f\x99", b"ab\x80", b"\xf8\x88\x80\x80\x80"])
def test_names_are_utf8_as_python_decodes_it(tmp_path, name):
    path = write(tmp_path, b"a b\nc " + name + b"\n")
    try:
        expected = name.decode()
    except UnicodeDecodeError as error:
        expected = (f"{path}:2: node name is not UTF-8 text (byte 0x{name[error.start]:02x}); "
                    "save the file as UTF-8")
    try:
        found = velmor.read_edgelist(path).names[-1]
    except EdgeListError as error:
        found = str(error)
    assert found == expected

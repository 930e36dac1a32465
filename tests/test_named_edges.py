"""Files of named nodes are read by the engine (read_named_edges): it must give exactly what the
NumPy reader gives, and leave every text with a fault to that reader, which reports it."""

import numpy as np
import pytest
from velmor.engine._engine import read_named_edges

from velmor import _edgeparse


def parse(data, **options):
    options = dict(dict(delimiter=None, comments=b"#", relabel=True), **options)
    try:
        return _edgeparse.parse_edges(data, **options)
    except _edgeparse.ParseError as error:
        return error.line, error.reason


def many_names():
    # Enough names to grow the table many times; some long, many alike in their first bytes.
    rng = np.random.default_rng(7)
    pool = [("node_" + "x" * int(rng.integers(0, 30)) + str(i)) for i in range(3000)]
    pool += [str(i) for i in range(3000)]
    lines = [f"{pool[a]}\t{pool[b]}" for a, b in rng.integers(0, len(pool), size=(20000, 2))]
    return "\n".join(lines).encode()


WEIGHTS = "".join(f"n{i} m{i} {w}\n" for i, w in enumerate([
    "1", "0.1", "+7", "1.e3", ".5", "5.", "2.2250738585072011e-308", "1E+06", "7e-3",
    "123456789012345678901", "0.30000000000000004441", "9007199254740993"]))


# Texts the engine reads, then texts with a fault, which it leaves to the NumPy reader.
@pytest.mark.parametrize("data, options, fault", [
    pytest.param("café ü\nü 東京\n東京 🙂\n", {}, False, id="unicode"),
    pytest.param("10 x\nx 007\n7 10\n1e3 +5\n", {}, False, id="numbers-among-words"),
    pytest.param("7 007\n007 7.0\n", {"names": True}, False, id="all-numbers-as-names"),
    pytest.param("# head\n\na b # note\n   \n#x\nb,c\n  # indented\nc\fa", {}, False,
                 id="comments-blanks"),
    pytest.param("\ufeffa,b\r\nb , c\r\n\r\nb a\na a\n", {}, False, id="bom-crlf-commas-repeats"),
    pytest.param("New York ; Boston\n Boston;Los Angeles  # west\n \n", {"delimiter": b";"},
                 False, id="delimiter-inner-spaces"),
    pytest.param("from to w\nann bob 3\nbob ann 2.5e-3\n", {"weighted": True}, False, id="header"),
    pytest.param(WEIGHTS, {"weighted": True}, False, id="weights"),
    # The first line's names choose the table: slots that hold 8 bytes of a name, or 24.
    pytest.param(b"a b\n" + many_names(), {"names": True}, False, id="many-names"),
    pytest.param(b"node_one node_two\n" + many_names(), {"names": True}, False,
                 id="many-long-names"),
    pytest.param("a b\nc d e\n", {}, True, id="three-columns"),
    pytest.param("a,,b\n", {"delimiter": b","}, True, id="empty-column"),
    # Comments are blanked to spaces, which a space delimiter reads as empty columns.
    pytest.param("a b# c\n", {"delimiter": b" "}, True, id="comment-after-space-delimiter"),
    pytest.param("a b\nc\0 d\n", {}, True, id="nul"),
    pytest.param(b"a b\ncaf\xe9 b\n", {}, True, id="not-utf8"),
    pytest.param("a b\n" + "x" * 256 + " b\n", {}, True, id="long-name"),
    pytest.param("a b 1\nb c 0\n", {"weighted": True}, True, id="zero-weight"),
    pytest.param("a b 1\nb c 1e999\n", {"weighted": True}, True, id="infinite-weight"),
    pytest.param("a b 1\nb c 0x10\n", {"weighted": True}, True, id="hex-weight"),
    pytest.param("# only a comment\n", {"names": True}, True, id="no-edges"),
])
def test_the_engine_reads_as_the_numpy_reader_does(monkeypatch, data, options, fault):
    data = data.encode() if isinstance(data, str) else data
    answers = []
    monkeypatch.setattr(_edgeparse, "read_named_edges",
                        lambda *args: answers.append(read_named_edges(*args)) or answers[-1])
    found = parse(data, **options)
    monkeypatch.setattr(_edgeparse, "read_named_edges", lambda *args: None)
    expected = parse(data, **options)  # the NumPy reader alone
    engine_read = bool(answers) and answers[-1] is not None
    assert engine_read is not fault and (type(expected) is tuple) is fault  # (line, reason)
    if fault:
        assert found == expected
        return
    assert found.edges.dtype == expected.edges.dtype == np.uint32
    assert np.array_equal(found.edges, expected.edges) and found.header == expected.header
    assert type(found.names) is type(expected.names) and found.names.dtype == object
    assert found.names.tolist() == expected.names.tolist()
    assert all(type(name) is str for name in found.names)
    if expected.weights is None:
        assert found.weights is None
    else:
        assert found.weights.dtype == np.float64
        assert found.weights.tobytes() == expected.weights.tobytes()  # rounded alike


def test_the_engine_refuses_to_write_past_its_arrays():
    ids = np.full(5, 9, dtype=np.uint32)  # room for 2 edges, not 3
    with pytest.raises(ValueError, match="argument 'ids': too short"):
        read_named_edges(b"a b\nb c\nc a", 0, None, None, ids[:4], None)
    assert ids[4] == 9

"""Embedding files: formats, round trips and whole-or-nothing writes."""

import contextlib
import io
import os

import numpy as np
import pytest

from velmor import KeyedVectors
from velmor.embedding_files import embedding_output, load_embeddings, save_embeddings


@pytest.mark.parametrize("suffix", [".emb", ".bin", ".npy", ".npz"])
# Word2vec keys read back as integers only when every one is an integer written plainly.
@pytest.mark.parametrize("keys", [None, [10, 20, 30], ["a", "b", "ü"], ["1", "x", "2"],
                                  ["0", "07", "1"], ["1", "-1", "2"], ["1", "٣", "2"]])
def test_embeddings_round_trip(tmp_path, suffix, keys):
    vectors = np.random.default_rng(1).normal(size=(3, 4)).astype(np.float32)
    vectors[0, 0] = 1e-30  # needs all nine significant digits and an exponent in text
    path = tmp_path / f"out{suffix}"
    if suffix == ".npy" and keys is not None:  # a bare matrix cannot hold names
        with pytest.raises(ValueError, match=r"not named 0\.\.2 \(row 0 is node .*\); save as "
                                             r"\.npz or in a word2vec format"):
            save_embeddings(path, vectors, keys)
        assert os.listdir(tmp_path) == []
        return
    save_embeddings(path, vectors, keys)
    loaded, loaded_keys = load_embeddings(path)
    np.testing.assert_array_equal(loaded, vectors)
    assert KeyedVectors(loaded, loaded_keys).index_to_key == (keys or [0, 1, 2])
    assert os.listdir(tmp_path) == [path.name]


def test_tuple_names_round_trip_through_npz(tmp_path):
    keys = [(0, "a"), (1, "bb"), (10, "a")]  # as NetworkX names the nodes of grid graphs
    KeyedVectors(np.eye(3), keys).save(tmp_path / "t.npz")
    loaded = KeyedVectors.load(tmp_path / "t.npz")
    assert loaded.index_to_key == keys and loaded[(1, "bb")].tolist() == [0, 1, 0]


# Bytes " \n \n" as a float32: a reader that looks for spaces or newlines inside a binary
# vector goes astray.
TRICKY = np.frombuffer(b" \n \n", dtype="<f4")[0]
ROWS = np.array([[0.5, -2.0], [TRICKY, 0.25]], dtype=np.float32)


def binary(rows, end=b"\n"):
    return b"2 2\n" + b"".join(key + b" " + row.astype("<f4").tobytes() + end
                               for key, row in zip([b"a", b"b"], rows))


@pytest.mark.parametrize("name, content", [
    ("out.txt", f"2 2\na 0.5 -2\nb {TRICKY:.9g} 0.25\n".encode()),
    ("out.bin", binary(ROWS)),                  # word2vec.c's layout, what we write
    ("out.bin", binary(ROWS, end=b"")),         # gensim's layout: no newline after a vector
])
def test_word2vec_layouts(tmp_path, name, content):
    path, other = tmp_path / name, tmp_path / "v.w2v"  # other: no extension to go by
    binary = name.endswith(".bin")
    if content.endswith(b"\n"):
        kv = KeyedVectors(ROWS, ["a", "b"])
        kv.save(path)
        kv.save_word2vec_format(other, binary=binary)
        assert path.read_bytes() == other.read_bytes() == content
    path.write_bytes(content)
    other.write_bytes(content)
    vectors, keys = load_embeddings(path)
    assert keys == ["a", "b"] and vectors.tobytes() == ROWS.tobytes()
    loaded = KeyedVectors.load_word2vec_format(other, binary=binary)
    assert loaded.index_to_key == ["a", "b"] and loaded.vectors.tobytes() == ROWS.tobytes()


def numpy_bytes(save, *arrays, **named):
    buffer = io.BytesIO()
    save(buffer, *arrays, **named)
    return buffer.getvalue()


@pytest.mark.parametrize("name, content, fragment", [
    ("v.txt", b"two 2\na 1 2\nb 3 4\n", "expected a header"),
    ("v.txt", b"3 2\na 1 2\nb 3 4\n", "announces 3 vectors, the file holds 2"),
    ("v.txt", b"2 2\na 1 2\nb 3\n", "expected 2 vectors of 2 values"),
    ("v.txt", b"2 2\na 1 2 3\nb 4\n", "v.txt:2: expected 2 values after the key"),
    ("v.bin", binary(ROWS)[:-3], "vector 2 of 2"),
    ("v.bin", binary(ROWS).replace(b"2 2", b"1 2"), "holds more"),
    ("v.bin", binary(ROWS).replace(b"\nb ", b"\na "), "more than once"),
    ("v.npy", b"previous", "not a NumPy .npy file"),
    ("v.npy", numpy_bytes(np.save, ROWS)[:-3], "Failed to read all data"),
    ("v.npz", numpy_bytes(np.savez, other=ROWS), "no 'vectors' array"),
])
def test_malformed_files(tmp_path, name, content, fragment):
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(ValueError, match=fragment) as caught:
        load_embeddings(path)
    assert str(caught.value).startswith(str(path)) and "\n" not in str(caught.value)


def test_replacing_keeps_the_mode_and_follows_a_link(tmp_path):
    target, link = tmp_path / "target.npy", tmp_path / "link.npy"
    target.write_bytes(b"previous")
    target.chmod(0o640)
    link.symlink_to(target)
    save_embeddings(link, np.ones((1, 1), np.float32))
    assert link.is_symlink() and np.load(target).shape == (1, 1)
    assert target.stat().st_mode & 0o777 == 0o640
    missing = tmp_path / "missing" / "m.npy"  # the error names it, not the temporary beside it
    with pytest.raises(FileNotFoundError) as excinfo:
        save_embeddings(missing, ONE)
    assert excinfo.value.filename == str(missing)


ONE, TWO = np.ones((1, 1), np.float32), np.zeros((2, 1), np.float32)


@pytest.mark.parametrize("name, block, error, fragment, replaced", [
    ("out.npy", lambda output: output.write(ONE), None, None, True),
    ("out.npy", lambda output: None, None, None, False),                # nothing was written
    ("out.npy", lambda output: 1 / 0, ZeroDivisionError, None, False),
    ("out.npy", lambda output: [output.write(ONE), 1 / 0], ZeroDivisionError, None, False),
    ("out.npy", lambda output: [output.write(ONE) for _ in range(2)], ValueError, "one write",
     False),
    ("out.emb", lambda output: output.write(TWO, ["fine", "not fine"]), ValueError, "whitespace",
     False),
    ("out.emb", lambda output: output.write(TWO, [33, "33"]), ValueError,
     "keys 33 and '33' both read '33'", False),
    ("out.csv", lambda output: pytest.fail(), ValueError, ".npz", False),
    ("out.bin", lambda output: output.write(TWO, [(0, 1), (1, 1)]), ValueError,
     r"key \(0, 1\) is a tuple, which the word2vec formats cannot hold; save as .npz", False),
    ("out.npz", lambda output: output.write(TWO, [(0, 1), (0, "a")]), ValueError,
     r"key \(0, 'a'\) cannot be stored in .npz beside \(0, 1\)", False),
])
def test_output_replaces_the_target_only_after_a_clean_write(tmp_path, name, block, error,
                                                             fragment, replaced):
    path = tmp_path / name
    path.write_bytes(b"previous")
    with pytest.raises(error, match=fragment) if error else contextlib.nullcontext():
        with embedding_output(path) as output:
            block(output)
    assert os.listdir(tmp_path) == [name]
    assert (path.read_bytes() != b"previous") == replaced

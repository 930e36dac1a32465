"""The velmor command."""

import os
from pathlib import Path

import numpy as np
import pytest

from conftest import run_python
from velmor.cli import main

KARATE = Path(__file__).resolve().parent.parent / "data" / "karate" / "edges.tsv"
FAST = ["--dimensions", "8", "--walk-length", "10", "--num-walks", "2", "--workers", "1",
        "--seed", "1", "--quiet"]


def run(capsys, *args):
    """Run the command in-process; return (status, stderr)."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:  # argparse's usage errors
        status = stop.code
    return status, capsys.readouterr().err


def read_word2vec(path):
    lines = Path(path).read_text().splitlines()
    count, dimensions = map(int, lines[0].split())
    keys = [line.split()[0] for line in lines[1:]]
    vectors = np.array([[float(v) for v in line.split()[1:]] for line in lines[1:]])
    assert len(lines) == count + 1 and vectors.shape == (count, dimensions)
    return keys, vectors


@pytest.mark.parametrize("suffix", [".emb", ".emd", ".txt", ".npy", ".npz"])
def test_karate_embeds_to_every_format(capsys, tmp_path, suffix):
    out = tmp_path / f"karate{suffix}"
    status, err = run(capsys, "--input", KARATE, "--output", out, *FAST)
    assert (status, err) == (0, "")
    if suffix == ".npy":
        assert np.load(out).shape == (34, 8)
    elif suffix == ".npz":
        assert np.load(out)["vectors"].shape == (34, 8)
    else:
        keys, _ = read_word2vec(out)
        assert keys == [str(i) for i in range(34)]
    assert os.listdir(tmp_path) == [out.name]


def test_named_nodes_keep_their_names(capsys, tmp_path):
    edges = tmp_path / "e.csv"
    edges.write_text("# who knows whom\nann,bob\nbob,cy\ncy,ann\n")
    status, _ = run(capsys, "--input", edges, "--output", tmp_path / "e.emb", "--delimiter", ",", *FAST)
    assert status == 0 and read_word2vec(tmp_path / "e.emb")[0] == ["ann", "bob", "cy"]


def test_seed_with_one_worker_reproduces_the_file(capsys, tmp_path):
    for name in ("a.emb", "b.emb"):
        assert run(capsys, "--input", KARATE, "--output", tmp_path / name, *FAST)[0] == 0
    assert (tmp_path / "a.emb").read_bytes() == (tmp_path / "b.emb").read_bytes()


@pytest.mark.parametrize("args, fragment", [
    (["--weighted"], "--weighted: weighted graphs are not supported"),
    (["--p", "0"], "--p must be greater than 0"),
    (["--num-walks", "0"], "--num-walks must be at least 1"),
    (["--ns-exponent", "-0.5"], "--ns-exponent must not be negative, got -0.5"),
    (["--ns-exponent", "inf"], "--ns-exponent must be finite, got inf"),
    (["--delimiter", "ab"], "single ASCII character"),
    (["--output", "x.csv"], "embedding format"),
    (["--walk-length", "ten"], "invalid int value"),
])
def test_usage_errors_exit_2(capsys, tmp_path, args, fragment):
    status, err = run(capsys, "--input", KARATE, "--output", tmp_path / "o.emb", *args)
    assert status == 2 and fragment in err and not os.listdir(tmp_path)


@pytest.mark.parametrize("content, fragment", [
    ("0 1\n1 2 3\n", "e.txt:2: found a third column"),
    ("0 1\n\n1\n", "e.txt:3: expected two node ids, found one"),
    ("# only a comment\n", "e.txt: no edges found"),
    (None, "cannot read"),
])
def test_bad_input_fails_with_one_line_and_keeps_the_old_output(capsys, tmp_path, content, fragment):
    edges, out = tmp_path / "e.txt", tmp_path / "out.emb"
    if content is not None:
        edges.write_text(content)
    out.write_text("earlier result")
    status, err = run(capsys, "--input", edges, "--output", out, *FAST)
    assert status == 1 and fragment in err and err.count("\n") == 1 and err.startswith("velmor: error:")
    assert out.read_text() == "earlier result"
    assert sorted(os.listdir(tmp_path)) == sorted(["out.emb"] + ([edges.name] if content else []))


def test_names_that_word2vec_cannot_hold_fail_before_training(capsys, tmp_path):
    edges = tmp_path / "e.csv"
    edges.write_text("New York,Boston\n")
    status, err = run(capsys, "--input", edges, "--output", tmp_path / "o.emb", "--delimiter", ",", *FAST)
    assert status == 1 and "'New York'" in err and ".npz" in err
    assert run(capsys, "--input", edges, "--output", tmp_path / "o.npz", "--delimiter", ",", *FAST)[0] == 0


def test_missing_output_directory_fails(capsys, tmp_path):
    status, err = run(capsys, "--input", KARATE, "--output", tmp_path / "no" / "o.emb", *FAST)
    assert status == 1 and "does not exist" in err


def test_python_dash_m_runs_the_command(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("a b\nc\n")
    done = run_python("-m", "velmor", "--input", str(bad), "--output", str(tmp_path / "o.emb"))
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr == f"velmor: error: {bad}:2: expected two node ids, found one\n"
    done = run_python("-m", "velmor", "--input", str(KARATE), "--output", str(tmp_path / "o.npy"), *FAST)
    assert done.returncode == 0 and np.load(tmp_path / "o.npy").shape == (34, 8)

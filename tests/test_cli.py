"""The velmor command."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

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


@pytest.mark.parametrize("option, suffix", [("--output", ".emb"), ("--output", ".npy"),
                                            ("--output", ".npz"), ("--walks-output", ".txt"),
                                            ("--walks-output", ".npy")])
def test_karate_to_every_output_format(capsys, tmp_path, option, suffix):
    out = tmp_path / f"karate{suffix}"
    status, err = run(capsys, "--input", KARATE, option, out, *FAST)
    assert (status, err) == (0, "") and os.listdir(tmp_path) == [out.name]
    if option == "--walks-output":
        walks = np.load(out) if suffix == ".npy" else np.loadtxt(out, dtype=np.int64)
        assert walks.shape == (2 * 34, 10) and sorted(set(walks[:34, 0])) == list(range(34))
    elif suffix == ".emb":
        assert read_word2vec(out)[0] == [str(i) for i in range(34)]
    else:
        vectors = np.load(out)
        assert (vectors if suffix == ".npy" else vectors["vectors"]).shape == (34, 8)


HEADER = "source\ttarget\n0\t1\n1\t02\n"


@pytest.mark.parametrize("content, args, note, keys", [
    ("# who knows whom\nann,bob\nbob,cy\ncy,ann\n", ["--delimiter", ","], "", ["ann", "bob", "cy"]),
    ("0 1 2.5\n1 2 0.5\n2 0 1\n", ["--weighted"], "", ["0", "1", "2"]),
    (HEADER, [], "velmor: note: {}:1: skipped the header line 'source\\ttarget'\n",
     ["0", "1", "2"]),
    (HEADER, ["--names"], "", ["source", "target", "0", "1", "02"]),  # every id a string
])
def test_names_weights_and_header_notes(capsys, tmp_path, content, args, note, keys):
    edges = tmp_path / "e.txt"
    edges.write_text(content)
    status, err = run(capsys, "--input", edges, "--output", tmp_path / "o.emb", *args, *FAST)
    assert (status, err) == (0, note.format(edges))
    assert read_word2vec(tmp_path / "o.emb")[0] == keys


@pytest.mark.parametrize("args, fragment", [
    (["--p", "0"], "--p must be greater than 0"),
    (["--num-walks", "0"], "--num-walks must be at least 1"),
    (["--ns-exponent", "-0.5"], "--ns-exponent must not be negative, got -0.5"),
    (["--ns-exponent", "inf"], "--ns-exponent must be finite, got inf"),
    (["--delimiter", "ab"], "single ASCII character"),
    (["--output", "x.doc"], "embedding format"),
    (["--negative", "0"], "--negative must be at least 1"),
    (["--p", "1e-300"], "--p must be between 1.2e-38 and 3.4e+38, got 1e-300"),
    (["--workers", "100000"], "--workers must be at most 1024"),
    (["--walks-output", "w.npz"], "cannot tell the walks format of 'w.npz'"),
    (["--walk-length", "ten"], "invalid int value"),
])
def test_usage_errors_exit_2(capsys, tmp_path, args, fragment):
    status, err = run(capsys, "--input", KARATE, "--output", tmp_path / "o.emb", *args)
    assert status == 2 and fragment in err and not os.listdir(tmp_path)
    assert err.startswith("velmor: error: ") and err.count("\n") == 1


@pytest.mark.parametrize("content, args, fragment", [
    ("0 1\n1 2 3\n", [], "e.txt:2: found a third column; pass weighted=True (--weighted on the "
     "command line)"),
    ("0 1\n\n1\n", [], "e.txt:3: expected two node ids, found one"),
    ("# only a comment\n", [], "e.txt: no edges found"),
    (None, [], "cannot read"),
    (KARATE.read_text(), ["--dimensions", "2000000000"],
     "at --dimensions 2000000000 need 506.6 GiB"),
])
def test_bad_input_fails_with_one_line_and_keeps_the_old_output(capsys, tmp_path, content, args,
                                                                 fragment):
    edges, out = tmp_path / "e.txt", tmp_path / "out.emb"
    if content is not None:
        edges.write_text(content)
    out.write_text("earlier result")
    status, err = run(capsys, "--input", edges, "--output", out, *FAST, *args)
    assert status == 1 and fragment in err
    assert err.count("\n") == 1 and err.startswith("velmor: error:")
    assert out.read_text() == "earlier result"
    assert sorted(os.listdir(tmp_path)) == sorted(["out.emb"] + ([edges.name] if content else []))


def test_names_that_word2vec_cannot_hold_fail_before_training(capsys, tmp_path):
    edges = tmp_path / "e.csv"
    edges.write_text("New York,Boston\n")
    comma = ("--delimiter", ",")
    status, err = run(capsys, "--input", edges, "--output", tmp_path / "o.emb", *comma, *FAST)
    assert status == 1 and "'New York'" in err and ".npz" in err
    assert run(capsys, "--input", edges, "--output", tmp_path / "o.npz", *comma, *FAST)[0] == 0


@pytest.mark.parametrize("where", ["missing/o.emb", "file/o.emb", "folder.emb"])
def test_unwritable_output_fails_before_any_work(capsys, monkeypatch, tmp_path, where):
    (tmp_path / "file").write_text("")
    (tmp_path / "folder.emb").mkdir()
    monkeypatch.setattr("velmor.cli.read_edgelist", pytest.fail)
    status, err = run(capsys, "--input", KARATE, "--output", tmp_path / where, *FAST)
    assert status == 1 and err.startswith(f"velmor: error: cannot write {tmp_path / where}: ")
    assert err.count("\n") == 1 and sorted(os.listdir(tmp_path)) == ["file", "folder.emb"]


@pytest.mark.parametrize("signum, status, said", [(signal.SIGTERM, 143, "terminated"),
                                                  (signal.SIGINT, 130, "interrupted")])
def test_a_stopped_run_leaves_no_file_behind(tmp_path, signum, status, said):
    ring = np.arange(5000)
    edges = tmp_path / "ring.txt"
    np.savetxt(edges, np.stack([ring, np.roll(ring, 1)], axis=1), fmt="%d")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    process = subprocess.Popen([sys.executable, "-m", "velmor", "--input", str(edges), "--output",
                                str(tmp_path / "o.emb"), "--walks-output", str(tmp_path / "w.npy"),
                                "--num-walks", "20", "--walk-length", "20", "--dimensions",
                                "2048", "--quiet"],
                               stderr=subprocess.PIPE, text=True, env=env)
    deadline = time.monotonic() + 60
    while not any(name.endswith(".part") for name in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and process.poll() is None
        time.sleep(0.05)
    time.sleep(0.5)  # into training
    process.send_signal(signum)
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (status, f"velmor: {said}; nothing written\n")
    assert sorted(os.listdir(tmp_path)) == ["ring.txt"]

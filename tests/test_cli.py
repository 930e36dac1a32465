"""The velmor command."""

import io
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import FAST, KARATE_FILE, run_cli, run_python, under_sanitizer
from velmor.cli import main
from velmor.embedding_files import load_embeddings

HEADER = "source\ttarget\n0\t1\n1\t02\n"


@pytest.mark.parametrize("content, args, note, keys", [
    (KARATE_FILE.read_text(), [], "", list(range(34))),
    ("# who knows whom\nann,bob\nbob,cy\ncy,ann\n", ["--delimiter", ","], "", ["ann", "bob", "cy"]),
    ("0 1 2.5\n1 2 0.5\n2 0 1\n", ["--weighted"], "", [0, 1, 2]),
    ("0 1 2.5\n1 2 x\n2 0 1\n", ["--unweighted"], "", [0, 1, 2]),
    (HEADER, [], "velmor: note: {}:1: skipped the header line 'source\\ttarget'\n", [0, 1, 2]),
    (HEADER, ["--names"], "", ["source", "target", "0", "1", "02"]),  # every id a string
    ("0 1\n1 2\n", ["--walk-length", "1"], "velmor: note: --walk-length 1: a walk of one node has "
     "no context to train on, so every vector stays as it started (random); choose walks of 2 "
     "nodes or more\n", [0, 1, 2]),
])
def test_runs_write_the_embeddings_and_walks(capsys, tmp_path, content, args, note, keys):
    edges, out, walks = tmp_path / "e.txt", tmp_path / "o.emb", tmp_path / "w.txt"
    edges.write_text(content)
    status, err = run_cli(capsys, "--input", edges, "--output", out, "--walks-output", walks, *FAST,
                      *args)
    assert (status, err) == (0, note.format(edges))
    assert sorted(os.listdir(tmp_path)) == ["e.txt", "o.emb", "w.txt"]
    vectors, found = load_embeddings(out)
    assert found == keys and vectors.shape == (len(keys), 8)
    rows, n = [line.split() for line in walks.read_text().splitlines()], len(keys)
    assert len(rows) == 2 * n and max(map(len, rows)) <= 10
    assert sorted(row[0] for row in rows[:n]) == sorted(map(str, keys))


# Usage errors exit with 2, other bad input with 1.
@pytest.mark.parametrize("content, args, status, fragment", [
    ("0 1\n", ["--p", "0"], 2, "--p must be greater than 0"),
    ("0 1\n", ["--ns-exponent", "-0.5"], 2, "--ns-exponent must not be negative, got -0.5"),
    ("0 1\n", ["--delimiter", "ab"], 2, "single ASCII character"),
    ("0 1\n", ["--output", "x.doc"], 2, "embedding format"),
    ("0 1\n", ["--negative", "0"], 2, "--negative must be at least 1"),
    ("0 1\n1 2 3\n", [], 1, "e.txt:2: found a third column; pass weighted=True (--weighted on "
     "the command line)"),
    ("# only a comment\n", [], 1, "e.txt: no edges found"),
    ("0\t1\n1\t2\n", ["--weighted"], 1, "e.txt:1: expected three columns (source, target, "
     "weight), found two; to read a file without weights, leave out weighted=True"),
    (None, [], 1, "cannot read"),
    ("New York,Boston\n", ["--delimiter", ","], 1, "key 'New York' is empty or contains "
     "whitespace, which the word2vec formats cannot hold; save as .npz instead"),
    (KARATE_FILE.read_text(), ["--dimensions", "2000000000"], 1,
     "at --dimensions 2000000000 need 506.6 GiB"),
    (KARATE_FILE.read_text(), ["--walk-length", str(2**40)], 1, "the walk buffers of 1 thread at "
     "--walk-length 1099511627776 need 8192.0 GiB, more than the "),
    (KARATE_FILE.read_text(), ["--walks-output", "w.txt", "--num-walks", str(2**40)], 1,
     "the walks of 34 nodes at --num-walks 1099511627776 and --walk-length 10 need "),
    ("5 10\n10 20\n", ["--output", "o.npy"], 1, "(row 0 is node 5); save as .npz or in a "
     "word2vec format (.emb, .txt, .bin), which keep the names"),
    ("5 10\n10 20\n", ["--walks-output", "w.npy"], 1, "(node index 0 is named 5); save the walks "
     "as .txt or .txt.gz"),
    (None, ["--input", "out.emb"], 2, "--input and --output both name "),  # would replace its input
])
def test_bad_input_fails_with_one_line_and_keeps_the_old_output(capsys, monkeypatch, tmp_path,
                                                                 content, args, status, fragment):
    monkeypatch.chdir(tmp_path)  # where relative outputs would appear
    edges, out = tmp_path / "e.txt", tmp_path / "out.emb"
    if content is not None:
        edges.write_text(content)
    out.write_text("earlier result")
    found, err = run_cli(capsys, "--input", edges, "--output", out, *FAST, *args)
    assert found == status and fragment in err
    assert err.count("\n") == 1 and err.startswith("velmor: error: ")
    assert out.read_text() == "earlier result"
    assert sorted(os.listdir(tmp_path)) == sorted(["out.emb"] + ([edges.name] if content else []))


@pytest.mark.parametrize("where", ["missing/o.emb", "file/o.emb", "folder.emb"])
def test_unwritable_output_fails_before_any_work(capsys, monkeypatch, tmp_path, where):
    (tmp_path / "file").write_text("")
    (tmp_path / "folder.emb").mkdir()
    monkeypatch.setattr("velmor.cli.read_edgelist", pytest.fail)
    status, err = run_cli(capsys, "--input", KARATE_FILE, "--output", tmp_path / where, *FAST)
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


@pytest.mark.parametrize("command", [
    # PecanPy's, as its documentation writes it, with its training flags.
    ["--input", KARATE_FILE, "--output", "k.emb", "--mode", "SparseOTF", "--epochs", "2",
     "--random_state", "1", "--delimiter", "\t", "--verbose", "--workers", "1"],
    # The reference node2vec's.
    ["--input", KARATE_FILE, "--output", "k.emb", "--iter", "2", "--unweighted", "--undirected",
     "--workers", "1"],
])
def test_peer_command_lines_run_unchanged(capsys, monkeypatch, tmp_path, command):
    monkeypatch.chdir(tmp_path)
    status, err = run_cli(capsys, *command, "--dimensions", "8", "--walk-length", "10")
    assert status == 0 and err.count("\n") == 1 + ("--mode" in command)
    assert load_embeddings(tmp_path / "k.emb")[0].shape == (34, 8)


@pytest.mark.parametrize("text, keys, err", [
    ("a b\nb c\n", ["a", "b", "c"], ""),
    ("a b\nb\n", [], "velmor: error: <stdin>:2: expected two node ids, found one\n"),
])
def test_standard_input_and_output(capsys, monkeypatch, text, keys, err):
    stdin = io.BytesIO(text.encode())
    stdin.name = "<stdin>"
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(stdin))
    status = main(["--input", "-", "--output", "-", *FAST])
    out, found = capsys.readouterr()
    assert (status, found) == (1 if err else 0, err)  # nothing but the vectors on stdout
    lines = out.splitlines()
    assert lines[:1] == ([f"{len(keys)} 8"] if keys else [])
    assert [line.split()[0] for line in lines[1:]] == keys


LIMITED = """if True:
    import resource, sys
    from velmor.cli import main
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), resource.RLIM_INFINITY))
    sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("cause", ["ulimit -v", "training", "walking"])
def test_too_little_memory_is_a_one_line_error(capsys, monkeypatch, tmp_path, cause):
    command = ["--input", KARATE_FILE, "--output", tmp_path / "o.emb", *FAST]
    if cause == "ulimit -v":
        if under_sanitizer():
            pytest.skip("the sanitizers' own mappings take the address space")
        # 34 nodes at 4,000,000 dimensions: 1 GiB of training matrices.
        done = run_python("-c", LIMITED, *map(str, command), "--dimensions", "4000000")
        status, err = done.returncode, done.stderr
        expected = ("velmor: error: the training matrices for 34 nodes at --dimensions 4000000 "
                    "need 1.0 GiB, more than the 0.")
        assert "GiB of address space that the process's limit (ulimit -v) leaves" in err
    else:
        # Memory taken by others after the checks: the engine's MemoryError has no message.
        def out_of_memory(**_):
            raise MemoryError

        if cause == "training":
            monkeypatch.setattr("velmor.model.train_epoch", out_of_memory)
            expected = ("velmor: error: ran out of memory while training 34 nodes at --dimensions "
                        "8 and --walk-length 10; choose fewer dimensions, shorter walks or fewer "
                        "workers")
        else:
            monkeypatch.setattr("velmor.walks.write_walks", out_of_memory)
            command[2:4] = ["--walks-output", tmp_path / "w.txt"]
            expected = ("velmor: error: ran out of memory while walking 34 nodes at --walk-length "
                        "10; choose shorter walks or fewer workers")
        status, err = run_cli(capsys, *command)
    assert status == 1 and err.startswith(expected) and err.count("\n") == 1
    assert os.listdir(tmp_path) == []

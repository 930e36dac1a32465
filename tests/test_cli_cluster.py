"""The command's cluster flags refused in one line, before any work, with or without Ray."""

import pytest

from conftest import KARATE_FILE, run_cli, run_python


@pytest.mark.parametrize("flags, message", [
    (["--actors", "2"], "--actors applies only with --ray"),
    (["--ray", "auto", "--save-model", "m.npz"], "--save-model is not available with --ray"),
    (["--ray", "auto", "--actors", "0"], "--actors must be at least 1, got 0"),
    (["--ray", "auto", "--actors", "2", "--num-blocks", "3"],
     "--num-blocks (3) must be a multiple of --actors (2)"),
    (["--num-blocks", "4"], "--num-blocks applies only with --ray or --deterministic"),
])
def test_bad_cluster_flags_are_usage_errors(tmp_path, capsys, flags, message):
    out = tmp_path / "out.emb"
    status, err = run_cli(capsys, "--input", KARATE_FILE, "--output", out, *flags)
    assert status == 2 and message in err and err.count("\n") == 1
    assert not out.exists()


def test_without_ray_the_command_says_how_to_install_it(tmp_path):
    out = tmp_path / "out.emb"
    argv = ["--input", str(KARATE_FILE), "--output", str(out), "--ray", "auto"]
    result = run_python("-c", "import sys; sys.modules['ray'] = None; from velmor.cli import main; "
                        f"sys.exit(main({argv!r}))")
    assert result.returncode == 1 and not out.exists()
    assert result.stderr == ("velmor: error: velmor's cluster training needs Ray: "
                             "pip install 'velmor[ray]'\n")

"""The built wheel installs and runs on a machine with no compiler.

Runs when VELMOR_WHEEL names a wheel: tools/build_wheel.sh sets it once the wheel is repaired
and audited. Installs the wheel and NumPy (as a wheel too) into a fresh virtual environment whose
bin folder is the whole PATH, and embeds the karate club graph with the installed command.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import KARATE_FILE

WHEEL = os.environ.get("VELMOR_WHEEL")

pytestmark = pytest.mark.skipif(not WHEEL, reason="VELMOR_WHEEL names no wheel to install")


def test_the_wheel_installs_without_a_compiler_and_embeds_karate(tmp_path):
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", env_dir], check=True)
    bin_dir = env_dir / "bin"
    assert not [c for c in ("cc", "c++", "gcc", "g++", "clang") if shutil.which(c, path=bin_dir)]
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VIRTUAL_ENV", "CC", "CXX", "CMAKE_ARGS")}
    env["PATH"] = str(bin_dir)

    def run(*args):
        done = subprocess.run(args, cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, done.stderr
        return done.stdout

    # --only-binary: nothing may be built from source, which would need a compiler.
    run(bin_dir / "python", "-m", "pip", "install", "--quiet", "--only-binary=:all:", WHEEL)
    run(bin_dir / "velmor", "--input", KARATE_FILE, "--output", "karate.emb", "--seed", "1")
    shown = run(bin_dir / "python", "-c", "import velmor, velmor.engine._engine as engine; "
                "wv = velmor.KeyedVectors.load('karate.emb'); "
                "print(len(wv), wv.vector_size, bool(abs(wv.vectors).sum() > 0), engine.__file__)")
    count, size, nonzero, module = shown.split()
    assert (count, size, nonzero) == ("34", "128", "True")
    assert Path(module).is_relative_to(env_dir)

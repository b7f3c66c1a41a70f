"""The package installs offline with Debian's pip and imports from there."""
from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

from conftest import HERE

SOURCE = HERE.parent.parent / "clients" / "python"


def test_offline_pip_install_into_a_target(tmp_path):
    # pip builds in the source folder: build from a copy so the tree stays clean.
    source = tmp_path / "src"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    target = tmp_path / "target"
    r = subprocess.run([sys.executable, "-m", "pip", "install", "--no-index", "--no-build-isolation",
                        "--disable-pip-version-check", "--no-cache-dir", "--target", str(target),
                        str(source)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    probe = ("import plughost_client as pc, sys; "
             "print(pc.__file__); print(pc.__version__); print('numpy' in sys.modules)")
    r = subprocess.run([sys.executable, "-S", "-c", probe], cwd=tmp_path, capture_output=True,
                       text=True, timeout=60, env={"PYTHONPATH": str(target)})
    assert r.returncode == 0, r.stderr
    where, version, numpy_loaded = r.stdout.split()
    assert Path(where).is_relative_to(target) and version == "0.1.0"
    assert numpy_loaded == "False"  # numpy is never needed to import
    assert (target / "plughost_client" / "py.typed").exists()

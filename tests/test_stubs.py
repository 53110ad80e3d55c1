"""The shipped type stubs match the extension modules as built."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

MODULES = ["listify", "history", "nestmap", "namespace", "vox", "interpreter", "internal"]


def test_stubs_match_modules(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
         *("velmor.tcl." + m for m in MODULES)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert r.returncode == 0, r.stdout + r.stderr


def test_stubs_and_marker_ship_with_the_package():
    import velmor.tcl

    here = os.path.dirname(velmor.tcl.__file__)
    for m in MODULES:
        assert os.path.exists(os.path.join(here, m + ".pyi")), m
    assert os.path.exists(os.path.join(os.path.dirname(here), "py.typed"))

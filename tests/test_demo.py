import os
import shutil
import subprocess
import sys

DEMO = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "demo.py")


def test_demo_runs_top_to_bottom():
    out = subprocess.run([sys.executable, DEMO], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    for expected in ("devices registered: 2 int", "keylget lab rack.row -> B", "timeout now: 5",
                     "check_all failures: 1", "proc device_info  args key",
                     'TclError: key "no_such_device" not found in keyed list'):
        assert expected in out.stdout


def test_demo_runs_from_a_folder_with_a_space(tmp_path):
    examples = os.path.join(os.path.dirname(__file__), os.pardir, "examples")
    where = tmp_path / "my demo {x}"
    shutil.copytree(examples, where)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    out = subprocess.run([sys.executable, str(where / "demo.py")], capture_output=True, text=True,
                         timeout=60, env=env, cwd=str(tmp_path))
    assert out.returncode == 0, out.stderr
    assert "devices registered: 2 int" in out.stdout

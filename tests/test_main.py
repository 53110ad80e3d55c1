"""python -m velmor.tcl: the command-line runner, run as a subprocess."""
import os
import pty
import select
import subprocess
import sys
import time

import pytest

import velmor
import velmor.tcl


def env(**extra):
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    e.update(extra)
    return e


def run(*args, stdin=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "velmor.tcl", *args],
        input=stdin, capture_output=True, text=True, env=env(), cwd=cwd, timeout=60,
    )


ARGS_SCRIPT = 'puts [list $argv0 $argc $argv $tcl_interactive [package present Tclx] [package present hobnail]]\n'


def test_file_with_arguments(tmp_path):
    script = tmp_path / "show args.tcl"
    script.write_text(ARGS_SCRIPT)
    r = run(str(script), "a", "b c", "{")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "{%s} 3 {a {b c} \\{} 0 8.4 %s\n" % (script, r.stdout.split()[-1])
    assert r.stderr == ""


def test_inline_script():
    r = run("-c", 'puts "[expr {6 * 7}] $argc [lindex $argv 0]"', "x y")
    assert (r.returncode, r.stdout, r.stderr) == (0, "42 1 x y\n", "")


@pytest.mark.parametrize("args", [(), ("-",), ("-", "one", "two")], ids=["none", "dash", "dash-args"])
def test_script_from_stdin(args):
    r = run(*args, stdin='set total 0\nforeach a $argv {incr total $a}\nputs "$argc $total"\n'.replace("$a}", "1}"))
    assert r.returncode == 0, r.stderr
    n = max(len(args) - 1, 0)
    assert r.stdout == f"{n} {n}\n"


@pytest.mark.parametrize(
    "how",
    ["file", "inline", "stdin"],
)
def test_tcl_error_exits_1_with_errorinfo(tmp_path, how):
    body = "proc f {} {error {disk full} {} {POSIX ENOSPC}}\nf\n"
    if how == "file":
        script = tmp_path / "fails.tcl"
        script.write_text(body)
        r = run(str(script))
    elif how == "inline":
        r = run("-c", body)
    else:
        r = run(stdin=body)
    assert r.returncode == 1
    assert r.stdout == ""
    lines = r.stderr.splitlines()
    assert lines[0] == "disk full"
    assert '    (procedure "f" line 1)' in lines
    if how == "file":
        assert any(str(tmp_path / "fails.tcl") in line for line in lines)


@pytest.mark.parametrize("script, status", [("exit 3", 3), ("exit", 0), ("catch {exit 4}; puts after", 4)])
def test_exit_status_from_tcl(script, status):
    r = run("-c", "puts -nonewline bye; " + script)
    assert (r.returncode, r.stdout) == (status, "bye")


def test_exit_needs_an_integer():
    r = run("-c", "exit x")
    assert r.returncode == 1
    assert r.stderr.startswith('ValueError: expected integer but got "x"')


def test_version():
    r = run("--version")
    assert (r.returncode, r.stdout) == (0, f"velmor.tcl {velmor.__version__}\n")
    assert velmor.tcl.__version__ == velmor.__version__
    assert velmor.__version__[0].isdigit()


def test_version_is_read_lazily():
    code = "import sys, velmor.tcl; print('importlib.metadata' in sys.modules, velmor.tcl.__version__ != '')"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env(), timeout=60)
    assert r.stdout.split() == ["False", "True"], r.stderr


@pytest.mark.parametrize("args", [("-c",), ("--bogus",)], ids=["c-without-script", "unknown-option"])
def test_usage_errors(args):
    r = run(*args)
    assert r.returncode == 2
    assert "usage:" in r.stderr


def test_missing_file(tmp_path):
    r = run(str(tmp_path / "nope.tcl"))
    assert r.returncode == 1
    assert "couldn't read file" in r.stderr


class Terminal:
    """The runner on a pseudo-terminal, read until an expected text shows."""

    def __init__(self, home):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # the child
            try:
                os.execve(sys.executable, [sys.executable, "-m", "velmor.tcl"], env(HOME=str(home), TERM="dumb"))
            finally:
                os._exit(127)
        self.seen = ""

    def expect(self, text, timeout=30):
        end = time.monotonic() + timeout
        while text not in self.seen:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{text!r} not seen in {self.seen!r}")
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096).decode("utf-8", "replace")
                except OSError:
                    chunk = ""
                if not chunk:
                    raise AssertionError(f"{text!r} not seen before the end: {self.seen!r}")
                self.seen += chunk
        at = self.seen.index(text) + len(text)
        before, self.seen = self.seen[:at], self.seen[at:]
        return before

    def send(self, line):
        os.write(self.fd, line.encode())

    def wait(self):
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


def test_interactive_prompt(tmp_path):
    term = Terminal(tmp_path)
    term.expect("% ")
    term.send("set x [expr {6 * 7}]\r")
    assert "42" in term.expect("% ")
    term.send("puts $tcl_interactive\r")
    assert "1" in term.expect("% ")
    term.send("proc twice {n} {\r")
    term.expect("> ")
    term.send("return [expr {$n * 2}]}\r")
    term.expect("% ")
    term.send("twice 21\r")
    assert "42" in term.expect("% ")
    term.send("error {disk full}\r")
    assert "disk full" in term.expect("% ")
    term.send("\x04")  # end of input
    assert term.wait() == 0
    history = (tmp_path / ".velmor_tcl_history").read_text()
    assert "twice 21" in history and "set x [expr {6 * 7}]" in history


def test_interactive_history_is_its_own(tmp_path):
    (tmp_path / ".velmor_tcl_history").write_text("set from_before 1\n")
    term = Terminal(tmp_path)
    term.expect("% ")
    term.send("\x1b[A\r")  # up arrow: the line from the earlier session
    assert "1" in term.expect("% ")
    term.send("info exists from_before\r")
    assert "1" in term.expect("% ")
    term.send("\x04")
    assert term.wait() == 0


def test_interactive_exit(tmp_path):
    term = Terminal(tmp_path)
    term.expect("% ")
    term.send("set kept 1\r")
    term.expect("% ")
    term.send("exit 5\r")
    assert term.wait() == 5
    assert "set kept 1" in (tmp_path / ".velmor_tcl_history").read_text()

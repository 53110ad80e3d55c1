"""Interpreter hot paths against the raw tkinter calls doing the same Tcl work.

Run: PYTHONPATH=src .venv/bin/python bench/bench_interpreter.py
Prints, per case, the time of our path, the raw path and their ratio (goal in brackets).
"""
import os
import sys

from _common import best, child_cpu, pair, report


def fresh_process(code, runs=15):
    """Median CPU time of a fresh interpreter running code."""
    env = dict(os.environ)
    times = sorted(child_cpu([sys.executable, "-c", code], env) for _ in range(runs))
    return times[len(times) // 2]


def main():
    from velmor.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    n = 50000

    raw_eval = lambda: interp.tk.eval("set x 1")  # noqa: E731
    interp.history.enable()
    report('eval("set x 1"), history on', *pair(lambda: interp.eval("set x 1"), raw_eval, n), 1.6)
    report('eval("set x 1", record=False)',
           *pair(lambda: interp.eval("set x 1", record=False), raw_eval, n), 1.15)

    vox = interp.vox
    report('vox.set("x", 1)', *pair(lambda: vox.set("x", 1), lambda: interp.tk.call("set", "x", 1), n), 2.5)

    def cb(*args):
        return ""

    def ours_cb():
        interp.create_callback(cb)
        tk.eval("cb 1 2")
        interp.remove_callback(cb)

    def raw_cb():
        tk.createcommand("cb", cb)
        tk.eval("cb 1 2")
        tk.deletecommand("cb")

    report("create_callback + call + remove_callback", *pair(ours_cb, raw_cb, 2000), 3)

    cast_in = ["12", "2.5", "true", "hello world", "{a 1} {b 2}"]
    for s in cast_in:
        t = best(lambda: interp.cast_any(s), 20000)
        print(f"  cast_any({s!r:16s}) {t * 1e6:8.3f} us")

    # The child finds velmor where this process did (working tree or install);
    # only that one folder is added, so the raw baseline's imports are not slowed.
    import velmor
    os.environ["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(velmor.__file__)))
    raw = fresh_process("import tkinter; t=tkinter.Tcl(); t.eval('package require Tclx')")
    ours = fresh_process("import velmor.tcl")
    report("import velmor.tcl (fresh process)", ours, raw, 1.2)


if __name__ == "__main__":
    main()

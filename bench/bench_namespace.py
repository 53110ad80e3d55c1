"""Namespace model hot paths against the raw tkinter calls doing the same Tcl work.

Run: PYTHONPATH=src .venv/bin/python bench/bench_namespace.py
Prints, per case, our time, the raw time and their ratio (goal in brackets).
"""
import timeit

from _common import pair, report


def main():
    from velmor.tcl.interpreter import Interpreter
    from velmor.tcl.namespace import TclArrayVariable

    interp = Interpreter()
    tk = interp.tk

    # A 10,000-element array: one `array set`, then every element read back.
    data = {f"key {i}": f"value {i}" for i in range(10000)}
    arr = TclArrayVariable("::bench_arr", tcl=interp)

    def ours_array():
        arr.update(data)
        return dict(arr.items())

    def raw_array():
        flat = [word for pair_ in data.items() for word in pair_]
        tk.call("array", "set", "::bench_raw", flat)
        words = tk.splitlist(tk.call("array", "get", "::bench_raw"))
        it = iter(words)
        return dict(zip(it, it))

    assert ours_array() == raw_array() == data
    report("TclArrayVariable round trip, 10,000 elements", *pair(ours_array, raw_array, 3), 2)

    # One scalar read through the interpreter's variable view.
    tk.eval("set x 1")
    view = interp.vars
    assert view["x"] == tk.eval("set x") == "1"
    report('interp.vars["x"] vs tk.eval("set x")',
           *pair(lambda: view["x"], lambda: tk.eval("set x"), 50000), 1.5)


if __name__ == "__main__":
    main()

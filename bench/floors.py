"""What the written behaviour of each everyday path costs at the least.

Run: PYTHONPATH=src .venv/bin/python floors.py [--quick]   (from bench/)
Not a goal check: for the rows of bench_paths.py, it times the raw work the
path's behaviour needs (the Tcl commands it must send, through raw tkinter,
and the Python work it must do, such as the history's time stamp) beside the
raw baseline of bench_paths.py, so a missed goal can be read against the
least any implementation of that behaviour could reach.
"""
import datetime
import os
import sys

from _common import fresh_process_pair, pair

QUICK = "--quick" in sys.argv
ROUNDS = 5 if QUICK else 11


def floor(label, need, raw, number, what):
    need_t, raw_t = pair(need, raw, number, rounds=ROUNDS)
    print(f"{label:44s} floor {need_t * 1e6:9.3f} us  raw {raw_t * 1e6:9.3f} us  "
          f"floor/raw {need_t / raw_t:5.2f}x  ({what})")


def main():
    from velmor.tcl.history import History
    from velmor.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    n = 5000 if QUICK else 20000
    tk.eval("set w hello; set x 1; proc ::retry {what {count 3}} {}")
    now = datetime.datetime.now
    hist = History()
    words = ["set", "w"]

    floor('vox.set("w")', lambda: (hist.append(words), tk.call("set", "w")),
          lambda: tk.call("set", "w"), n, "the command and its history entry")
    floor('vox.set("x", 1)', lambda: (hist.append(["set", "x", "1"]), tk.call("set", "x", "1")),
          lambda: tk.call("set", "x", 1), n, "the command and its history entry")
    floor('cast_any("2.5")', lambda: (interp.cast_any(2.5), tk.getdouble("2.5")),
          lambda: tk.getdouble("2.5"), n, "a method call on an Interpreter and Tcl's parse")

    def cb(*args):
        return ""

    def need_cb():
        tk.call(("::info", "commands", "::cb"))
        tk.createcommand("cb", cb)
        tk.eval("cb 1 2")
        tk.call(("::rename", "::cb", ""))
        tk.call(("::info", "commands", "::hobnail::_cbBkup::cb"))

    def raw_cb():
        tk.createcommand("cb", cb)
        tk.eval("cb 1 2")
        tk.deletecommand("cb")

    floor("create_callback + call + remove_callback", need_cb, raw_cb, n // 10,
          "two info commands checks, createcommand, the call, rename")
    floor('get_var("x")', lambda: (interp.cast_any(1), tk.call(("::set", "x"))),
          lambda: tk.getvar("x"), n, "a method call and a set command, read as text")

    def need_default():
        tk.call(("::info", "default", "::retry", "count", "::bench_tmp"))
        tk.getboolean("1")
        tk.call(("::set", "::bench_tmp"))
        tk.call(("::unset", "-nocomplain", "::bench_tmp"))

    def raw_default():
        if tk.getboolean(tk.call("info", "default", "::retry", "count", "::bench_tmp")):
            tk.call("set", "::bench_tmp")
        tk.call("unset", "-nocomplain", "::bench_tmp")

    floor("proc_arg_default", need_default, raw_default, n // 2,
          "the same four commands, as word tuples")
    floor("eval, history on", lambda: (hist.append("set x 1"), tk.eval("set x 1")),
          lambda: tk.eval("set x 1"), n, "the script and its history entry")
    floor("eval, record=False", lambda: (interp.cast_any(1), tk.eval("set x 1")),
          lambda: tk.eval("set x 1"), n, "a method call on an Interpreter and the script")
    floor("History.append time stamp alone", now, lambda: tk.call("set", "w"), n,
          "datetime.now() against tk.call(set, w)")

    import velmor
    os.environ["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(velmor.__file__)))
    runs = 7 if QUICK else 21
    raw_code = "import tkinter; t=tkinter.Tcl(); t.eval('package require Tclx')"
    # datetime waits for the first time stamp; logging is held by the modules' faces.
    need_code = "import logging; " + raw_code
    need_t, raw_t = fresh_process_pair(need_code, raw_code, runs)
    print(f"{'import velmor.tcl':44s} floor {need_t * 1e6:9.0f} us  raw {raw_t * 1e6:9.0f} us  "
          f"floor/raw {need_t / raw_t:5.2f}x  (the raw path and the logging import "
          "the modules' faces hold)")


if __name__ == "__main__":
    main()

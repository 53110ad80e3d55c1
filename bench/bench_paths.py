"""Everyday paths against the raw tkinter calls doing the same Tcl work.

Run: PYTHONPATH=src .venv/bin/python bench/bench_paths.py [--quick]
Each row times our path and its raw baseline alternately in one process
(best of several rounds), prints ours/raw against the goal, and the script
exits with status 1 when a goal is missed.
"""
import os
import sys

from _common import fresh_process_pair, pair, report

QUICK = "--quick" in sys.argv
ROUNDS = 5 if QUICK else 11


def row(label, ours, raw, number, goal):
    return report(label, *pair(ours, raw, number, rounds=ROUNDS), goal) <= goal


def main():
    from velmor.tcl.interpreter import Interpreter
    from velmor.tcl.namespace import TclCommand, TclNamespace
    from velmor.tcl.nestmap import NestMap
    from velmor.tcl.listify import listify

    interp = Interpreter()
    tk = interp.tk
    n = 5000 if QUICK else 20000
    ok = []

    tk.eval("set w hello; set x 1")
    assert interp.vox.set("w") == tk.call("set", "w") == "hello"
    ok.append(row('vox.set("w") (result a word) / tk.call("set", "w")',
                  lambda: interp.vox.set("w"), lambda: tk.call("set", "w"), n, 3.0))

    text = "hello world"
    assert interp.cast_any(text) == text
    ok.append(row('cast_any("hello world") / tk.splitlist(same)',
                  lambda: interp.cast_any(text), lambda: tk.splitlist(text), n, 3.0))
    assert interp.cast_any("2.5") == 2.5
    ok.append(row('cast_any("2.5") / tk.getdouble("2.5")',
                  lambda: interp.cast_any("2.5"), lambda: tk.getdouble("2.5"), n, 2.0))

    vox = interp.vox
    ok.append(row('vox.set("x", 1) / tk.call("set", "x", 1)',
                  lambda: vox.set("x", 1), lambda: tk.call("set", "x", 1), n, 2.5))

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

    ok.append(row("create_callback + call + remove_callback / raw", ours_cb, raw_cb,
                  n // 10, 3.0))

    ok.append(row('get_var("x") / tk.getvar("x")',
                  lambda: interp.get_var("x"), lambda: tk.getvar("x"), n, 2.0))

    tk.eval("proc ::retry {what {count 3}} {}")
    procs = interp.global_ns.procs
    assert "retry" in procs
    ok.append(row('"retry" in global_ns.procs / info procs ::retry',
                  lambda: "retry" in procs, lambda: tk.call("info", "procs", "::retry"), n, 2.0))

    def raw_default():
        if tk.getboolean(tk.call("info", "default", "::retry", "count", "::bench_tmp")):
            value = tk.call("set", "::bench_tmp")
        tk.call("unset", "-nocomplain", "::bench_tmp")
        return value

    ours_default = lambda: TclCommand("::retry", tcl=interp).proc_arg_default("count")  # noqa: E731
    assert str(ours_default()) == str(raw_default()) == "3"
    ok.append(row('TclCommand(...).proc_arg_default("count") / info default + set',
                  ours_default, raw_default, n // 2, 3.0))

    # 60 namespaces: ::bw and its descendants, 11 children, 48 grandchildren.
    for i in range(11):
        tk.eval(f"namespace eval ::bw::c{i} {{variable v 1; proc p {{}} {{}}}}")
        for j in range(5 if i < 9 else 3 if i == 9 else 0):
            tk.eval(f"namespace eval ::bw::c{i}::g{j} {{variable v 1; proc p {{}} {{}}}}")
    root = TclNamespace("::bw", tcl=interp)

    def ours_walk(ns=root):
        list(ns.procs), list(ns.cmds), list(ns.vars)
        for child in ns.children():
            ours_walk(TclNamespace(child, tcl=interp))

    def raw_walk(name="::bw"):
        for what in ("procs", "commands", "vars"):
            tk.splitlist(tk.call("namespace", "eval", name, ("::info", what)))
        for child in tk.splitlist(tk.call("namespace", "eval", name, ("namespace", "children"))):
            raw_walk(child)

    count = []
    walk_count = lambda ns: count.append(ns) or [walk_count(c) for c in tk.splitlist(  # noqa: E731
        tk.call("namespace", "children", ns))]
    walk_count("::bw")
    assert len(count) == 60, len(count)
    ok.append(row("walk of 60 namespaces (procs, cmds, vars, children)",
                  ours_walk, raw_walk, max(1, n // 400), 2.0))

    view = interp.vars
    assert view["x"] == tk.eval("set x") == "1"
    ok.append(row('interp.vars["x"] / tk.eval("set x")',
                  lambda: view["x"], lambda: tk.eval("set x"), n, 1.5))

    interp.history.enable()
    raw_eval = lambda: tk.eval("set x 1")  # noqa: E731
    ok.append(row('eval("set x 1"), history on / tk.eval',
                  lambda: interp.eval("set x 1"), raw_eval, n, 1.6))
    ok.append(row('eval("set x 1", record=False) / tk.eval',
                  lambda: interp.eval("set x 1", record=False), raw_eval, n, 1.15))

    nm = NestMap()
    for i in range(1000):
        for j in range(2):
            nm[f"key{i}.field{j}"] = f"value {i}/{j}" if j else f"v{i}"
    nm_text = listify(nm)
    split = tk.splitlist

    def leaves():
        for element in split(nm_text):
            key, value = split(element)
            for sub in split(value):
                split(sub)

    assert NestMap.from_tcl(nm_text) == nm
    ok.append(row("NestMap.from_tcl, 2,000 two-level entries / split to leaves",
                  lambda: NestMap.from_tcl(nm_text), leaves, 5, 2.0))

    # The child finds velmor where this process did (working tree or install);
    # only that one folder is added, so the raw baseline's imports are not slowed.
    import velmor
    os.environ["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(velmor.__file__)))
    ours, raw = fresh_process_pair(
        "import velmor.tcl",
        "import tkinter; t=tkinter.Tcl(); t.eval('package require Tclx')",
        7 if QUICK else 21)
    ok.append(report("import velmor.tcl (fresh process) / Tcl() + Tclx", ours, raw, 1.2) <= 1.2)

    missed = ok.count(False)
    print(f"{len(ok) - missed} of {len(ok)} goals met")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

"""Soak run: every hot API called many times over, resident memory printed as it goes.

    python bench/soak.py [calls-per-API] [only-these-names...]

Each API runs `calls` times (default 1,000,000) and prints its resident set size
every tenth of the way; a flat column of figures means nothing is kept per call.
Not a test: it takes long at the default count.  Last, 2,000 short-lived threads
split lists one after another (fewer when the count is smaller).
"""
import gc
import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "src"))

from velmor.tcl.history import History  # noqa: E402
from velmor.tcl.interpreter import Interpreter  # noqa: E402
from velmor.tcl.listify import listify, tclobj  # noqa: E402
from velmor.tcl.namespace import TclArrayVariable  # noqa: E402
from velmor.tcl.nestmap import NestMap  # noqa: E402
from tkinter import TclError  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def apis(it):
    """name -> a callable doing one call of that API."""
    nested = {"a": [1, 2.5, ("x y", None)], "b": {"c": "{", "d": b"\x00z"}, "e": "\U0001F600"}
    kl_text = "{a 1} {b {{c 2} {d {x y}}}}"
    nm = NestMap.from_tcl(kl_text)
    arr = TclArrayVariable("soak_arr", tcl=it)
    arr.update({"k": 1})
    it.set_var("soak_v", "5")

    def failing_eval():
        try:
            it.eval("error boom")
        except TclError:
            pass

    def callback():
        cmd = it.create_callback(lambda *a: "ok", "soak_cb")
        it.remove_callback(cmd)

    small = History(max_history=it.__MAX_HISTORY__)
    for i in range(it.__MAX_HISTORY__):
        small.append("fill %d" % i)

    def dotted():
        nm["b.c"] = "3"
        return nm["b.d"]

    def views():
        it.vars["soak_w"] = "x y"
        return it.vars["soak_w"], "soak_w" in it.vars

    def array():
        arr["k"] = 2
        return arr["k"], arr.array_get()

    return {
        "eval": lambda: it.eval("set soak_v"),
        "eval-typecast": lambda: it.eval("set soak_v", typecast=True),
        "failing-eval": failing_eval,
        "proxy": lambda: it.vox.string("length", "abc"),
        "cast_any": lambda: it.cast_any("2.5"),
        "cast_list": lambda: it.cast_list("a {b c} d"),
        "cast_int": lambda: it.cast_int("42"),
        "cast_boolean": lambda: it.cast_boolean("yes"),
        "cast_keyed_list": lambda: it.cast_keyed_list(kl_text),
        "listify-nested": lambda: listify(nested),
        "tclobj-nested": lambda: tclobj(nested),
        "NestMap.from_tcl": lambda: NestMap.from_tcl(kl_text),
        "NestMap-dotted": dotted,
        "views": views,
        "TclArrayVariable": array,
        "callback": callback,
        "history-trim": lambda: small.append("one more"),
    }


def short_threads(n):
    """n threads one after another, each splitting lists (a malformed one too)."""
    import threading

    from velmor.tcl.internal import GetListFromAny

    def work():
        GetListFromAny("a {b c} \U0001F600")
        try:
            GetListFromAny("{a")
        except TclError:
            pass

    step = max(n // 10, 1)
    figures = [rss_mb()]
    for done in range(1, n + 1):
        t = threading.Thread(target=work)
        t.start()
        t.join()
        if done % step == 0:
            figures.append(rss_mb())
    print(f"{'short-threads':18s} {' '.join(f'{f:6.1f}' for f in figures)}  ({n:,} threads)", flush=True)


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    only = set(sys.argv[2:])
    it = Interpreter()
    table = apis(it)
    step = max(calls // 10, 1)
    print(f"{calls:,} calls per API; RSS in MB every {step:,} calls")
    for name, fn in table.items():
        if only and name not in only:
            continue
        gc.collect()
        start = time.perf_counter()
        figures = [rss_mb()]
        for done in range(1, calls + 1):
            fn()
            if done % step == 0:
                figures.append(rss_mb())
        took = time.perf_counter() - start
        growth = figures[-1] - figures[1] if len(figures) > 1 else 0.0
        print(f"{name:18s} {' '.join(f'{f:6.1f}' for f in figures)}  "
              f"(+{growth:.1f} MB after the first tenth, {took:.0f} s)", flush=True)
    if not only or "short-threads" in only:
        short_threads(min(calls, 2000) if calls >= 2000 else calls)


if __name__ == "__main__":
    main()

"""NestMap.from_tcl on a 10,000-leaf two-level keyed list, against tkinter's splitlist.

The baseline is the Tcl parsing that reading such a list needs: tk.splitlist on
the text, then on each element (key and value), then on each nested value and
each of its elements.  "one level" counts only the text and its elements.

    PYTHONPATH=src .venv/bin/python bench/bench_nestmap.py
"""
import tkinter

from _common import best
from velmor.tcl.listify import listify
from velmor.tcl.nestmap import NestMap

def main():
    tk = tkinter.Tcl().tk
    split = tk.splitlist

    def full_split(text):
        for element in split(text):
            key, value = split(element)
            for sub in split(value):
                split(sub)

    def one_level(text):
        for element in split(text):
            split(element)

    for outer, inner in ((100, 100), (1000, 10), (10000, 1)):
        nm = NestMap()
        for i in range(outer):
            for j in range(inner):
                nm["key%d.field%d" % (i, j)] = "value %d/%d" % (i, j) if j % 2 else "v%d" % j
        text = listify(nm)
        assert NestMap.from_tcl(text) == nm
        t_nm = best(lambda: NestMap.from_tcl(text), 1)
        t_full = best(lambda: full_split(text), 1)
        t_one = best(lambda: one_level(text), 1)
        print(
            "%5d x %-5d from_tcl %7.2f ms | splitlist to leaves %7.2f ms  ratio %.2f"
            " | one level %7.2f ms  ratio %.2f"
            % (outer, inner, t_nm * 1e3, t_full * 1e3, t_nm / t_full, t_one * 1e3, t_nm / t_one)
        )


if __name__ == "__main__":
    main()

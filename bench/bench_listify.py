"""listify/tclobj of 100,000 random words against Tcl's own list path."""
import random
import tkinter

from _common import best, report
from velmor.tcl.listify import listify, tclobj

ALPHABET = "abcdefghijklmnopqrstuvwxyz {}[]$\\\""


def main():
    rng = random.Random(7)
    words = ["".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 12)))
             for _ in range(100_000)]
    tk = tkinter.Tcl().tk
    assert list(tk.call("lrange", listify(words), 0, "end")) == words
    tcl = best(lambda: str(tk.call("list", *words)), number=3)
    ours = best(lambda: listify(words), number=3)
    report("listify speed-up (columns: Tcl's list, listify)", tcl, ours, 2.0, at_least=True)
    base = best(lambda: tuple(words), number=20)
    ours = best(lambda: tclobj(words), number=20)
    report("tclobj / tuple(words)", ours, base, 1.5)


if __name__ == "__main__":
    main()

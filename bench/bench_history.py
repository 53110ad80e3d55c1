"""History.append of a str with recording on, against datetime.now()."""
import datetime

from _common import best, report
from velmor.tcl.history import History


def main():
    h = History()
    now = datetime.datetime.now
    ours = best(lambda: h.append("set x 1"), number=200_000)
    # The lambda costs the same in both, so compare like with like.
    base = best(lambda: now(), number=200_000)
    report("History.append / datetime.now()", ours, base, 3.0)


if __name__ == "__main__":
    main()

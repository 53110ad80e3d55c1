"""History.append of a str with recording on, against datetime.now()."""
import datetime

from _common import pair, report
from velmor.tcl.history import History


def main():
    h = History()
    now = datetime.datetime.now
    # Warm up, then measure both alternately so drift hits both alike.
    for _ in range(100_000):
        h.append("set x 1")
    ours, base = pair(lambda: h.append("set x 1"), lambda: now(), number=100_000)
    report("History.append / datetime.now()", ours, base, 3.0)


if __name__ == "__main__":
    main()

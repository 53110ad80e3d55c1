"""Shared timing helpers for the benchmarks: best of several runs, one report format."""
import timeit


def best(func, number, repeat=7):
    """Seconds per call of func, the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(func, number=number, repeat=repeat)) / number


def pair(ours_fn, raw_fn, number, rounds=9):
    """Best times of both, measured alternately so drift hits both alike."""
    ours, raw = [], []
    for _ in range(rounds):
        raw.append(timeit.timeit(raw_fn, number=number) / number)
        ours.append(timeit.timeit(ours_fn, number=number) / number)
    return min(ours), min(raw)


def report(label, ours, raw, goal, at_least=False):
    """Print both times and ours/raw against the goal (at most, or at least, goal)."""
    ratio = ours / raw
    ok = ratio >= goal if at_least else ratio <= goal
    sign = ">=" if at_least else "<="
    print(f"{label:60s} {ours * 1e6:11.3f} us  raw {raw * 1e6:11.3f} us  "
          f"ratio {ratio:5.2f}x  [goal {sign} {goal}x: {'ok' if ok else 'MISSED'}]")
    return ratio

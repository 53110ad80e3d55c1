"""Shared timing helpers for the benchmarks: best of several repeats."""
import timeit


def best(func, number, repeat=7):
    """Seconds per call of func, the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(func, number=number, repeat=repeat)) / number


def report(title, ours, theirs, goal, at_least=False):
    """Print ours/theirs against a goal (at most goal, or at least goal)."""
    ratio = ours / theirs
    ok = ratio >= goal if at_least else ratio <= goal
    sign = ">=" if at_least else "<="
    print(f"{title:58s} {ratio:6.2f}x  (goal {sign} {goal}x: {'ok' if ok else 'MISSED'})")
    return ratio

"""Shared timing helpers for the benchmarks: best of several runs, one report format.

Times are the CPU time of the measuring thread (all Tcl work runs on it), so
that other processes on a shared machine do not count against either side.
"""
import os
import sys
import time
import timeit

CLOCK = time.thread_time


def best(func, number, repeat=7):
    """Seconds per call of func, the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(func, number=number, repeat=repeat, timer=CLOCK)) / number


def pair(ours_fn, raw_fn, number, rounds=9):
    """Best times of both, measured alternately so drift hits both alike."""
    ours, raw = [], []
    for _ in range(rounds):
        raw.append(timeit.Timer(raw_fn, timer=CLOCK).timeit(number) / number)
        ours.append(timeit.Timer(ours_fn, timer=CLOCK).timeit(number) / number)
    return min(ours), min(raw)


def report(label, ours, raw, goal, at_least=False):
    """Print both times and ours/raw against the goal (at most, or at least, goal)."""
    ratio = ours / raw
    ok = ratio >= goal if at_least else ratio <= goal
    sign = ">=" if at_least else "<="
    print(f"{label:60s} {ours * 1e6:11.3f} us  raw {raw * 1e6:11.3f} us  "
          f"ratio {ratio:5.2f}x  [goal {sign} {goal}x: {'ok' if ok else 'MISSED'}]")
    return ratio


def child_cpu(argv, env):
    """CPU time (user + system) of one child process running argv to its end."""
    import resource
    import subprocess

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, check=True, env=env)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def fresh_process_pair(ours_code, raw_code, runs):
    """Median CPU time of a fresh interpreter running each code, alternately."""
    env = dict(os.environ)
    ours, raw = [], []
    for _ in range(runs):
        raw.append(child_cpu([sys.executable, "-c", raw_code], env))
        ours.append(child_cpu([sys.executable, "-c", ours_code], env))
    ours.sort()
    raw.sort()
    return ours[len(ours) // 2], raw[len(raw) // 2]

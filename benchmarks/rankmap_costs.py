"""What RankMap operations cost in seconds, at 1,000, 10,000 and 50,000 keys.

    python benchmarks/rankmap_costs.py              the three sizes (half a minute here)
    python benchmarks/rankmap_costs.py 1000 5000    other sizes

run.py gives ratios against OrderedDict and dict; this gives the absolute figures
that the README's table of RankMap costs quotes.  Every write looks its key up in the
order list (by equality), so one write is linear in the size and building or copying
a RankMap, a write per key, is quadratic: at 50,000 keys each of those is timed once.

A write of a new key is timed on keys that are not in the map (each one stays, so the
map grows by at most 21 keys); a write of an existing key sets the last key of the
order, which the lookup reaches last.  Both report the median of 21 single writes.
"""
import platform
import statistics
import sys
import time

from tavox.datastructures.rankmap import RankMap

WRITES = 21


def once(func):
    started = time.perf_counter()
    func()
    return time.perf_counter() - started


def best(func, runs):
    return min(once(func) for _ in range(runs))


def measure(n):
    pairs = [("key%d" % i, i) for i in range(n)]
    runs = 1 if n >= 50_000 else 3  # the quadratic ones take half a minute each at 50,000
    built = []
    build = best(lambda: built.append(RankMap(pairs)), runs)
    m = built[-1]
    last = m.keys()[-1]

    def write(key):
        started = time.perf_counter()
        m[key] = 0
        return time.perf_counter() - started

    new = statistics.median(write("new%d" % i) for i in range(WRITES))
    existing = statistics.median(write(last) for _ in range(WRITES))
    copy = best(m.copy, runs)
    items = best(m.items, 5)
    return build, new, existing, copy, items


def seconds(t):
    """A time in the unit that reads best: 1.2 s, 35 ms, 410 µs."""
    for unit, scale in (("s", 1), ("ms", 1e3), ("µs", 1e6)):
        if t * scale >= 1:
            return "{:.3g} {}".format(t * scale, unit)
    return "{:.3g} ns".format(t * 1e9)


def main(argv):
    sizes = [int(arg) for arg in argv] or [1_000, 10_000, 50_000]
    print("CPython %s on %s, %s" % (platform.python_version(), platform.platform(), _cores()))
    print()
    print("| keys | build `RankMap(pairs)` | write a new key | write an existing key | `copy()` | `items()` |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        figures = measure(n)
        print("| {:,} | {} |".format(n, " | ".join(seconds(t) for t in figures)), flush=True)


def _cores():
    import os

    count = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return "%d cores" % count


if __name__ == "__main__":
    main(sys.argv[1:])

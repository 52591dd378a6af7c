"""FadeSeq against the weakreflist package and a plain list of weakref.ref.

The plain list is the floor: ``weakref.ref(obj, lst.remove)`` appended to a
list, so that it cleans itself up as well, with nothing wrapped around it.
"""
import gc
import time
import weakref

from harness import optional

N = 10_000  # 2,000 in a quick run
GROUP = "fadeseq"


class Item:
    pass


def _floor(items=()):
    lst = []
    for o in items:
        lst.append(weakref.ref(o, lst.remove))
    return lst


def _contenders():
    from tavox.datastructures.fadeseq import FadeSeq

    peer = optional("weakreflist")
    return ("FadeSeq", FadeSeq), [("weakreflist.WeakList", peer and peer.WeakList),
                                  ("list of weakref.ref", _floor)]


def _appending(make, objs):
    if make is _floor:
        def fn():
            lst = []
            append, ref = lst.append, weakref.ref
            for o in objs:
                append(ref(o, lst.remove))
    else:
        def fn():
            append = make().append
            for o in objs:
                append(o)
    return fn


def _cleanup_time(make, n, repeat=3):
    """Best time for n stored objects to die (in order, oldest first)."""
    best = None
    for _ in range(repeat):
        holder = [Item() for _ in range(n)]
        s = make(holder)
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            for i in range(n):
                holder[i] = None
            elapsed = time.perf_counter() - t0
        finally:
            gc.enable()
        assert len(s) == 0
        best = elapsed if best is None else min(best, elapsed)
    return best


def run(h):
    (label, mine), others = _contenders()
    n = h.size(N, 2_000)
    objs = [Item() for _ in range(n)]
    last = objs[-1]

    def against(operation, body, number=None):
        h.compare(GROUP, operation, (label, body(mine)),
                  [(name, make and body(make)) for name, make in others], number=number)

    against(f"append {n:,} objects", lambda make: _appending(make, objs), number=20)
    full = {id(make): make(objs) for make in [mine] + [m for _, m in others if m]}

    def iterate(make):
        s = full[id(make)]
        if make is _floor:
            return lambda: [r() for r in s]
        return lambda: [x for x in s]

    def contains(make):
        s = full[id(make)]
        if make is _floor:
            return lambda: weakref.ref(last) in s
        return lambda: last in s

    def index(make):
        s = full[id(make)]
        if make is _floor:
            return lambda: s.index(weakref.ref(last))
        return lambda: s.index(last)

    against(f"iterate {n:,}", iterate)
    against(f"`in` (last of {n:,})", contains)
    against(f"index (last of {n:,})", index)

    # Only the deaths are timed (not building the sequence), which the harness's
    # whole-call timing cannot do: the ratios are computed here in the same way.
    mine_time = _cleanup_time(mine, n)
    for name, make in others:
        ratio = None if make is None else mine_time / _cleanup_time(make, n)
        h.add(GROUP, f"clean-up of {n:,} dying objects", label, name, ratio)

"""RankMap against collections.OrderedDict and a plain dict (the floor), 10,000 keys
(2,000 in a quick run).

Writes of an existing key and moves scan the order list, so they are linear in the
size by design; reads, iteration, items() and copy() are not.
"""
from collections import OrderedDict

from tavox.datastructures.rankmap import RankMap



def sort_by_index(m):
    """items() the plain way: one linear search of the order list per pair."""
    return sorted(m._data.items(), key=lambda pair: m._order.index(pair[0]))


def run(h):
    n = h.size(10_000, 2_000)
    group = "rankmap ({:,} keys)".format(n)
    keys = ["key%d" % i for i in range(n)]
    pairs = [(k, i) for i, k in enumerate(keys)]
    rm, od, d = RankMap(pairs), OrderedDict(pairs), dict(pairs)
    some = keys[:: n // 100]  # 100 keys spread over the whole order

    def get_all(m):
        for k in keys:
            m[k]

    def set_some(m):
        for k in some:
            m[k] = 0

    def iterate(m):
        for _ in m:
            pass

    def rm_move():
        rm.move(rm.keys()[-1], 0)

    def od_move():
        od.move_to_end(next(reversed(od)), last=False)

    def d_move():  # a dict can only move to the end: pop and store again
        k = next(iter(d))
        d[k] = d.pop(k)

    h.compare(group, "build", ("RankMap", lambda: RankMap(pairs)),
              [("OrderedDict", lambda: OrderedDict(pairs)), ("dict", lambda: dict(pairs))])
    h.compare(group, "get every key", ("RankMap", lambda: get_all(rm)),
              [("OrderedDict", lambda: get_all(od)), ("dict", lambda: get_all(d))])
    h.compare(group, "set 100 existing keys", ("RankMap", lambda: set_some(rm)),
              [("OrderedDict", lambda: set_some(od)), ("dict", lambda: set_some(d))])
    h.compare(group, "iterate", ("RankMap", lambda: iterate(rm)),
              [("OrderedDict", lambda: iterate(od)), ("dict", lambda: iterate(d))])
    h.compare(group, "items()", ("RankMap", rm.items),
              [("list(OrderedDict.items())", lambda: list(od.items())),
               ("list(dict.items())", lambda: list(d.items())),
               ("sort by _order.index (Python)", lambda: sort_by_index(rm))])
    h.compare(group, "copy()", ("RankMap", rm.copy),
              [("OrderedDict", od.copy), ("dict", d.copy)])
    h.compare(group, "move last key to front", ("RankMap.move", rm_move),
              [("OrderedDict.move_to_end", od_move), ("dict pop+store (to end)", d_move)])

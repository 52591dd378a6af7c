"""copy.copy, copy.deepcopy and pickle give sound objects for every container."""
import copy
import gc
import multiprocessing
import pickle

import pytest

from tavox.datastructures.configuration import Configuration
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.rankmap import RankMap


class SlottedBag(DotBag):
    __slots__ = ("tag",)


class SubNested(NestedDotBag):
    pass


class SubConfiguration(Configuration):
    pass


class SubRankMap(RankMap):
    pass


class SubSeq(FadeSeq):
    pass


class Node:
    pass


OPS = {"copy": copy.copy, "deepcopy": copy.deepcopy}
OPS.update({f"pickle {p}": (lambda p: lambda x: pickle.loads(pickle.dumps(x, p)))(p)
            for p in range(pickle.HIGHEST_PROTOCOL + 1)})


def sample(cls):
    """Levels, a dotted plain key, a value stored as it is, a shared value and the bag itself."""
    if issubclass(cls, NestedDotBag):
        bag = cls({"server": {"port": "8080", "tls": {"on": "true"}}})
    else:
        bag = cls(server=cls(port=8080, tls=cls(on=True)))
    dict.__setitem__(bag, "a.b", "a plain key, not a path")
    bag.raw = "1"  # an attribute write converts nothing, also in a Configuration
    bag["one"] = bag["two"] = [1, 2]
    bag["me"] = bag
    if "tag" in getattr(cls, "__slots__", ()):
        bag.tag = ["slot"]
    return bag


def walk(x, seen):
    if id(x) in seen:
        return ("seen", list(seen).index(id(x)))
    if isinstance(x, (dict, list, tuple)):
        seen[id(x)] = x
        items = dict.items(x) if isinstance(x, dict) else enumerate(x)
        return (type(x), [(k, walk(v, seen)) for k, v in items])
    return (type(x), x)


def shape(x):
    """Classes, keys and values at every level, and where it refers to itself."""
    return walk(x, {})


def containers(x):
    seen = {}
    walk(x, seen)
    return seen


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("cls", [DotBag, NestedDotBag, Configuration, SlottedBag, SubNested, SubConfiguration])
def test_bags_copy_and_pickle_into_sound_objects(cls, op):
    bag = sample(cls)
    before = shape(bag)
    c = OPS[op](bag)
    assert type(c) is cls and getattr(c, "tag", None) == getattr(bag, "tag", None)
    if op == "copy":
        assert list(dict.items(c)) == list(dict.items(bag))
        assert all(dict.__getitem__(c, k) is v for k, v in dict.items(bag))
        levels = [c]
    else:
        assert shape(c) == before  # Configuration's 8080 stays an int, "1" stays text
        assert c["one"] is c["two"] and c["me"] is c
        assert not set(containers(c)) & set(containers(bag))
        levels = [x for x in containers(c).values() if isinstance(x, DotBag)]
        assert len(levels) == 3
    for level in levels:
        assert vars(level) is level
        level.probe = 1
        assert level["probe"] == 1
        level["item"] = 2
        assert level.item == 2
    assert shape(bag) == before and vars(bag) is bag


# (DotBag, NestedDotBag, Configuration) as the release before copying hooks wrote them,
# with protocol 0 and protocol 4.
OLD_PICKLES = [
    b'(ccopy_reg\n_reconstructor\np0\n(ctavox.datastructures.dotbag\nDotBag\np1\nc__builtin__\ndict\np2\n(dp3\nVa\n'
    b'p4\nI1\nsVb\np5\n(lp6\nI2\nastp7\nRp8\ng8\nbg0\n(ctavox.datastructures.dotbag\nNestedDotBag\np9\ng2\n(dp10\ng4'
    b'\ng0\n(g9\ng2\n(dp11\ng5\ng0\n(g9\ng2\n(dp12\nVc\np13\nI1\nstp14\nRp15\ng15\nbstp16\nRp17\ng17\nbsVx\np18\nVy\np'
    b'19\nstp20\nRp21\ng21\nbg0\n(ctavox.datastructures.configuration\nConfiguration\np22\ng2\n(dp23\nVserver\np24\ng0'
    b'\n(g22\ng2\n(dp25\nVport\np26\nI8080\nsVdebug\np27\nI01\nstp28\nRp29\ng29\nbsVname\np30\nVapp\np31\nstp32\nRp33'
    b'\ng33\nbtp34\n.',
    b'\x80\x04\x95\xf4\x00\x00\x00\x00\x00\x00\x00\x8c\x1btavox.datastructures.dotbag\x94\x8c\x06DotBag\x94\x93\x94)'
    b'\x81\x94(\x8c\x01a\x94K\x01\x8c\x01b\x94]\x94K\x02auh\x03bh\x00\x8c\x0cNestedDotBag\x94\x93\x94)\x81\x94(h\x04h'
    b'\x08)\x81\x94h\x05h\x08)\x81\x94\x8c\x01c\x94K\x01sh\x0bbsh\nb\x8c\x01x\x94\x8c\x01y\x94uh\tb\x8c"tavox.datastr'
    b'uctures.configuration\x94\x8c\rConfiguration\x94\x93\x94)\x81\x94(\x8c\x06server\x94h\x11)\x81\x94(\x8c\x04port'
    b'\x94M\x90\x1f\x8c\x05debug\x94\x88uh\x14b\x8c\x04name\x94\x8c\x03app\x94uh\x12b\x87\x94.',
]


@pytest.mark.parametrize("data", OLD_PICKLES, ids=["protocol 0", "protocol 4"])
def test_pickles_of_the_earlier_format_load_into_sound_objects(data):
    loaded = pickle.loads(data)
    expected = (DotBag(a=1, b=[2]), NestedDotBag({"a": {"b": {"c": 1}}, "x": "y"}),
                Configuration({"server": {"port": "8080", "debug": "true"}, "name": "app"}))
    assert shape(loaded) == shape(expected)
    for level in [x for x in containers(loaded).values() if isinstance(x, DotBag)]:
        assert vars(level) is level


def settings_in_worker(cfg):
    cfg.server.workers = 4
    return cfg, [vars(x) is x for x in containers(cfg).values() if isinstance(x, DotBag)]


def test_a_configuration_reaches_a_spawned_worker_and_comes_back():
    cfg = Configuration({"server": {"port": "8080", "tls": {"on": "true"}}})
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        back, sound = pool.apply(settings_in_worker, (cfg,))
    assert sound == [True, True, True] and type(back) is Configuration
    assert shape(back) == shape(Configuration({"server": {"port": 8080, "tls": {"on": True}, "workers": 4}}))
    assert "workers" not in cfg.server


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("cls", [RankMap, SubRankMap])
def test_rankmap_copies_have_storage_of_their_own(cls, op):
    m = cls([("b", [1]), ("a", 2)])
    m.move("a", 0)
    m.note = ["kept"]
    c = OPS[op](m)
    assert type(c) is cls and c.items() == [("a", 2), ("b", [1])] and c.note == ["kept"]
    assert (c["b"] is m["b"], c.note is m.note) == (op == "copy",) * 2
    c["z"] = 0
    c.move("b", 0)
    del c["a"]
    assert c.items() == [("b", [1]), ("z", 0)]
    assert m.items() == [("a", 2), ("b", [1])] and list(m) == ["a", "b"]


@pytest.mark.parametrize("op", ["copy", "deepcopy"])
@pytest.mark.parametrize("cls", [FadeSeq, SubSeq])
def test_fadeseq_copies_hold_the_same_objects_and_clean_themselves(cls, op):
    nodes = [Node() for _ in range(3)]
    seq = cls(nodes)
    seq.note, seq.me = ["kept"], seq
    c = OPS[op](seq)
    assert type(c) is cls and list(c) == nodes
    assert c.note == ["kept"] and (c.note is seq.note) == (op == "copy")
    assert c.me is (seq if op == "copy" else c)
    del nodes[1]
    assert list(c) == nodes and list(seq) == nodes
    seq.append(nodes[0])
    assert list(c) == nodes
    del seq
    gc.collect()
    nodes.pop()
    assert list(c) == nodes


def test_fadeseq_does_not_pickle():
    node = Node()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(FadeSeq([node]), protocol)

from contextlib import nullcontext
from collections.abc import MutableMapping

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from tavox.datastructures import rankmap
from tavox.datastructures.rankmap import RankMap

METHODS = ["__init__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "items", "clear", "copy",
           "insert", "move", "keys", "values", "update", "__repr__", "__len__", "__eq__", "fromkeys"]


def abc3():
    return RankMap([("a", 1), ("b", 2), ("c", 3)])


def sorted_by_index(m):
    """items() the plain way: the pairs sorted by the position of their key in the order list."""
    return sorted(m._data.items(), key=lambda pair: m._order.index(pair[0]))


def outcome(fn):
    try:
        return [(type(k), k, v) for k, v in fn()]
    except Exception as exc:
        return type(exc), exc.args


def test_module_and_class_shape():
    assert rankmap.__doc__ is None and rankmap.MutableMapping is MutableMapping
    assert "stored twice" in " ".join(RankMap.__doc__.split()) and RankMap.__hash__ is None
    assert isinstance(vars(RankMap)["fromkeys"], classmethod)
    assert "RankMap([('c', 3), ('a', 1), ('b', 2)])" in RankMap.move.__doc__
    with pytest.raises(TypeError):
        hash(RankMap())


@pytest.mark.parametrize("args, kwargs, pairs", [
    (([("a", 1), ("b", 2)],), {"c": 3}, [("a", 1), ("b", 2), ("c", 3)]),
    ((["ab", "cd"],), {}, [("a", "b"), ("c", "d")]),
    (({"ab": 1},), {}, [("a", "b")]),
    (({(1, 2): 0, "34": 0}.keys(),), {}, [(1, 2), ("3", "4")]),
    (([("a", 1), ("b", 2), ("a", 3)],), {"b": 4}, [("a", 3), ("b", 4)]),
])
def test_construction(args, kwargs, pairs):
    m = RankMap(*args, **kwargs)
    assert m.items() == pairs and list(m) == [k for k, _ in pairs] and m.values() == [v for _, v in pairs]


class Sized(tuple):
    def __len__(self):  # claims two items, whatever it holds
        return 2


@pytest.mark.parametrize("args, exc, message, kept", [
    (([(1, 2, 3)],), ValueError, "update sequence element #0 has length 3; 2 is required", []),
    (({"x": 1},), ValueError, "update sequence element #0 has length 1; 2 is required", []),
    (([("a", 1), "xyz"],), ValueError, "update sequence element #1 has length 3; 2 is required", [("a", 1)]),
    (([], []), TypeError, "expected at most 1 arguments, got 2", []),
    (([("a", 1), 5],), TypeError, "object of type 'int' has no len()", [("a", 1)]),
    ((5,), TypeError, "'int' object is not iterable", []),
    (([Sized((1, 2, 3))],), ValueError, "too many values to unpack (expected 2)", []),
    (([Sized((1,))],), ValueError, "need more than 1 value to unpack", []),
    (([type("OnlySized", (), {"__len__": lambda self: 2})()],), TypeError,
     "'OnlySized' object is not iterable", []),
])
def test_update_errors_keep_earlier_pairs_and_skip_keywords(args, exc, message, kept):
    m = RankMap(q=0)
    with pytest.raises(exc) as info:
        m.update(*args, z=9)
    assert info.value.args == (message,) and m.items() == [("q", 0)] + kept
    with pytest.raises(exc, match=r"^" + message.replace("(", r"\(").replace(")", r"\)")):
        RankMap(*args)


def test_reads_writes_and_the_live_order_list():
    m = abc3()
    for key in ["x", (1, 2)]:
        with pytest.raises(KeyError) as info:
            m[key]
        assert info.value.args == (key,)
        with pytest.raises(KeyError):
            del m[key]
    del m["b"]
    m["b"], m["a"] = 5, 7
    assert m.items() == [("a", 7), ("c", 3), ("b", 5)] and m.popitem() == ("a", 7)
    keys = m.keys()
    assert keys is m.keys() is m._order
    keys.reverse()
    assert list(m) == ["b", "c"] and repr(m) == "RankMap([('b', 5), ('c', 3)])"
    for key in m:  # the order list grows while iterated: no error
        if key == "b":
            m["d"] = 4
    m.clear()
    assert keys == ["b", "c", "d"] and m.keys() == [] and repr(m) == "RankMap([])"


@pytest.mark.parametrize("left, right, equal", [
    (abc3(), abc3(), True),
    (abc3(), RankMap([("b", 2), ("a", 1), ("c", 3)]), False),
    (abc3(), {"a": 1, "b": 2, "c": 3}, False),
    (abc3(), object(), False),
    (RankMap(a=type("Boom", (), {"__eq__": lambda self, other: 1 / 0})()), RankMap(a=1), False),
])
def test_equality_never_raises(left, right, equal):
    assert (left == right) is equal and (left != right) is (not equal)


def test_methods_go_through_the_instance():
    calls = []

    class Sub(RankMap):
        def update(self, *args, **kwargs):
            calls.append(("update",) + args)
            super().update(*args, **kwargs)

        def __setitem__(self, key, value):
            calls.append(("set", key))
            super().__setitem__(key, value)

        def __iter__(self):
            return iter(sorted(self._order))

    s = Sub([("b", 1)], a=[2])
    assert calls == [("update", [("b", 1)]), ("set", "b"), ("set", "a")]
    assert s.values() == [[2], 1] and repr(s) == "Sub([('b', 1), ('a', [2])])"
    c = s.copy()
    assert type(c) is Sub and c == s and c["a"] is s["a"] and calls[-3] == ("update", [("b", 1), ("a", [2])])
    f = Sub.fromkeys("xy")
    assert type(f) is Sub and f.items() == [("x", None), ("y", None)] and calls[-2:] == [("set", "x"), ("set", "y")]


def test_storage_is_read_by_name_at_every_call(monkeypatch):
    m = abc3()
    assert m["b"] == 2
    monkeypatch.setattr(RankMap, "_data", property(lambda self: {"b": "class"}), raising=False)
    assert m["b"] == "class"
    monkeypatch.undo()
    assert m["b"] == 2
    m._order, m._data = ["z"], {"z": 5}
    assert list(m) == ["z"] and m["z"] == 5 and len(m) == 1
    del m._data
    with pytest.raises(AttributeError):
        m["z"]


class TextPositions(list):
    def index(self, key, *args):
        return "#%d" % list.index(self, key)  # positions that sort as text


def test_storage_of_other_types_is_used_through_its_methods():
    m = RankMap()
    m._order, m._data = TextPositions(), type("Data", (dict,), {"__getitem__": lambda self, key: "seen"})()
    for i in range(12):
        m["k%d" % i] = i
    m.insert("new", -1, 1)
    del m["k0"]
    assert m["k3"] == "seen" and m.items() == sorted_by_index(m) and m.items()[2] == ("k10", 10)
    assert m.keys()[:2] == ["new", "k1"] and type(m.keys()) is TextPositions
    m = abc3()
    m._order = type("Plain", (list,), {})(m._order)
    m.move("c", 0)
    assert m.keys() == ["c", "a", "b"]


def test_repr_of_a_map_containing_itself_raises_recursion_error():
    m = RankMap()
    m["self"] = m
    with pytest.raises(RecursionError):
        repr(m)


@pytest.mark.parametrize("op, order", [
    ("insert('d', 4, 1)", "adbc"), ("insert('d', 4, 0)", "dabc"), ("insert('d', 4, 3)", "abcd"),
    ("insert('d', 4, 99)", "abcd"), ("insert('d', 4, -1)", "abdc"), ("insert('d', 4, -99)", "dabc"),
    ("insert(key='d', value=4, position=True)", "adbc"), ("move('c', 0)", "cab"), ("move('a', 2)", "bca"),
    ("move('a', 1)", "bac"), ("move('b', -1)", "abc"), ("move('a', 10)", "bca"), ("move(position=-9, key='c')", "cab"),
])
def test_insert_and_move_positions(op, order):
    m = abc3()
    eval("m." + op)
    assert "".join(m) == order and m._data == dict(a=1, b=2, c=3, **({"d": 4} if "d" in order else {}))


@pytest.mark.parametrize("op, exc, args", [
    ("m.insert('a', 9, 0)", KeyError, ("a already exist in Report",)),
    ("m.insert(('a',), 9, 0)", KeyError, ("a already exist in Report",)),
    ("m.insert(('a', 'b'), 9, 0)", TypeError, ("not all arguments converted during string formatting",)),
    ("m.move('x', 0)", KeyError, ("x",)),
    ("m.insert('d', 4, '1')", TypeError, ("'str' object cannot be interpreted as an integer",)),
    ("m.move('a', 1.0)", TypeError, ("'float' object cannot be interpreted as an integer",)),
    ("m.insert('d', 4, 2**100)", OverflowError, None),
    ("m.insert([1], 4, 0)", TypeError, None),
    ("m[[1]] = 4", TypeError, None),
    ("m[('a', [1])] = 4", TypeError, None),
])
def test_failures_leave_the_map_unchanged(op, exc, args):
    m = abc3()
    m[("a",)] = m[("a", "b")] = 0
    before = list(m.keys()), dict(m._data)
    with pytest.raises(exc) as info:
        exec(op)
    assert args is None or info.value.args == args
    assert (m.keys(), m._data) == before


class Clingy:
    """Equal to every Clingy but hashed by identity: the order list and the dict disagree."""

    def __eq__(self, other):
        return isinstance(other, Clingy)

    __hash__ = object.__hash__


POOL = ["a", "ab", "".join(["a", "b"]), 1, 1.0, True, float("nan"), float("nan"), (1, "x"), (1.0, "x"), None,
        b"a", Clingy(), Clingy(), object()]


@settings(max_examples=300)
@given(st.lists(st.sampled_from(POOL), max_size=8), st.lists(st.sampled_from(POOL), max_size=10), st.booleans())
def test_items_is_the_sort_by_index_even_after_the_order_was_mangled(stored, mangled, mangle):
    m = RankMap((key, i) for i, key in enumerate(stored))
    if mangle:
        m.keys()[:] = mangled
    expected = outcome(lambda: sorted_by_index(m))
    assert outcome(m.items) == expected
    assert outcome(lambda: m.copy().items()) == expected
    if isinstance(expected, list):
        assert repr(m) == "RankMap(%r)" % (sorted_by_index(m),)


def raises_if(condition, exc):
    return pytest.raises(exc) if condition else nullcontext()


class RankMapModel(RuleBasedStateMachine):
    """Random writes against a plain list of pairs; 1, 1.0 and True are one key."""

    keys, values, positions = st.sampled_from(["a", "b", "c", 1, 1.0, True, (1,)]), st.integers(0, 9), st.integers(-5, 5)

    def __init__(self):
        super().__init__()
        self.m, self.model = RankMap(), []

    def find(self, key):
        return next((i for i, (k, _) in enumerate(self.model) if k == key), None)

    def store(self, key, value):
        i = self.find(key)
        if i is None:
            self.model.append((key, value))
        else:
            self.model[i] = (self.model[i][0], value)

    @rule(key=keys, value=values)
    def set(self, key, value):
        self.m[key] = value
        self.store(key, value)

    @rule(pairs=st.lists(st.tuples(keys, values), max_size=3), kwargs=st.dictionaries(st.sampled_from("ad"), values))
    def update(self, pairs, kwargs):
        self.m.update(pairs, **kwargs)
        for key, value in pairs + list(kwargs.items()):
            self.store(key, value)

    @rule(key=keys, value=values, position=positions)
    def insert(self, key, value, position):
        with raises_if(self.find(key) is not None, KeyError):
            self.m.insert(key, value, position)
            self.model.insert(position, (key, value))

    @rule(key=keys, position=positions)
    def move(self, key, position):
        i = self.find(key)
        with raises_if(i is None, KeyError):
            self.m.move(key, position)
            self.model.insert(position, self.model.pop(i))

    @rule(key=keys)
    def delete(self, key):
        i = self.find(key)
        with raises_if(i is None, KeyError):
            del self.m[key]
            del self.model[i]

    @rule(key=keys)
    def pop(self, key):
        i = self.find(key)
        assert self.m.pop(key, None) == (None if i is None else self.model.pop(i)[1])

    @rule()
    def popitem(self):
        with raises_if(not self.model, KeyError):
            assert self.m.popitem() == self.model.pop(0)

    @rule()
    def clear(self):
        self.m.clear()
        self.model = []

    @invariant()
    def same_pairs_in_the_same_order(self):
        assert outcome(self.m.items) == outcome(lambda: self.model)
        assert self.m.keys() == list(self.m) == [k for k, _ in self.model] and self.m.values() == [v for _, v in self.model]
        assert len(self.m) == len(self.model) and self.m == RankMap(self.model)


TestRankMapModel = RankMapModel.TestCase

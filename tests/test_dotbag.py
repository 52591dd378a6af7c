"""DotBag and NestedDotBag."""
import gc
import itertools
import sys
import weakref
from collections.abc import Mapping, MutableMapping

import pytest
from hypothesis import given, settings, strategies as st

from tavox.datastructures.dotbag import DotBag, NestedDotBag


class Token:
    """A value whose reference count the tests watch."""


# ---- DotBag --------------------------------------------------------------------------

def test_entries_are_attributes_and_attributes_are_entries():
    bag = DotBag({"host": "alpha", "port": 22})
    assert bag.host == bag["host"] == "alpha"
    assert bag.__dict__ is bag
    bag.x = 5
    assert bag["x"] == 5 and "x" in bag
    del bag["x"]
    with pytest.raises(AttributeError, match="'DotBag' object has no attribute 'x'"):
        bag.x
    with pytest.raises(AttributeError):
        del bag.x
    bag["a-b"] = 1
    assert getattr(bag, "a-b") == 1


def test_keys_named_like_methods_hide_them_on_attribute_access_only():
    bag = DotBag(items=1)
    assert bag.items == 1
    assert list(DotBag.items(bag)) == [("items", 1)]


@pytest.mark.parametrize("bag, text", [
    (DotBag(), "DotBag({})"),
    (DotBag(a=1), "DotBag({'a': 1})"),
    (DotBag(a=DotBag(b=1)), "DotBag({'a': DotBag({'b': 1})})"),
])
def test_repr(bag, text):
    assert repr(bag) == text


def test_subclass_prints_its_own_name_and_copy_is_a_plain_dict():
    class Sub(DotBag):
        pass

    assert repr(Sub(a=1)) == "Sub({'a': 1})"
    copy = Sub(a=1).copy()
    assert type(copy) is dict and copy == {"a": 1}


def test_self_containing_bag_prints_without_recursing():
    bag = DotBag()
    bag["me"] = bag
    assert repr(bag) == "DotBag({'me': DotBag({...})})"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), (([1],), {}), (({}, {}), {})])
def test_construction_fails_as_dict_does(args, kwargs):
    with pytest.raises(TypeError) as expected:
        dict(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        DotBag(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_init_again_adds_entries():
    bag = DotBag(a=1)
    bag.__init__(b=2)
    assert bag == {"a": 1, "b": 2} and bag.b == 2


def test_non_string_attribute_names_are_refused():
    bag = DotBag()
    with pytest.raises(TypeError):
        getattr(bag, 1)
    with pytest.raises(TypeError):
        setattr(bag, 1, 2)


def test_dropped_bags_are_collected():
    bag = DotBag(a=1)
    ref = weakref.ref(bag)
    del bag
    gc.collect()
    assert ref() is None


def test_reads_do_not_drift_reference_counts():
    value = Token()
    bag = DotBag(v=value)
    before = sys.getrefcount(value)
    for _ in range(1000):
        bag.v, bag["v"], repr(bag)
    assert sys.getrefcount(value) == before


# ---- NestedDotBag: key paths -----------------------------------------------------------

def test_mapping_methods_are_mutable_mappings_own():
    for name in ("get", "pop", "setdefault"):
        assert NestedDotBag.__dict__[name] is getattr(MutableMapping, name)


def test_writes_create_levels():
    nd = NestedDotBag()
    nd["a.b.c"] = 1
    assert nd == {"a": {"b": {"c": 1}}}
    assert type(nd["a"]) is NestedDotBag and type(nd["a"]["b"]) is NestedDotBag
    assert nd.a.b.c == nd["a.b.c"] == 1
    assert "a.b.c" in nd
    assert list(nd.keys()) == ["a"] and len(nd) == 1
    assert repr(nd) == "NestedDotBag({'a': NestedDotBag({'b': NestedDotBag({'c': 1})})})"


@pytest.mark.parametrize("key, expected", [
    ("a.", {"a": {"": 1}}),
    (".a", {"": {"a": 1}}),
    ("a..b", {"a": {"": {"b": 1}}}),
])
def test_empty_components(key, expected):
    nd = NestedDotBag()
    nd[key] = 1
    assert nd == expected and nd[key] == 1


def test_missing_components_raise_key_error_naming_the_component():
    nd = NestedDotBag()
    nd["a.b.c"] = 1
    for key, missing in [("x.y", "x"), ("a.x.c", "x"), ("a.b.zz", "zz")]:
        with pytest.raises(KeyError) as info:
            nd[key]
        assert info.value.args == (missing,)
    assert "a.x" not in nd and "x.y" not in nd
    with pytest.raises(KeyError) as info:
        del nd["a.zz"]
    assert info.value.args == ("zz",)


@pytest.mark.parametrize("stored", [1, "text", {"plain": 1}, DotBag(x=1)])
def test_writing_through_a_value_is_refused_and_changes_nothing(stored):
    nd = NestedDotBag()
    nd["a"] = stored
    before = dict(nd)
    with pytest.raises(KeyError) as info:
        nd["a.b"] = 2
    assert info.value.args == ('target key "a" is a value, cannot update value against another NestedDotBag',)
    assert dict(nd) == before and nd["a"] is stored


def test_reading_through_plain_values():
    nd = NestedDotBag()
    nd["p"] = {"q": 1}
    nd["s"] = "hello"
    nd["l"] = [10, 20]
    assert type(nd["p"]) is dict
    assert nd["p.q"] == 1 and "p.q" in nd
    assert "s.ell" in nd
    with pytest.raises(TypeError):
        nd["s.x"]
    with pytest.raises(TypeError):
        nd["l.0"]
    nd["n"] = 5
    with pytest.raises(TypeError, match="'int' object is not subscriptable"):
        nd["n.x"]
    with pytest.raises(TypeError, match="argument of type 'int' is not iterable"):
        "n.x" in nd
    del nd["p.q"]
    assert nd["p"] == {}


def test_deletion_keeps_emptied_levels():
    nd = NestedDotBag()
    nd["a.b.c"] = 1
    del nd["a.b.c"]
    assert nd["a.b"] == {} and type(nd["a.b"]) is NestedDotBag


def test_plain_keys_of_other_types():
    nd = NestedDotBag()
    nd[1] = 2
    nd[("a", "b")] = 3
    assert nd[1] == 2 and nd[("a", "b")] == 3 and ("a", "b") in nd
    del nd[1]
    assert 1 not in nd


def test_mapping_methods_accept_key_paths():
    nd = NestedDotBag()
    nd["a.b.c"] = 1
    assert nd.get("a.zz") is None and nd.get("a.b.c") == 1
    level = nd["a.b"]
    assert nd.pop("a.b") is level and "a.b" not in nd
    assert nd.pop("a.zz", 7) == 7
    with pytest.raises(KeyError):
        nd.pop("a.zz")
    assert nd.setdefault("m.n", 5) == 5 and nd["m"] == {"n": 5}
    nd["t"] = 1
    with pytest.raises(TypeError):
        nd.get("t.x")


def test_str_subclass_keys_are_key_paths():
    class Key(str):
        pass

    nd = NestedDotBag()
    nd[Key("a.b")] = 1
    assert nd == {"a": {"b": 1}} and nd[Key("a.b")] == 1

    # A subclass's own "." in key and key.split(".", 1) decide
    class Flip(str):
        def split(self, sep=None, maxsplit=-1):
            return str.split(self, sep, maxsplit)[::-1]

    class NoDots(str):
        def __contains__(self, item):
            return False

    nd = NestedDotBag()
    nd[Flip("a.b")] = 1
    nd[NoDots("c.d")] = 2
    assert nd == {"b": {"a": 1}, "c.d": 2} and nd[Flip("a.b")] == 1 and NoDots("c.d") in nd


def test_key_paths_through_self_containing_levels_do_not_crash():
    nd = NestedDotBag()
    nd["me"] = nd
    assert nd["me.me.me.me"] is nd
    # Each level is a call, counted as one: a path deeper than the limit is refused.
    deep = ".".join(["me"] * 100000)
    for operation in (lambda: nd[deep], lambda: deep in nd, lambda: nd.__setitem__(deep, 1), lambda: nd.pop(deep)):
        with pytest.raises(RecursionError):
            operation()
    assert nd == {"me": nd}


# ---- NestedDotBag: update ----------------------------------------------------------------

def test_construction_turns_nested_mappings_into_levels():
    nd = NestedDotBag({"a": {"b": 1}})
    assert type(nd["a"]) is NestedDotBag and nd.a.b == 1
    nd = NestedDotBag(a={"b": {"c": 2}})
    assert type(nd.a.b) is NestedDotBag and nd["a.b.c"] == 2


def test_update_merges_level_by_level():
    nd = NestedDotBag({"a": {"b": 1}})
    nd.update({"a": {"c": 2}})
    assert nd == {"a": {"b": 1, "c": 2}}
    nd.update({"a": 5})
    assert nd["a"] == 5
    with pytest.raises(AttributeError, match="'int' object has no attribute 'update'"):
        nd.update({"a": {"x": 1}})
    nd.update({"p.q": 1})
    nd.update({"p.r": {"s": 1}})
    assert nd["p"] == {"q": 1, "r": {"s": 1}} and type(nd["p.r"]) is NestedDotBag
    nd.update([("x", 1), ("y", {"z": 2})], k=3)
    assert nd["x"] == 1 and type(nd["y"]) is NestedDotBag and nd["k"] == 3
    nd.update(["ab"])
    assert nd["a"] == "b"
    nd.update({"k": 1}, k=2)
    assert nd["k"] == 2
    nd["d"] = {"e": 1}
    nd.update({"d": {"f": {"g": 1}}})
    assert nd["d"] == {"e": 1, "f": {"g": 1}} and type(nd["d"]["f"]) is dict


@pytest.mark.parametrize("args, error, message", [
    (({}, {}), TypeError, "expected at most 1 arguments, got 2"),
    (([("x", 1, 2)],), TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
    (([("ok", 1), "abc"],), TypeError, "cannot convert dictionary update sequence element #1 to a sequence"),
    ((iter([("x", 1, 2)]),), AttributeError, "'list_iterator' object has no attribute 'index'"),
    (([1],), TypeError, "object of type 'int' has no len()"),
    ((None,), TypeError, "'NoneType' object is not iterable"),
    ((5,), TypeError, "'int' object is not iterable"),
    # An item named like a method shadows it: the merge calls self.setdefault
    (([("setdefault", 0), ("a", {})],), TypeError, "'int' object is not callable"),
    (([("setdefault", 0), ("a.b", 1)],), TypeError, "'int' object is not callable"),
    (([("update", 0), ("a", {"b": {}})],), None, None),
])
def test_update_errors(args, error, message):
    if error is None:  # a level's update is looked up on the level, which has no such item
        NestedDotBag().update(*args)
        return
    nd = NestedDotBag()
    with pytest.raises(error) as info:
        nd.update(*args)
    assert str(info.value) == message


def test_update_keeps_what_was_merged_before_a_failure():
    nd = NestedDotBag()
    with pytest.raises(TypeError):
        nd.update([("a", 1), ("b", {"c": 1}), ("bad",)])
    assert nd == {"a": 1, "b": {"c": 1}}


def test_objects_with_keys_that_are_not_mappings_are_pairs_or_values():
    class Keyed:
        def keys(self):
            return ["a"]

        def __getitem__(self, key):
            return "xy"[key]

        def __len__(self):
            return 2

    value = Keyed()
    nd = NestedDotBag(v=value)
    assert nd["v"] is value
    nd.update([Keyed()])
    assert nd["x"] == "y"


def test_subclass_overrides_are_honoured():
    calls = []

    class Traced(NestedDotBag):
        def __setitem__(self, key, value):
            calls.append(("set", key))
            super().__setitem__(key, value)

        def setdefault(self, key, default=None):
            calls.append(("setdefault", key))
            return super().setdefault(key, default)

        def update(self, *args, **kwargs):
            calls.append(("update",))
            super().update(*args, **kwargs)

    t = Traced({"a": {"b": 1}})
    assert type(t["a"]) is Traced
    assert calls == [("update",), ("update",), ("setdefault", "a"), ("set", "a"), ("update",), ("set", "b")]
    calls.clear()
    t["x.y"] = 2
    assert type(t["x"]) is Traced
    assert ("setdefault", "x") in calls and ("set", "y") in calls


class Model(dict, MutableMapping):
    """NestedDotBag written out in Python: what every call through the instance must be."""

    def __init__(self, *args, **kwargs):
        dict.__init__(self)
        self.__dict__ = self
        self.update(*args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and "." in key:
            head, rest = key.split(".", 1)
            return dict.__getitem__(self, head)[rest]
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        if isinstance(key, str) and "." in key:
            head, rest = key.split(".", 1)
            target = self.setdefault(head, type(self)())
            if not isinstance(target, type(self)):
                raise KeyError("target key")
            target[rest] = value
        else:
            dict.__setitem__(self, key, value)

    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        source = args[0].items() if args and isinstance(args[0], Mapping) else args[0] if args else ()
        for key, value in itertools.chain(source, kwargs.items()):
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value


class Registered:
    """A mapping only by registration."""

    def __init__(self, items):
        self.pairs = dict(items)

    def items(self):
        return self.pairs.items()


Mapping.register(Registered)


@pytest.mark.parametrize("name", ["__new__", "__init__", "setdefault", "__getitem__", "__setitem__", "update",
                                  "__missing__"])
def test_shortcuts_give_way_to_every_override(name):
    def traced(base):
        calls = []

        def method(self, *args, **kwargs):
            calls.append((name, type(self).__name__, [a for a in args if not isinstance(a, Mapping)]))
            if name == "__missing__":
                raise KeyError(args[0])
            inherited = getattr(super(cls, self) if name != "__new__" else base, name)
            return inherited(cls if name == "__new__" else self, *args, **kwargs) if name == "__new__" \
                else inherited(*args, **kwargs)

        cls = type("Traced", (base,), {name: staticmethod(method) if name == "__new__" else method})
        return cls, calls

    def run(base):
        cls, calls = traced(base)
        bag = cls({"a": {"b": 1}}, c={"d": 2})
        bag["a.e"] = 3          # through a level that exists
        bag["f.g.h"] = 4        # and through new ones
        bag.update({"a": {"i": 5}, "j": {"k": 6}, "r": Registered({"s": 7})}, c={"l": 8})
        return calls, bag

    calls, bag = run(NestedDotBag)
    expected, model = run(Model)
    assert calls == expected and bag == model and type(bag["r"]).__name__ == "Traced"


def test_levels_are_built_by_calling_the_class():
    made = []

    class Counted(NestedDotBag):
        def __init__(self, *args, **kwargs):
            made.append(1)
            super().__init__(*args, **kwargs)

    c = Counted()
    made.clear()
    c["a.b"] = 1
    c["a.c"] = 2  # a new level is built on every key-path write, also when the head exists
    assert len(made) == 2 and type(c["a"]) is Counted


def test_key_path_operations_do_not_drift_reference_counts():
    value = Token()
    nd = NestedDotBag()
    nd["a.b.c"] = value
    before = sys.getrefcount(value)
    for _ in range(500):
        nd["a.b.c"]
        "a.b.c" in nd
        nd["a.b.c"] = value
        nd.update({"a": {"b": {"c": value}}})
    assert sys.getrefcount(value) == before


def test_dropped_nested_bags_are_collected():
    nd = NestedDotBag({"a": {"b": {"c": 1}}})
    refs = [weakref.ref(nd), weakref.ref(nd.a), weakref.ref(nd.a.b)]
    del nd
    gc.collect()
    assert all(r() is None for r in refs)


# ---- model test ----------------------------------------------------------------------------

components = st.sampled_from(["a", "b", "c"])
paths = st.lists(components, min_size=1, max_size=4)
operations = st.lists(st.tuples(st.sampled_from(["set", "get", "del", "in"]), paths, st.integers(0, 9)),
                      max_size=40)


def model_apply(model, op, path, value):
    """The same operation on plain nested dicts; returns the outcome to compare."""
    *heads, last = path
    node = model
    for i, head in enumerate(heads):
        if op == "set":
            node = node.setdefault(head, {})
            if not isinstance(node, dict):
                return ("KeyError", 'target key "%s" is a value, cannot update value against another '
                        "NestedDotBag" % head)
            continue
        if not isinstance(node, dict):
            return ("TypeError",)
        if head not in node:
            return ("missing",) if op == "in" else ("KeyError", head)
        node = node[head]
    if not isinstance(node, dict):
        return ("TypeError",)
    if op == "set":
        node[last] = value
        return ("ok",)
    if op == "in":
        return ("value", last in node)
    if last not in node:
        return ("KeyError", last)
    return ("value", node[last]) if op == "get" else ("ok", node.pop(last))


def real_apply(nd, op, path, value):
    key = ".".join(path)
    try:
        if op == "set":
            nd[key] = value
            return ("ok",)
        if op == "in":
            return ("value", key in nd)
        if op == "get":
            return ("value", nd[key])
        del nd[key]
        return ("ok",)
    except KeyError as e:
        return ("KeyError", e.args[0])
    except TypeError:
        return ("TypeError",)


@settings(max_examples=300, deadline=None)
@given(operations)
def test_key_paths_behave_like_nested_dicts(ops):
    model, nd = {}, NestedDotBag()
    for op, path, value in ops:
        expected = model_apply(model, op, path, value)
        got = real_apply(nd, op, path, value)
        if expected == ("missing",):
            expected = ("value", False)
        if expected[0] == "ok" and op == "del":
            expected = ("ok",)
        assert got == expected, (op, path)
        assert nd == model

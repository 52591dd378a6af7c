"""Every operation that runs Python code midway, fed hostile objects (hostile.py).

Each case runs in a forked child and must end as a pure-Python implementation of
the same class would end: success, or the exception named with the case.  A case
may assert on what it got, so a wrong result fails too.  Deep and
self-containing structures run in the main thread and in threads with small
stacks: RecursionError or success, never a crash.
"""
import collections
import copy
import gc
import pickle
import sys
import types
import weakref

import pytest

import hostile
from hostile import DEEP, STACKS, Key, churn, deep, deep_dict, delete_on_call, forwarding, iterable, \
    self_containing_dict, self_deleting

from tavox.datastructures import configuration, dotbag, fadeseq, pathroll
from tavox.datastructures.branchlet import Branchlet
from tavox.datastructures.configuration import Configuration
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.factory import MetaClassFactory
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.pathroll import PathRoll
from tavox.datastructures.rankmap import RankMap

from test_pathroll import Store

pytestmark = pytest.mark.refleak_exempt("every case runs in a forked child: nothing to measure here")

CASES = {}   # name -> (function, allowed outcomes)
DEEP_CASES = {}


_survives = {}


def interpreter_survives(stack):
    if stack not in _survives:
        _survives[stack] = stack is None or hostile.interpreter_frees_deep_structures(stack)
    return _survives[stack]


def case(*allowed):
    def register(func):
        CASES[func.__name__] = (func, allowed or ("ok",))
        return func
    return register


def deep_case(func):
    """Run on the main thread and on every small stack: RecursionError or success."""
    DEEP_CASES[func.__name__] = func
    return func


# ---- dotbag ------------------------------------------------------------------------------

def self_containing_bag(cls=NestedDotBag):
    bag = cls(a=1)
    bag["me"] = bag
    return bag


def alternating_levels(depth=DEEP):
    """NestedDotBag levels of two classes in turn, each a level of the other."""
    class A(NestedDotBag):
        pass

    class B(A):
        pass

    top = leaf = A()
    for i in range(depth):
        level = (B if i % 2 == 0 else A)()
        dict.__setitem__(leaf, "x", level)
        leaf = level
    dict.__setitem__(leaf, "y", 1)
    return top, "x." * depth + "y"


@deep_case
def nested_copy_of_self_containing():
    NestedDotBag(self_containing_bag())


@deep_case
def nested_from_self_containing_dict():
    NestedDotBag(self_containing_dict())


@deep_case
def nested_from_deep_dict():
    NestedDotBag(deep_dict())


@deep_case
def nested_from_very_deep_dict():
    NestedDotBag(deep_dict(200_000))


@deep_case
def dotbag_repr_deep():
    repr(deep(lambda inner: DotBag(x=inner), 1))


@deep_case
def dotbag_pickle_deep():
    pickle.dumps(deep(lambda inner: DotBag(x=inner), 1))


@deep_case
def dotbag_deepcopy_deep():
    copy.deepcopy(deep(lambda inner: DotBag(x=inner), 1))


@case()
def dotbag_copy_while_a_key_empties_the_bag():
    for make in (copy.copy, copy.deepcopy):
        bag = NestedDotBag(a=1)
        bag[Key("k", lambda: (bag.clear(), churn()), skip=1, on_hash=True)] = 2
        made = make(bag)
        assert not bag and vars(made) is made and sorted(map(str, made)) == ["Key('k')", "a"]


@deep_case
def nested_repr_self_containing():
    repr(self_containing_bag())


@deep_case
def nested_key_path_get_alternating():
    top, path = alternating_levels()
    assert top[path] == 1


@deep_case
def nested_key_path_contains_alternating():
    top, path = alternating_levels()
    assert path in top


@deep_case
def nested_key_path_delete_alternating():
    top, path = alternating_levels()
    del top[path]


@deep_case
def nested_key_path_set_deep():
    bag = NestedDotBag()
    bag["a." * DEEP + "b"] = 1


@deep_case
def nested_update_calls_init():
    class Loop(NestedDotBag):
        update = NestedDotBag.__init__   # __init__ calls self.update: package code only
    Loop(a=1)


def two_levels(cls):
    top, middle, bottom = cls(), cls(), cls()
    dict.__setitem__(top, "a", middle)
    dict.__setitem__(middle, "b", bottom)
    dict.__setitem__(bottom, "c", 1)
    return top


@case()
def nested_get_next_method_deletes_itself():
    class Bag(NestedDotBag, self_deleting(dict, "__getitem__")):
        pass
    assert two_levels(Bag)["a.b.c"] == 1


@case()
def nested_contains_next_method_deletes_itself():
    class Bag(NestedDotBag, self_deleting(dict, "__contains__", "__getitem__")):
        pass
    assert "a.b.c" in two_levels(Bag)


@case()
def nested_set_and_delete_next_method_deletes_itself():
    class Bag(NestedDotBag, self_deleting(dict, "__setitem__", "__delitem__")):
        pass
    bag = two_levels(Bag)
    bag["a.b.d"] = 2
    del bag["a.b.c"]
    assert dict(bag["a.b"]) == {"d": 2}


@case()
def nested_update_key_hash_clears_the_bag():
    bag = NestedDotBag(a={"b": 1})
    bag.update({Key("k", bag.clear, on_hash=True): {"x": 1}, "z": 2})
    assert bag["z"] == 2


@case()
def nested_update_source_iteration_clears_the_bag():
    bag = NestedDotBag(a={"b": 1})
    bag.update(iterable([("a", {"c": 2}), ("d", 3)], bag.clear))
    assert bag == {"a": {"c": 2}, "d": 3}


@case()
def nested_update_finalizers_change_the_bag():
    hostile.collection_points(
        NestedDotBag, lambda bag: bag.update({"a": {"b": {"c": 1}}, "d": [1, 2], "e": {"f": 2}}),
        lambda bag: bag.clear())


@case()
def nested_update_mapping_module_global_mutates():
    bag = NestedDotBag()
    real = collections.abc.Mapping

    class Sneaky(type):
        def __instancecheck__(cls, obj):
            bag.clear()
            churn()
            return isinstance(obj, real)

    dotbag.Mapping = Sneaky("Mapping", (), {})
    bag.update({"a": {"b": 1}}, c={"d": 2})
    assert bag == {}   # every merge into a level starts with a test that empties the bag


# ---- configuration -------------------------------------------------------------------------

@deep_case
def configuration_copy_of_self_containing():
    self_containing_bag(Configuration).copy()


@deep_case
def configuration_long_key_path():
    Configuration()["a." * 12_000 + "b"] = 1


@deep_case
def configuration_from_deep_dict():
    Configuration(deep_dict())


@deep_case
def configuration_copy_deep():
    bag = Configuration()
    dict.update(bag, deep_dict(DEEP))
    bag.copy()


@case()
def configuration_typecast_deletes_next_setitem():
    middle = forwarding(NestedDotBag, "__setitem__")

    class Cfg(Configuration, middle):
        pass

    real = configuration.typecast_str

    def typecast(value):
        delete_on_call(middle, "__setitem__")()
        return real(value)

    configuration.typecast_str = typecast
    cfg = Cfg()
    cfg["a"] = 1
    cfg["b.c"] = 2
    assert cfg == {"a": 1, "b": {"c": 2}}


# ---- rankmap --------------------------------------------------------------------------------

def abc_map():
    return RankMap([("a", 1), ("b", 2), ("c", 3)])


@case("IndexError")
def rankmap_move_key_search_shrinks_order():
    m = abc_map()
    # __contains__ compares with a, b, c; then index() does, and its last
    # comparison (the match) empties _order.
    m.move(Key("c", lambda: m._order.clear(), skip=5), 0)


@case("ok", "ValueError")
def rankmap_move_key_search_replaces_order():
    m = abc_map()
    m.move(Key("c", lambda: setattr(m, "_order", []), skip=3, times=3), 0)


@case("ok", "ValueError")
def rankmap_items_finalizers_shrink_order():
    hostile.collection_points(lambda: RankMap((str(i), i) for i in range(50)), RankMap.items,
                              lambda m: m._order.clear())


@case("ok", "ValueError")
def rankmap_items_key_compare_shrinks_order():
    m = RankMap([("a", 1), ("b", 2)])
    key = Key("k", lambda: m._order.clear(), skip=1)
    m[key] = 3
    m.items()


@case("ok", "ValueError", "KeyError")   # KeyError where list membership calls the key's __eq__ (3.7, 3.8)
def rankmap_setitem_delitem_insert_keys_mutate():
    m = abc_map()
    m[Key("x", lambda: m._order.clear(), skip=1)] = 4
    m.insert(Key("y", lambda: setattr(m, "_data", {}), skip=0), 5, 1)
    del m[Key("a", lambda: m._order.clear(), on_hash=True)]


@case()
def rankmap_position_conversion_refills_the_map():
    m = abc_map()

    class Refill:
        def __index__(self):
            m.clear()
            m["z"] = 26
            return 0

    for act in (lambda: m.insert("k", 1, Refill()), lambda: m.move("z", Refill())):
        act()
        assert sorted(map(str, m._order)) == sorted(map(str, m._data)) and len(m) == len(m.items())


@case("ok", "KeyError")
def rankmap_subscript_key_replaces_data():
    m = abc_map()
    assert m[Key("a", lambda: setattr(m, "_data", {}), on_hash=True)] in (1, None)


@deep_case
def rankmap_repr_self_containing():
    m = abc_map()
    m["me"] = m
    repr(m)


@deep_case
def rankmap_repr_deep():
    repr(deep(lambda inner: RankMap([("x", inner)]), 1))


@deep_case
def rankmap_items_calls_copy():
    class Loop(RankMap):
        items = RankMap.copy    # copy calls self.items: package code only
    Loop([("a", 1)]).copy()


# ---- pathroll -------------------------------------------------------------------------------

@deep_case
def pathroll_from_deep_dict():
    PathRoll(deep_dict())


@deep_case
def pathroll_from_self_containing_dict():
    PathRoll(self_containing_dict())


@deep_case
def pathroll_flatten_deep_list():
    list(PathRoll.__flatten__({"a": deep(lambda inner: [inner], 1)}))


@deep_case
def pathroll_flatten_generator_deep_dict():
    list(PathRoll.__flatten__(deep_dict()))


@deep_case
def pathroll_reconstruct_long_path():
    PathRoll([(("x",) * DEEP, 1)]).reconstruct()


class Pair:
    """A (path, value) pair whose iteration runs an action first."""

    def __init__(self, path, value, action):
        self.path, self.value, self.action = path, value, action

    def __iter__(self):
        self.action()
        return iter((self.path, self.value))


@case()
def pathroll_reconstruct_entry_clears_a_callers_dict():
    mine = {}
    roll = PathRoll([(("a",), mine), (("a", "b", "c", "x"), 1), Pair(("a", "b", "c", "y"), 2, mine.clear)])
    churn()
    result = roll.reconstruct()
    assert result == {"a": {"b": {"c": {"y": 2}}}} and result["a"] is mine


@case()
def pathroll_reconstruct_path_key_hash_clears_a_callers_dict():
    mine = {}
    key = Key("z", lambda: (mine.clear(), churn()), on_hash=True)
    roll = PathRoll([(("a",), mine), (("a", "b", "c", "x"), 1), (("a", "b", "c", key), 2)])
    result = roll.reconstruct()
    assert result["a"] is mine


@case()
def pathroll_reconstruct_finalizers_clear_a_callers_dict():
    def setup():
        mine = {}
        return mine, PathRoll([(("a",), mine), (("a", "b", "c", "x"), 1), (("a", "b", "c", "y"), 2),
                               (("a", "b", "d", "z"), 3)])

    hostile.collection_points(setup, lambda state: state[1].reconstruct(), lambda state: state[0].clear())


@case()
def pathroll_extend_entries_made_by_a_scanner():
    pathroll.DictItem = hostile.scanning(pathroll.DictItem)
    roll = PathRoll()
    roll.extend([(("a",), 1), (("b",), 2), (("c",), 3)])
    roll.append((("d",), 4))
    roll.insert(0, (("e",), 5))
    assert [entry[1] for entry in roll] == [5, 1, 2, 3, 4]


@case()
def pathroll_edits_entry_maker_deletes_next_method():
    names = ("append", "extend", "insert", "__setitem__")
    middle = forwarding(list, *names)

    class Roll(PathRoll, middle):
        pass

    real = pathroll.DictItem

    def make(path, value):
        for name in names:
            delete_on_call(middle, name)()
        return real(path, value)

    roll = Roll()
    pathroll.DictItem = make
    roll.append((("a",), 1))
    roll.extend([(("b",), 2)])
    roll.insert(0, (("c",), 3))
    roll[0] = Pair(("d",), 4, churn)
    assert len(roll) == 3


@case("ok", "IndexError")
def pathroll_setitem_pair_empties_the_roll():
    roll = PathRoll({"a": 1, "b": 2})
    roll[1] = Pair(("c",), 3, roll.clear)


@case()
def pathroll_construction_mapping_mutates_itself():
    class Shifty(Store):
        """Its iteration empties it, its length churns the heap."""

        def __len__(self):
            churn()
            return len(self.data)

        def __iter__(self):
            keys = list(self.data)
            self.data = {}
            gc.collect()
            return iter(keys)

        def items(self):
            return [(k, self.data.get(k)) for k in list(self)]

    PathRoll(Shifty({"a": {"b": 1}, "c": [1, {"d": 2}]}))


# ---- fadeseq --------------------------------------------------------------------------------

class Node:
    pass


FADESEQ_WRITES = ("__init__", "extend", "__iadd__", "insert", "append", "index", "count", "__contains__",
                  "remove")


@pytest.mark.parametrize("name", FADESEQ_WRITES)
def test_fadeseq_base_method_deleted_midway(name):
    """Reading the items or calling the module's weakref.ref deletes the base
    method that the operation is about to call."""
    def run():
        middle = forwarding(collections.UserList, *FADESEQ_WRITES)

        class Seq(FadeSeq, middle):
            pass

        nodes = [Node() for _ in range(3)]
        seq = Seq(nodes)
        delete = delete_on_call(middle, name)
        real_ref = weakref.ref

        def ref(*args):
            delete()
            return real_ref(*args)

        fadeseq.weakref = types.SimpleNamespace(ref=ref, ReferenceType=weakref.ReferenceType)
        items = iterable(nodes[:1], delete)
        if name == "__init__":
            seq.__init__(items)
        elif name == "extend":
            seq.extend(items)
        elif name == "__iadd__":
            seq += items
        elif name == "insert":
            seq.insert(0, nodes[0])
        elif name == "append":
            seq.append(nodes[0])
        elif name == "index":
            assert seq.index(nodes[1]) == 1
        elif name == "count":
            assert seq.count(nodes[1]) == 1
        elif name == "__contains__":
            assert nodes[1] in seq
        else:
            seq.remove(nodes[1])

    hostile.expect(hostile.outcome(run), "ok")


def chain_of_sequences(depth=DEEP):
    keep = [Node()]
    for _ in range(depth):
        keep.append(FadeSeq([keep[-1]]))
    return keep


@deep_case
def fadeseq_repr_deep():
    keep = chain_of_sequences()
    repr(keep[-1])


@deep_case
def fadeseq_str_deep():
    keep = chain_of_sequences()
    str(keep[-1])


@deep_case
def fadeseq_eq_deep():
    a, b = chain_of_sequences(), chain_of_sequences()
    a[-1] == b[-1]


@case()
def fadeseq_items_die_during_reads():
    nodes = [Node() for _ in range(6)]
    seq = FadeSeq(nodes)

    class Killer:
        def __eq__(self, other):
            nodes.clear()
            gc.collect()
            return False

        def __repr__(self):
            nodes.clear()
            gc.collect()
            return "Killer"

    killer = Killer()
    seq.append(killer)
    repr(seq)
    nodes.extend(Node() for _ in range(6))
    seq.extend(nodes)
    killer in seq
    seq.count(killer)
    list(seq)
    seq.sort(key=lambda item: (nodes.clear(), gc.collect(), id(item))[2])


@case()
def fadeseq_finalizers_during_writes():
    # The arguments are made in setup: 3.11's own list concatenation reads the
    # lengths before it allocates, and a finalizer there is the interpreter's fault.
    def setup():
        nodes, victims = [Node() for _ in range(8)], [Node() for _ in range(8)]
        return victims, FadeSeq(nodes + victims), nodes[:4] + victims, nodes[5], nodes[2:6], nodes[:2], nodes[1]

    def writes(state):
        _, seq, more, one, some, few, gone = state
        seq.extend(more)
        seq.insert(2, one)
        seq[1:3] = some
        seq += few
        seq.remove(gone)
        list(seq)

    hostile.collection_points(setup, writes, lambda state: state[0].clear())


@case()
def fadeseq_finalizers_during_copies():
    def setup():
        nodes, victims = [Node() for _ in range(6)], [Node() for _ in range(6)]
        return victims, FadeSeq(nodes + victims), nodes

    def copies(state):
        _, seq, nodes = state
        made = copy.copy(seq), copy.deepcopy(seq)
        assert [list(m) for m in made] == [list(seq)] * 2 and list(seq)[:6] == nodes

    hostile.collection_points(setup, copies, lambda state: state[0].clear())


# ---- branchlet ------------------------------------------------------------------------------

@deep_case
def branchlet_str_deep():
    str(deep(lambda inner: Branchlet("n", [inner]), Branchlet("leaf")))


@deep_case
def branchlet_str_deep_other_class():
    class Other(Branchlet):
        def __str__(self):
            return Branchlet.__str__(self)

    # levels of two classes in turn: one renders in place, the other is str()'d
    str(deep(lambda inner: (Branchlet if isinstance(inner, Other) else Other)("n", [inner]), Branchlet("leaf")))


@deep_case
def branchlet_str_self_containing():
    node = Branchlet("me", [Branchlet("child")])
    node.add_child(node)
    str(node)


@case("IndexError")
def branchlet_child_str_empties_the_children():
    class Rude:
        def __str__(self):
            parent.children.clear()
            churn()
            return "rude"

    parent = Branchlet("p", [Rude(), Branchlet("a"), Branchlet("b")])
    str(parent)


# ---- factory ---------------------------------------------------------------------------------

@case()
def factory_call_next_method_deletes_itself():
    class Meta(MetaClassFactory, self_deleting(type, "__call__")):
        pass

    class Shape(metaclass=Meta):
        pass

    class Square(Shape):
        pass

    assert type(Shape(**{"class": Square})) is Square
    assert type(Shape()) is Shape


@case()
def factory_subclass_check_deletes_the_metaclass_method():
    class Meta(MetaClassFactory, forwarding(type, "__call__")):
        def __subclasscheck__(cls, sub):
            delete_on_call(Meta.__mro__[2], "__call__")()
            return type.__subclasscheck__(cls, sub)

    class Shape(metaclass=Meta):
        pass

    class Square(Shape):
        pass

    assert type(Shape(**{"class": Square})) is Square


# ---- function objects: argument binding --------------------------------------------------------

FUNCTIONS = [DotBag.__init__, NestedDotBag.__getitem__, Configuration.copy, RankMap.move, PathRoll.append,
             FadeSeq.insert, Branchlet.add_child, MetaClassFactory.__call__, vars(RankMap)["fromkeys"].__func__,
             PathRoll.__flatten__]
BAD_CALLS = [(), (1, 2, 3, 4, 5, 6), {"bogus": 1}, {1: 2}]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_argument_errors_with_a_name_that_cannot_be_encoded(function):
    def run():
        function.__name__ = hostile.BAD_NAME
        for bad in BAD_CALLS:
            try:
                function(**bad) if isinstance(bad, dict) else function(*bad)
            except TypeError:
                pass
        # a first positional argument and the same one by keyword
        first = function.__text_signature__.strip("()").split(",")[0].strip()
        with pytest.raises(TypeError):
            function(None, **{first: None, "bogus": 1})

    hostile.expect(hostile.outcome(run), "ok")


# ---- the tables above, run -------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(CASES))
def test_hostile(name):
    func, allowed = CASES[name]
    hostile.expect(hostile.outcome(func), *allowed)


@pytest.mark.parametrize("stack", [None] + STACKS, ids=lambda s: "main" if s is None else f"{s // 1024}k")
@pytest.mark.parametrize("name", sorted(DEEP_CASES))
def test_deep_and_self_containing(name, stack):
    if not interpreter_survives(stack):
        pytest.skip(f"CPython {sys.version.split()[0]} itself crashes freeing a {DEEP}-deep chain of objects "
                    f"on a {stack // 1024} KiB stack (pure Python: a chain of instances of `class Link`)")
    hostile.expect(hostile.outcome(hostile.in_thread, stack, DEEP_CASES[name]), "ok", "RecursionError")

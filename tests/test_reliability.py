"""Random operation sequences against plain models, reclamation of reference cycles,
and instances shared between threads."""
import gc
import sys
import threading
import weakref

import pytest
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.pathroll import PathRoll
from tavox.datastructures.rankmap import RankMap

from test_dotbag import model_apply, real_apply


class Node:
    """An object that can be weakly referenced and put in cycles."""

    def __eq__(self, other):  # never equal to anything else: keeps clean-up by identity
        return self is other

    __hash__ = object.__hash__


# ---- NestedDotBag against nested dicts, invalid operations included ------------------

class NestedDotBagMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model, self.bag = {}, NestedDotBag()

    paths = st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=4)

    @rule(op=st.sampled_from(["set", "get", "del", "in"]), path=paths, value=st.integers(0, 9))
    def key_path(self, op, path, value):
        expected = model_apply(self.model, op, path, value)
        if expected == ("missing",):
            expected = ("value", False)
        if expected[0] == "ok" and op == "del":
            expected = ("ok",)
        assert real_apply(self.bag, op, path, value) == expected

    @rule(path=paths, value=st.integers(0, 9))
    def update_with_nested_mapping(self, path, value):
        nested = value
        for component in reversed(path):
            nested = {component: nested}
        try:
            self.bag.update(nested)
        except AttributeError:  # a mapping merged into a value without update()
            return
        merge(self.model, nested)

    @rule(bad=st.sampled_from([5, None, [("x", 1, 2)], [1]]))
    def invalid_update_changes_nothing(self, bad):
        before = repr(self.bag)
        with pytest.raises((TypeError, ValueError)):
            self.bag.update(bad)
        assert repr(self.bag) == before

    @invariant()
    def same_content(self):
        assert self.bag == self.model


def merge(model, nested):
    for key, value in nested.items():
        if isinstance(value, dict):
            merge(model.setdefault(key, {}), value)
        else:
            model[key] = value


TestNestedDotBagMachine = NestedDotBagMachine.TestCase


# ---- PathRoll: edits keep the round trip ---------------------------------------------

class PathRollMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model, self.roll = {}, PathRoll()

    @rule(key=st.sampled_from(["a", "b", "c"]), sub=st.sampled_from(["x", "y"]), value=st.integers())
    def append_leaf(self, key, sub, value):
        if not isinstance(self.model.get(key, {}), dict) or sub in self.model.get(key, {}):
            return
        self.roll.append(((key, sub), value))
        self.model.setdefault(key, {})[sub] = value

    @rule(bad=st.sampled_from([5, "xyz", (1, 2, 3), [(("a",), 1), "bad"]]))
    def invalid_edit_changes_nothing(self, bad):
        before = list(self.roll)
        with pytest.raises(ValueError, match="PathRoll only accepts a tuple of path/obj"):
            if isinstance(bad, list):
                self.roll.extend(bad)
            else:
                self.roll.append(bad)
        assert list(self.roll) == before

    @invariant()
    def round_trip(self):
        assert self.roll.reconstruct() == self.model
        assert PathRoll(self.model).reconstruct() == self.model


TestPathRollMachine = PathRollMachine.TestCase


# ---- reclamation of cycles ---------------------------------------------------------

def assert_collected(build):
    """build() makes objects held only by cycles and returns them; all must be reclaimed."""
    refs = [weakref.ref(o) for o in build()]
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_self_containing_bags_are_collected():
    def build():
        bag = DotBag()
        bag.me = bag
        nested = NestedDotBag({"a": {"b": 1}})
        nested["a"]["up"] = nested
        return bag, nested, nested["a"]

    assert_collected(build)


def test_cycles_through_function_attributes_and_defaults_are_traversed():
    function = FadeSeq.sort
    saved = function.__defaults__

    def build():
        node = Node()
        node.cycle = function  # node -> function -> (defaults, __dict__) -> node
        function.keep = node
        function.__defaults__ = (node, False)
        referents = gc.get_referents(function)
        assert function.__dict__ in referents and function.__defaults__ in referents
        return [node]

    try:
        refs = [weakref.ref(o) for o in build()]
        function.__defaults__ = saved
        del function.keep
        gc.collect()
        assert refs[0]() is None
    finally:
        function.__defaults__ = saved
        function.__dict__.pop("keep", None)


def test_suspended_generators_holding_their_own_container_are_collected():
    def build():
        holder = {}
        holder["flatten"] = PathRoll.__flatten__({"a": {"b": holder, "c": 1}})
        next(holder["flatten"])
        node = Node()
        seq = FadeSeq([node])
        seq.keep = [seq, node]
        seq.iterator = iter(seq)
        next(seq.iterator)
        return holder["flatten"], seq, node

    assert_collected(build)


def test_fadeseq_callbacks_do_not_keep_the_sequence_alive():
    items = [Node() for _ in range(3)]

    def build():
        return [FadeSeq(items)]

    assert_collected(build)


# ---- threads -----------------------------------------------------------------------

def run_in_threads(target, arguments):
    """One thread per argument, switching as often as the interpreter allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=target, args=(argument,)) for argument in arguments]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)


@pytest.mark.refleak_exempt("thread stress")
def test_concurrent_key_path_writes_leave_a_consistent_bag():
    bag = NestedDotBag()
    errors = []

    def writer(name):
        try:
            for i in range(300):
                bag["shared.%s.%d" % (name, i % 10)] = i
                bag.update({"shared": {name: {"last": i}}})
                assert bag["shared.%s.last" % name] <= i
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    run_in_threads(writer, ["t%d" % n for n in range(4)])
    assert errors == []
    for n in range(4):
        level = bag["shared.t%d" % n]
        assert type(level) is NestedDotBag
        assert level["last"] == 299 and {level[str(i)] for i in range(10)} == {290 + i for i in range(10)}


@pytest.mark.refleak_exempt("thread stress")
def test_rankmap_shared_between_threads_keeps_its_invariant():
    m = RankMap()

    def worker(base):
        for i in range(200):
            m[base + i % 20] = i
            if i % 3 == 0:
                m.pop(base + (i + 7) % 20, None)
            if i % 5 == 0 and (base + 1) in m:
                m.move(base + 1, 0)

    run_in_threads(worker, [n * 100 for n in range(4)])
    assert sorted(m._order) == sorted(m._data) and len(set(m._order)) == len(m._order)

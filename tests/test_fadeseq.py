"""FadeSeq: a list of weak references that cleans itself up."""
import collections
import collections.abc
import contextlib
import gc
import sys
import threading
import weakref

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tavox.datastructures import fadeseq
from tavox.datastructures.fadeseq import FadeSeq


class Obj:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"Obj({self.n})"

    def __str__(self):
        return f"<{self.n}>"

    def __lt__(self, other):
        return self.n < other.n


class Val(Obj):
    def __eq__(self, other):
        return isinstance(other, Val) and other.n == self.n


class Sub(FadeSeq):
    pass


@contextlib.contextmanager
def unraisable():
    """Collects the exceptions the interpreter reports as ignored (failed callbacks)."""
    if not hasattr(sys, "unraisablehook"):
        pytest.skip("needs sys.unraisablehook (Python 3.8+)")
    seen, old = [], sys.unraisablehook
    sys.unraisablehook = lambda args: seen.append(args.exc_type)
    try:
        yield seen
    finally:
        sys.unraisablehook = old


def objs(n):
    return [Obj(i) for i in range(n)]


def ns(seq):
    return [o.n for o in seq]


def test_module_and_class_shape():
    assert FadeSeq.__bases__ == (collections.UserList,) and FadeSeq.__hash__ is None
    seen = []

    class Spy(FadeSeq):
        def __init__(self, items=()):
            seen.append(items)
            super().__init__(items)

    a = Obj(0)
    Spy([a])[:]
    for gen, name, qualname in [(iter(FadeSeq([a])), "__iter__", "FadeSeq.__iter__"),
                                (seen[-1], "genexpr", "FadeSeq.__getitem__.<locals>.genexpr")]:
        assert isinstance(gen, collections.abc.Generator) and (gen.__name__, gen.__qualname__) == (name, qualname)


def test_reads():
    a, b, e = Val(1), Val(2), Val(1)
    s = FadeSeq([a, b])
    assert s[0] is a and s[-1] is b and list(s) == [a, b] and repr(FadeSeq()) == "FadeSeq([])"
    assert repr(Sub(s)) == "FadeSeq([Obj(1), Obj(2)])" and str(s) == "FadeSeq([<1>, <2>])"
    assert e in s and Val(3) not in s and s.index(e) == 0 and s.count(e) == 1
    assert s == [a, b] and s == Sub([a, b]) and [a, b] == s and not s != [a, b] and s != (a, b)
    s.remove(e)
    s.remove(weakref.ref(b))
    assert len(s) == 0


@pytest.mark.parametrize("cls", [FadeSeq, Sub])
def test_slices_and_reversed_are_new_instances(cls):
    a, b, c = o = objs(3)
    s = cls(o)
    for got, want in [(s[0:1], [a]), (s[::-1], [c, b, a]), (reversed(s), [c, b, a])]:
        assert type(got) is cls and list(got) == want
    with pytest.raises(TypeError):
        next(reversed(s))


def test_objects_vanish_when_they_die():
    a, b, c = objs(3)
    c.me = c
    s = FadeSeq([a, b, a, c, a])
    del b, c
    gc.collect()
    assert list(s) == [a, a, a]
    del a
    assert len(s) == 0
    w = weakref.ref(s)
    del s
    gc.collect()
    assert w() is None


def test_subclass_remove_is_the_callback():
    calls = []

    class Logged(FadeSeq):
        def remove(self, item):
            calls.append(type(item))
            super().remove(item)

    a, b = objs(2)
    s = Logged([a])
    s.append(b)
    del a, b
    assert calls == [weakref.ref, weakref.ref] and len(s) == 0


def test_references_come_from_weakref_ref_as_the_module_finds_it(monkeypatch):
    made = []

    class Ref(weakref.ReferenceType):
        def __new__(cls, *args):
            made.append(len(args))
            return weakref.ReferenceType.__new__(cls, *args)

        def __init__(self, *args):
            pass

    a, = objs(1)
    monkeypatch.setattr(weakref, "ref", Ref)
    s = FadeSeq([a])
    assert made == [2] and type(s.data[0]) is Ref and a in s and made == [2, 1]


def test_failing_callback_leaves_a_dead_reference():
    class Stubborn(FadeSeq):
        def remove(self, item):
            raise RuntimeError

    a, b = objs(2)
    s = Stubborn([a, b])
    with unraisable() as seen:
        del a
    assert seen == [RuntimeError] and list(s) == [None, b] and s[0] is None
    with pytest.raises(TypeError):
        s[:]
    FadeSeq.remove(s, s.data[0])
    assert list(s) == [b]
    s.data.clear()  # dropping a reference never runs its callback


def test_death_during_iteration_skips_the_next_element():
    o = objs(5)
    s = FadeSeq(o)
    it = iter(s)
    assert ns([next(it), next(it)]) == [0, 1]
    del o[0]  # behind the walk: the element moving into the next position is skipped
    del o[3]  # ahead of the walk: left out
    assert ns(it) == [3]


@pytest.mark.refleak_exempt("thread stress")
def test_deaths_in_other_threads_while_iterating():
    batches, cyclic = [objs(300) for _ in range(3)], objs(300)
    for c in cyclic:
        c.me = c
    del c
    s = FadeSeq([o for b in batches + [cyclic] for o in b])

    def collect():
        cyclic.clear()
        for _ in range(20):
            gc.collect()

    def drop(batch):
        while batch:
            batch.pop()

    threads = [threading.Thread(target=drop, args=(b,)) for b in batches] + [threading.Thread(target=collect)]
    del batches
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with unraisable() as seen:
            for t in threads:
                t.start()
            while any(t.is_alive() for t in threads):
                assert all(x is None or type(x) is Obj for x in s)
            for t in threads:
                t.join()
    finally:
        sys.setswitchinterval(old)
    assert seen == [] and len(s) == 0


def test_writes():
    a, b, c = objs(3)
    s = FadeSeq()
    s.append(a)
    s.insert(100, b)
    s.insert(-100, c)
    s[1] = c
    assert list(s) == [c, c, b]
    s[0:1] = [a, b]
    s[::2] = [c, c]
    assert list(s) == [c, b, c, b]
    old = {id(r) for r in s.data}
    s[:] = s
    assert list(s) == [c, b, c, b] and not old & {id(r) for r in s.data}
    t = s
    s += s
    s.extend(iter([a]))
    assert s is t and len(s) == 9
    del c
    assert list(s) == [b, b, b, b, a]


def test_add(monkeypatch):
    a, b = objs(2)
    s, t = Sub([a]), Sub([b])
    r = s + t
    assert type(r) is FadeSeq and list(r) == [a, b] and list(s) == [a] and r.data[0].__callback__ == r.remove
    with pytest.raises(TypeError, match='^can only concatenante FadeSeq \\(not "list"\\) to FadeSeq$'):
        s + [a]
    monkeypatch.setattr(fadeseq, "FadeSeq", Sub)  # the module's name, read at every call
    assert type(s + t) is Sub
    with pytest.raises(TypeError, match='not "FadeSeq"'):
        s + FadeSeq()


def test_sort():
    o = [Obj(w) for w in ["bb", "a", "ccc", "dd"]]
    s = FadeSeq(o)
    s.sort()
    assert ns(s) == ["a", "bb", "ccc", "dd"]
    s.sort(key=lambda x: len(x.n))
    assert ns(s) == ["a", "bb", "dd", "ccc"]
    s.sort(lambda x: len(x.n), True)
    assert ns(s) == ["ccc", "bb", "dd", "a"]


@pytest.mark.parametrize("call, exc", [
    (lambda s, a: s.append(1), TypeError),
    (lambda s, a: s.insert(0, "x"), TypeError),
    (lambda s, a: s.__setitem__(0, None), TypeError),
    (lambda s, a: s.__setitem__(9, a), IndexError),
    (lambda s, a: s.__setitem__(slice(0, 1), [a, 1]), TypeError),
    (lambda s, a: s.__setitem__(slice(None, None, 2), [a]), ValueError),
    (lambda s, a: s.extend([a, 1]), TypeError),
    (lambda s, a: s.extend(5), TypeError),
    (lambda s, a: s.extend(Obj(0) if i == 0 else 1 for i in range(2)), TypeError),
    (lambda s, a: s.__iadd__([a, None]), TypeError),
    (lambda s, a: s.remove(a), ValueError),
    (lambda s, a: s.remove(1), TypeError),
    (lambda s, a: s.pop(4), IndexError),
    (lambda s, a: s.index(a), ValueError),
    (lambda s, a: s.index(a, 0), TypeError),
    (lambda s, a: 1 in s, TypeError),
    (lambda s, a: s.count(None), TypeError),
    (lambda s, a: s["x"], TypeError),
    (lambda s, a: s[4], IndexError),
    (lambda s, a: s.sort(key=len), TypeError),
    (lambda s, a: FadeSeq([a, 1]), TypeError),
    (lambda s, a: FadeSeq(5), TypeError),
])
def test_failures_change_nothing(call, exc):
    o = objs(4)
    s = FadeSeq(o)
    before = list(s.data)
    with unraisable() as seen:
        with pytest.raises(exc):
            call(s, Obj(9))
        gc.collect()
    assert seen == [] and len(s.data) == 4 and all(x is y for x, y in zip(s.data, before))


def test_index_takes_no_bounds():
    with pytest.raises(TypeError, match=r"^index\(\) takes exactly 2 positional arguments \(3 given\)$"):
        FadeSeq().index(Obj(0), 0)


def test_pop_returns_the_live_object():
    a, b, c = objs(3)
    s = FadeSeq([a, b, c])
    assert s.pop() is c and s.pop(0) is a and s.pop(index=-1) is b
    with pytest.raises(IndexError, match="pop from empty list"):
        s.pop()


@pytest.mark.parametrize("store, left", [
    (FadeSeq.extend, 1), (FadeSeq.__iadd__, 1), (lambda s, g: s.__setitem__(slice(0, 0), g), 1), (FadeSeq.__init__, 0),
])
def test_temporaries_are_cleaned_up_not_left_dead(store, left):
    keep = Obj(-1)
    s = FadeSeq([keep])
    with unraisable() as seen:
        store(s, (Obj(i) for i in range(3)))
    assert seen == [] and len(s) == left and None not in list(s)


@pytest.mark.parametrize("op", [
    lambda s, a: (a in s, s.index(a), s.count(a), s[0], s[:], repr(s), s == [a], s + s),
    lambda s, a: (s.append(a), s.pop(), s.extend([a]), s.remove(a), s.sort(key=id)),
])
def test_reference_counts_do_not_drift(op):
    a = Obj(0)
    s = FadeSeq([a])
    op(s, a)
    gc.collect()
    counts = sys.getrefcount(a), sys.getrefcount(s)
    for _ in range(50):
        op(s, a)
    gc.collect()
    assert (sys.getrefcount(a), sys.getrefcount(s)) == counts


class FadeSeqModel(RuleBasedStateMachine):
    """A FadeSeq against a list of keys; objects are dropped at random."""

    def __init__(self):
        super().__init__()
        self.alive, self.model, self.s, self.made = {}, [], FadeSeq(), 0

    @rule(i=st.integers(-6, 6), n=st.integers(0, 2))
    def insert_new(self, i, n):
        new = [Obj(self.made + k) for k in range(n)]
        self.made += n
        self.alive.update((o.n, o) for o in new)
        self.s[i:i] = new
        self.model[i:i] = ns(new)

    @precondition(lambda self: self.alive)
    @rule(data=st.data(), drop=st.booleans())
    def append_or_drop(self, data, drop):
        n = data.draw(st.sampled_from(sorted(self.alive)))
        if drop:
            del self.alive[n]
            self.model = [k for k in self.model if k != n]
        else:
            self.s.append(self.alive[n])
            self.model.append(n)

    @precondition(lambda self: self.model)
    @rule(data=st.data(), pop=st.booleans())
    def pop_or_remove(self, data, pop):
        if pop:
            i = data.draw(st.integers(-len(self.model), len(self.model) - 1))
            assert self.s.pop(i).n == self.model.pop(i)
        else:
            n = data.draw(st.sampled_from(self.model))
            self.s.remove(self.alive[n])
            self.model.remove(n)

    @invariant()
    def same(self):
        assert ns(self.s) == self.model and len(self.s) == len(self.model)


TestFadeSeqModel = FadeSeqModel.TestCase
TestFadeSeqModel.settings = settings(max_examples=100, stateful_step_count=30, deadline=None)

"""The native generator type, seen from Python through PathRoll's flattening generators."""
import collections.abc
import gc
import sys
import warnings
import weakref

import pytest

from tavox.datastructures import pathroll
from tavox.datastructures.pathroll import PathRoll

flatten = PathRoll.__flatten__
NESTED = {"a": {"b": 1, "c": 2}, "z": 3}


class Spy(collections.abc.MutableMapping):
    """A mapping whose items() runs a callback while a generator walks it."""

    def __init__(self, callback, **data):
        self.callback, self.data = callback, data

    def items(self):
        self.callback()
        return self.data.items()

    __getitem__ = lambda self, key: self.data[key]
    __setitem__ = lambda self, key, value: self.data.__setitem__(key, value)
    __delitem__ = lambda self, key: self.data.__delitem__(key)
    __iter__ = lambda self: iter(self.data)
    __len__ = lambda self: len(self.data)


class Plain:
    """An iterator without send or throw, with a close that is recorded."""

    def __init__(self, log):
        self.log, self.left = log, 3

    def __iter__(self):
        return self

    def __next__(self):
        self.left -= 1
        if self.left < 0:
            raise StopIteration("value is dropped")
        return "plain"

    def close(self):
        self.log.append("close")


@pytest.fixture
def delegate(monkeypatch):
    """Make nested containers flatten through the given function (a `yield from` target)."""

    def install(function):
        class Delegating(PathRoll):
            __flatten__ = staticmethod(function)

        monkeypatch.setattr(pathroll, "PathRoll", Delegating)

    return install


def test_generator_interface():
    gen = flatten(NESTED)
    assert isinstance(gen, collections.abc.Generator) and iter(gen) is gen
    assert gen.__name__ == "__flatten__" and gen.__qualname__ == "PathRoll.__flatten__"
    assert gen.gi_code.co_name == "__flatten__" and "PathRoll.__flatten__" in repr(gen)
    assert gen.gi_running is False and gen.gi_yieldfrom is None
    assert weakref.ref(gen)() is gen


def test_names_are_per_object_and_checked():
    gen, other = flatten({}), flatten({})
    gen.__name__, gen.__qualname__ = "renamed", "Some.renamed"
    assert (gen.__name__, gen.__qualname__) == ("renamed", "Some.renamed")
    assert (other.__name__, other.__qualname__) == ("__flatten__", "PathRoll.__flatten__")
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"{attr} must be set to a string object"):
            setattr(gen, attr, 5)
        with pytest.raises(TypeError):
            delattr(gen, attr)


def test_iteration_send_and_exhaustion():
    gen = flatten(NESTED)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        gen.send(1)
    assert gen.send(None) == (("a", "b"), 1)
    assert gen.send("ignored") == (("a", "c"), 2)
    assert next(gen) == (("z",), 3)
    for step in (lambda: next(gen), lambda: gen.send(None), lambda: gen.send(1)):
        with pytest.raises(StopIteration) as info:
            step()
        assert info.value.value is None
    assert gen.gi_yieldfrom is None and gen.close() is None


def test_yieldfrom_shows_the_nested_generator():
    gen = flatten({"a": {"b": {"c": 1}}, "z": 2})
    next(gen)
    inner = gen.gi_yieldfrom
    assert inner.__name__ == "__flatten__" and inner.gi_yieldfrom.gi_yieldfrom is None
    assert inner.gi_running is False
    gen.close()
    with pytest.raises(StopIteration):
        next(inner)
    gen = flatten({"a": {"b": 1}, "z": 2})
    next(gen), next(gen)
    assert gen.gi_yieldfrom is None


def test_running_generator_refuses_reentry(delegate):
    seen = []

    def reenter():
        seen.append(gen.gi_running)
        for step in (lambda: next(gen), lambda: gen.send(None), lambda: gen.throw(KeyError), gen.close):
            with pytest.raises(ValueError, match="^generator already executing$"):
                step()

    gen = flatten({"x": Spy(reenter, y=1)})
    assert list(gen) == [(("x", "y"), 1)] and seen == [True]
    delegate(lambda indict, path=None: gen)  # `yield from` itself
    gen = flatten({"a": {"b": 1}})
    with pytest.raises(ValueError, match="generator already executing"):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)


def test_delegation_forwards_send_throw_and_close(delegate):
    log = []

    def inner(indict, path=None):
        try:
            while True:
                try:
                    log.append(("sent", (yield ("inner", path))))
                except KeyError as exc:
                    log.append(("thrown", exc.args[0]))
        finally:
            log.append("closed")

    delegate(inner)
    gen = flatten({"k": {"x": 1}})
    assert next(gen) == ("inner", ("k",)) and gen.gi_yieldfrom.__name__ == "inner"
    assert gen.send("hello") == ("inner", ("k",))
    assert gen.throw(KeyError("boom")) == ("inner", ("k",))
    assert gen.close() is None
    assert log == [("sent", "hello"), ("thrown", "boom"), "closed"]
    with pytest.raises(StopIteration):
        next(gen)


def test_delegate_ends(delegate):
    def inner(indict, path=None):
        yield "one"
        return "ignored"

    delegate(inner)
    assert list(flatten({"k": {"x": 1}, "z": 2})) == ["one", (("z",), 2)]
    gen = flatten({"k": {"x": 1}, "z": 2})
    next(gen)
    with pytest.raises(KeyError):
        gen.throw(KeyError)  # the delegate does not catch it: neither does the body
    assert gen.gi_yieldfrom is None
    with pytest.raises(StopIteration):
        next(gen)


def test_delegate_ignoring_generator_exit(delegate, monkeypatch):
    def stubborn(indict, path=None):
        try:
            yield "here"
        except GeneratorExit:
            yield "still here"

    delegate(stubborn)
    gen = flatten({"k": {"x": 1}})
    next(gen)
    with pytest.raises(RuntimeError, match="^generator ignored GeneratorExit$"):
        gen.close()
    reported = []  # the finalizer closes a suspended generator and reports what close raises
    if not hasattr(sys, "unraisablehook"):
        pytest.skip("needs sys.unraisablehook (Python 3.8+)")
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(type(report.exc_value)))
    gen = flatten({"k": {"x": 1}})
    next(gen)
    del gen
    gc.collect()
    assert reported == [RuntimeError]


def test_delegation_to_a_plain_iterator(delegate):
    log = []
    delegate(lambda indict, path=None: Plain(log))
    assert list(flatten({"k": {"x": 1}, "z": 2})) == ["plain"] * 3 + [(("z",), 2)]
    for end in ("close", "throw", "collect"):
        gen = flatten({"k": {"x": 1}})
        next(gen)
        if end == "close":
            gen.close()
        elif end == "throw":
            with pytest.raises(KeyError):
                gen.throw(KeyError("no throw method: raised in the body"))
        else:
            del gen
            gc.collect()
    assert log == ["close", "close"]
    delegate(lambda indict, path=None: [1, 2])
    gen = flatten({"k": {"x": 1}})
    next(gen)
    assert type(gen.gi_yieldfrom).__name__ == "list_iterator"
    with pytest.raises(AttributeError, match="send"):
        gen.send("x")
    with pytest.raises(StopIteration):
        next(gen)


class Odd(Plain):
    """A delegate whose throw ends it and whose close cannot even be looked up."""

    @property
    def close(self):
        raise KeyError("close lookup")

    def throw(self, *args):
        raise StopIteration("returned")


def test_delegate_ending_by_throw_and_failing_close(delegate, monkeypatch):
    delegate(lambda indict, path=None: Odd([]))
    gen = flatten({"k": {"x": 1}, "z": 2})
    next(gen)
    assert gen.throw(ValueError) == (("z",), 2)
    reported = []
    if not hasattr(sys, "unraisablehook"):
        pytest.skip("needs sys.unraisablehook (Python 3.8+)")
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(type(report.exc_value)))
    gen = flatten({"k": {"x": 1}})
    next(gen)
    assert gen.close() is None and reported == [KeyError]


def test_throw_lookup_failure_leaves_the_generator_suspended(delegate):
    class NoThrow(Plain):
        @property
        def throw(self):
            raise KeyError("throw lookup")

    delegate(lambda indict, path=None: NoThrow([]))
    gen = flatten({"k": {"x": 1}})
    next(gen)
    with pytest.raises(KeyError, match="throw lookup"):
        gen.throw(ValueError)
    assert next(gen) == "plain"


@pytest.mark.parametrize("result, message", [(5, "not iterable"), (
    "coroutine", "cannot 'yield from' a coroutine object in a non-coroutine generator")])
def test_yield_from_what_cannot_be_iterated(delegate, result, message):
    async def coroutine():
        pass

    made = []
    delegate(lambda indict, path=None: made.append(coroutine() if result == "coroutine" else result) or made[-1])
    with pytest.raises(TypeError, match=message):
        next(flatten({"k": {"x": 1}}))
    for obj in made:
        getattr(obj, "close", lambda: None)()


def test_throw():
    gen = flatten(NESTED)
    with pytest.raises(KeyError):
        gen.throw(KeyError)  # before the start: the body never runs
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(KeyError, match="again"):
        gen.throw(KeyError("again"))
    gen = flatten(NESTED)
    next(gen)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(ValueError, match="^made$"):
            gen.throw(ValueError, "made")


@pytest.mark.parametrize("args, message", [
    ((5,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((ValueError("x"), "y"), "instance exception may not have a separate value"),
    ((ValueError, None, 5), "throw() third argument must be a traceback object"),
    ((), "throw expected at least 1 argument, got 0"),
    ((ValueError, None, None, None), "throw expected at most 3 arguments, got 4"),
])
def test_throw_argument_errors(args, message):
    flat, nested = flatten({"a": 1, "b": 2}), flatten({"a": {"x": 1}, "b": 2})
    for gen in (flat, nested):
        next(gen)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            with pytest.raises(TypeError) as info:
                gen.throw(*args)
        assert str(info.value) == message
    # Refused before the body is reached; a delegate's refusal is raised in the body.
    assert next(flat) == (("b",), 2)
    if args and len(args) < 4:
        with pytest.raises(StopIteration):
            next(nested)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="deprecated from 3.12 on")
def test_three_argument_throw_is_deprecated():
    gen = flatten(NESTED)
    next(gen)
    with pytest.warns(DeprecationWarning), pytest.raises(ValueError):
        gen.throw(ValueError, None, None)


@pytest.mark.parametrize("steps", [0, 1, 3])
def test_close(steps):
    gen = flatten(NESTED)
    for _ in range(steps):
        next(gen)
    assert gen.close() is None and gen.close() is None
    with pytest.raises(StopIteration):
        next(gen)


@pytest.mark.parametrize("flat", [lambda d: list(PathRoll(d)), lambda d: list(flatten(d))],
                         ids=["construct", "generator"])
def test_errors_in_the_body(flat):
    def stop():
        raise StopIteration("leaked")

    for mapping in (Spy(stop, a=1), {"outer": {"inner": Spy(stop, a=1)}}):
        with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
            flat(mapping)
        assert type(info.value.__cause__) is StopIteration
    deep = 1
    for _ in range(sys.getrecursionlimit() * 20):
        deep = {"k": deep}
    with pytest.raises(RecursionError):
        flat(deep)
    gen = flatten(Spy(stop, a=1))
    with pytest.raises(RuntimeError):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)


def test_suspended_generator_in_a_cycle_is_collected(delegate):
    d = {"a": 1, "b": 2}
    gen = flatten(d)
    next(gen)
    d["b"] = gen
    ref = weakref.ref(gen)
    del gen, d
    gc.collect()
    assert ref() is None

    log = []

    def inner(indict, path=None):
        try:
            yield indict
        finally:
            log.append("finally")

    delegate(inner)
    d = {"a": {"x": 1}}
    gen = flatten(d)
    next(gen)
    d["a"]["x"] = gen
    ref = weakref.ref(gen)
    del gen, d
    gc.collect()
    assert ref() is None and log == ["finally"]

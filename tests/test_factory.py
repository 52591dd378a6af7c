import doctest
import gc
import sys

import pytest

from tavox.datastructures import factory
from tavox.datastructures.factory import MetaClassFactory


class Base(metaclass=MetaClassFactory):
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


class Sub(Base):
    pass


class SubSub(Sub):
    pass


class Point(Base):
    def __init__(self, x, y=0):
        self.xy = (x, y)


class Other:
    pass


class Named(type):
    def __str__(cls):
        return "named:" + cls.__name__


class Loud(metaclass=Named):
    pass


def test_class_and_docstring():
    examples = doctest.DocTestParser().get_examples(MetaClassFactory.__doc__)
    runner = doctest.DocTestRunner()
    runner.run(doctest.DocTest(examples, {"MetaClassFactory": MetaClassFactory}, "doc", None, 0, None))
    assert examples and runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("cls, args, kw, made, state", [
    (Base, (), {"class": Sub}, Sub, ((), {})),
    (Base, (1, "two"), {"class": SubSub, "x": 2}, SubSub, ((1, "two"), {"x": 2})),
    (Sub, (), {"class": SubSub}, SubSub, ((), {})),
    (Base, (), {"class": Base}, Base, ((), {})),
    (Base, (5,), {"a": 1}, Base, ((5,), {"a": 1})),
    (Base, (1,), {"class": Point}, Point, (1, 0)),
    (Base, (), {"class": Point, "y": 5, "x": 4}, Point, (4, 5)),
])
def test_class_keyword_picks_the_class(cls, args, kw, made, state):
    copy = dict(kw)
    obj = cls(*args, **kw)
    assert type(obj) is made and kw == copy
    assert (obj.xy if made is Point else (obj.args, obj.kwargs)) == state


@pytest.mark.parametrize("cls, value", [(Base, Other), (Sub, Base), (SubSub, Sub), (Base, Loud)])
def test_not_a_subclass(cls, value):
    with pytest.raises(TypeError) as info:
        cls(**{"class": value})
    assert str(info.value) == "%s is not a subclass of %s" % (value, cls)


@pytest.mark.parametrize("kw, match", [
    ({"class": 5}, "issubclass"),
    ({"class": Sub()}, "issubclass"),
    ({"cls": 1}, r"^__call__\(\) got multiple values for keyword argument 'cls'$"),
    ({"class": Point}, "x"),
])
def test_bad_calls(kw, match):
    with pytest.raises(TypeError, match=match):
        Base(**kw)


def test_metaclass_subclass_runs_once_and_next_metaclass_sees_the_swap():
    calls = []

    class Tracing(type):
        def __call__(cls, *args, **kwargs):
            calls.append(("tracing", cls, args, kwargs))
            return super().__call__(*args, **kwargs)

    class Meta(MetaClassFactory, Tracing):
        def __call__(cls, *args, **kwargs):
            calls.append(("meta", cls, args, kwargs))
            return super().__call__(*args, **kwargs)

    class Top(metaclass=Meta):
        def __init__(self, *args, **kwargs):
            pass

    class Low(Top):
        pass

    assert type(Top(7, **{"class": Low, "z": 1})) is Low
    assert calls == [("meta", Top, (7,), {"class": Low, "z": 1}), ("tracing", Low, (7,), {"z": 1})]


@pytest.mark.parametrize("verdict, chosen, match", [(False, "inner", "is not a subclass of"), (True, Other, "super")])
def test_subclass_check_is_honoured(verdict, chosen, match):
    class Checked(MetaClassFactory):
        def __subclasscheck__(cls, sub):
            return verdict

    class Guarded(metaclass=Checked):
        pass

    class Inner(Guarded):
        pass

    with pytest.raises(TypeError, match=match):
        Guarded(**{"class": Inner if chosen == "inner" else chosen})


def test_metaclass_that_is_itself_made_by_the_factory():
    class Meta(MetaClassFactory, metaclass=MetaClassFactory):
        pass

    class SubMeta(Meta):
        pass

    # super(MetaClassFactory, cls) of a class that is itself a subclass of the factory
    # is the class form: its __call__ is type's, unbound, and refuses the class name.
    for keywords in ({"class": SubMeta}, {}):
        with pytest.raises(TypeError, match="descriptor '__call__' requires a 'type' object but received a 'str'"):
            Meta("Made", (), {}, **keywords)


def test_module_global_is_read_at_call_time(monkeypatch):
    monkeypatch.setattr(factory, "MetaClassFactory", type)
    with pytest.raises(AttributeError, match="__call__"):
        Base()
    monkeypatch.setattr(factory, "MetaClassFactory", 5)
    with pytest.raises(TypeError) as info:
        Base()
    with pytest.raises(TypeError) as interpreter:  # the running interpreter's own words
        super(5, Base)
    assert str(info.value) == str(interpreter.value)
    monkeypatch.delattr(factory, "MetaClassFactory")
    with pytest.raises(NameError, match="MetaClassFactory"):
        Base()
    monkeypatch.undo()
    assert type(Base(**{"class": Sub})) is Sub


def test_reference_counts_do_not_drift():
    kw, bad = {"class": Sub, "x": "".join(["uniq", "value"])}, {"class": Other}

    def counts():
        gc.collect()  # tracebacks of earlier failures may still hold the classes
        return [sys.getrefcount(o) for o in (Sub, Other, kw["x"], kw, bad)]

    def calls():
        Base(**kw)
        for wrong in (bad, {"class": 5}):
            with pytest.raises(TypeError):
                Base(**wrong)

    calls()
    before = counts()
    for _ in range(100):
        calls()
    assert counts() == before

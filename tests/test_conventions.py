"""How every module of the package looks from Python: module objects, function
objects, argument errors and classes built the way a class statement builds them."""
import ctypes
import importlib
import importlib.util
import inspect
import pathlib
import pickle
import pydoc
import shutil
import subprocess
import sys
import types
import weakref

import pytest

from tavox.datastructures import dotbag
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.rankmap import RankMap

from hostile import PYTHON

MODULES = ["dotbag", "configuration", "rankmap", "pathroll", "fadeseq", "branchlet", "factory"]


def installed_modules():
    found = []
    for name in MODULES:
        try:
            found.append(importlib.import_module("tavox.datastructures." + name))
        except ImportError:
            pass
    return found


# ---- modules ------------------------------------------------------------------------

def test_module_attributes_come_from_the_spec():
    spec = dotbag.__spec__
    assert dotbag.__name__ == "tavox.datastructures.dotbag"
    assert dotbag.__file__ == spec.origin
    assert dotbag.__loader__ is spec.loader
    assert dotbag.__package__ == "tavox.datastructures"
    assert not hasattr(dotbag, "__path__")


def test_create_hands_back_the_same_module_and_reload_changes_nothing():
    cls = dotbag.DotBag
    assert importlib.util.module_from_spec(dotbag.__spec__) is dotbag
    assert importlib.reload(dotbag) is dotbag
    assert dotbag.DotBag is cls


def test_exec_into_another_module_object_is_refused():
    lib = ctypes.PyDLL(dotbag.__file__)
    lib.PyInit_dotbag.restype = ctypes.c_void_p
    definition = lib.PyInit_dotbag()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    with pytest.raises(RuntimeError) as info:
        exec_def(types.ModuleType("tavox.datastructures.dotbag"), definition)
    assert str(info.value) == "Module 'dotbag' has already been imported. Re-initialisation is not supported."


def test_a_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "out.txt"
    inner = (
        "try:\n"
        "    import tavox.datastructures.dotbag\n"
        "except ImportError as e:\n"
        f"    open({str(out)!r}, 'w').write(str(e))\n"
    )
    code = (
        "import tavox.datastructures.dotbag, _testcapi\n"
        f"_testcapi.run_in_subinterp({inner!r})\n"
    )
    subprocess.run([*PYTHON, "-c", code], check=True, timeout=60)
    assert out.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_import_warns_nothing_on_the_interpreter_it_was_built_for():
    for name in MODULES:
        result = subprocess.run(
            [*PYTHON, "-W", "error::RuntimeWarning", "-c", f"import tavox.datastructures.{name}"],
            capture_output=True, text=True, timeout=60,
        )
        assert "compiletime version" not in result.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_each_library_exports_only_its_init_function():
    libraries = [pathlib.Path(m.__file__) for m in installed_modules()]
    assert libraries
    for library in libraries:
        out = subprocess.run(["nm", "-D", "--defined-only", str(library)], capture_output=True, text=True,
                             check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        assert symbols == ["PyInit_" + library.name.split(".")[0]]


# ---- function objects ------------------------------------------------------------------

def test_functions_bind_like_python_functions():
    function = DotBag.__dict__["__repr__"]
    assert DotBag.__repr__ is function
    assert function.__get__(None, DotBag) is function
    bag = DotBag(a=1)
    bound = bag.__repr__
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is bag and bound.__func__ is function
    assert bound() == "DotBag({'a': 1})"
    assert function(bag) == "DotBag({'a': 1})"


def test_function_names_and_documentation():
    init = DotBag.__init__
    assert init.__name__ == "__init__"
    assert init.__qualname__ == "DotBag.__init__"
    assert init.__module__ == "tavox.datastructures.dotbag"
    assert init.__doc__.startswith("DotBag object init")
    assert DotBag.__repr__.__doc__ is None
    assert init.__defaults__ is None
    assert init.__globals__ is vars(dotbag)
    assert repr(init).startswith("<function DotBag.__init__ at 0x")


def test_function_attributes_are_writable_like_a_python_function():
    function = NestedDotBag.__getitem__
    function.marker = 1
    try:
        assert function.__dict__ == {"marker": 1}
        with pytest.raises(TypeError):
            function.__name__ = 5
        with pytest.raises(TypeError):
            function.__defaults__ = [1]
    finally:
        del function.marker
    # Defaults belong to the last parameters, also when there are more of them.
    fromkeys = vars(RankMap)["fromkeys"].__func__
    saved = fromkeys.__defaults__
    try:
        fromkeys.__defaults__ = ("first", "last")
        assert RankMap.fromkeys("a").items() == [("a", "last")]
    finally:
        fromkeys.__defaults__ = saved


def test_functions_pickle_by_reference_and_take_weak_references():
    assert pickle.loads(pickle.dumps(DotBag.__repr__)) is DotBag.__repr__
    assert weakref.ref(DotBag.__init__)() is DotBag.__init__


def test_signatures_show_in_inspect_and_help():
    assert str(inspect.signature(DotBag.__init__)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(DotBag.__repr__)) == "(self)"
    assert str(inspect.signature(DotBag().__repr__)) == "()"
    assert str(inspect.signature(NestedDotBag.__setitem__)) == "(self, key, value)"
    text = pydoc.render_doc(DotBag, renderer=pydoc.plaintext)
    assert "__init__(self, *args, **kwargs)" in text
    assert "DotBag object init" in text


@pytest.mark.parametrize("call, message", [
    (lambda: DotBag.__repr__(), "__repr__() takes exactly 1 positional argument (0 given)"),
    (lambda: DotBag().__repr__(1), "__repr__() takes exactly 1 positional argument (2 given)"),
    (lambda: NestedDotBag().__setitem__(1), "__setitem__() takes exactly 3 positional arguments (2 given)"),
    (lambda: NestedDotBag.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: DotBag.__repr__(DotBag(), x=1), "__repr__() got an unexpected keyword argument 'x'"),
    (lambda: DotBag.__repr__(DotBag(), self=1), "__repr__() got multiple values for keyword argument 'self'"),
    (lambda: NestedDotBag().__getitem__(), "__getitem__() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_may_be_passed_by_keyword():
    bag = NestedDotBag()
    NestedDotBag.__setitem__(bag, key="a.b", value=1)
    assert NestedDotBag.__getitem__(self=bag, key="a.b") == 1


# ---- classes --------------------------------------------------------------------------

MAPPING_MRO = ["MutableMapping", "Mapping", "Collection", "Sized", "Iterable", "Container", "object"]
# class: (its MRO by name, its metaclass's name, its methods in namespace order,
#         those of them with a docstring, the first line of its own docstring or None)
SHAPES = {
    "dotbag.DotBag": (["DotBag", "dict", "object"], "type", ["__init__", "__repr__", "__reduce__", "__setstate__"],
                      ["__init__"], "Attribute Dictionary class"),
    "dotbag.NestedDotBag": (["NestedDotBag", "DotBag", "dict", *MAPPING_MRO], "ABCMeta",
                            ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get", "pop",
                             "setdefault", "update"], ["get", "pop", "setdefault"], None),
    "configuration.Configuration": (["Configuration", "NestedDotBag", "DotBag", "dict", *MAPPING_MRO], "ABCMeta",
                                    ["copy", "__setitem__", "load_cfgs", "load_yamls", "load_entrypoint"],
                                    ["copy", "load_entrypoint"], None),
    "rankmap.RankMap": (["RankMap", *MAPPING_MRO], "ABCMeta",
                        ["__init__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "items", "clear", "copy",
                         "insert", "move", "keys", "values", "update", "__repr__", "__len__", "__eq__", "fromkeys",
                         "__copy__"],
                        ["insert", "move"], "Reorderable mapping"),
    "pathroll.IndexMarker": (["IndexMarker", "object"], "type", ["__init__", "__repr__"], ["__init__"], None),
    "pathroll.PathRoll": (["PathRoll", "list", "object"], "type",
                          ["__init__", "__flatten__", "__setitem__", "append", "extend", "insert", "reconstruct"],
                          ["__init__", "__flatten__", "append", "extend", "insert", "reconstruct"],
                          "PathRoll class (list)"),
    "fadeseq.FadeSeq": (["FadeSeq", "UserList", "MutableSequence", "Sequence", "Reversible", "Collection", "Sized",
                         "Iterable", "Container", "object"], "ABCMeta",
                        ["__init__", "__contains__", "__getitem__", "__setitem__", "__iter__", "__eq__",
                         "__reversed__", "__add__", "__iadd__", "remove", "append", "index", "count", "pop", "insert",
                         "extend", "sort", "__repr__", "__str__", "__copy__", "__deepcopy__"], [], "FadeSeq Class"),
    "branchlet.Branchlet": (["Branchlet", "object"], "type", ["__init__", "add_child", "__str__"],
                            ["__init__", "add_child", "__str__"], "Tree node"),
    "factory.MetaClassFactory": (["MetaClassFactory", "type", "object"], "type", ["__call__"], ["__call__"],
                                 "Metaclass"),
}


@pytest.mark.parametrize("where", SHAPES)
def test_classes_are_built_like_class_statements(where):
    mro, meta, methods, documented, doc = SHAPES[where]
    module_name, name = where.split(".")
    module = importlib.import_module("tavox.datastructures." + module_name)
    cls = getattr(module, name)
    assert (cls.__module__, cls.__qualname__, module.__doc__ is None) == (module.__name__, name, module_name != "dotbag")
    assert [c.__name__ for c in cls.__mro__] == mro and type(cls).__name__ == meta
    head = ["__module__"] + ["__doc__"] * (doc is not None) + methods[:1]
    assert list(cls.__dict__)[:len(head)] == head
    own = [k for k, v in vars(cls).items() if callable(getattr(v, "__func__", v)) and not k.startswith("_abc")]
    assert own == methods
    assert [k for k in methods if getattr(cls, k).__doc__] == documented
    assert (cls.__doc__ or "").startswith(doc or "") and (cls.__doc__ is None) == (doc is None)


def test_classes_can_be_subclassed_with_zero_argument_super():
    class Loud(DotBag):
        def __repr__(self):
            return "loud " + super().__repr__()

    assert repr(Loud(a=1)) == "loud Loud({'a': 1})"


def native_functions(module):
    """(class, name, function) for every method a module's classes define natively."""
    for cls in vars(module).values():
        if not isinstance(cls, type) or cls.__module__ != module.__name__:
            continue
        for name, attr in vars(cls).items():
            function = getattr(attr, "__func__", attr)
            if type(function).__name__ == "tavox_function":
                yield cls, name, function


@pytest.mark.parametrize("module", installed_modules(), ids=lambda m: m.__name__.rsplit(".", 1)[-1])
def test_every_method_has_a_signature_and_help_shows_it(module):
    functions = list(native_functions(module))
    assert functions
    for cls, name, function in functions:
        signature = inspect.signature(function)
        assert str(signature) == function.__text_signature__
        assert function.__qualname__ == f"{cls.__qualname__}.{name}"
        assert function.__module__ == module.__name__
    for cls in {cls for cls, _, _ in functions}:
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        for c, name, function in functions:
            if c is cls:
                assert name + str(inspect.signature(getattr(cls, name))) in text

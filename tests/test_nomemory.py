"""Allocation failures, as CPython tests its own error paths.

Every public operation, and the import of every module, runs with each
allocation failing in turn (_testcapi.set_nomemory(n, n + 1) for n = 0, 1, ...
until the operation has succeeded SETTLED times in a row).  Every run must end
in MemoryError or success: never a signal, never SystemError, never another
exception that our code made up.

One fresh interpreter per module (so that what the modules set up on first use
is swept too) imports the module's dependencies, then forks: once per failing
allocation for the import, once per operation for the rest.  The operation's
child loops over n itself and reports what went wrong, so a crash names the
allocation it died at.
"""
import concurrent.futures
import copy
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import types

import pytest

from hostile import PYTHON

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi has no set_nomemory", allow_module_level=True)

pytestmark = pytest.mark.refleak_exempt("forks and runs a fresh interpreter per module")

SETTLED = 10      # successes in a row that end a sweep
LIMIT = 1500      # allocations swept at most per operation

# What a module's import gives that a pure-Python relative import gives as well
# (importlib's module locks and frames under memory exhaustion), so it is the
# interpreter's.  Shown by, with each allocation failing in turn:
#     try: from .collections.abc import Mapping   # in a module of the package
#     except ImportError: from collections.abc import Mapping
IMPORT_SYSTEM = ("RuntimeError: can't allocate lock",
                 "SystemError: error return without exception set",
                 "returned NULL without setting an exception",
                 "SystemError: PyEval_EvalFrameEx returned NULL without setting an error")  # 3.8's words
# The same in any operation: `open(path)` ("can't allocate read lock"), and a
# Python function of the standard library that the interpreter ends with NULL
# and no exception (importlib.metadata, re, weakref); ours are named below.
INTERPRETER = ("RuntimeError: can't allocate read lock",)
# What an operation gets from a library it calls, shown by sweeping that call alone:
# load_entrypoint's scan of pkg_resources, list(pkg_resources.iter_entry_points(group="x")),
# ends in this SystemError inside functools.singledispatch.
FOREIGN = {"load_entrypoint": ("SystemError: error return without exception set",)}
# Some interpreters die, or raise SystemError or SyntaxError, under memory exhaustion
# in their own code.  Such a result of ours is let pass only when a pure-Python
# one-liner, swept the same way, gives the same kind of result on the interpreter
# running the tests (each is checked when needed, at most once):
# CPython 3.7 to 3.13 fail compiling the __new__ of a named tuple, 3.13.0 inserting
# into a dict after a failed resize (any class statement), and several in the Python
# code of importlib.metadata, configparser and PyYAML that the loaders call.  A debug
# 3.11 fails its own assertion (STACK_LEVEL() == 0) copying a pure-Python dict subclass,
# and 3.12.1 corrupts its object allocator deep-copying nested ones.
CLASS_STATEMENT = "class X:\n    def f(self): pass"
NAMEDTUPLE = "import collections; collections.namedtuple('DictItem', ('path', 'value'))"
REPRODUCERS = {
    "import": (True, CLASS_STATEMENT),
    "pathroll-import": (True, NAMEDTUPLE),
    "copy deepcopy": (False, "import copy\nclass D(dict): pass\n"
                             "def once(): copy.copy(D(a=1, b=2)); copy.deepcopy(D(a=D(b=D(c=1)), x=1))"),
    "load_cfgs": (False, "import configparser, tempfile, os\n"
                         "path = os.path.join(tempfile.mkdtemp(), 'a.cfg')\n"
                         "open(path, 'w').write('[s]\\nk = v\\n')\n"
                         "def once():\n"
                         "    parser = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))\n"
                         "    parser.read((path,))\n"
                         "    {name: dict(section) for name, section in parser.items()}"),
    "load_entrypoint": (False, "import importlib.metadata\n"
                               "def once(): list(importlib.metadata.entry_points().select(group='x'))"),
    "load_yamls": (False, "import yaml, tempfile, os\n"
                          "path = os.path.join(tempfile.mkdtemp(), 'a.yaml')\n"
                          "open(path, 'w').write('a:\\n  b: 1\\nc: [1, 2]\\n')\n"
                          "def once():\n"
                          "    with open(path) as f: yaml.safe_load(f)"),
}
OURS = ("DotBag", "NestedDotBag", "Configuration", "RankMap", "PathRoll", "IndexMarker", "FadeSeq", "Branchlet",
        "MetaClassFactory", "iter_entry_points")


def interpreters(problem):
    if any(known in problem for known in INTERPRETER):
        return True
    foreign = re.search(r"SystemError: <function ([\w.<>]+) at \w+> returned NULL without setting", problem)
    return bool(foreign) and foreign.group(1).split(".")[0] not in OURS


# ---- the operations ---------------------------------------------------------------------------

class Node:
    def __eq__(self, other):
        return self is other

    __hash__ = object.__hash__


def dotbag_state():
    from tavox.datastructures.dotbag import DotBag, NestedDotBag
    return types.SimpleNamespace(DotBag=DotBag, NestedDotBag=NestedDotBag, d=DotBag(a=1, b=2),
                                 n=NestedDotBag({"a": {"b": {"c": 1}}, "x": 1}))


def configuration_state():
    from tavox.datastructures.configuration import Configuration
    folder = tempfile.mkdtemp()
    ini, yml = os.path.join(folder, "a.cfg"), os.path.join(folder, "a.yaml")
    with open(ini, "w") as f:
        f.write("[s]\nk = v\n[t.u]\nw = 1\n")
    with open(yml, "w") as f:
        f.write("a:\n  b: 1\nc: [1, 2]\n")
    return types.SimpleNamespace(Configuration=Configuration, c=Configuration({"a": {"b": 1}, "x": "1"}),
                                 ini=ini, yml=yml)


def rankmap_state():
    from tavox.datastructures.rankmap import RankMap
    return types.SimpleNamespace(RankMap=RankMap, m=RankMap([("a", 1), ("b", 2), ("c", 3)]))


def pathroll_state():
    from tavox.datastructures.pathroll import IndexMarker, PathRoll
    nested = {"a": {"b": 1, "c": [1, {"d": 2}, (3, 4)]}, "e": 5}
    return types.SimpleNamespace(PathRoll=PathRoll, IndexMarker=IndexMarker, nested=nested,
                                 r=PathRoll(nested))


def fadeseq_state():
    from tavox.datastructures.fadeseq import FadeSeq
    nodes = [Node() for _ in range(4)]
    return types.SimpleNamespace(FadeSeq=FadeSeq, nodes=nodes, s=FadeSeq(nodes[:3]))


def branchlet_state():
    from tavox.datastructures.branchlet import Branchlet
    tree = Branchlet("root", [Branchlet("a", [Branchlet("a1"), "text\nlines"]), Branchlet("b")])
    return types.SimpleNamespace(Branchlet=Branchlet, tree=tree)


def factory_state():
    from tavox.datastructures.factory import MetaClassFactory

    class Shape(metaclass=MetaClassFactory):
        def __init__(self, size=1):
            self.size = size

    class Square(Shape):
        pass

    return types.SimpleNamespace(MetaClassFactory=MetaClassFactory, Shape=Shape, Square=Square)


OPERATIONS = {
    "dotbag": (dotbag_state, {
        "DotBag()": lambda s: s.DotBag({"a": 1}, b=2),
        "DotBag repr": lambda s: repr(s.d),
        "DotBag attributes": lambda s: (setattr(s.d, "z", 1), s.d.z),
        "NestedDotBag()": lambda s: s.NestedDotBag({"a": {"b": {"c": 1}}}, x={"y": 2}),
        "get path": lambda s: s.n["a.b.c"],
        "set path": lambda s: s.n.__setitem__("a.q.r", 2),
        "contains path": lambda s: "a.b.c" in s.n,
        "delete path": lambda s: s.n.__delitem__("a.b.c"),
        "update": lambda s: s.n.update([("a", {"b": {"d": 2}}), ("p.q", 1)], z={"w": 3}),
        "get pop setdefault": lambda s: (s.n.get("a.zz"), s.n.setdefault("m.n", 5), s.n.pop("a.b")),
        "repr nested": lambda s: repr(s.n),
        "copy deepcopy": lambda s: (copy.copy(s.d), copy.copy(s.n), copy.deepcopy(s.n)),
    }),
    "configuration": (configuration_state, {
        "Configuration()": lambda s: s.Configuration({"a": {"b": 1}}, x=2),
        "copy": lambda s: s.c.copy(),
        "set path": lambda s: s.c.__setitem__("a.q.r", "1"),
        "load_cfgs": lambda s: s.c.load_cfgs(s.ini),
        "load_yamls": lambda s: s.c.load_yamls(s.yml),
        "load_entrypoint": lambda s: s.c.load_entrypoint("tavox.no.such.group"),
    }),
    "rankmap": (rankmap_state, {
        "RankMap()": lambda s: s.RankMap([("a", 1), ("b", 2)], c=3),
        "get": lambda s: (s.m["b"], s.m.__getitem__("c"), s.m.get("zz")),
        "set": lambda s: (s.m.__setitem__("d", 4), s.m.__setitem__("a", 0)),
        "delete": lambda s: s.m.__delitem__("b"),
        "iterate keys values": lambda s: (list(s.m), s.m.keys(), s.m.values(), len(s.m)),
        "items": lambda s: s.m.items(),
        "clear": lambda s: s.m.clear(),
        "copy": lambda s: s.m.copy(),
        "copy.copy": lambda s: copy.copy(s.m),
        "insert": lambda s: s.m.insert("z", 26, 1),
        "move": lambda s: s.m.move("c", 0),
        "update": lambda s: s.m.update([("x", 1)], y=2),
        "repr": lambda s: repr(s.m),
        "eq": lambda s: s.m == s.RankMap([("a", 1), ("b", 2), ("c", 3)]),
        "fromkeys": lambda s: s.RankMap.fromkeys("xyz", 0),
        "popitem": lambda s: s.m.popitem(),
    }),
    "pathroll": (pathroll_state, {
        "PathRoll(mapping)": lambda s: s.PathRoll(s.nested),
        "PathRoll(pairs)": lambda s: s.PathRoll([(("a",), 1), (("b", "c"), 2)]),
        "__flatten__": lambda s: list(s.PathRoll.__flatten__(s.nested)),
        "reconstruct": lambda s: s.r.reconstruct(),
        "append": lambda s: s.r.append((("z",), 1)),
        "extend": lambda s: s.r.extend([(("y",), 1), (("x", "w"), 2)]),
        "insert": lambda s: s.r.insert(0, (("v",), 1)),
        "setitem": lambda s: s.r.__setitem__(0, (("u",), 1)),
        "IndexMarker": lambda s: repr(s.IndexMarker([1], 0)),
    }),
    "fadeseq": (fadeseq_state, {
        "FadeSeq()": lambda s: s.FadeSeq(s.nodes),
        "contains": lambda s: s.nodes[1] in s.s,
        "getitem": lambda s: (s.s[0], s.s[1:]),
        "setitem": lambda s: (s.s.__setitem__(0, s.nodes[3]), s.s.__setitem__(slice(1, 2), s.nodes[:2])),
        "iterate": lambda s: (list(s.s), list(reversed(s.s))),
        "eq": lambda s: s.s == s.nodes[:3],
        "add iadd": lambda s: (s.s + s.s, s.s.__iadd__(s.nodes[3:])),
        "remove": lambda s: s.s.remove(s.nodes[1]),
        "append insert extend": lambda s: (s.s.append(s.nodes[3]), s.s.insert(0, s.nodes[3]),
                                           s.s.extend(s.nodes)),
        "index count": lambda s: (s.s.index(s.nodes[2]), s.s.count(s.nodes[0])),
        "pop": lambda s: s.s.pop(),
        "sort": lambda s: (s.s.sort(key=id), s.s.sort(key=id, reverse=True)),
        "repr str": lambda s: (repr(s.s), str(s.s)),
        "copy deepcopy": lambda s: (copy.copy(s.s), copy.deepcopy(s.s)),
        "an item dies": lambda s: s.nodes.__delitem__(0),
    }),
    "branchlet": (branchlet_state, {
        "Branchlet()": lambda s: s.Branchlet("n", [s.Branchlet("c")]),
        "add_child": lambda s: s.tree.add_child(s.Branchlet("c")),
        "str": lambda s: str(s.tree),
    }),
    "factory": (factory_state, {
        "class statement": lambda s: s.MetaClassFactory("Made", (s.Shape,), {}),
        "call": lambda s: s.Shape(size=2),
        "call with class": lambda s: s.Shape(size=2, **{"class": s.Square}),
    }),
}


# ---- the driver (runs in the fresh interpreter) --------------------------------------------------

def _classify(exc):
    """None when the run ended soundly, else a short description."""
    if exc is None or type(exc) is MemoryError:
        return None
    if isinstance(exc, str):  # already described by a child
        return exc
    text = f"{type(exc).__name__}: {exc}"
    context = exc.__context__ or exc.__cause__
    if isinstance(context, MemoryError) and not isinstance(exc, SystemError):
        return None   # raised while handling the MemoryError, which stays visible as its context
    return text


def _run_failing(n, func, *args):
    _testcapi.set_nomemory(n, n + 1)
    try:
        func(*args)
    except BaseException as exc:  # noqa: B902 - judged by the caller
        return exc
    finally:
        _testcapi.remove_mem_hooks()
    return None


def _in_child(body, progress):
    """Run body() in a forked child; return (its JSON result, how it died)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 3
        try:
            os.close(read_end)
            os.write(write_end, json.dumps(body()).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) or not data:
        with open(progress) as f:
            last = f.read()
        how = f"signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status) else f"exit status {os.WEXITSTATUS(status)}"
        return None, f"died ({how}) with allocation {last or '?'} failing"
    return json.loads(data), None


def _sweep(run_once, progress):
    """Failures per allocation number, until SETTLED runs in a row end in
    something else than MemoryError."""
    failures, in_a_row = {}, 0
    for n in range(LIMIT):
        with open(progress, "w") as f:
            f.write(str(n))
        exc = run_once(n)
        in_a_row = in_a_row + 1 if type(exc) is not MemoryError else 0
        bad = _classify(exc)
        if bad:
            failures[n] = bad
        if in_a_row >= SETTLED:
            break
    return failures


def drive(module):
    """What the fresh interpreter does: a JSON report {case: [problems]}."""
    import collections.abc, configparser, itertools, logging, weakref  # noqa: E401,F401 - settle first
    import yaml  # noqa: F401
    import tavox.utils.strings  # noqa: F401
    progress = tempfile.mktemp()
    name = f"tavox.datastructures.{module}"
    # Whatever the module imports is imported first, so that each child sweeps
    # the module's own work and not the standard library's imports.
    others, _ = _in_child(lambda: (__import__(name), [m for m in sys.modules if m != name])[1], progress)
    for other in others or ():
        __import__(other)
    report = {}

    # The module is made and run as the import system's loader does it, without
    # the import system around it: failures of its locks and frames are the
    # interpreter's (a pure-Python module's import shows them too).
    import _imp
    import importlib.util
    spec = importlib.util.find_spec(name)
    import ctypes
    ctypes.CDLL(spec.origin)  # loaded once here, so each child only initialises it

    def import_once(n):
        def body():
            exc = _run_failing(n, lambda: _imp.exec_dynamic(_imp.create_dynamic(spec)))
            return None if exc is None else _classify(exc) or "MemoryError"
        result, death = _in_child(body, progress)
        return MemoryError() if result == "MemoryError" else death or result

    report["import"] = [f"allocation {n}: {bad}" for n, bad in _sweep(import_once, progress).items()]

    state, operations = OPERATIONS[module]
    __import__(f"tavox.datastructures.{module}")
    for name, operation in operations.items():
        def body():
            failures = _sweep(lambda n: _run_failing(n, operation, state()), progress)
            # What the operation raises with no allocation failing is sound (after
            # the sweep: a first run would set up what the sweep must see set up).
            usual = _classify(_run_failing(LIMIT * 1000, operation, state()))
            return [f"allocation {n}: {bad}" for n, bad in failures.items() if bad != usual]
        result, death = _in_child(body, progress)
        report[name] = [death] if death else result
    os.unlink(progress)
    return report


# ---- the tests ----------------------------------------------------------------------------------

_reports = {}


def _run(argv):
    """subprocess.run of a fresh interpreter; starting one again when the start itself
    fails (a busy machine has refused a fork with EAGAIN, ENOMEM or EFAULT)."""
    for attempt in range(5):
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=600)
        except OSError:
            if attempt == 4:
                raise
            time.sleep(1 + attempt)


def _sweep_module(module):
    here = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys, json; sys.path.insert(0, {here!r}); import test_nomemory as t; "
            f"print(json.dumps(t.drive({module!r})))")
    done = _run([*PYTHON, "-c", code])
    assert done.returncode == 0, f"the sweep of {module} died:\n{done.stderr[-4000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def report_for(module):
    """The sweeps of all modules start at the first use, two at a time."""
    if not _reports:
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
        _reports.update((m, pool.submit(_sweep_module, m)) for m in OPERATIONS)
        pool.shutdown(wait=False)
    return _reports[module].result()


CASES = [(module, name) for module, (_, operations) in OPERATIONS.items() for name in ["import", *operations]]


_interpreter_results = {}


def kind(problem):
    """"died", or the name of the exception a problem reports."""
    text = problem.split(": ", 1)[1] if problem.startswith("allocation ") else problem
    return "died" if text.startswith("died") else text.split(":", 1)[0]


def interpreter_results(key):
    """The kinds of result other than MemoryError and success that REPRODUCERS[key]
    gives here, swept like the operations (one fork per failing allocation for an
    import, one child for the sweep otherwise)."""
    if key not in _interpreter_results:
        per_allocation, code = REPRODUCERS[key]
        body = (f"{code}\n" if per_allocation else f"{code}\nonce()\n") + (
            "import _testcapi, json, os, sys\n"
            "found = set()\n"
            "def run(n):\n"
            "    _testcapi.set_nomemory(n, n + 1)\n"
            "    try:\n"
            f"        {'exec(CODE, {})' if per_allocation else 'once()'}\n"
            "    except MemoryError:\n"
            "        pass\n"
            "    except BaseException as exc:\n"
            "        _testcapi.remove_mem_hooks()\n"
            "        return type(exc).__name__\n"
            "    _testcapi.remove_mem_hooks()\n"
            "for n in range(1500):\n"
            f"    if {per_allocation}:\n"
            "        read, write = os.pipe()\n"
            "        pid = os.fork()\n"
            "        if pid == 0:\n"
            "            os.write(write, (run(n) or '').encode()); os._exit(0)\n"
            "        os.close(write)\n"
            "        got = os.fdopen(read).read()\n"
            "        status = os.waitpid(pid, 0)[1]\n"
            "        found.add('died' if os.WIFSIGNALED(status) else got)\n"
            "    else:\n"
            "        found.add(run(n) or '')\n"
            "        sys.stdout.write(json.dumps(sorted(found)) + '\\n'); sys.stdout.flush()\n"
            "print(json.dumps(sorted(found)))\n")
        done = _run([*PYTHON, "-c", f"CODE = {code!r}\n{body}"])
        lines = done.stdout.strip().splitlines()
        found = set(json.loads(lines[-1])) if lines else set()
        if done.returncode != 0:
            found.add("died")
        _interpreter_results[key] = found - {""}
    return _interpreter_results[key]


@pytest.mark.parametrize("module, name", CASES, ids=[f"{m}-{n}" for m, n in CASES])
def test_every_allocation_failure_ends_in_memory_error_or_success(module, name):
    problems = [p for p in report_for(module)[name]
                if not interpreters(p) and not any(known in p for known in FOREIGN.get(name, ()))]
    if name == "import":
        problems = [p for p in problems if not any(known in p for known in IMPORT_SYSTEM)]
    for key in (f"{module}-{name}", name):
        if problems and key in REPRODUCERS:
            theirs = interpreter_results(key)
            shared = [p for p in problems if kind(p) in theirs]
            if shared and len(shared) == len(problems):
                pytest.skip(f"the interpreter gives {sorted(theirs)} sweeping pure Python too: {REPRODUCERS[key][1]!r}")
            problems = [p for p in problems if p not in shared]
    assert not problems, "\n".join(problems[:20])

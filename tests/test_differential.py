"""Shortcuts against the ordinary path: the same random programs, with and without.

Each module has a state machine whose steps are statements drawn from its table; every
statement runs in two children (tests/twin.py), one started with `-X tavox-shortcuts=off`,
and every answer, raised error and final content must agree.  Keys and names come also
from the classes' own attribute names, from hostile objects and from subclasses that
override methods.
"""

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from twin import Twin

WORLD = """
import collections, collections.abc, copy, gc, sys, warnings, weakref
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.configuration import Configuration
from tavox.datastructures.rankmap import RankMap
from tavox.datastructures.pathroll import PathRoll, DictItem, IndexMarker
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.branchlet import Branchlet
from tavox.datastructures.factory import MetaClassFactory

log = []
x = None

class Sneaky:
    # Hashes as 'a' and, compared, changes the container under test.
    def __hash__(self): return hash('a')
    def __eq__(self, other):
        log.append('eq')
        if hasattr(x, 'clear') and len(log) % 3 == 0: x.clear()
        return False

class NoDots(str):
    def __contains__(self, item): return False

class Flip(str):
    def split(self, sep=None, maxsplit=-1): return str.split(self, sep, maxsplit)[::-1]

class Refill:
    # A position whose conversion empties and refills the map.
    def __index__(self):
        x.clear(); x['z'] = 26
        return 0

class Bad:
    def __index__(self): raise ValueError('no index')
"""

# name: (setup, shapes, statements, keys, values, final)
MACHINES = {
    "dotbag": (
        """
class Merging(NestedDotBag):
    def update(self, *args, **kwargs):
        log.append('update')
        return NestedDotBag.update(self, *args, **kwargs)

class Watched(NestedDotBag):
    def __getattribute__(self, name):
        log.append(name)
        return dict.__getattribute__(self, name)

class Shadow(NestedDotBag):
    def setdefault(self, key, default=None):
        log.append(('setdefault', key))
        return NestedDotBag.setdefault(self, key, default)
""",
        ["NestedDotBag()", "Merging()", "Watched()", "Shadow()", "NestedDotBag(a={'b': 1})", "DotBag(a=1)"],
        ["x[{k}] = {v}", "x[{k}]", "{k} in x", "x.__contains__({k})", "del x[{k}]", "x.update({{{k}: {v}}})",
         "x.update([({k}, {v})])", "x.setdefault({k}, {v})", "x.get({k})", "x.pop({k}, 'gone')",
         "type(x)({{{k}: {v}}})", "type(x)({v})", "getattr(x, {k}) if isinstance({k}, str) else None",
         "repr(x)", "copy.deepcopy(x)", "x == copy.copy(x)", "type(x).fromkeys([{k}], {v})"],
        ["'a'", "'b'", "'a.b'", "'a.b.c'", "'.a'", "'a.'", "'setdefault'", "'update'", "'items'", "'keys'",
         "'copy'", "'__dict__'", "'get'", "'pop'", "NoDots('a.b')", "Flip('a.b')", "1", "(1, 2)", "b'a'",
         "Sneaky()"],
        ["1", "'t'", "{}", "{'a': 1}", "{'setdefault': 0, 'a': {}}", "{'b': {'c': 2}}", "[('q', 1)]", "None",
         "NestedDotBag(a=1)", "{'update': {'a': 1}}"],
        "repr(x), log",
    ),
    "configuration": (
        """
class Custom(Configuration):
    def __setitem__(self, key, value):
        log.append(('set', key))
        Configuration.__setitem__(self, key, value)
""",
        ["Configuration()", "Custom()", "Configuration({'a': {'b': '1'}})"],
        ["x[{k}] = {v}", "x[{k}]", "{k} in x", "del x[{k}]", "x.update({{{k}: {v}}})", "x.setdefault({k}, {v})",
         "x.get({k})", "x.copy()", "type(x)({{{k}: {v}}})", "repr(x)", "x.pop({k}, 'gone')"],
        ["'a'", "'a.b'", "'b.c.d'", "'setdefault'", "'update'", "'copy'", "'pop'", "NoDots('a.b')",
         "Flip('a.b')", "1"],
        ["'1'", "'yes'", "'none'", "'2.5'", "{}", "{'x': 'off'}", "{'setdefault': 0, 'q': {}}", "[1, 2]",
         "{'pop': {'a': 'true'}}"],
        "repr(x), log",
    ),
    "rankmap": (
        """
class Logged(RankMap):
    def __setitem__(self, key, value):
        log.append(('set', key))
        RankMap.__setitem__(self, key, value)

class Order(list):
    def insert(self, index, item):
        log.append(('insert', index))
        list.insert(self, index, item)
""",
        ["RankMap()", "Logged()", "RankMap([('a', 1), ('b', 2)])"],
        ["x[{k}] = {v}", "x[{k}]", "del x[{k}]", "{k} in x", "x.insert({k}, {v}, {p})", "x.move({k}, {p})",
         "x.items()", "x.values()", "list(x)", "x.keys().reverse()", "x.copy()", "repr(x)", "x == x.copy()",
         "x.update([({k}, {v})])", "x.pop({k}, 'gone')", "x.popitem()", "x.clear()", "len(x)",
         "x.setdefault({k}, {v})", "x._order = Order(x._order)", "x._data = dict(x._data)"],
        ["'a'", "'b'", "b'a'", "1", "1.0", "True", "(1,)", "('a', 'b')", "Sneaky()", "None", "'update'"],
        ["1", "'v'", "None", "[1]"],
        "repr(x), x._order, x._data, log",
    ),
    "pathroll": (
        """
class Roll(PathRoll):
    def append(self, item):
        log.append('append')
        PathRoll.append(self, item)

@collections.abc.MutableMapping.register
class Mapped(dict):
    pass
""",
        ["PathRoll()", "Roll()", "PathRoll({'a': {'b': [1, {'c': 2}]}})"],
        ["x = type(x)({v})", "x.reconstruct()", "x.append((({k},), {v}))", "x.insert(0, (({k}, {k}), {v}))",
         "x[0] = (({k},), {v})", "x.extend([(({k},), {v})])", "list(x)", "repr(x)", "PathRoll({v}).reconstruct()",
         "x + x", "x.append(((IndexMarker([], {k}),), {v}))"],
        ["'a'", "'b'", "0", "1", "'0'"],
        ["{'a': 1}", "{'a': {'b': [1, {'c': 2}]}}", "{'a': (1, (2, 3))}", "{1: {2: 3}}", "Mapped(a=Mapped(b=1))",
         "{}", "{'a': []}", "[(('a', 'b'), 1), (('a', 'c'), 2)]"],
        "repr(x), log",
    ),
    "fadeseq": (
        """
class Thing:
    def __init__(self, n): self.n = n
    def __repr__(self): return 'Thing(%d)' % self.n
    def __eq__(self, other): return isinstance(other, Thing) and other.n == self.n
    __hash__ = object.__hash__
things = [Thing(i) for i in range(4)]
""",
        ["FadeSeq()", "FadeSeq(things)"],
        ["x.append(things[{k}])", "things[{k}] = Thing({k})", "list(x)", "len(x)", "things[{k}] in x",
         "x.count(things[{k}])", "x.index(things[{k}])", "x.remove(things[{k}])", "x.insert(0, things[{k}])",
         "x[0]", "x.pop()", "x.extend(things)", "repr(x)", "copy.copy(x) == x", "x.reverse()", "x + x"],
        ["0", "1", "2", "3"],
        ["0"],
        "repr(x), len(x)",
    ),
    "branchlet": (
        """
class Odd(Branchlet):
    def __str__(self):
        log.append(self.name)
        return Branchlet.__str__(self)
""",
        ["Branchlet('root')", "Odd('root')"],
        ["x.add_child({v})", "str(x)", "x.children.append({v})", "x.children.reverse()", "x.name = {v}",
         "x.children[0].add_child({v}) if x.children and isinstance(x.children[0], Branchlet) else None",
         "x.children = list(x.children) + [{v}]"],
        ["0"],
        ["Branchlet('n')", "'leaf'", "'two\\nlines'", "Branchlet('m', [Branchlet('o')])", "Odd('s')", "7", "x"],
        "str(x), log",
    ),
    "factory": (
        """
class Base(metaclass=MetaClassFactory):
    def __init__(self, *args, **kwargs): self.args = (args, kwargs)
class Sub(Base):
    pass
class Other:
    pass
""",
        ["None"],
        ["Base(**{{'class': {v}}}).args", "type(Base(**{{'class': {v}}})).__name__", "Base({v}).args",
         "Sub(**{{'class': {v}}}).args", "Base(**{{'class': {v}, 'k': 1}}).args"],
        ["0"],
        ["Sub", "Base", "Other", "None", "1", "'Sub'"],
        "log",
    ),
}

RUNS = [(name, ()) for name in MACHINES] + [("rankmap", ("-b",)), ("rankmap", ("-bb",))]
BYTES_SETUP = """
warnings.simplefilter('always', BytesWarning)
def shown_warning(*args, **kwargs):
    log.append('warned')
    if x is not None and hasattr(x, '_order') and len(log) % 2: x._order.clear()
warnings.showwarning = shown_warning
"""


def machine_for(name, flags):
    setup, shapes, statements, keys, values, final = MACHINES[name]
    twin = Twin(*flags)
    positions = ["0", "-1", "5", "True", "Refill()", "Bad()", "'x'"]

    class Machine(RuleBasedStateMachine):
        @initialize(shape=st.sampled_from(shapes))
        def start(self, shape):
            extra = BYTES_SETUP if "-b" in flags else ""
            twin.reset(WORLD + setup + extra + "x = %s\n" % shape)

        @rule(statement=st.sampled_from(statements), k=st.sampled_from(keys), v=st.sampled_from(values),
              p=st.sampled_from(positions))
        def step(self, statement, k, v, p):
            twin.run(statement.format(k=k, v=v, p=p))

        @invariant()
        def agrees_on_contents(self):
            if twin.program:
                twin.run(final)

    Machine.TestCase.settings = settings(max_examples=50, stateful_step_count=15, deadline=None)
    return Machine, twin


@pytest.mark.parametrize("name, flags", RUNS, ids=["%s%s" % (name, "".join(flags)) for name, flags in RUNS])
def test_with_and_without_shortcuts_agree(name, flags):
    machine, twin = machine_for(name, flags)
    try:
        machine.TestCase("runTest").runTest()
    finally:
        twin.close()

"""Rules of the module sources (datastructures/*.cpp) that a reader should not
have to check by hand:

- no manual reference counting (Py_INCREF, Py_DECREF, their X forms, Py_SETREF,
  Py_XSETREF, Py_CLEAR): a Ref owns every reference;
- no bare Py_EnterRecursiveCall: the recursion check of common/ also guards the
  C stack that is left;
- no PyList_New with a length other than 0: a list with empty slots must never
  be where the collector (or any Python code) can see it.

A line that must break a rule says why at its end, with the marker

    // safe: <reason>
"""
import pathlib
import re

import pytest

SOURCES = pathlib.Path(__file__).resolve().parent.parent / "datastructures"
MARKER = re.compile(r"//\s*safe:\s*\S")
RULES = {
    "manual reference counting": re.compile(r"\bPy_(X?INCREF|X?DECREF|X?SETREF|CLEAR)\s*\("),
    "bare Py_EnterRecursiveCall": re.compile(r"\bPy_EnterRecursiveCall\s*\("),
    "PyList_New with a length": re.compile(r"\bPyList_New\s*\(\s*(?!0\s*\))"),
}


def broken_rules(line):
    """The rules a line of C++ breaks (none when it carries the marker)."""
    if MARKER.search(line):
        return []
    code = line.split("//", 1)[0]
    return [name for name, rule in RULES.items() if rule.search(code)]


@pytest.mark.parametrize("line, broken", [
    ("    Py_INCREF(meta_);", ["manual reference counting"]),
    ("    Py_XDECREF(target);", ["manual reference counting"]),
    ("    Py_CLEAR(self->x);", ["manual reference counting"]),
    ("    Py_SETREF(a, b);", ["manual reference counting"]),
    ("    Py_INCREF(meta_);  // safe: kept for the life of the process", []),
    ("    if (Py_EnterRecursiveCall(\" in key path\")) throw_error();", ["bare Py_EnterRecursiveCall"]),
    ("    Ref result = check(PyList_New(n));", ["PyList_New with a length"]),
    ("    Ref list = check(PyList_New(1));", ["PyList_New with a length"]),
    ("    Ref parts = check(PyList_New(0));", []),
    ("    // Py_DECREF(x) is never written here", []),
    ("    Ref r = Ref::borrow(p);", []),
])
def test_rules_recognise_lines(line, broken):
    assert broken_rules(line) == broken


def test_module_sources_follow_the_rules():
    files = sorted(SOURCES.rglob("*.cpp")) + sorted(SOURCES.rglob("*.hpp"))
    if not files:
        pytest.skip(f"no module sources at {SOURCES} (an installed copy of the tests)")
    found = []
    for path in files:
        for number, line in enumerate(path.read_text().splitlines(), 1):
            broken = broken_rules(line)
            if broken:
                found.append(f"{path.relative_to(SOURCES)}:{number}: {', '.join(broken)}: {line.strip()}")
    assert not found, "mark a justified exception with '// safe: <reason>'\n" + "\n".join(found)

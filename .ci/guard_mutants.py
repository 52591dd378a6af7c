"""Every guard of a shortcut is tested: replace one by "always usable", and a test fails.

For each mutant below, a copy of the tree gets that one change, is built and installed
into a venv of its own, and runs the test suite with shortcuts on, stopping at the first
failure.  A mutant that no test catches is printed: either the guard is not needed (the
shortcut is the same without it) or a case is missing.  Slow (a build and a suite per
mutant), so not part of .ci/run:

    python3 .ci/guard_mutants.py [name ...]
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

# name: (file, the guard as it stands, the guard made to say "usable")
MUTANTS = {
    "base call memo after a change of the class": (
        "common/super.cpp", "!PyType_Check(self) && stamp_.holds(Py_TYPE(self))", "!PyType_Check(self)"),
    "base call memo for another owner": (
        "common/super.cpp", "if (owner == owner_.get() && !PyType_Check(self)", "if (!PyType_Check(self)"),
    "base call body for a class-level super()": (
        "common/super.hpp", "!m.bound_ && m.obj_ && known_.is", "!m.bound_ && known_.is"),
    "a learned function with another __code__": (
        "common/fastpath.hpp", "return !code_ || PyFunction_GET_CODE(found) == code_.get();", "return true;"),
    "abc memo with another __instancecheck__": (
        "common/fastpath.hpp", "return instancecheck_.is(found_check_) &&", "return true ||"),
    "class call under another metaclass": (
        "common/fastpath.cpp", "if (Py_TYPE(cls) != &PyType_Type || !shortcuts_on()) return false;",
        "if (!shortcuts_on()) return false;"),
    "direct slots for any signature": (
        "common/function.cpp", "return sig.names.size() == 1 && sig.varargs && sig.varkw;", "return true;"),
    "levels with setdefault shadowed by an item": (
        "datastructures/dotbag.cpp", "if (PyObject* own = compat::dict_get(dict, n_setdefault)) return Ref::borrow(own);", ""),
    "levels for a key path": (
        "datastructures/dotbag.cpp", "            if (dot >= 0) return getattr(self, n_setdefault);\n", ""),
    "levels for a key that is not a plain built-in": (
        "datastructures/dotbag.cpp", "        } else if (!plain_builtin(key_type)) {\n            return getattr(self, n_setdefault);\n        }",
        "        }"),
    "levels under a __getattribute__": (
        "datastructures/dotbag.cpp", "&& type->tp_getattro == PyObject_GenericGetAttr &&", "&&"),
    "levels with KeyError rebound": (
        "datastructures/dotbag.cpp", "if (!setdefault_.is(setdefault) || key_error_global_.find(PyFunction_GET_GLOBALS(setdefault)) ||\n"
        "            key_error_builtin_.find(builtins_) != PyExc_KeyError ||", "if (!setdefault_.is(setdefault) ||"),
    "levels with update()'s globals rebound or gone": (
        "datastructures/dotbag.cpp", " || !new_level_runs_nothing(globals_))", ")"),
    "store into any __setitem__": (
        "datastructures/dotbag.cpp", "if (nested_setitem_function.found_on(Py_TYPE(self), n___setitem__)) {",
        "if (shortcuts_on()) {"),
    "update's loop with chain rebound": (
        "datastructures/dotbag.cpp", "if (shortcuts_on() && chain.get() == chain_type.get()) {", "if (shortcuts_on()) {"),
    "key path split by offsets in a str subclass": (
        "datastructures/dotbag.cpp", "if (exactly(key_, &PyUnicode_Type)) {", "if (PyUnicode_Check(key_.get())) {"),
    "rankmap walk with bytes under -b": (
        "datastructures/rankmap.cpp", "if (type == &PyBytes_Type) return !bytes_warn;", "if (type == &PyBytes_Type) return true;"),
    "rankmap walk through an _order descriptor": (
        "datastructures/rankmap.cpp", "if (type->tp_getattro != PyObject_GenericGetAttr || compat::type_lookup(type, n__order)) return Ref();",
        ""),
    "rankmap walk with comparing keys": (
        "datastructures/rankmap.cpp", "return type->tp_richcompare == PyBaseObject_Type.tp_richcompare && type->tp_hash == PyBaseObject_Type.tp_hash;",
        "return true;"),
    "rankmap subscript with a _data class attribute": (
        "datastructures/rankmap.cpp", "type->tp_getattro != PyObject_GenericGetAttr ||\n        compat::type_lookup(type, n__data))",
        "type->tp_getattro != PyObject_GenericGetAttr)"),
    "branchlet rendering under another __str__ slot": (
        "datastructures/branchlet.cpp", "return type->tp_str == generic_str_slot && finds(type, n___str__, function_);", "return finds(type, n___str__, function_);"),
    "factory subclass test under another __subclasscheck__": (
        "datastructures/factory.cpp", "if (PyType_Check(value) && type_subclasscheck.found_on(Py_TYPE(cls), n___subclasscheck__))",
        "if (PyType_Check(value))"),
    "named tuple made with _tuple_new rebound": (
        "common/fastpath.cpp", "return tuple_maker_.is(maker) && tuple_new_global_.find(PyFunction_GET_GLOBALS(maker.get())) == tuple_new_.get();",
        "return tuple_maker_.is(maker);"),
    "fadeseq references with weakref.ref rebound": (
        "datastructures/fadeseq.cpp", "if (factory.get() == reinterpret_cast<PyObject*>(&_PyWeakref_RefType))", "if (true)"),
    "reconstruct's shared beginning after a change": (
        "datastructures/pathroll/reconstruct.cpp", "bool trusted() const { return quiet && stamp.holds(dict); }",
        "bool trusted() const { return quiet; }"),
}


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


def main(names):
    work = pathlib.Path(tempfile.mkdtemp(prefix="guard-mutants-"))
    source, venv = work / "src", work / "venv"
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns("build", ".venv*", ".git", "dist", "__pycache__"))
    run([sys.executable, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "-q", "scikit-build-core", "cmake", "ninja", "pytest", "hypothesis", "PyYAML"])
    missed = []
    for name in names or MUTANTS:
        path, guard, mutant = MUTANTS[name]
        file = source / path
        original = file.read_text()
        if original.count(guard) != 1:
            sys.exit(f"guard_mutants: {path} no longer has the guard of {name!r} once")
        file.write_text(original.replace(guard, mutant))
        try:
            run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                 f"-Cbuild-dir={work / 'build'}", str(source)], stdout=subprocess.DEVNULL)
            # The allocation sweep is left out: it tests what fails, not what a guard lets through.
            done = subprocess.run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests",
                                   "--ignore=tests/test_nomemory.py"],
                                  cwd=source, capture_output=True, text=True,
                                  env=dict(os.environ, HYPOTHESIS_PROFILE="ci"))
        finally:
            file.write_text(original)
        caught = done.returncode != 0
        print(f"{'caught' if caught else 'MISSED'}: {name}", flush=True)
        if not caught:
            missed.append(name)
    print(f"{len(names or MUTANTS) - len(missed)} of {len(names or MUTANTS)} guard mutants caught")
    shutil.rmtree(work)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""What each shortcut saves on the benchmark row it serves, in instructions (callgrind).

For each shortcut below, a copy of the tree gets the change that stops that one
shortcut from being taken (the ordinary path runs instead), is built and installed into
a venv of its own, and counts the shortcut's row of benchmarks/instructions.py; the
copy without changes gives the row with every shortcut on.  The figures go into the
table at the head of common/fastpath.hpp; a shortcut that saves less than 10% on its
row is taken out.  Slow (a build and two counts per shortcut), so not part of .ci/run:

    python3 benchmarks/shortcut_savings.py [name ...]
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile

import instructions

ROOT = pathlib.Path(__file__).resolve().parent.parent
RECONSTRUCT = "datastructures/pathroll/reconstruct.cpp"

# name: (the rows it serves, [(file, text as it stands, text that does not take the shortcut), ...])
SHORTCUTS = {
    "key-path loop": ("nd['k1.k2.k3']", [
        ("datastructures/dotbag.cpp", "return finds(Py_TYPE(value), name, reinterpret_cast<PyObject*>(a.function));",
         "return false;")]),
    "key path split by offsets": ("nd['k1.k2.k3']", [
        ("datastructures/dotbag.cpp", "if (exactly(key_, &PyUnicode_Type)) {", "if (false) {")]),
    "base-call memo": ("nd['k1.k2.k3']", [
        ("common/super.cpp", "if (!shortcuts_on()) return ask_interpreter(owner, self);", "return ask_interpreter(owner, self);")]),
    "base-call bodies": (("nd['k1.k2.k3']", "DotBag(100 keys)", "Base(**{'class': Sub})"), [
        ("common/super.hpp", "{ return !m.bound_ && m.obj_ && known_.is(m.attribute_); }", "{ return false; }")]),
    "levels": ("nd['k1.k2.k3'] = 5", [
        ("datastructures/dotbag.cpp", "if (!calls_are_ours(Py_TYPE(self))) return getattr(self, n_setdefault);",
         "return getattr(self, n_setdefault);")]),
    "store through NestedDotBag's __setitem__": ("NestedDotBag(10k leaves)", [
        ("datastructures/dotbag.cpp", "if (nested_setitem_function.found_on(Py_TYPE(self), n___setitem__)) {", "if (false) {")]),
    "update through NestedDotBag's own": ("NestedDotBag(10k leaves)", [
        ("datastructures/dotbag.cpp", "if (nested_update_function.found_on(Py_TYPE(self), n_update) &&", "if (false &&")]),
    "update's loop without chain()": ("NestedDotBag(10k leaves)", [
        ("datastructures/dotbag.cpp", "if (shortcuts_on() && chain.get() == chain_type.get()) {", "if (false) {")]),
    "itertools.chain from the module's dictionary": ("NestedDotBag(10k leaves)", [
        ("datastructures/dotbag.cpp", "if (exactly(module.get(), &PyModule_Type))", "if (false)")]),
    "ABC memo": ("NestedDotBag(10k leaves)", [
        ("common/fastpath.hpp", "if (cls != abc_.get() || !shortcuts_on()) return false;", "return false;")]),
    "global memo": ("Configuration.copy()", [
        ("common/fastpath.hpp", "return stamp_.holds(globals) ? value_ : look(globals);", "return look(globals);")]),
    "direct __init__ and __call__ slots": (("DotBag(100 keys)", "Base(**{'class': Sub})", "NestedDotBag(10k leaves)"), [
        ("common/function.cpp", "void direct_slots(PyObject* cls) {\n", "void direct_slots(PyObject* cls) {\n    return;\n")]),
    "subclass test of the factory": ("Base(**{'class': Sub})", [
        ("datastructures/factory.cpp", "if (PyType_Check(value) && type_subclasscheck.found_on(", "if (false && type_subclasscheck.found_on(")]),
    "RankMap subscript slot": ("RankMap m[key]", [
        ("datastructures/rankmap.cpp", "->tp_as_mapping->mp_subscript = rankmap_subscript;", "->tp_as_mapping->mp_subscript;")]),
    "RankMap items() by a walk": ("RankMap items() (1,000)", [
        ("datastructures/rankmap.cpp", "    if (!shortcuts_on()) return Ref();\n", "    return Ref();\n")]),
    "RankMap.move on an exact list": ("RankMap.move", [
        ("datastructures/rankmap.cpp", "find_order.get() == order && exactly(order, &PyList_Type)) {", "find_order.get() == order && false) {")]),
    "flattening in place": ("PathRoll(d), 10k leaves", [
        ("datastructures/pathroll.cpp", "if (flatten_function_made.is(out)) {", "if (false) {"),
        ("datastructures/pathroll.cpp", "if (init.is_known() && flatten_function_made.is(function)) {", "if (false) {")]),
    "no __class__ asked of a plain built-in": ("PathRoll(d), 10k leaves", [
        ("datastructures/pathroll.cpp", "    if (shortcuts_on() && plain_builtin(Py_TYPE(obj))) return false;\n", "")]),
    "DictItem made as the class call": ("PathRoll(d), 10k leaves", [
        ("datastructures/pathroll.cpp", "out = make_entry(out, prefix, s[s_value]);", "out = call(out, prefix, s[s_value]);")]),
    "isinstance of a plain built-in": ("reconstruct(), 10k leaves", [
        ("common/fastpath.cpp", "    if (!shortcuts_on()) return isinstance(obj, cls);\n", "    return isinstance(obj, cls);\n")]),
    "reconstruct's shared beginning": ("reconstruct(), 10k leaves", [
        (RECONSTRUCT, "bool trusted() const { return quiet && stamp.holds(dict); }", "bool trusted() const { return false; }")]),
    "reconstruct on exact dicts and lists": ("reconstruct(), 10k leaves", [
        (RECONSTRUCT, "namespace tavox::pathroll {\n", "#define exactly(obj, type) false\nnamespace tavox::pathroll {\n")]),
    "Branchlet rendered in place": ("str(Branchlet), 1,000 nodes", [
        ("datastructures/branchlet.cpp", "return type->tp_str == generic_str_slot && finds(type, n___str__, function_);", "return false;")]),
    "Branchlet on exact lists and strs": ("str(Branchlet), 1,000 nodes", [
        ("datastructures/branchlet.cpp", "namespace {\n", "#define exactly(obj, type) false\nnamespace {\n")]),
    "weakref.ref made directly": ("FadeSeq append+iterate", [
        ("datastructures/fadeseq.cpp", "if (factory.get() == reinterpret_cast<PyObject*>(&_PyWeakref_RefType))", "if (false)")]),
}


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


def main(names):
    names = names or list(SHORTCUTS)
    work = pathlib.Path(tempfile.mkdtemp(prefix="shortcut-savings-"))
    source, venv = work / "src", work / "venv"
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns("build", ".venv*", ".git", "dist", "__pycache__"))
    run([sys.executable, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "-q", "scikit-build-core", "cmake", "ninja", "PyYAML"])

    def install():
        run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", f"-Cbuild-dir={work / 'build'}",
             str(source)], stdout=subprocess.DEVNULL)

    install()
    rows_of = {name: (rows,) if isinstance(rows, str) else rows for name, (rows, _) in SHORTCUTS.items()}
    on = {row: instructions.per_operation(python, row, repeat=1) for name in names for row in rows_of[name]}
    print("| shortcut | row | on | without it | saves |")
    for name in names:
        changes = SHORTCUTS[name][1]
        originals = {}
        for path, text, replacement in changes:
            file = source / path
            originals.setdefault(file, file.read_text())
            current = file.read_text()
            if current.count(text) != 1:
                sys.exit(f"shortcut_savings: {path} no longer has the text of {name!r} once")
            file.write_text(current.replace(text, replacement))
        try:
            install()
            without = {row: instructions.per_operation(python, row, repeat=1) for row in rows_of[name]}
        finally:
            for file, text in originals.items():
                file.write_text(text)
        for row, count in without.items():
            print(f"| {name} | {row} | {on[row]:,.0f} | {count:,.0f} | {count / on[row]:.2f}x |", flush=True)
    shutil.rmtree(work)


if __name__ == "__main__":
    main(sys.argv[1:])

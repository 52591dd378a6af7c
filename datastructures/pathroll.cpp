// tavox.datastructures.pathroll: PathRoll, a list of (path, value) entries that is
// the flat form of a nested dictionary, with DictItem (the entries) and IndexMarker
// (the path element for a position in a list or tuple).
//
// Flattening is a generator (PathRoll.__flatten__) that delegates to one generator per
// nested container; reconstruction (pathroll/reconstruct.cpp) walks every entry's path
// with a cursor.  Module globals (DictItem, IndexMarker, MutableMapping, PathRoll) are
// read from the module dictionary at each use.
#include "datastructures/pathroll/pathroll.hpp"

#include "common/exceptions.hpp"
#include "common/generator.hpp"
#include "common/module.hpp"
#include "common/recursion.hpp"
#include "common/super.hpp"

#include <vector>

namespace tavox::pathroll {

Kept module_globals;
Global DictItem{"DictItem"}, IndexMarker{"IndexMarker"}, MutableMapping{"MutableMapping"}, PathRoll{"PathRoll"};
AbcCheck is_mutable_mapping;
// DictItem(path, value): a call of a Python function (namedtuple's __new__) for every
// entry would take a third of what flattening takes (benchmarks/bench_pathroll.py).
ClassCall make_entry;

namespace {

Name n___flatten__{"__flatten__"}, n___name__{"__name__"}, n_module{"module"};
Name n_items{"items"}, n_type_{"type_"}, n_index{"index"};

// What list's own methods do, run directly when super() finds them.
Ref list_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    check(PyList_Type.tp_init(self, args, kwargs));
    return none();
}
Ref list_setitem(PyObject* self, PyObject* index, PyObject* item) {
    check(PyList_Type.tp_as_mapping->mp_ass_subscript(self, index, item));
    return none();
}
Ref list_append(PyObject* self, PyObject* item) {
    check(PyList_Append(self, item));
    return none();
}

constexpr char calling[] = " while calling a Python object", delegating[] = " while running a delegated generator";
Known flatten_function_made;  // PathRoll.__flatten__ as the module body made it

BaseCall super_init{"__init__", list_init, &PyList_Type};
BaseCall super_setitem{"__setitem__", list_setitem, &PyList_Type};
BaseCall super_append{"append", list_append, &PyList_Type};
BaseCall super_extend{"extend"};
BaseCall super_insert{"insert"};

// prefix + (element,)
Ref extend(PyObject* prefix, PyObject* element) {
    if (PyTuple_CheckExact(prefix)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(prefix);
        Ref path = check(PyTuple_New(n + 1));  // filled before anything else runs
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(path.get(), i, Ref::borrow(PyTuple_GET_ITEM(prefix, i)).release());
        PyTuple_SET_ITEM(path.get(), n, Ref::borrow(element).release());
        return path;
    }
    return check(PyNumber_Add(prefix, Ref(check(PyTuple_Pack(1, element)))));
}

// ---- IndexMarker -----------------------------------------------------------------

const char marker_init_doc[] =
    "Tracks the index position of an element in a list or tuple.\n"
    "\n"
    "Arguments:\n"
    "    obj: the object (list or tuple) to store the position for\n"
    "    index: the index value";

// __init__(self, obj, index)
Ref marker_init(const Args& a) {
    PyObject *self = a.self(), *obj = a[1], *index = a[2];
    // 1. The class of the container, never the container.
    setattr(self, n_type_, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    // 2. int(index): an exact int as it is.
    setattr(self, n_index, PyLong_CheckExact(index) ? Ref::borrow(index) : check(PyNumber_Long(index)));
    return none();
}

// __repr__(self): "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)
Ref marker_repr(const Args& a) {
    PyObject* self = a.self();
    Ref name = getattr(getattr(self, n_type_), n___name__);
    Ref index = getattr(self, n_index);
    Ref empty = check(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref name_text = check(PyObject_Format(name, empty));
    Ref index_text = check(PyObject_Format(index, empty));
    return check(PyUnicode_FromFormat("%U[%U]", name_text.get(), index_text.get()));
}

const ClassDef IndexMarker_class = {
    "IndexMarker",
    nullptr,
    {
        {"__init__", marker_init, "(self, obj, index)", marker_init_doc},
        {"__repr__", marker_repr, "(self)"},
    },
};


// ---- PathRoll.__flatten__ ----------------------------------------------------------

const char flatten_doc[] =
    "Static func __flatten__\n"
    "\n"
    "Recursively flattens a nested dictionary to its path/value form.\n"
    "\n"
    "Arguments:\n"
    "    indict: the input dictionary\n"
    "    path: the current dictionary path (tuple)\n"
    "\n"
    "Returns a generator of the input's flattened form.";

// isinstance(obj, (list, tuple)); a list or tuple is one whatever its __class__ says,
// and an object of a plain built-in type has no other __class__ to ask.
bool is_sequence(PyObject* obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    if (shortcuts_on() && plain_builtin(Py_TYPE(obj))) return false;
    return isinstance(obj, reinterpret_cast<PyObject*>(&PyList_Type)) ||
           isinstance(obj, reinterpret_cast<PyObject*>(&PyTuple_Type));
}

// isinstance(value, (MutableMapping, list, tuple)) and value: a container to walk.
bool walkable(PyObject* value) {
    const bool container = is_mutable_mapping(MutableMapping.get(module_globals), value) || is_sequence(value);
    return container && is_true(value);
}

// PathRoll.__flatten__, with PathRoll the module global at this use.
Ref flatten_function() { return getattr(PathRoll.get(module_globals), n___flatten__); }

// The steps of flattening one container, shared by the generator and by the
// construction walk below.  The state of a container being walked is a row of
// references (a generator's slots), and a kind and a position that hold none.
enum Row : Py_ssize_t { s_indict, s_path, s_prefix, s_iterator, s_value, s_count };
enum class Kind { mapping, sequence, other };
enum class Step { entry, nested, end };

// 1. The prefix, and which of steps 2 - 4 applies.
Kind begin(Ref* s) {
    if (!is_true(s[s_path]))
        s[s_prefix] = check(PyTuple_New(0));
    else  // path[:], which for an exact tuple is that tuple
        s[s_prefix] = PyTuple_CheckExact(s[s_path].get())
                          ? s[s_path]
                          : getitem(s[s_path], Ref(check(PySlice_New(nullptr, nullptr, nullptr))));
    if (is_mutable_mapping(MutableMapping.get(module_globals), s[s_indict])) {
        s[s_iterator] = iterate(call_method(s[s_indict], n_items));
        return Kind::mapping;
    }
    if (is_sequence(s[s_indict])) {
        s[s_iterator] = iterate(s[s_indict]);
        return Kind::sequence;
    }
    return Kind::other;
}

// The next of steps 2 - 4: an entry to hand out (`out`), or a nested container
// s[s_value] to flatten with `out`(s[s_value], prefix + (key or marker,)), or the end.
// Python evaluates the test, then the callee, then its arguments: so does this.
Step advance(Ref* s, Kind kind, Py_ssize_t& position, Ref& out, Ref& prefix) {
    if (kind == Kind::other) {
        // 4. indict itself, once.
        if (position++ > 0) return Step::end;
        out = s[s_indict];
        return Step::entry;
    }
    Ref item = next(s[s_iterator]);
    if (!item) return Step::end;
    Ref key;
    if (kind == Kind::mapping) {
        // 2. Each (key, value) of indict.items(), in order.
        auto [k, value] = unpack_pair(item);
        key = std::move(k);
        s[s_value] = std::move(value);
    } else {
        // 3. Each element with its position, as enumerate() counts it.
        s[s_value] = std::move(item);
        key = check(PyLong_FromSsize_t(position++));
    }
    // A non-empty container is flattened under prefix + (key,), or + (marker,) with one
    // marker for every entry below the element; anything else is an entry, with a
    // marker of its own for an element.
    const bool nested = walkable(s[s_value]);
    out = nested ? flatten_function() : DictItem.get(module_globals);
    if (kind == Kind::sequence) key = call(IndexMarker.get(module_globals), s[s_indict], key);
    prefix = extend(s[s_prefix], key);
    if (nested) return Step::nested;
    out = make_entry(out, prefix, s[s_value]);
    return Step::entry;
}

GeneratorCode flatten_code{"__flatten__", "PathRoll.__flatten__", "tavox.datastructures.pathroll"};

GeneratorBody flatten_body(Generator& g) {
    Ref* s = g.slots();
    const Kind kind = begin(s);
    for (Py_ssize_t position = 0;;) {
        Ref out, prefix;
        const Step step = advance(s, kind, position, out, prefix);
        if (step == Step::end) break;
        if (step == Step::entry) {
            prefix.reset();
            co_yield std::move(out);
        } else {
            Ref nested = call(out, s[s_value], prefix);
            out.reset();
            prefix.reset();
            co_await g.yield_from(std::move(nested));
        }
    }
}

// __flatten__(indict, path=None)
Ref pathroll_flatten(const Args& a) { return make_generator(flatten_code, flatten_body, s_count, {a[0], a[1]}); }

// What list.__init__ does with the generator PathRoll.__flatten__(indict) when both
// are the package's own: nobody else sees the generators, and list.__init__ only calls
// next() on them until the end or an error.  So the walk takes the same steps, in the
// same order, appending each entry as it comes, without a generator per container;
// what the generators do around the steps is done too: a level of recursion per
// delegation to one of ours, and PEP 479 where an error leaves a level's steps.
void flatten_into(PyObject* list, PyObject* indict, PyObject* path) {
    std::vector<Ref> row(s_count);
    Ref* s = row.data();
    s[s_indict] = Ref::borrow(indict);
    s[s_path] = Ref::borrow(path);
    try {
        const Kind kind = begin(s);
        for (Py_ssize_t position = 0;;) {
            Ref out, prefix;  // the entry, or the function that flattens the nested container
            const Step step = advance(s, kind, position, out, prefix);
            if (step == Step::end) return;
            if (step == Step::entry) {
                check(PyList_Append(list, out));
                continue;
            }
            if (flatten_function_made.is(out)) {
                Descent level(delegating);
                flatten_into(list, s[s_value], prefix);
                continue;
            }
            // Somebody else's __flatten__: `yield from` what it returns.
            Ref delegate = call(out, s[s_value], prefix);
            if (PyCoro_CheckExact(delegate.get()))
                raise(PyExc_TypeError, "cannot 'yield from' a coroutine object in a non-coroutine generator");
            Ref it = iterate(delegate);
            while (Ref item = next(it)) check(PyList_Append(list, item));
        }
    } catch (const PyError&) {
        convert_stop_iteration();
        throw;
    }
}

// ---- PathRoll: construction and edits ----------------------------------------------

const char pathroll_doc[] =
    "PathRoll class (list)\n"
    "\n"
    "Provides a \"flattened\" representation of nested dictionaries by a path-value\n"
    "concept: the path stands for the nesting of keys and the value for the object\n"
    "stored at its end.  An object nested under three keys,\n"
    "dictionary['a']['b']['c'] = obj, is equivalent to the pair (('a', 'b', 'c'), obj).\n"
    "The class translates between a nested dict and this list form in both\n"
    "directions, so that callers need not write recursive functions.  It extends\n"
    "the base list class.\n"
    "\n"
    "Example:\n"
    "    >>> PathRoll({'a': {'b': {'c': {'d': 1}}}, 'w': {'x': {'y': {'z': 2}}}})\n"
    "    [DictItem(path=('a', 'b', 'c', 'd'), value=1), DictItem(path=('w', 'x', 'y', 'z'), value=2)]\n"
    "\n"
    "Format: [(path, value), (path, value) ...], with path the tuple of the nested keys.\n"
    "\n"
    "Note: reconstruction always makes a new dict: PathRoll({}).reconstruct() equals\n"
    "{} but is not the same object.";

const char init_doc[] =
    "built-in __init__\n"
    "\n"
    "Accepts any arguments that list() accepts.  As a special condition, a\n"
    "dictionary input is flattened and stored internally as a list.";

// ValueError "PathRoll only accepts a tuple of path/obj", raised while the pending
// error is being handled: that error becomes its __context__.
[[noreturn]] void refuse_pair() { raise_in_place(PyExc_ValueError, "PathRoll only accepts a tuple of path/obj"); }

// The two parts of an edit's item, or the ValueError that refuses it.
std::pair<Ref, Ref> pair_of(PyObject* item) {
    try {
        return unpack_pair(item);
    } catch (const PyError&) {
        refuse_pair();
    }
}

// __init__(self, *args)
Ref pathroll_init(const Args& a) {
    PyObject* args = a.varargs;
    if (PyTuple_GET_SIZE(args) == 1) {
        PyObject* source = PyTuple_GET_ITEM(args, 0);
        // 1. A mapping: the base list takes PathRoll.__flatten__(source).  When that
        // is ours and the base is list itself, the walk fills the list instead.
        if (is_mutable_mapping(MutableMapping.get(module_globals), source)) {
            auto init = super_init(a);
            Ref function = flatten_function();
            if (init.is_known() && flatten_function_made.is(function)) {
                check(PyList_SetSlice(a.self(), 0, PY_SSIZE_T_MAX, nullptr));
                flatten_into(a.self(), source, Py_None);
            } else {
                init(call(function, source));
            }
            return none();
        }
        // 2. Anything else must be pairs.  The argument is taken in once (a one-shot
        // iterator would otherwise be used up by the test), and what was taken is
        // what the base list stores.
        Ref taken;
        try {
            taken = check(PySequence_List(source));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(taken.get()); ++i)
                unpack_pair(Ref::borrow(PyList_GET_ITEM(taken.get(), i)));
        } catch (const PyError&) {
            refuse_pair();
        }
        super_init(a)(taken);
        return none();
    }
    super_init(a).call_args(args, nullptr);
    return none();
}

// __setitem__(self, index, item)
Ref pathroll_setitem(const Args& a) {
    PyObject* item = a[2];
    // 1. A pair, or the list stays as it is.
    auto [path, value] = pair_of(item);
    // 2. tuple(item): the item itself when it is a tuple, else a tuple of the two
    // parts taken (an iterator is not read twice).
    Ref entry = PyTuple_CheckExact(item) ? Ref::borrow(item) : check(PyTuple_Pack(2, path.get(), value.get()));
    super_setitem(a)(a[1], entry);
    return none();
}

const char append_doc[] =
    "append\n"
    "\n"
    "Appends a new path/value to this list.\n"
    "\n"
    "Arguments:\n"
    "    item: tuple of path/obj to append";

// append(self, item)
Ref pathroll_append(const Args& a) {
    auto [path, value] = pair_of(a[1]);
    super_append(a)(call(a.global(DictItem), path, value));
    return none();
}

const char extend_doc[] =
    "extend\n"
    "\n"
    "Extends this object with many new path/values.\n"
    "\n"
    "Arguments:\n"
    "    items: list of tuples of path/obj to insert";

// extend(self, items)
Ref pathroll_extend(const Args& a) {
    // 1. Every entry must be a pair.  Items are taken in once: the parts taken are
    // the ones stored (a one-shot iterator would otherwise add nothing).
    std::vector<std::pair<Ref, Ref>> pairs;
    try {
        Ref iterator = iterate(a[1]);
        while (Ref item = next(iterator)) pairs.push_back(unpack_pair(item));
    } catch (const PyError&) {
        refuse_pair();
    }
    // 2. One DictItem per pair, handed to the base class's extend at once.
    Ref entries = check(PyList_New(0));
    for (const auto& [path, value] : pairs) check(PyList_Append(entries, call(a.global(DictItem), path, value)));
    super_extend(a)(entries);
    return none();
}

const char insert_doc[] =
    "insert\n"
    "\n"
    "Inserts a new path/value to this list.\n"
    "\n"
    "Arguments:\n"
    "    index: list index to insert to\n"
    "    item: tuple of path/obj to insert";

// insert(self, index, item)
Ref pathroll_insert(const Args& a) {
    auto [path, value] = pair_of(a[2]);
    // The position as given: the base list clamps it.
    super_insert(a)(a[1], call(a.global(DictItem), path, value));
    return none();
}

const ClassDef PathRoll_class = {
    "PathRoll",
    pathroll_doc,
    {
        {"__init__", pathroll_init, "(self, *args)", init_doc},
        Member::static_("__flatten__", pathroll_flatten, "(indict, path=None)", flatten_doc),
        {"__setitem__", pathroll_setitem, "(self, index, item)"},
        {"append", pathroll_append, "(self, item)", append_doc},
        {"extend", pathroll_extend, "(self, items)", extend_doc},
        {"insert", pathroll_insert, "(self, index, item)", insert_doc},
        {"reconstruct", pathroll_reconstruct, "(self)", reconstruct_doc},
    },
};

// ---- module body -------------------------------------------------------------------

void pathroll_body(Module& m) {
    init_generator_type();
    module_globals.set(Ref::borrow(m.dict()));
    // The standard library's pieces, and the entries' class.
    m.set("namedtuple", m.import_from("collections", "namedtuple"));
    m.set("MutableMapping", m.import_from("collections.abc", "MutableMapping"));
    Ref fields = check(Py_BuildValue("(ss)", "path", "value"));
    // module= names this module as the class's home (namedtuple would otherwise read it
    // from the calling Python frame, which here is the import machinery's), so that
    // entries pickle.
    m.set("DictItem", call_kw(m.get("namedtuple"), {str("DictItem").get(), fields.get()}, {{n_module, m.name()}}));
    // The classes.
    m.add_class(IndexMarker_class, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref pathroll = m.add_class(PathRoll_class, {reinterpret_cast<PyObject*>(&PyList_Type)});
    flatten_function_made.learn(Ref(getattr(pathroll, n___flatten__)));
    is_mutable_mapping.learn(m.get("MutableMapping"));
    make_entry.learn(m.get("DictItem"));
}

}  // namespace

}  // namespace tavox::pathroll

using tavox::pathroll::pathroll_body;
TAVOX_MODULE(pathroll, nullptr, pathroll_body)

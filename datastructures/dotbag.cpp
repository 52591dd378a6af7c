// tavox.datastructures.dotbag: DotBag, a dict that is its own attribute
// dictionary, and NestedDotBag, whose string keys may be dotted key paths into
// nested levels.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"
#include "common/super.hpp"

using namespace tavox;

namespace {

Name n___class__{"__class__"}, n___name__{"__name__"}, n___dict__{"__dict__"}, n___init__{"__init__"},
    n___repr__{"__repr__"};
Name n___getitem__{"__getitem__"}, n___setitem__{"__setitem__"}, n___delitem__{"__delitem__"},
    n___contains__{"__contains__"};
Name n_update{"update"}, n_setdefault{"setdefault"}, n_items{"items"}, n_index{"index"}, n_chain{"chain"};
Name n_DotBag{"DotBag"}, n_Mapping{"Mapping"}, n_itertools{"itertools"};

// What dict's own methods do, run directly when super() finds them.
Ref dict_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    check(PyDict_Type.tp_init(self, args, kwargs));
    return none();
}
Ref dict_repr(PyObject* self) { return check(PyDict_Type.tp_repr(self)); }
Ref dict_getitem(PyObject* self, PyObject* key) { return check(PyDict_Type.tp_as_mapping->mp_subscript(self, key)); }
Ref dict_setitem(PyObject* self, PyObject* key, PyObject* value) {
    check(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value));
    return none();
}
Ref dict_delitem(PyObject* self, PyObject* key) {
    check(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, nullptr));
    return none();
}
Ref dict_contains(PyObject* self, PyObject* key) {
    return boolean(check(PyDict_Type.tp_as_sequence->sq_contains(self, key)) == 1);
}

// The base calls of DotBag's methods, and of NestedDotBag's.
BaseCall super_init{"__init__", dict_init};
BaseCall super_repr{"__repr__", dict_repr};
BaseCall nested_super_init{"__init__"};
BaseCall super_getitem{"__getitem__", dict_getitem};
BaseCall super_setitem{"__setitem__", dict_setitem};
BaseCall super_delitem{"__delitem__", dict_delitem};
BaseCall super_contains{"__contains__", dict_contains};

// Set by the module body: itertools.chain as imported (update's loop runs without it
// while the module global still gives it), and NestedDotBag's own __setitem__.
Kept chain_type, nested_setitem_function;

// ---- DotBag ----------------------------------------------------------------------

const char module_doc[] =
    "Attribute Dictionary library\n"
    "\n"
    "This library extends the built-in dict so that users can reach key-values as\n"
    "object attributes (obj.key) in addition to the native obj['key'] form.";

const char dotbag_doc[] =
    "Attribute Dictionary class\n"
    "\n"
    "Provides the built-in dictionary type with the additional capability of\n"
    "reaching its content as object attributes besides the standard manner.\n"
    "\n"
    "Example:\n"
    "    >>> person = DotBag({'first_name': 'Ada', 'last_name': 'Lovelace'})\n"
    "    >>> person.first_name\n"
    "    'Ada'\n"
    "    >>> person['first_name']\n"
    "    'Ada'\n"
    "\n"
    "Known limitation: attributes follow the identifier rules, so keys that contain\n"
    "special characters (dot, comma, brackets, hyphen, quotes, slashes and the like)\n"
    "cannot be reached as attributes; use item access for them.";

const char dotbag_init_doc[] =
    "DotBag object init\n"
    "\n"
    "Every object stores its attributes in a dictionary named __dict__.  That\n"
    "dictionary need not be a plain dict: any subclass will do.  So, once the parent\n"
    "initialiser has made this instance a complete dictionary, the instance assigns\n"
    "itself as its own __dict__, and its entries become its attributes.\n"
    "\n"
    "Note: this was known to leak memory in interpreters older than 2.7.3 and 3.2.3.";

// __init__(self, *args, **kwargs)
Ref dotbag_init(const Args& a) {
    PyObject* self = a.self();
    // 1. The next class's __init__ with every argument unchanged (dict.__init__ for a plain DotBag).
    super_init(a).call_args(a.varargs, a.varkw);
    // 2. The instance becomes its own attribute dictionary.
    setattr(self, n___dict__, self);
    return none();
}

// __repr__(self)
Ref dotbag_repr(const Args& a) {
    PyObject* self = a.self();
    Ref class_name = getattr(getattr(self, n___class__), n___name__);
    // super(DotBag, self).__repr__(), DotBag read from the module at call time.
    Ref content = super_repr(a.global(n_DotBag), self)();
    return check(PyUnicode_FromFormat("%S(%S)", class_name.get(), content.get()));
}

const ClassDef DotBag_class = {
    "DotBag",
    dotbag_doc,
    {
        {"__init__", dotbag_init, "(self, *args, **kwargs)", dotbag_init_doc},
        {"__repr__", dotbag_repr, "(self)"},
    },
};

// ---- NestedDotBag ------------------------------------------------------------------
//
// A key path is a str key containing "."; each operation splits off the component
// before the first "." (the head), handles it at its own level through the next
// class's item operation (dict's), and hands the rest to the value under the head
// by an ordinary item operation.  When that item operation of the value is this very
// function, the hand-over is a turn of the loop instead of a call: the same code would
// run.  That is decided afresh at every level, since Python code may run in between
// (a stored key's __eq__, a __missing__).

// The position of the first "." at or after `start` in a str key; -1 when none or
// when the key is not a str (a plain key).
Py_ssize_t find_dot(PyObject* key, Py_ssize_t start) {
    if (!PyUnicode_Check(key)) return -1;
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', start, PyUnicode_GET_LENGTH(key), 1);
    if (dot == -2) throw_error();
    return dot;
}

Ref substring(PyObject* key, Py_ssize_t start, Py_ssize_t end) { return check(PyUnicode_Substring(key, start, end)); }

// The rest of the key from `start`: the key itself when nothing was split off.
Ref rest_of(PyObject* key, Py_ssize_t start) {
    return start == 0 ? Ref::borrow(key) : substring(key, start, PyUnicode_GET_LENGTH(key));
}

// Whether the item operation `name` of `value` is the function being called.
bool runs_here(const Args& a, PyObject* value, PyObject* name) {
    return compat::type_lookup(Py_TYPE(value), name) == reinterpret_cast<PyObject*>(a.function);
}

// __init__(self, *args, **kwargs)
Ref nested_init(const Args& a) {
    PyObject* self = a.self();
    // 1. The next class's __init__ with no arguments at all (DotBag.__init__).
    nested_super_init(a)();
    // 2. self.update(*args, **kwargs), through the instance.
    call_args(getattr(self, n_update), a.varargs, a.varkw);
    return none();
}

// __getitem__(self, key)
Ref nested_getitem(const Args& a) {
    PyObject* key = a[1];
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        // A plain key: the next class's __getitem__.
        if (dot < 0) return super_getitem(a.owner(), level)(rest_of(key, start));
        // A key path: the value under the head, then value[rest].
        Ref value = super_getitem(a.owner(), level)(substring(key, start, dot));
        start = dot + 1;
        if (runs_here(a, value, n___getitem__)) {
            level = std::move(value);
            continue;
        }
        return getitem(value, rest_of(key, start));
    }
}

// __setitem__(self, key, value)
Ref nested_setitem(const Args& a) {
    PyObject* key = a[1];
    PyObject* value = a[2];
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        if (dot < 0) {
            // A plain key: the next class's __setitem__, the value unchanged.
            super_setitem(a.owner(), level)(rest_of(key, start), value);
            return none();
        }
        // A key path.
        Ref head = substring(key, start, dot);
        start = dot + 1;
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(level.get())));
        // A new empty level, built on every call; setdefault through the instance
        // stores it when the head is missing, and gives the target.
        Ref fresh = call(type);
        Ref target = call_method(level, n_setdefault, head, fresh);
        // A level of this class takes the rest.
        if (isinstance(target, type)) {
            if (runs_here(a, target, n___setitem__)) {
                level = std::move(target);
                continue;
            }
            setitem(target, rest_of(key, start), value);
            return none();
        }
        // Anything else is a value that cannot hold the rest.
        Ref class_name = getattr(type, n___name__);
        raise_object(PyExc_KeyError,
                     check(PyUnicode_FromFormat("target key \"%S\" is a value, cannot update value against another %S",
                                                head.get(), class_name.get())));
    }
}

// __contains__(self, key)
Ref nested_contains(const Args& a) {
    PyObject* key = a[1];
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        // A plain key: the next class's __contains__.
        if (dot < 0) return super_contains(a.owner(), level)(rest_of(key, start));
        // A key path: False when the head is missing, else `rest in value`.
        Ref head = substring(key, start, dot);
        Ref found = super_contains(a.owner(), level)(head);
        if (!is_true(found)) return found;
        Ref value = super_getitem(a.owner(), level)(head);
        start = dot + 1;
        if (runs_here(a, value, n___contains__)) {
            level = std::move(value);
            continue;
        }
        return boolean(contains(value, rest_of(key, start)));
    }
}

// __delitem__(self, key)
Ref nested_delitem(const Args& a) {
    PyObject* key = a[1];
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        if (dot < 0) {
            // A plain key: the next class's __delitem__.
            super_delitem(a.owner(), level)(rest_of(key, start));
            return none();
        }
        // A key path: delete the rest from the value under the head.
        Ref value = super_getitem(a.owner(), level)(substring(key, start, dot));
        start = dot + 1;
        if (runs_here(a, value, n___delitem__)) {
            level = std::move(value);
            continue;
        }
        delitem(value, rest_of(key, start));
        return none();
    }
}

// self[key] = value, through the instance's type; straight to NestedDotBag's own
// __setitem__ when that is what the type gives, counted as the call it stands for.
void store(PyObject* self, PyObject* key, PyObject* value) {
    if (compat::type_lookup(Py_TYPE(self), n___setitem__) == nested_setitem_function.get()) {
        Descent level(" while calling a Python object");
        PyObject* values[] = {self, key, value};
        nested_setitem(Args{reinterpret_cast<Function*>(nested_setitem_function.get()), values, nullptr, nullptr});
        return;
    }
    setitem(self, key, value);
}

// update(self, *args, **kwargs)
Ref nested_update(const Args& a) {
    PyObject* self = a.self();
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref mapping = a.global(n_Mapping);
    // 1. At most one positional source; a mapping gives its items().
    Ref source;
    const Py_ssize_t npositional = PyTuple_GET_SIZE(a.varargs);
    if (npositional > 1)
        raise_format(PyExc_TypeError, "expected at most 1 arguments, got %d", static_cast<int>(npositional));
    if (npositional == 1) {
        source = Ref::borrow(PyTuple_GET_ITEM(a.varargs, 0));
        if (isinstance(source, mapping)) source = call_method(source, n_items);
    } else {
        // 2. Otherwise an empty tuple.
        source = check(PyTuple_New(0));
    }

    // 3.4 - 3.5: a mapping merges into the level under the key, anything else is assigned.
    auto merge = [&](PyObject* key, PyObject* value) {
        if (isinstance(value, mapping)) {
            Ref fresh = call(type);
            Ref target = call_method(self, n_setdefault, key, fresh);
            call_method(target, n_update, value);
        } else {
            store(self, key, value);
        }
    };
    // 3.1 - 3.3: every item must be a pair.
    auto take = [&](PyObject* item) {
        if (length(item) != 2) {
            Ref position = call_method(source, n_index, item);
            raise_object(PyExc_TypeError,
                         check(PyUnicode_FromFormat("cannot convert dictionary update sequence element #%S to a sequence",
                                                    position.get())));
        }
        auto [key, value] = unpack2(item);
        merge(key, value);
    };

    // 3. For each item of itertools.chain(source, kwargs.items()).
    Ref chain = getattr(a.global(n_itertools), n_chain);
    if (chain.get() == chain_type.get()) {
        // itertools.chain itself: the source's items, then the keywords in order.
        Ref it = iterate(source);
        while (Ref item = next(it)) take(item);
        if (a.varkw) {
            PyObject *key, *value;
            for (Py_ssize_t pos = 0; PyDict_Next(a.varkw, &pos, &key, &value);) merge(Ref::borrow(key), Ref::borrow(value));
        }
    } else {
        Ref keywords = a.varkw ? Ref::borrow(a.varkw) : check(PyDict_New());
        Ref it = iterate(call(chain, source, call_method(keywords, n_items)));
        while (Ref item = next(it)) take(item);
    }
    return none();
}

const ClassDef NestedDotBag_class = {
    "NestedDotBag",
    nullptr,
    {
        {"__init__", nested_init, "(self, *args, **kwargs)"},
        {"__getitem__", nested_getitem, "(self, key)"},
        {"__setitem__", nested_setitem, "(self, key, value)"},
        {"__contains__", nested_contains, "(self, key)"},
        {"__delitem__", nested_delitem, "(self, key)"},
        Member::from("MutableMapping", "get"),
        Member::from("MutableMapping", "pop"),
        Member::from("MutableMapping", "setdefault"),
        {"update", nested_update, "(self, *args, **kwargs)"},
    },
};

// ---- module body -------------------------------------------------------------------

void dotbag_body(Module& m) {
    m.set("itertools", m.import("itertools"));
    m.set("Mapping", m.import_from("collections.abc", "Mapping"));
    m.set("MutableMapping", m.import_from("collections.abc", "MutableMapping"));
    Ref dotbag = m.add_class(DotBag_class, {reinterpret_cast<PyObject*>(&PyDict_Type)});
    Ref nested = m.add_class(NestedDotBag_class, {dotbag, m.get("MutableMapping")});

    learn(&PyDict_Type, {&super_init, &super_repr, &super_getitem, &super_setitem, &super_delitem, &super_contains});
    chain_type.set(getattr(m.get("itertools"), n_chain));
    nested_setitem_function.set(getattr(nested, n___setitem__));
}

}  // namespace

TAVOX_MODULE(dotbag, module_doc, dotbag_body)

// tavox.datastructures.dotbag: DotBag, a dict that is its own attribute
// dictionary, and NestedDotBag, whose string keys may be dotted key paths into
// nested levels.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/super.hpp"

using namespace tavox;

namespace {

Name n___class__{"__class__"}, n___name__{"__name__"}, n___dict__{"__dict__"}, n___init__{"__init__"},
    n___repr__{"__repr__"};
Name n___getitem__{"__getitem__"}, n___setitem__{"__setitem__"}, n___delitem__{"__delitem__"},
    n___contains__{"__contains__"};
Name n_update{"update"}, n_setdefault{"setdefault"}, n_items{"items"}, n_index{"index"}, n_chain{"chain"};
Name n_DotBag{"DotBag"}, n_Mapping{"Mapping"}, n_itertools{"itertools"};

BuiltinMethod dict_init{&PyDict_Type, "__init__"};
BuiltinMethod dict_repr{&PyDict_Type, "__repr__"};
BuiltinMethod dict_getitem{&PyDict_Type, "__getitem__"};
BuiltinMethod dict_setitem{&PyDict_Type, "__setitem__"};
BuiltinMethod dict_delitem{&PyDict_Type, "__delitem__"};
BuiltinMethod dict_contains{&PyDict_Type, "__contains__"};

// What super() finds, memoised per call site (see SuperCache).
SuperCache init_next, repr_next, getitem_next, setitem_next, delitem_next, contains_next, nested_init_next;

// Set by the module body, kept for the life of the process: itertools.chain as
// imported (update's fast path runs only while the module global still gives it),
// and NestedDotBag's own __setitem__ function object.
PyObject* chain_type = nullptr;
PyObject* nested_setitem_function = nullptr;

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
    Super base(a);
    PyObject* init = base.require(n___init__, init_next);
    if (init == dict_init)
        check(PyDict_Type.tp_init(self, a.varargs, a.varkw));
    else
        call_args(base.bind(init), a.varargs, a.varkw);
    // 2. The instance becomes its own attribute dictionary.
    setattr(self, n___dict__, self);
    return none();
}

// __repr__(self)
Ref dotbag_repr(const Args& a) {
    PyObject* self = a.self();
    Ref class_name = getattr(getattr(self, n___class__), n___name__);
    Super base(a.global(n_DotBag), self);  // super(DotBag, self), DotBag read at call time
    PyObject* repr = base.require(n___repr__, repr_next);
    Ref content = repr == dict_repr ? check(PyDict_Type.tp_repr(self)) : base.call_found(repr, n___repr__);
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
// by an ordinary item operation.  When that value is of the very type of the level
// and the type's operation is this same function, the hand-over is a turn of the
// loop instead of a call: the same code would run.

Ref nested_update(const Args& a);

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

// The next class's item operation `name`, resolved once per call for the levels of
// one type; runs dict's own C function directly when that is what was found.
class NextOperation {
public:
    NextOperation(const Args& a, PyObject* name, const BuiltinMethod& builtin, SuperCache& cache)
        : owner_(a.owner()), name_(name), found_(Super::find(owner_, Py_TYPE(a.self()), name, cache)) {
        if (!found_) raise_format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
        builtin_ = found_ == builtin;
    }

    bool builtin() const noexcept { return builtin_; }

    template <class... A>
    Ref call(PyObject* level, const A&... args) const {
        return Super(owner_, level).call_found(found_, name_, args...);
    }

private:
    PyObject* owner_;
    PyObject* name_;
    PyObject* found_;
    bool builtin_ = false;
};

Ref next_getitem(const NextOperation& op, PyObject* level, PyObject* key) {
    if (op.builtin()) return check(PyDict_Type.tp_as_mapping->mp_subscript(level, key));
    return op.call(level, key);
}

// Whether an item operation `name` on values of self's type runs this very function:
// then handing the rest of a key path to such a value is a turn of the loop.
class SameCode {
public:
    SameCode(const Args& a, PyObject* name)
        : type_(Py_TYPE(a.self())),
          runs_this_(compat::type_lookup(type_, name) == reinterpret_cast<PyObject*>(a.function)) {}
    bool operator()(PyObject* value) const noexcept { return runs_this_ && Py_TYPE(value) == type_; }

private:
    PyTypeObject* type_;
    bool runs_this_;
};

class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" in key path")) throw_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// __init__(self, *args, **kwargs)
Ref nested_init(const Args& a) {
    PyObject* self = a.self();
    // 1. The next class's __init__ with no arguments at all (DotBag.__init__).
    Super base(a);
    base.call_found(base.require(n___init__, nested_init_next), n___init__);
    // 2. self.update(*args, **kwargs), through the instance.
    call_args(getattr(self, n_update), a.varargs, a.varkw);
    return none();
}

// __getitem__(self, key)
Ref nested_getitem(const Args& a) {
    PyObject* key = a[1];
    NextOperation next_op(a, n___getitem__, dict_getitem, getitem_next);
    SameCode same_code(a, n___getitem__);
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        // 2. A plain key: the next class's __getitem__.
        if (dot < 0) return next_getitem(next_op, level, rest_of(key, start));
        // 1. A key path: the value under the head, then value[rest].
        Ref value = next_getitem(next_op, level, substring(key, start, dot));
        start = dot + 1;
        if (same_code(value)) {
            level = value;
            continue;
        }
        RecursionGuard guard;
        return getitem(value, rest_of(key, start));
    }
}

// __setitem__(self, key, value)
Ref nested_setitem(const Args& a) {
    PyObject* key = a[1];
    PyObject* value = a[2];
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(a.self()));
    SameCode same_code(a, n___setitem__);
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        if (dot < 0) {
            // 2. A plain key: the next class's __setitem__, the value unchanged.
            Ref plain = rest_of(key, start);
            NextOperation next_op(a, n___setitem__, dict_setitem, setitem_next);
            if (next_op.builtin())
                check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level, plain, value));
            else
                next_op.call(level, plain, value);
            return none();
        }
        // 1. A key path.
        Ref head = substring(key, start, dot);
        start = dot + 1;
        // 1.1 A new empty level, on every call.
        Ref fresh = call(type);
        // 1.2 setdefault through the instance gives the target.
        Ref target = call_method(level, n_setdefault, head, fresh);
        // 1.3 A level of this class takes the rest.
        if (isinstance(target, type)) {
            if (same_code(target)) {
                level = target;
                continue;
            }
            RecursionGuard guard;
            setitem(target, rest_of(key, start), value);
            return none();
        }
        // 1.4 Anything else is a value that cannot hold the rest.
        Ref class_name = getattr(type, n___name__);
        Ref message = check(PyUnicode_FromFormat(
            "target key \"%S\" is a value, cannot update value against another %S", head.get(), class_name.get()));
        PyErr_SetObject(PyExc_KeyError, message);
        throw PyError{};
    }
}

// __contains__(self, key)
Ref nested_contains(const Args& a) {
    PyObject* key = a[1];
    NextOperation next_contains(a, n___contains__, dict_contains, contains_next);
    auto contains_here = [&](PyObject* level, PyObject* k) -> Ref {
        if (next_contains.builtin()) return boolean(check(PyDict_Type.tp_as_sequence->sq_contains(level, k)) == 1);
        return next_contains.call(level, k);
    };
    SameCode same_code(a, n___contains__);
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        // 2. A plain key: the next class's __contains__.
        if (dot < 0) return contains_here(level, rest_of(key, start));
        // 1. A key path: False when the head is missing, else `rest in value`.
        Ref head = substring(key, start, dot);
        Ref found = contains_here(level, head);
        if (!is_true(found)) return found;
        Ref value = next_getitem(NextOperation(a, n___getitem__, dict_getitem, getitem_next), level, head);
        start = dot + 1;
        if (same_code(value)) {
            level = value;
            continue;
        }
        RecursionGuard guard;
        return boolean(check(PySequence_Contains(value, rest_of(key, start))) == 1);
    }
}

// __delitem__(self, key)
Ref nested_delitem(const Args& a) {
    PyObject* key = a[1];
    SameCode same_code(a, n___delitem__);
    Ref level = Ref::borrow(a.self());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t dot = find_dot(key, start);
        if (dot < 0) {
            // 2. A plain key: the next class's __delitem__.
            Ref plain = rest_of(key, start);
            NextOperation next_op(a, n___delitem__, dict_delitem, delitem_next);
            if (next_op.builtin())
                check(PyDict_Type.tp_as_mapping->mp_ass_subscript(level, plain, nullptr));
            else
                next_op.call(level, plain);
            return none();
        }
        // 1. A key path: delete the rest from the value under the head.
        Ref value = next_getitem(NextOperation(a, n___getitem__, dict_getitem, getitem_next), level, substring(key, start, dot));
        start = dot + 1;
        if (same_code(value)) {
            level = value;
            continue;
        }
        RecursionGuard guard;
        delitem(value, rest_of(key, start));
        return none();
    }
}

// self[key] = value, through the instance's type; straight to NestedDotBag's own
// __setitem__ when that is what the type gives.
void store(PyObject* self, PyObject* key, PyObject* value) {
    if (compat::type_lookup(Py_TYPE(self), n___setitem__) == nested_setitem_function) {
        PyObject* values[] = {self, key, value};
        nested_setitem(Args{reinterpret_cast<Function*>(nested_setitem_function), values, nullptr, nullptr});
        return;
    }
    setitem(self, key, value);
}

// update(self, *args, **kwargs)
Ref nested_update(const Args& a) {
    PyObject* self = a.self();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
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

    // 3.4 / 3.5: a mapping merges into the level under the key, anything else is assigned.
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
            Ref message = check(PyUnicode_FromFormat(
                "cannot convert dictionary update sequence element #%S to a sequence", position.get()));
            PyErr_SetObject(PyExc_TypeError, message);
            throw PyError{};
        }
        auto [key, value] = unpack2(item);
        merge(key, value);
    };

    // 3. For each item of itertools.chain(source, kwargs.items()).
    Ref chain = getattr(a.global(n_itertools), n_chain);
    if (chain.get() == chain_type) {
        // itertools.chain itself: the source's items, then the keywords in order.
        Ref it = iterate(source);
        while (Ref item = next(it)) take(item);
        if (a.varkw) {
            PyObject *key, *value;
            for (Py_ssize_t pos = 0; PyDict_Next(a.varkw, &pos, &key, &value);) merge(key, value);
        }
    } else {
        Ref keywords = a.varkw ? Ref::borrow(a.varkw) : check(PyDict_New());
        Ref it = iterate(call(chain, source, call_method(keywords, n_items)));
        while (Ref item = next(it)) take(item);
    }
    // 4.
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

    chain_type = getattr(m.get("itertools"), n_chain).release();
    nested_setitem_function = getattr(nested, n___setitem__).release();
}

}  // namespace

TAVOX_MODULE(dotbag, module_doc, dotbag_body)

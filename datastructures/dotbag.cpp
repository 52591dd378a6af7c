// tavox.datastructures.dotbag: DotBag, a dict that is its own attribute
// dictionary, and NestedDotBag, whose string keys may be dotted key paths into
// nested levels.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"
#include "common/super.hpp"

#include <optional>

using namespace tavox;

namespace {

Name n___class__{"__class__"}, n___name__{"__name__"}, n___dict__{"__dict__"}, n___init__{"__init__"},
    n___repr__{"__repr__"};
Name n___getitem__{"__getitem__"}, n___setitem__{"__setitem__"}, n___delitem__{"__delitem__"},
    n___contains__{"__contains__"};
Name n_update{"update"}, n_setdefault{"setdefault"}, n_split{"split"}, n_items{"items"}, n_index{"index"}, n_chain{"chain"},
    n___missing__{"__missing__"};
Name n___newobj__{"__newobj__"}, n__slotnames{"_slotnames"}, n_copyreg{"copyreg"};
Global g_Mapping{"Mapping"}, g_itertools{"itertools"}, g_DotBag{"DotBag"}, g_chain{"chain"};

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
BaseCall super_init{"__init__", dict_init, &PyDict_Type};
BaseCall super_repr{"__repr__", dict_repr, &PyDict_Type};
BaseCall nested_super_init{"__init__"};
BaseCall super_getitem{"__getitem__", dict_getitem, &PyDict_Type};
BaseCall super_setitem{"__setitem__", dict_setitem, &PyDict_Type};
BaseCall super_delitem{"__delitem__", dict_delitem, &PyDict_Type};
BaseCall super_contains{"__contains__", dict_contains, &PyDict_Type};

// Set by the module body: itertools.chain as imported (update's loop runs without it
// while the module global still gives it), NestedDotBag's own __setitem__, and
// isinstance(value, Mapping) with the module global for every value merged.
Kept chain_type, itertools_module;
Known nested_setitem_function, nested_update_function;
AbcCheck is_mapping;

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
    Ref content = super_repr(a.global(g_DotBag), self)();
    return check(PyUnicode_FromFormat("%S(%S)", class_name.get(), content.get()));
}

// ---- DotBag: copying and pickling ---------------------------------------------------
//
// copy.copy, copy.deepcopy and pickle never call __init__, so on their own they give an
// instance that is not its own attribute dictionary, and they put its entries back by
// item assignment (a NestedDotBag would split dotted keys, a Configuration convert the
// values again).  DotBag gives them its own recipe instead: a new empty instance of the
// class (copyreg.__newobj__, where the interpreter's recipe starts too), and as state a
// plain dict of the stored entries, with the values of the class's slots beside it in
// the interpreter's (state, slots) form when there are any.  __setstate__ makes the new
// instance its own attribute dictionary and puts the entries into the storage with
// dict's own update.  A subclass that defines __reduce__ or __reduce_ex__ keeps its own.

// copyreg as the interpreter's own recipe reaches it: from sys.modules, imported when missing.
Ref copyreg_module() {
    if (PyObject* module = PyImport_GetModule(n_copyreg)) return Ref::steal(module);
    check_no_error();
    return check(PyImport_Import(n_copyreg));
}

// __reduce__(self)
Ref dotbag_reduce(const Args& a) {
    PyObject* self = a.self();
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref copyreg = copyreg_module();
    // 1. The entries as the storage holds them (no keys() or __iter__ of a subclass), taken
    //    out first: hashing a key again may run Python code.
    Ref entries = check(PyDict_Items(self));
    Ref state = check(PyDict_New());
    check(PyDict_MergeFromSeq2(state, entries, 1));
    // 2. The slots that hold a value, found as the interpreter's own recipe finds them.
    Ref slots = check(PyDict_New());
    Ref names = iterate(call(getattr(copyreg, n__slotnames), type));
    while (Ref name = next(names))
        if (Ref value = getattr_optional(self, name)) check(PyDict_SetItem(slots, name, value));
    if (PyDict_GET_SIZE(slots.get()) != 0) state = check(PyTuple_Pack(2, state.get(), slots.get()));
    // 3. copyreg.__newobj__(type(self)), then __setstate__(state).
    Ref arguments = check(PyTuple_Pack(1, type.get()));
    return check(PyTuple_Pack(3, getattr(copyreg, n___newobj__).get(), arguments.get(), state.get()));
}

// __setstate__(self, state)
Ref dotbag_setstate(const Args& a) {
    PyObject* self = a.self();
    Ref state = Ref::borrow(a[1]), slots;
    if (PyTuple_CheckExact(state.get()) && PyTuple_GET_SIZE(state.get()) == 2) {
        slots = Ref::borrow(PyTuple_GET_ITEM(state.get(), 1));
        state = Ref::borrow(PyTuple_GET_ITEM(state.get(), 0));
    }
    // 1. The instance becomes its own attribute dictionary, as __init__ makes it.
    setattr(self, n___dict__, self);
    // 2. The entries, into the storage: no key paths, no conversion.  A pickle written
    //    before DotBag had a recipe of its own carries the instance itself as its state,
    //    its entries already in place.
    if (state.get() != Py_None && state.get() != self) check(PyDict_Update(self, state));
    // 3. The slots, by attribute assignment.
    if (slots && slots.get() != Py_None) {
        Ref it = iterate(call_method(slots, n_items));
        while (Ref item = next(it)) {
            auto [name, value] = unpack2(item);
            setattr(self, name, value);
        }
    }
    return none();
}

const ClassDef DotBag_class = {
    "DotBag",
    dotbag_doc,
    {
        {"__init__", dotbag_init, "(self, *args, **kwargs)", dotbag_init_doc},
        {"__repr__", dotbag_repr, "(self)"},
        {"__reduce__", dotbag_reduce, "(self)"},
        {"__setstate__", dotbag_setstate, "(self, state)"},
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

// A key on its way down the levels.  A key path is a str, or an instance of a str
// subclass, that contains "."; it is split with key.split(".", 1) into a head and the
// rest handed on.  An exact str is split here, by offsets into the one key; anything
// else that is a str asks the key itself ("." in key, key.split(".", 1)), so that a
// subclass's own __contains__ and split run.
class KeyPath {
public:
    explicit KeyPath(PyObject* key) : key_(Ref::borrow(key)) {}

    // Splits off the next head into head(); false when what is left is a plain key.
    bool split() {
        if (exactly(key_, &PyUnicode_Type)) {
            const Py_ssize_t dot = PyUnicode_FindChar(key_, '.', start_, PyUnicode_GET_LENGTH(key_.get()), 1);
            if (dot == -2) throw_error();
            if (dot < 0) return false;
            head_ = check(PyUnicode_Substring(key_, start_, dot));
            start_ = dot + 1;
            return true;
        }
        if (!is_str(rest()) || !contains(rest(), Ref(str(".")))) return false;
        Ref parts = call_method(rest(), n_split, Ref(str(".")), Ref(check(PyLong_FromLong(1))));
        auto [head, rest] = unpack_split(parts);
        head_ = std::move(head);
        key_ = std::move(rest);
        start_ = 0;
        return true;
    }
    PyObject* head() const noexcept { return head_.get(); }
    // What is left of the key: the key itself while nothing was split off.
    Ref rest() const {
        if (start_ == 0) return key_;
        return check(PyUnicode_Substring(key_, start_, PyUnicode_GET_LENGTH(key_.get())));
    }

private:
    static bool is_str(PyObject* key) {
        if (PyUnicode_Check(key)) return true;
        return isinstance(key, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    // head, rest = parts, in the interpreter's words when that fails.
    static std::pair<Ref, Ref> unpack_split(PyObject* parts) {
        Ref it = iterate(parts);
        Ref first = next(it);
        if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
        Ref second = next(it);
        if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
        if (Ref third = next(it)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        return {std::move(first), std::move(second)};
    }

    Ref key_, head_;
    Py_ssize_t start_ = 0;
};

// Whether the item operation `name` of `value` is the function being called, so that
// handing the rest on would run this same code: the loop takes another turn instead.
bool runs_here(const Args& a, PyObject* value, PyObject* name) {
    return finds(Py_TYPE(value), name, reinterpret_cast<PyObject*>(a.function));
}

constexpr char calling[] = " while calling a Python object";

// setdefault(key, type(self)()) through the instance (below).
Ref setdefault_level(PyObject* self, PyObject* key);

// self.update(*args, **kwargs), through the instance; straight to NestedDotBag's own
// update when the generic lookup finds it on the type and the instance's dictionary
// holds nothing to come first, counted as the call it stands for.
void update_through(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (nested_update_function.found_on(Py_TYPE(self), n_update) &&
        Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr) {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (PyDict_GET_SIZE(dict.get()) == 0) {
            nested_update_function.call_body(&self, args, kwargs);
            return;
        }
    }
    call_args(getattr(self, n_update), args, kwargs);
}

// __init__(self, *args, **kwargs)
Ref nested_init(const Args& a) {
    PyObject* self = a.self();
    // 1. The next class's __init__ with no arguments at all (DotBag.__init__).
    nested_super_init(a)();
    // 2. self.update(*args, **kwargs), through the instance.
    update_through(self, a.varargs, a.varkw);
    return none();
}

// __getitem__(self, key)
Ref nested_getitem(const Args& a) {
    KeyPath key(a[1]);
    Ref level = Ref::borrow(a.self());
    for (Descents turns(calling);; turns.enter()) {
        // A plain key: the next class's __getitem__.
        if (!key.split()) return super_getitem(a.owner(), level)(key.rest());
        // A key path: the value under the head, then value[rest].
        Ref value = super_getitem(a.owner(), level)(Ref::borrow(key.head()));
        if (!runs_here(a, value, n___getitem__)) return getitem(value, key.rest());
        level = std::move(value);
    }
}

// __setitem__(self, key, value)
Ref nested_setitem(const Args& a) {
    KeyPath key(a[1]);
    PyObject* value = a[2];
    Ref level = Ref::borrow(a.self());
    for (Descents turns(calling);; turns.enter()) {
        if (!key.split()) {
            // A plain key: the next class's __setitem__, the value unchanged.
            super_setitem(a.owner(), level)(key.rest(), value);
            return none();
        }
        // A key path.
        Ref head = Ref::borrow(key.head());
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(level.get())));
        // A new empty level, built on every call; setdefault through the instance
        // stores it when the head is missing, and gives the target.
        Ref target = setdefault_level(level, head);
        // Anything but a level of this class is a value that cannot hold the rest.
        if (!isinstance(target, type)) {
            Ref class_name = getattr(type, n___name__);
            raise_object(PyExc_KeyError, check(PyUnicode_FromFormat(
                                             "target key \"%S\" is a value, cannot update value against another %S",
                                             head.get(), class_name.get())));
        }
        // A level of this class takes the rest.
        if (!runs_here(a, target, n___setitem__)) {
            setitem(target, key.rest(), value);
            return none();
        }
        level = std::move(target);
    }
}

// __contains__(self, key)
Ref nested_contains(const Args& a) {
    KeyPath key(a[1]);
    Ref level = Ref::borrow(a.self());
    Descents turns(calling);
    // What a level gives is what `rest in level` makes of it one level up: a bool.
    auto answer = [&](Ref found) { return turns.count() == 0 ? found : boolean(is_true(found)); };
    for (;; turns.enter()) {
        // A plain key: the next class's __contains__.
        if (!key.split()) return answer(super_contains(a.owner(), level)(key.rest()));
        // A key path: False when the head is missing, else `rest in value`.
        Ref head = Ref::borrow(key.head());
        Ref found = super_contains(a.owner(), level)(head);
        if (!is_true(found)) return answer(std::move(found));
        Ref value = super_getitem(a.owner(), level)(head);
        if (!runs_here(a, value, n___contains__)) return boolean(contains(value, key.rest()));
        level = std::move(value);
    }
}

// __delitem__(self, key)
Ref nested_delitem(const Args& a) {
    KeyPath key(a[1]);
    Ref level = Ref::borrow(a.self());
    for (Descents turns(calling);; turns.enter()) {
        if (!key.split()) {
            // A plain key: the next class's __delitem__.
            super_delitem(a.owner(), level)(key.rest());
            return none();
        }
        // A key path: delete the rest from the value under the head.
        Ref value = super_getitem(a.owner(), level)(Ref::borrow(key.head()));
        if (!runs_here(a, value, n___delitem__)) {
            delitem(value, key.rest());
            return none();
        }
        level = std::move(value);
    }
}

// ---- levels, made and looked up without the calls while that is all the calls do ----
//
// A key-path write and a merge call type(self)() for a new level on every step, then
// setdefault(key, level) through the instance: MutableMapping's, which gives self[key]
// or, when that raises KeyError, stores the new level with self[key] = level and gives
// it.  For a type whose every piece of that is this module's own (NestedDotBag's
// __init__, __getitem__, __setitem__ and update, DotBag's __init__ and __dict__),
// MutableMapping's setdefault as learned and dict's underneath, with a plain key, the
// lookup runs nobody's Python code, and so does making the level when
// `new_level_runs_nothing` (beside the bodies it reads) says so.  So the walk looks the
// key up in the storage, and makes the level, by the class's own __new__ and __init__
// bodies (ClassCall), only to store it.  What the proof rests on is checked on every
// use: the type's attributes (while it keeps its version tag), its metaclass's call,
// setdefault's code and the globals it reads, and what the bodies read.
bool new_level_runs_nothing(PyObject* globals);

class Levels {
public:
    void learn(PyObject* module_globals, PyObject* dotbag, PyObject* nested) {
        globals_.set(Ref::borrow(module_globals));
        auto own = [](PyObject* cls, const char* name) {
            Ref key = check(PyUnicode_InternFromString(name));
            return Ref::borrow(compat::dict_get(compat::type_dict(reinterpret_cast<PyTypeObject*>(cls)), key));
        };
        dotbag_init_.set(own(dotbag, "__init__"));
        dict_descriptor_.set(own(dotbag, "__dict__"));
        dotbag_dict_.set(Ref::borrow(compat::type_dict(reinterpret_cast<PyTypeObject*>(dotbag))));
        nested_mro_.set(Ref::borrow(reinterpret_cast<PyTypeObject*>(nested)->tp_mro));
        init_.set(own(nested, "__init__"));
        getitem_.set(own(nested, "__getitem__"));
        setitem_.set(own(nested, "__setitem__"));
        update_.set(own(nested, "update"));
        setdefault_.learn(nested, n_setdefault);
        make_level_.learn(nested);
        builtins_.set(Ref::borrow(PyEval_GetBuiltins()));
    }

    // self.setdefault as the attribute lookup finds it, when the calls are all this
    // module's and dict's and the key is no key path without asking it anything:
    // empty when it is the learned setdefault, else what was found.  The lookup is the
    // generic one, the class attribute (a function) coming after an item of the
    // instance's own dictionary; only the bound method is not made.
    std::optional<Ref> setdefault_of(PyObject* self, PyObject* key) {
        PyTypeObject* key_type = Py_TYPE(key);
        if (key_type == &PyUnicode_Type) {
            const Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
            if (dot == -2) throw_error();
            if (dot >= 0) return getattr(self, n_setdefault);
        } else if (!plain_builtin(key_type)) {
            return getattr(self, n_setdefault);
        }
        if (!calls_are_ours(Py_TYPE(self))) return getattr(self, n_setdefault);
        // The class gives the learned function, a non-data descriptor: an item of the
        // instance's dictionary comes first.
        Ref function = Ref::borrow(setdefault_.get());
        // (An instance dictionary is always a dict: __dict__ takes nothing else.)
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (PyObject* own = compat::dict_get(dict, n_setdefault)) return Ref::borrow(own);
        check_no_error();
        // The lookup may have run code (a key of the dictionary compared): what the
        // calls are now decides.
        if (!calls_are_ours(Py_TYPE(self))) return check(PyMethod_New(function, self));
        return std::nullopt;
    }

    // setdefault(key, type(level)()) through `level`, for a key and type found usable:
    // the value under the key, or a new level, stored there.
    Ref setdefault(PyObject* level, PyObject* key) {
        Descent counted(calling);
        if (PyObject* found = compat::dict_get(level, key)) return Ref::borrow(found);
        check_no_error();
        // type(level)(), then setdefault's own steps: self[key] = level when missing.
        // Making the level may have run code (an allocation does): what the calls and
        // the storage are now decides.
        auto* type = Py_TYPE(level);
        Ref made = make_level_(reinterpret_cast<PyObject*>(type));
        if (!calls_are_ours(type)) return call(setdefault_.get(), level, key, made);
        // NestedDotBag's __setitem__ stores a plain key in the storage.  The lookup
        // above stands for setdefault's self[key] and the store looks the key up once
        // more, as self[key] = level does: a key that came meanwhile is what is given.
        if (compat::type_lookup(Py_TYPE(level), n___setitem__) == setitem_.get()) {
            PyObject* stored = PyDict_SetDefault(level, key, made);  // borrowed
            if (!stored) throw_error();
            return Ref::borrow(stored);
        }
        setitem(level, key, made);
        return made;
    }

private:
    // Whether the calls, on instances of `type`, are all this module's and dict's.
    bool calls_are_ours(PyTypeObject* type) {
        if (Py_TYPE(type)->tp_call != PyType_Type.tp_call) return false;  // the metaclass's call is type's
        PyObject* setdefault = compat::type_lookup(type, n_setdefault);
        if (!setdefault_.is(setdefault) || key_error_global_.find(PyFunction_GET_GLOBALS(setdefault)) ||
            key_error_builtin_.find(builtins_) != PyExc_KeyError || !new_level_runs_nothing(globals_))
            return false;
        for (const TypeStamp& stamp : stamps_)
            if (stamp.holds(type)) return true;
        if (!attributes_are_ours(type)) return false;
        std::swap(stamps_[0], stamps_[1]);
        stamps_[0].record(type, n___init__);
        return true;
    }

    bool attributes_are_ours(PyTypeObject* type) {
        // The classes from NestedDotBag on are its own, unchanged: their lookups are its.
        PyObject* mro = type->tp_mro;
        const Py_ssize_t n = PyTuple_GET_SIZE(mro), tail = PyTuple_GET_SIZE(nested_mro_.get());
        if (n < tail) return false;
        for (Py_ssize_t i = 0; i < tail; ++i)
            if (PyTuple_GET_ITEM(mro, n - tail + i) != PyTuple_GET_ITEM(nested_mro_.get(), i)) return false;
        PyObject* dotbag_dict = dotbag_dict_.get();
        return type->tp_new == PyDict_Type.tp_new && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) &&
               type->tp_setattro == PyObject_GenericSetAttr && type->tp_getattro == PyObject_GenericGetAttr &&
               compat::type_lookup(type, n___init__) == init_.get() &&
               compat::type_lookup(type, n___getitem__) == getitem_.get() &&
               compat::type_lookup(type, n_update) == update_.get() &&
               compat::type_lookup(type, n___dict__) == dict_descriptor_.get() &&
               !compat::type_lookup(type, n___missing__) &&
               compat::dict_get(dotbag_dict, n___init__) == dotbag_init_.get() &&
               !compat::dict_get(dotbag_dict, n___getitem__) && !compat::dict_get(dotbag_dict, n___setitem__);
    }

    Kept globals_, builtins_, dotbag_dict_, dotbag_init_, dict_descriptor_, nested_mro_, init_, getitem_, setitem_, update_;
    Known setdefault_;
    ClassCall make_level_;
    // setdefault reads KeyError from its globals, else the builtins: one memo for each dict.
    Global key_error_global_{"KeyError"}, key_error_builtin_{"KeyError"};
    TypeStamp stamps_[2];
};

Levels levels;

// self.setdefault(key, type(self)()): the method is looked up first, as Python
// evaluates a call, so an item of the bag named "setdefault" is what gets called.
Ref setdefault_level(PyObject* self, PyObject* key) {
    std::optional<Ref> method = levels.setdefault_of(self, key);
    if (!method) return levels.setdefault(self, key);
    Ref fresh = call(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return call(*method, key, fresh);
}

// self[key] = value, through the instance's type; straight to NestedDotBag's own
// __setitem__ when that is what the type gives, counted as the call it stands for.
void store(PyObject* self, PyObject* key, PyObject* value) {
    if (nested_setitem_function.found_on(Py_TYPE(self), n___setitem__)) {
        PyObject* values[] = {self, key, value};
        nested_setitem_function.call_body(values);
        return;
    }
    setitem(self, key, value);
}

// module.chain: read from an exact module's dictionary, as its generic lookup does (the
// module type has no attribute of that name) unless the dictionary lacks it.
Ref chain_of(const Ref& module) {
    if (exactly(module.get(), &PyModule_Type))
        if (PyObject* chain = g_chain.find(PyModule_GetDict(module))) return Ref::borrow(chain);
    return getattr(module, n_chain);
}

// update(self, *args, **kwargs)
Ref nested_update(const Args& a) {
    PyObject* self = a.self();
    Ref mapping = a.global(g_Mapping);
    // 1. At most one positional source; a mapping gives its items().
    Ref source;
    const Py_ssize_t npositional = PyTuple_GET_SIZE(a.varargs);
    if (npositional > 1)
        raise_format(PyExc_TypeError, "expected at most 1 arguments, got %d", static_cast<int>(npositional));
    if (npositional == 1) {
        source = Ref::borrow(PyTuple_GET_ITEM(a.varargs, 0));
        if (is_mapping(mapping, source)) source = call_method(source, n_items);
    } else {
        // 2. Otherwise an empty tuple.
        source = check(PyTuple_New(0));
    }

    // 3.4 - 3.5: a mapping merges into the level under the key, anything else is assigned.
    auto merge = [&](PyObject* key, PyObject* value) {
        if (is_mapping(mapping, value)) {
            // A new level by calling the class, then setdefault through the instance.
            Ref target = setdefault_level(self, key);
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
    Ref chain = chain_of(a.global(g_itertools));
    if (shortcuts_on() && chain.get() == chain_type.get()) {
        // itertools.chain itself: the source's items (none without a positional
        // source), then the keywords in order.
        if (npositional == 1) {
            Ref it = iterate(source);
            while (Ref item = next(it)) take(item);
        }
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

// What NestedDotBag() runs with no arguments, read from the bodies above: __init__ runs
// DotBag.__init__ (dict.__init__, then __dict__ set through the class's descriptor) and
// self.update(), which with nothing to merge reads the globals Mapping and itertools and
// itertools.chain, and iterates an empty tuple.  On a class whose lookups are this
// module's (Levels checks those), whether none of that runs Python code or raises.
bool new_level_runs_nothing(PyObject* globals) {
    PyObject* module = g_itertools.find(globals);
    return g_Mapping.find(globals) && module == itertools_module.get() && Py_TYPE(module) == &PyModule_Type &&
           g_chain.find(PyModule_GetDict(module)) == chain_type.get();
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

    itertools_module.set(m.get("itertools"));
    chain_type.set(getattr(itertools_module, n_chain));
    nested_setitem_function.learn(nested, n___setitem__);
    nested_update_function.learn(nested, n_update);
    is_mapping.learn(m.get("Mapping"));
    direct_slots(dotbag);
    direct_slots(nested);
    levels.learn(m.dict(), dotbag, nested);
}

}  // namespace

TAVOX_MODULE(dotbag, module_doc, dotbag_body)

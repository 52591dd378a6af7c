// tavox.datastructures.fadeseq: FadeSeq, a collections.UserList whose storage holds
// only weak references to its items and loses an item the moment its object is
// finalised.
//
// Storage: the instance's `data` list (UserList's), one weakref.ref per element,
// each made as weakref.ref(item, self.remove).  The callback is the instance's own
// `remove`, bound at the moment the reference is made, so a dying object takes its
// references out of `data` by itself, wherever it dies.  Lookups compare a probe
// weakref.ref(item) with the stored references: equal when both objects are alive
// and equal, and a dead reference equals only itself.
//
// Every base call goes through super() of the method's defining class.  When what
// super() finds is collections.UserList's own method, as the module body found it, and
// its whole body is `self.data.<method>(...)`, that body runs here without a Python
// frame; anything else (a subclass in between, a patched UserList) takes the call.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/generator.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"
#include "common/super.hpp"

using namespace tavox;

namespace {

Name n_data{"data"}, n_remove{"remove"}, n_ref{"ref"}, n_ReferenceType{"ReferenceType"}, n_UserList{"UserList"};
Global g_weakref{"weakref"}, g_FadeSeq{"FadeSeq"};
Name n___init__{"__init__"}, n___contains__{"__contains__"}, n___getitem__{"__getitem__"},
    n___setitem__{"__setitem__"}, n___iadd__{"__iadd__"}, n___class__{"__class__"}, n___name__{"__name__"};
Name n_append{"append"}, n_index{"index"}, n_count{"count"}, n_pop{"pop"}, n_insert{"insert"}, n_extend{"extend"},
    n_sort{"sort"}, n_key{"key"}, n_reverse{"reverse"}, n_format{"format"}, n_value_type{"value_type"};
Name n___new__{"__new__"}, n___dict__{"__dict__"}, n_update{"update"}, n_deepcopy{"deepcopy"};

const char fadeseq_doc[] =
    "FadeSeq Class\n"
    "\n"
    "A special implementation of the native list whose stored items are weak\n"
    "references.  When a referenced object is finalised (garbage collected), its\n"
    "reference is removed from the list automatically.\n"
    "\n"
    "All reads return the actual objects, and all writes take actual objects and\n"
    "store weak references to them: the handling of weak references is meant to be\n"
    "invisible to the user.\n"
    "\n"
    "Note: because every stored item is a weak reference, mind the context and the\n"
    "garbage collection of the objects you put in: the list never keeps them alive.";

const char add_message[] = "can only concatenante FadeSeq (not \"{value_type}\") to FadeSeq";

// ---- weak references -----------------------------------------------------------------

// `ref()`: the live object, or None once it has died.  An exact weakref.ref is read
// directly, which is what calling it does.
Ref deref(PyObject* ref) {
    if (!PyWeakref_CheckRefExact(ref)) return call(ref);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (check(PyWeakref_GetRef(ref, &target)) == 0) return none();
    return Ref::steal(target);
#else
    return Ref::borrow(PyWeakref_GET_OBJECT(ref));
#endif
}

// `weakref.ref(item, callback)` with the module's `weakref` read now; callback may be
// nullptr for a probe.  The type itself builds exactly what PyWeakref_NewRef builds.
Ref make_ref(const Args& a, PyObject* item, PyObject* callback) {
    Ref factory = getattr(a.global(g_weakref), n_ref);
    if (factory.get() == reinterpret_cast<PyObject*>(&_PyWeakref_RefType))
        return check(PyWeakref_NewRef(item, callback));
    return callback ? call(factory, item, callback) : call(factory, item);
}

// The reference stored for `item`: weakref.ref(item, self.remove).
Ref stored_ref(const Args& a, PyObject* item) {
    Ref callback = getattr(a.self(), n_remove);
    return make_ref(a, item, callback);
}

// The temporary probe for lookups: weakref.ref(item).
Ref probe(const Args& a, PyObject* item) { return make_ref(a, item, nullptr); }

// The references to the elements of an iterable, all made before any is stored.
// Each element is held until the references are stored, so that an element that
// exists only for the call dies afterwards and its callback removes its reference.
// `refs` is declared last and so dropped first: a reference never stored is gone
// before its object can die, and no callback runs for it.
struct Collected {
    Ref keep;  // the elements themselves
    Ref refs;  // list of weakref.ref(element, self.remove), in order
};

Collected collect(const Args& a, PyObject* items) {
    Collected c{check(PyList_New(0)), check(PyList_New(0))};
    Ref it = iterate(items);
    while (Ref item = next(it)) {
        check(PyList_Append(c.keep, item));
        check(PyList_Append(c.refs, stored_ref(a, item)));
    }
    return c;
}

// self.data, for the bodies of UserList's methods below.
Ref data_of(PyObject* self) { return getattr(self, n_data); }

// The bodies of collections.UserList's methods that are `self.data.<method>(item)`.
Ref userlist_contains(PyObject* self, PyObject* item) { return boolean(contains(data_of(self), item)); }
Ref userlist_append(PyObject* self, PyObject* item) {
    call_method(data_of(self), n_append, item);
    return none();
}
Ref userlist_index(PyObject* self, PyObject* item) { return call_method(data_of(self), n_index, item); }
Ref userlist_count(PyObject* self, PyObject* item) { return call_method(data_of(self), n_count, item); }
Ref userlist_remove(PyObject* self, PyObject* item) {
    call_method(data_of(self), n_remove, item);
    return none();
}

// The base calls, each with UserList's own body where there is one.
BaseCall super_init{"__init__"}, super_getitem{"__getitem__"}, super_setitem{"__setitem__"},
    super_iadd{"__iadd__"}, super_pop{"pop"}, super_insert{"insert"}, super_extend{"extend"}, super_sort{"sort"};
constexpr char user_list[] = "collections.UserList";
BaseCall super_contains{"__contains__", userlist_contains, user_list}, super_append{"append", userlist_append, user_list},
    super_index{"index", userlist_index, user_list}, super_count{"count", userlist_count, user_list},
    super_remove{"remove", userlist_remove, user_list};

// ---- FadeSeq: storage and reads --------------------------------------------------------

// __init__(self, items=())
Ref fadeseq_init(const Args& a) {
    // The base's __init__, found first, keeps as `data` a reference to every element
    // made with self.remove as callback.
    super_init(a)(collect(a, a[1]).refs);
    return none();
}

// __contains__(self, item): the base's answer for the probe.
Ref fadeseq_contains(const Args& a) { return super_contains(a)(probe(a, a[1])); }

// The slice generator `genexpr` of __getitem__, closing over self and the slice
// (slots 0 and 1).  Nothing is read when it is made; on its first resumption it
// takes self.data[index] (slot 2, a new sequence of references) and yields each
// reference's live object, None for a dead one.
GeneratorCode slice_code{"genexpr", "FadeSeq.__getitem__.<locals>.genexpr", "tavox.datastructures.fadeseq"};

GeneratorBody slice_body(Generator& g) {
    g[2] = getitem(data_of(g[0]), g[1]);
    g[3] = iterate(g[2]);
    for (;;) {
        Ref live;
        {
            Ref ref = next(g[3]);
            if (!ref) break;
            live = deref(ref);
        }
        co_yield std::move(live);
    }
}

// __getitem__(self, index)
Ref fadeseq_getitem(const Args& a) {
    PyObject* self = a.self();
    PyObject* index = a[1];
    if (Py_TYPE(index) == &PySlice_Type) {
        // A slice: a new instance of the instance's class from the live objects.
        Ref cls = getattr(self, n___class__);
        Ref gen = make_generator(slice_code, slice_body, 4, {self, index});
        return call(cls, gen);
    }
    // A position: the base's reference there, called.
    return deref(super_getitem(a)(index));
}

// __setitem__(self, index, item)
Ref fadeseq_setitem(const Args& a) {
    PyObject* index = a[1];
    PyObject* item = a[2];
    // 1. The new value: collected references for a slice, one reference otherwise.
    Collected c;
    Ref value;
    if (Py_TYPE(index) == &PySlice_Type) {
        c = collect(a, item);
        value = c.refs;
    } else {
        value = stored_ref(a, item);
    }
    // 2. The base stores it.
    return super_setitem(a)(index, value);
}

// The iteration generator `__iter__` (slot 0: self).  On its first resumption it
// reads self.data once and keeps that object (slot 1), and walks it by its own
// iterator (slot 2): a list's reads the length again before every step, so a
// reference removed meanwhile shifts the later ones.  Each reference yields its live
// object, and a dead one yields None.
GeneratorCode iter_code{"__iter__", "FadeSeq.__iter__", "tavox.datastructures.fadeseq"};

GeneratorBody iter_body(Generator& g) {
    g[1] = data_of(g[0]);
    g[2] = iterate(g[1]);
    for (;;) {
        Ref live;
        {
            Ref ref = next(g[2]);
            if (!ref) break;
            live = deref(ref);
        }
        co_yield std::move(live);
    }
}

// __iter__(self)
Ref fadeseq_iter(const Args& a) { return make_generator(iter_code, iter_body, 3, {a.self()}); }

// __eq__(self, other)
Ref fadeseq_eq(const Args& a) {
    Ref live = check(PySequence_List(a.self()));
    return check(PyObject_RichCompare(live, a[1], Py_EQ));
}

// __reversed__(self): self[::-1], through the instance's type.
Ref fadeseq_reversed(const Args& a) {
    Ref step = check(PyLong_FromLong(-1));
    Ref backwards = check(PySlice_New(nullptr, nullptr, step));
    return getitem(a.self(), backwards);
}

// __add__(self, item)
Ref fadeseq_add(const Args& a) {
    PyObject* self = a.self();
    PyObject* item = a[1];
    // 1. - 2. Only a FadeSeq (the module's name, read now) is accepted.
    if (!isinstance(item, a.global(g_FadeSeq))) {
        Ref type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(item)), n___name__);
        Ref message = call_kw(getattr(Ref(str(add_message)), n_format), {}, {{n_value_type.get(), type_name.get()}});
        PyErr_SetObject(PyExc_TypeError, message);
        throw_error();
    }
    // 3. A new, empty FadeSeq.
    Ref result = call(a.global(g_FadeSeq));
    // 4. - 5. The live objects of both operands, through the new sequence's extend.
    call_method(result, n_extend, self);
    call_method(result, n_extend, item);
    return result;
}

// __iadd__(self, items): the base's __iadd__, found first, with the collected
// references in one call.
Ref fadeseq_iadd(const Args& a) { return super_iadd(a)(collect(a, a[1]).refs); }

// remove(self, item): also the callback of every stored reference.
Ref fadeseq_remove(const Args& a) {
    PyObject* item = a[1];
    // A reference is removed as it is (a dead one matches only itself).
    Ref reference_type = getattr(a.global(g_weakref), n_ReferenceType);
    if (isinstance(item, reference_type))
        super_remove(a)(item);
    else  // An object is looked up by a probe reference, made after the base's remove is found.
        super_remove(a)(probe(a, item));
    return none();
}

// ---- FadeSeq: writes ---------------------------------------------------------------------

// append(self, item): the base's append, found first, with the item's reference.
Ref fadeseq_append(const Args& a) { return super_append(a)(stored_ref(a, a[1])); }

// index(self, item) and count(self, item): the base's answer for the probe.
Ref fadeseq_index(const Args& a) { return super_index(a)(probe(a, a[1])); }
Ref fadeseq_count(const Args& a) { return super_count(a)(probe(a, a[1])); }

// pop(self, index=-1): the reference at that position leaves `data`; its live
// object is the result.
Ref fadeseq_pop(const Args& a) { return deref(super_pop(a)(a[1])); }

// insert(self, index, item): the base's insert, found first, with the item's reference
// to go before position `index`.
Ref fadeseq_insert(const Args& a) { return super_insert(a)(a[1], stored_ref(a, a[2])); }

// extend(self, items): the base's extend, found first, with the collected references
// in one call.
Ref fadeseq_extend(const Args& a) { return super_extend(a)(collect(a, a[1]).refs); }

// The key functions of sort, made at each call: `lambda r: r()` and
// `lambda r: key(r())`, the second closing over `key`.
Ref sort_key_live(const Args& a) { return deref(a[0]); }
Ref sort_key_with(const Args& a) {
    Ref key = Ref::borrow(a.closure());
    return call(key, deref(a[0]));
}

Ref key_function(const Args& a, Impl impl, PyObject* closure) {
    return make_function(impl, "<lambda>", "FadeSeq.sort.<locals>.<lambda>", "(r)", nullptr, a.function->module,
                         a.function->globals, closure);
}

// sort(self, key=None, reverse=False)
Ref fadeseq_sort(const Args& a) {
    PyObject* key = a[1];
    // 1. The key function, computing the key from the live object.
    Ref chosen;
    if (key == Py_None)
        chosen = key_function(a, sort_key_live, nullptr);
    else
        chosen = key_function(a, sort_key_with, key);
    // 2. The base's sort, by keyword.
    return call_kw(super_sort(a).method().bind(), {}, {{n_key.get(), chosen.get()}, {n_reverse.get(), a[2]}});
}

// "FadeSeq([" + ", ".join(form(x) for x in self) + "])"
Ref printed(PyObject* self, PyObject* (*form)(PyObject*)) {
    Ref parts = check(PyList_New(0));
    Ref it = iterate(self);
    while (Ref item = next(it)) check(PyList_Append(parts, check(form(item))));
    Ref separator = str(", ");
    Ref joined = check(PyUnicode_Join(separator, parts));
    return check(PyUnicode_FromFormat("FadeSeq([%U])", joined.get()));
}

// __repr__(self)
Ref fadeseq_repr(const Args& a) { return printed(a.self(), PyObject_Repr); }

// __str__(self)
Ref fadeseq_str(const Args& a) { return printed(a.self(), PyObject_Str); }

// ---- FadeSeq: copying ---------------------------------------------------------------------
//
// A copy holds references of its own to the live objects of the instance, each made with
// the copy's own `remove` as callback, so that it cleans itself; UserList's __copy__ and
// the default deepcopy would share or copy the instance's references, whose callbacks
// clean the instance.  deepcopy copies the other attributes but not the objects: held
// only weakly, copies would die at once.  Pickling still fails on the references.

// The references for `result` to the live objects of the instance, dead ones left out.
Collected live_refs(const Args& a, PyObject* result) {
    Collected c{check(PyList_New(0)), check(PyList_New(0))};
    // A snapshot of `data`: making a reference may collect garbage and shrink `data`.
    Ref refs = check(PySequence_List(data_of(a.self())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(refs.get()); ++i) {
        Ref live = deref(Ref(Ref::borrow(PyList_GET_ITEM(refs.get(), i))));
        if (live.get() == Py_None) continue;
        check(PyList_Append(c.keep, live));
        check(PyList_Append(c.refs, make_ref(a, live, getattr(result, n_remove))));
    }
    return c;
}

// A new instance of the instance's class, without __init__.
Ref new_instance(PyObject* self) {
    Ref cls = getattr(self, n___class__);
    return call_method(cls, n___new__, cls);
}

// __copy__(self): as UserList's, the instance attributes shared, with references of its own.
Ref fadeseq_copy(const Args& a) {
    PyObject* self = a.self();
    Ref result = new_instance(self);
    call_method(getattr(result, n___dict__), n_update, getattr(self, n___dict__));
    Collected c = live_refs(a, result);
    setattr(result, n_data, c.refs);
    return result;
}

// __deepcopy__(self, memo)
Ref fadeseq_deepcopy(const Args& a) {
    PyObject* self = a.self();
    Ref memo = a[1] == Py_None ? check(PyDict_New()) : Ref::borrow(a[1]);
    Ref result = new_instance(self);
    // 1. The copy stands for the instance from now on, so an attribute that leads back to
    //    the instance leads to the copy.
    setitem(memo, Ref(check(PyLong_FromVoidPtr(self))), result);
    // 2. The other attributes, copied as deepcopy copies them.
    Ref attributes = check(PyDict_Copy(getattr(self, n___dict__)));
    call_method(attributes, n_pop, n_data, Py_None);
    Ref deepcopy = getattr(Ref(check(PyImport_ImportModule("copy"))), n_deepcopy);
    call_method(getattr(result, n___dict__), n_update, call(deepcopy, attributes, memo));
    // 3. References of its own to the same live objects.
    Collected c = live_refs(a, result);
    setattr(result, n_data, c.refs);
    return result;
}

const ClassDef FadeSeq_class = {
    "FadeSeq",
    fadeseq_doc,
    {
        {"__init__", fadeseq_init, "(self, items=())"},
        {"__contains__", fadeseq_contains, "(self, item)"},
        {"__getitem__", fadeseq_getitem, "(self, index)"},
        {"__setitem__", fadeseq_setitem, "(self, index, item)"},
        {"__iter__", fadeseq_iter, "(self)"},
        {"__eq__", fadeseq_eq, "(self, other)"},
        {"__reversed__", fadeseq_reversed, "(self)"},
        {"__add__", fadeseq_add, "(self, item)"},
        {"__iadd__", fadeseq_iadd, "(self, items)"},
        {"remove", fadeseq_remove, "(self, item)"},
        {"append", fadeseq_append, "(self, item)"},
        {"index", fadeseq_index, "(self, item)"},
        {"count", fadeseq_count, "(self, item)"},
        {"pop", fadeseq_pop, "(self, index=-1)"},
        {"insert", fadeseq_insert, "(self, index, item)"},
        {"extend", fadeseq_extend, "(self, items)"},
        {"sort", fadeseq_sort, "(self, key=None, reverse=False)"},
        {"__repr__", fadeseq_repr, "(self)"},
        {"__str__", fadeseq_str, "(self)"},
        {"__copy__", fadeseq_copy, "(self)"},
        {"__deepcopy__", fadeseq_deepcopy, "(self, memo)"},
    },
};

// ---- module body -------------------------------------------------------------------------

void fadeseq_body(Module& m) {
    init_generator_type();
    // The standard modules it reads at each call.
    m.set("weakref", m.import("weakref"));
    m.set("collections", m.import("collections"));
    // 3. - 4. FadeSeq(collections.UserList).
    m.add_class(FadeSeq_class, {getattr(m.get("collections"), n_UserList)});
}

}  // namespace

TAVOX_MODULE(fadeseq, nullptr, fadeseq_body)

// tavox.datastructures.rankmap: RankMap, a mutable mapping that keeps its keys in
// an order list beside a dictionary and lets callers insert and move keys.
//
// Storage, in the instance dictionary and read by name at every call:
//   _data   dict: key -> value (the values live only here)
//   _order  list: the keys, each once, in the mapping's order
// Every operation keeps `_order` holding exactly the keys of `_data`.  Keys are found
// in `_order` by equality (membership, index, remove), so writes of new keys,
// deletions and moves are linear in the size.  A caller may rearrange the list that
// keys() returns; items() then reports what the list says.
//
// Fast paths take the concrete dict/list API only when the storage objects are
// exactly dict and list, where it is what the method call would run.  Two go further, each explained
// where it is: items() walks the order list once instead of searching it once per
// pair, and RankMap's own subscript slot answers m[key] without the method call.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/exceptions.hpp"
#include "common/fastpath.hpp"
#include "common/module.hpp"
#include "common/names.hpp"

#include <algorithm>
#include <utility>
#include <vector>

using namespace tavox;

namespace {

Name n__data{"_data"}, n__order{"_order"};
Name n___class__{"__class__"}, n___name__{"__name__"}, n___getitem__{"__getitem__"}, n___setitem__{"__setitem__"};
Name n_update{"update"}, n_items{"items"}, n___new__{"__new__"}, n___dict__{"__dict__"}, n_copy{"copy"};
Name n_append{"append"}, n_remove{"remove"}, n_index{"index"}, n_insert{"insert"}, n_pop{"pop"}, n_sort{"sort"},
    n_key{"key"};

// ---- helpers -------------------------------------------------------------------------

Ref data_of(PyObject* self) { return getattr(self, n__data); }
Ref order_of(PyObject* self) { return getattr(self, n__order); }

// KeyError(key) as the dictionary raises it: the key is the one argument, also when
// it is a tuple.
[[noreturn]] void raise_key_error(PyObject* key) {
    Ref error = call(PyExc_KeyError, key);
    PyErr_SetObject(PyExc_KeyError, error);
    throw_error();
}

// A position for list.insert.  An int converts without running any code, and what has
// no __index__ at all is refused before anything changes, in the list's words.  Any
// other object converts through its own __index__, which the list runs inside insert,
// after the steps before it: `index` stays empty for it, to be converted then.
void early_position(PyObject* position, Ref& index) {
    if (PyLong_Check(position)) {
        index = check(PyNumber_Index(position));
        (void)check(PyLong_AsSsize_t(index));  // OverflowError, as insert would raise it
        return;
    }
    if (!PyIndex_Check(position))
        raise_format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer", Py_TYPE(position)->tp_name);
}

// insert(), and when it fails (a position whose __index__ fails or that is no
// integer), undo(): the map is as it was, and the error is the insert's.
template <class Insert, class Undo>
void insert_or_undo(Insert insert, Undo undo) {
    try {
        insert();
    } catch (const PyError&) {
        CaughtError error;
        try {
            undo();
        } catch (const PyError&) {
            PyErr_Clear();  // the insert's error is the one to report
        }
        error.rethrow();
    }
}

// order.insert(position, item), `index` holding the position when it was converted
// already; undo() when it fails.
template <class Undo>
void insert_into(PyObject* order, PyObject* position, const Ref& index, PyObject* item, Undo undo) {
    insert_or_undo(
        [&] {
            if (exactly(order, &PyList_Type)) {
                // The list converts the position first, then inserts.
                Ref converted = index ? index : Ref(check(PyNumber_Index(position)));
                check(PyList_Insert(order, check(PyLong_AsSsize_t(converted)), item));
            } else {
                call_method(order, n_insert, index ? index.get() : position, item);
            }
        },
        undo);
}

// ---- items(): the order of the pairs without one linear search per pair ------------
//
// items() is the dictionary's pairs sorted by the position of their key in the order
// list (list.index: the first element that is the key or equals it).  When every key
// and every element of the order list compares quietly, comparing and hashing run
// no Python code, cannot fail, and equality implies equal hashes; a dictionary lookup
// then finds exactly the element list.index would.  Walking the order list and taking
// each pair at the first element that matches it gives the sorted result in linear
// time.  Anything else takes the sort itself (items_by_sort).

// Under -b (sys.flags.bytes_warning) comparing bytes with a str warns, and the warning
// machinery runs Python code (showwarning, filters, -W error): bytes compare quietly only
// without the flag.
bool bytes_warn = false;  // read when the module body runs; the flag never changes

bool compares_quietly(PyObject* obj, int depth = 0) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        type == &PyComplex_Type || obj == Py_None)
        return true;
    if (type == &PyBytes_Type) return !bytes_warn;
    if (type == &PyTuple_Type) {
        if (depth >= 8) return false;
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(obj); i < n; ++i)
            if (!compares_quietly(PyTuple_GET_ITEM(obj, i), depth + 1)) return false;
        return true;
    }
    // Identity equality and identity hash (object's own), e.g. instances of plain classes.
    return type->tp_richcompare == PyBaseObject_Type.tp_richcompare && type->tp_hash == PyBaseObject_Type.tp_hash;
}

// The linear walk; an empty Ref when the inputs do not compare quietly (nothing observable has
// happened then).  `pairs` holds the dictionary's (key, value) tuples.  Everything it
// allocates is allocated first: a collection can run Python code, which may change the
// order list, and none runs once the checks are made.
Ref items_by_walk(PyObject* self, const std::vector<Ref>& pairs) {
    PyTypeObject* type = Py_TYPE(self);
    if (!shortcuts_on()) return Ref();
    // self._order must come from the instance dictionary: no descriptor, no __getattr__.
    if (type->tp_getattro != PyObject_GenericGetAttr || compat::type_lookup(type, n__order)) return Ref();
    Ref order = order_of(self);
    if (!exactly(order.get(), &PyList_Type)) return Ref();
    Ref pending = check(PyDict_New());  // key -> pair, in the dictionary's order
    Ref result = check(PyList_New(0));
    for (const Ref& pair : pairs)
        if (!compares_quietly(PyTuple_GET_ITEM(pair.get(), 0))) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()); ++i)
        if (!compares_quietly(PyList_GET_ITEM(order.get(), i))) return Ref();
    for (const Ref& pair : pairs) check(PyDict_SetItem(pending, PyTuple_GET_ITEM(pair.get(), 0), pair));
    const Py_ssize_t n = static_cast<Py_ssize_t>(pairs.size());
    if (PyDict_GET_SIZE(pending.get()) != n) return Ref();  // cannot happen for plain keys

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()) && PyList_GET_SIZE(result.get()) < n; ++i) {
        PyObject* element = PyList_GET_ITEM(order.get(), i);
        PyObject* pair = compat::dict_get(pending, element);
        if (!pair) {
            check_no_error();
            continue;  // not a key, or its pair was taken at an earlier equal element
        }
        check(PyList_Append(result, pair));
        check(PyDict_DelItem(pending, element));
    }
    if (PyList_GET_SIZE(result.get()) == n) return result;
    // A key that the order list lacks: the first such pair in the dictionary's order is
    // where list.index fails; let it raise its own error.
    Py_ssize_t pos = 0;
    PyObject *key, *pair;
    PyDict_Next(pending, &pos, &key, &pair);
    call_method(order, n_index, Ref(Ref::borrow(key)));
    return Ref();  // not reached for plain keys
}

// The sort itself: key(pair) = self._order.index(pair[0]), _order read at every
// call, then a stable sort by those keys.
Ref items_by_sort(PyObject* self, const std::vector<Ref>& pairs) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(pairs.size());
    Ref zero = check(PyLong_FromLong(0));
    std::vector<Ref> keys;
    keys.reserve(pairs.size());
    for (const Ref& pair : pairs) keys.push_back(call_method(order_of(self), n_index, Ref(getitem(pair, zero))));
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> decorated;  // (position, index of the pair)
    decorated.reserve(pairs.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = keys[static_cast<size_t>(i)];
        if (!PyLong_CheckExact(key)) break;
        Py_ssize_t position = PyLong_AsSsize_t(key);
        if (position == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            break;
        }
        decorated.emplace_back(position, i);
    }
    if (static_cast<Py_ssize_t>(decorated.size()) == n) {
        // Comparing integers runs no Python code: a stable sort here is the list's sort.
        std::stable_sort(decorated.begin(), decorated.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
    } else {
        // Other keys (an order object whose index() is not the list's): sort the pair
        // indices by the same keys, so that the list makes the very comparisons that
        // sorted() would make.
        Ref key_list = check(PyList_New(0));
        Ref indices = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            check(PyList_Append(key_list, keys[static_cast<size_t>(i)]));
            check(PyList_Append(indices, Ref(check(PyLong_FromSsize_t(i)))));
        }
        call_kw(getattr(indices, n_sort), {}, {{n_key.get(), getattr(key_list, n___getitem__).get()}});
        decorated.clear();
        // The list sorted in place may have been changed meanwhile: each index is checked.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(indices.get()); ++i) {
            Py_ssize_t at = check(PyLong_AsSsize_t(PyList_GET_ITEM(indices.get(), i)));
            if (at < 0 || at >= n) raise(PyExc_RuntimeError, "items() lost track of its pairs");
            decorated.emplace_back(0, at);
        }
    }
    Ref result = check(PyList_New(0));
    for (const auto& [position, index] : decorated) check(PyList_Append(result, pairs[static_cast<size_t>(index)]));
    return result;
}

// ---- RankMap -------------------------------------------------------------------------

const char rankmap_doc[] =
    "Reorderable mapping\n"
    "\n"
    "A subclass of MutableMapping that works like a dictionary and, like an ordered\n"
    "dictionary, remembers the order in which keys were first inserted.  Unlike one,\n"
    "it also lets the user move keys around with RankMap.move().\n"
    "\n"
    "Note: keys are stored twice, once in a dictionary and once in an order list, so\n"
    "memory use is higher than a plain dictionary's.";

const char insert_doc[] =
    "insert\n"
    "\n"
    "Inserts a new key-value pair at a given position.\n"
    "\n"
    "Args:\n"
    "    key (str): the name of the key to insert.\n"
    "    value (obj): the value associated with the key.\n"
    "    position (int): the position to insert in front of.\n"
    "\n"
    "Example:\n"
    "    >>> m = RankMap([('a', 1), ('b', 2)])\n"
    "    >>> m.insert('c', 3, 1)\n"
    "    >>> m\n"
    "    RankMap([('a', 1), ('c', 3), ('b', 2)])";

const char move_doc[] =
    "move\n"
    "\n"
    "Moves a known key within the dictionary into another position using index values.\n"
    "\n"
    "Args:\n"
    "    key (str): the name of the key to move.\n"
    "    position (int): the position to move in front of.\n"
    "\n"
    "Example:\n"
    "    >>> m = RankMap([('a', 1), ('b', 2), ('c', 3)])\n"
    "    >>> m.move('c', 0)\n"
    "    >>> m\n"
    "    RankMap([('c', 3), ('a', 1), ('b', 2)])";

// __init__(self, *args, **kwargs)
Ref rankmap_init(const Args& a) {
    PyObject* self = a.self();
    setattr(self, n__data, check(PyDict_New()));
    setattr(self, n__order, check(PyList_New(0)));
    call_args(getattr(self, n_update), a.varargs, a.varkw);
    return none();
}

// __getitem__(self, name): self._data.__getitem__(name)
Ref getitem_body(PyObject* self, PyObject* name) {
    Ref data = data_of(self);
    if (exactly(data.get(), &PyDict_Type)) {
        if (PyObject* value = compat::dict_get(data, name)) return Ref::borrow(value);
        check_no_error();
        raise_key_error(name);
    }
    return call_method(data, n___getitem__, name);
}
Ref rankmap_getitem(const Args& a) { return getitem_body(a.self(), a[1]); }

// m[key]: a class statement's type gets a generic subscript slot that looks
// __getitem__ up on the type and calls it, and the method then reads self._data by
// the generic attribute lookup.  RankMap's type gets this slot instead.  When the
// type's __getitem__ is RankMap's own, its attribute access is the generic one and no
// class attribute is named `_data`, the slot takes `_data` straight from the instance
// dictionary and looks the key up: exactly what the call would do.  In every other
// case it does what the generic slot does.  (The interpreter puts its generic slot
// back when __getitem__ is rebound on the class; subclasses get the generic slot.)

Known own_getitem;  // RankMap.__getitem__

// The last type whose subscript was found to be our own: the three lookups are not repeated while it keeps its
// version tag.
TypeStamp own_subscript;

bool has_own_subscript(PyTypeObject* type) {
    if (own_subscript.holds(type)) return true;
    if (!shortcuts_on()) return false;
    if (!own_getitem.found_on(type, n___getitem__) || type->tp_getattro != PyObject_GenericGetAttr ||
        compat::type_lookup(type, n__data))
        return false;
    own_subscript.record(type, n___getitem__);
    return true;
}

PyObject* rankmap_subscript(PyObject* self, PyObject* key) {
    return boundary([&] {
        PyTypeObject* type = Py_TYPE(self);
        if (has_own_subscript(type)) {
            Ref dict = check(PyObject_GenericGetDict(self, nullptr));
            Ref data = exactly(dict.get(), &PyDict_Type) ? Ref::borrow(compat::dict_get(dict, n__data)) : Ref();
            check_no_error();
            if (!data || !exactly(data.get(), &PyDict_Type)) return getitem_body(self, key);  // the general path
            if (PyObject* value = compat::dict_get(data, key)) return Ref::borrow(value);
            check_no_error();
            raise_key_error(key);
        }
        PyObject* found = compat::type_lookup(type, n___getitem__);
        if (own_getitem.is(found)) return getitem_body(self, key);
        if (!found) {
            PyErr_SetObject(PyExc_AttributeError, n___getitem__);
            throw_error();
        }
        Ref method = Ref::borrow(found);
        if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) return call(method, self, key);
        if (descrgetfunc bind = Py_TYPE(found)->tp_descr_get)
            method = check(bind(found, self, reinterpret_cast<PyObject*>(type)));
        return call(method, key);
    });
}

// Takes back the key that __setitem__ appended when the dictionary refused it.
void forget_appended(PyObject* order, PyObject* name) {
    if (exactly(order, &PyList_Type)) {
        for (Py_ssize_t i = PyList_GET_SIZE(order) - 1; i >= 0; --i)
            if (PyList_GET_ITEM(order, i) == name) {
                check(PyList_SetSlice(order, i, i + 1, nullptr));
                return;
            }
        return;
    }
    call_method(order, n_remove, name);
}

// __setitem__(self, name, value)
Ref rankmap_setitem(const Args& a) {
    PyObject *self = a.self(), *name = a[1], *value = a[2];
    // (a) a new key goes to the end of the order: self._order read again for the append,
    // as the membership test may have rebound it
    Ref order;
    bool appended = false;
    if (!contains(order_of(self), name)) {
        order = order_of(self);
        call_method(order, n_append, name);
        appended = true;
    }
    // (b) the dictionary stores the value; when it refuses the key (unhashable), the
    // order is put back so that it still holds exactly the dictionary's keys
    std::optional<CaughtError> refused;
    try {
        Ref data = data_of(self);
        call_method(data, n___setitem__, name, value);
    } catch (const PyError&) {
        if (!appended) throw;
        refused.emplace();
    }
    if (refused) {
        try {
            forget_appended(order, name);
        } catch (const PyError&) {
            PyErr_Clear();  // the dictionary's error is the one to report
        }
        refused->rethrow();
    }
    return none();
}

// __delitem__(self, name)
Ref rankmap_delitem(const Args& a) {
    PyObject *self = a.self(), *name = a[1];
    delitem(data_of(self), name);                  // (a) KeyError leaves _order alone
    call_method(order_of(self), n_remove, name);  // (b)
    return none();
}

// __iter__(self)
Ref rankmap_iter(const Args& a) { return iterate(order_of(a.self())); }

// items(self): the dictionary's pairs in the order of their keys in _order
Ref rankmap_items(const Args& a) {
    PyObject* self = a.self();
    Ref data = data_of(self);
    Ref listed = exactly(data.get(), &PyDict_Type) ? check(PyDict_Items(data))
                                               : check(PySequence_List(call_method(data, n_items)));
    // Held here, where no Python code can reach them.
    std::vector<Ref> pairs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) pairs.push_back(Ref::borrow(PyList_GET_ITEM(listed.get(), i)));
    if (pairs.empty()) return check(PyList_New(0));  // the sort calls no key function
    if (exactly(data.get(), &PyDict_Type))
        if (Ref walked = items_by_walk(self, pairs)) return walked;
    return items_by_sort(self, pairs);
}

// clear(self)
Ref rankmap_clear(const Args& a) {
    PyObject* self = a.self();
    setattr(self, n__data, check(PyDict_New()));
    setattr(self, n__order, check(PyList_New(0)));
    return none();
}

// copy(self): type(self)(self.items())
Ref rankmap_copy(const Args& a) {
    PyObject* self = a.self();
    Ref items = call_method(self, n_items);
    return call(reinterpret_cast<PyObject*>(Py_TYPE(self)), items);
}

// insert(self, key, value, position)
Ref rankmap_insert(const Args& a) {
    PyObject *self = a.self(), *key = a[1], *value = a[2], *position = a[3];
    // 1. a key already present is refused; the key itself is the %-operator's right operand
    if (contains(order_of(self), key)) {
        Ref format = str("%s already exist in Report");
        raise_key_error(check(PyNumber_Remainder(format, key)));
    }
    Ref index;
    early_position(position, index);
    // 2. the value, in what self._data is now
    Ref data = data_of(self);
    setitem(data, key, value);
    // 3. self._order.insert(position, key).  A position that fails to convert takes
    // the value back out: the map is as it was.
    Ref order = order_of(self);
    insert_into(order, position, index, key, [&] { delitem(data, key); });
    return none();
}

// move(self, key, position)
Ref rankmap_move(const Args& a) {
    PyObject *self = a.self(), *key = a[1], *position = a[2];
    // 1. only a known key moves
    if (!contains(order_of(self), key)) raise_key_error(key);
    Ref index;
    early_position(position, index);
    // 2. the list's insert, pop and index, each read from self._order in that order
    Ref insert_order = order_of(self), pop_order = order_of(self), find_order = order_of(self);
    PyObject* order = insert_order.get();
    // 3. insert(position, pop(index(key))); when the insert fails, the key goes back
    // where it was and the map is as it was.
    if (pop_order.get() == order && find_order.get() == order && exactly(order, &PyList_Type)) {
        Ref found = call_method(order, n_index, key);
        Py_ssize_t at = check(PyLong_AsSsize_t(found));
        // The search ran the keys' __eq__, which may have changed the list: pop() checks.
        if (at < 0 || at >= PyList_GET_SIZE(order)) raise(PyExc_IndexError, "pop index out of range");
        Ref popped = Ref::borrow(PyList_GET_ITEM(order, at));
        check(PyList_SetSlice(order, at, at + 1, nullptr));
        insert_into(order, position, index, popped, [&] { check(PyList_Insert(order, at, popped)); });
        return none();
    }
    Ref insert = getattr(insert_order, n_insert);
    Ref pop = getattr(pop_order, n_pop);
    Ref find = getattr(find_order, n_index);
    Ref found = call(find, key);
    Ref popped = call(pop, found);
    insert_or_undo([&] { call(insert, index ? index.get() : position, popped); },
                   [&] { call(insert, found, popped); });
    return none();
}

// keys(self): the order list itself
Ref rankmap_keys(const Args& a) { return order_of(a.self()); }

// values(self): [self[key] for key in self]
Ref rankmap_values(const Args& a) {
    PyObject* self = a.self();
    Ref result = check(PyList_New(0));
    Ref it = iterate(self);
    while (Ref key = next(it)) check(PyList_Append(result, getitem(self, key)));
    return result;
}

// update(self, *args, **kwargs)
Ref rankmap_update(const Args& a) {
    PyObject* self = a.self();
    // 1. at most one positional argument
    const Py_ssize_t nargs = PyTuple_GET_SIZE(a.varargs);
    if (nargs > 1) raise_format(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    // 2. the positional argument is always an iterable of pairs
    if (nargs == 1) {
        Ref it = iterate(PyTuple_GET_ITEM(a.varargs, 0));
        Py_ssize_t count = 0;
        while (Ref element = next(it)) {
            Py_ssize_t size = length(element);
            if (size != 2)
                raise_format(PyExc_ValueError, "update sequence element #%zd has length %zd; 2 is required", count,
                             size);
            auto [key, value] = unpack2(element);
            setitem(self, key, value);
            ++count;
        }
    }
    // 3. the keyword arguments, in the caller's order
    if (a.varkw) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(a.varkw, &pos, &name, &value)) setitem(self, Ref::borrow(name), Ref::borrow(value));
    }
    return none();
}

// __repr__(self): "%s(%r)" % (self.__class__.__name__, list(self.items()))
Ref rankmap_repr(const Args& a) {
    PyObject* self = a.self();
    Ref name = getattr(getattr(self, n___class__), n___name__);
    Ref items = check(PySequence_List(call_method(self, n_items)));
    return check(PyUnicode_FromFormat("%S(%R)", name.get(), items.get()));
}

// __len__(self)
Ref rankmap_len(const Args& a) { return check(PyLong_FromSsize_t(length(order_of(a.self())))); }

// __eq__(self, other): equal pairs in the same order; never raises
Ref rankmap_eq(const Args& a) {
    PyObject *self = a.self(), *other = a[1];
    try {
        // Each side read in turn, self's first, as Python evaluates the comparison.
        Ref mine = data_of(self);
        Ref theirs = data_of(other);
        Ref same_pairs = check(PyObject_RichCompare(mine, theirs, Py_EQ));
        if (!is_true(same_pairs)) return same_pairs;
        mine = order_of(self);
        theirs = order_of(other);
        return check(PyObject_RichCompare(mine, theirs, Py_EQ));
    } catch (const PyError&) {
        PyErr_Clear();
        return boolean(false);
    }
}

// fromkeys(cls, keys, value=None)
Ref rankmap_fromkeys(const Args& a) {
    PyObject *cls = a[0], *keys = a[1], *value = a[2];
    Ref instance = call(cls);
    Ref it = iterate(keys);
    while (Ref key = next(it)) setitem(instance, key, value);
    return instance;
}

// __copy__(self): what copy.copy makes, with storage of its own as copy() gives.  Made
// the way UserList makes its shallow copy: a new instance of the same type without
// __init__, the instance attributes copied, then `_data` and `_order` each replaced by
// a copy of itself (copy.copy), so that writing either map leaves the other alone.
Ref rankmap_dunder_copy(const Args& a) {
    PyObject* self = a.self();
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref result = call_method(type, n___new__, type);
    call_method(getattr(result, n___dict__), n_update, getattr(self, n___dict__));
    Ref copy = getattr(Ref(check(PyImport_ImportModule("copy"))), n_copy);
    setattr(result, n__data, call(copy, data_of(self)));
    setattr(result, n__order, call(copy, order_of(self)));
    return result;
}

const ClassDef RankMap_class = {
    "RankMap",
    rankmap_doc,
    {
        {"__init__", rankmap_init, "(self, *args, **kwargs)"},
        {"__getitem__", rankmap_getitem, "(self, name)"},
        {"__setitem__", rankmap_setitem, "(self, name, value)"},
        {"__delitem__", rankmap_delitem, "(self, name)"},
        {"__iter__", rankmap_iter, "(self)"},
        {"items", rankmap_items, "(self)"},
        {"clear", rankmap_clear, "(self)"},
        {"copy", rankmap_copy, "(self)"},
        {"insert", rankmap_insert, "(self, key, value, position)", insert_doc},
        {"move", rankmap_move, "(self, key, position)", move_doc},
        {"keys", rankmap_keys, "(self)"},
        {"values", rankmap_values, "(self)"},
        {"update", rankmap_update, "(self, *args, **kwargs)"},
        {"__repr__", rankmap_repr, "(self)"},
        {"__len__", rankmap_len, "(self)"},
        {"__eq__", rankmap_eq, "(self, other)"},
        Member::class_("fromkeys", rankmap_fromkeys, "(cls, keys, value=None)"),
        {"__copy__", rankmap_dunder_copy, "(self)"},
    },
};

// ---- module body -------------------------------------------------------------------

void rankmap_body(Module& m) {
    Ref mutable_mapping = m.import_from("collections.abc", "MutableMapping");
    m.set("MutableMapping", mutable_mapping);
    Ref cls = m.add_class(RankMap_class, {mutable_mapping.get()});
    direct_slots(cls);
    own_getitem.learn(cls, n___getitem__);
    Ref sys = check(PyImport_ImportModule("sys"));
    bytes_warn = is_true(getattr(getattr(sys, Ref(str("flags"))), Ref(str("bytes_warning"))));
    // m[key] without the method call when that is what the call would do (rankmap_subscript).
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_as_mapping->mp_subscript = rankmap_subscript;
}

}  // namespace

TAVOX_MODULE(rankmap, nullptr, rankmap_body)

// PathRoll.reconstruct: the nested dictionary that the entries stand for.
//
// A cursor walks each entry's path: `ptr` is the container (or leaf) reached,
// `prev_ptr` the container holding it under `prev_k`, a key or the position -1.
//
// Tuples cannot grow in place, so a tuple of the result is built as a list (a
// "tuple level", an exact list known to this walk) and made a tuple when the walk
// is over, innermost first.  A tuple of leaves comes out as growing a tuple entry
// by entry would make it (an entry for a position it has still adds an element);
// a tuple whose elements are containers is rebuilt too, where growing the stored
// tuple would have put the later elements' entries into the first element, or
// failed on item assignment.

#include "datastructures/pathroll/pathroll.hpp"

#include <unordered_set>
#include <vector>

namespace tavox::pathroll {

namespace {

Name n_type_{"type_"}, n_index{"index"}, n_get{"get"};

// Where a container of the result is held: holder[key], or holder's last position.
struct Slot {
    Ref holder;
    Ref key;         // the key, or the int -1 for the last position
    bool position = false;
};

Ref load(const Slot& slot) {
    PyObject* holder = slot.holder;
    if (slot.position) {
        if (PyList_CheckExact(holder) && PyList_GET_SIZE(holder) > 0)
            return Ref::borrow(PyList_GET_ITEM(holder, PyList_GET_SIZE(holder) - 1));
    } else if (PyDict_CheckExact(holder)) {
        if (PyObject* value = compat::dict_get(holder, slot.key)) return Ref::borrow(value);
        check_no_error();
    }
    return getitem(holder, slot.key);
}

void store(const Slot& slot, PyObject* value) {
    PyObject* holder = slot.holder;
    if (slot.position && PyList_CheckExact(holder) && PyList_GET_SIZE(holder) > 0) {
        check(PyList_SetItem(holder, PyList_GET_SIZE(holder) - 1, Ref::borrow(value).release()));
        return;
    }
    if (!slot.position && PyDict_CheckExact(holder)) {
        check(PyDict_SetItem(holder, slot.key, value));
        return;
    }
    setitem(holder, slot.key, value);
}

class TupleLevels {
public:
    bool holds(PyObject* obj) const { return PyList_CheckExact(obj) && members_.count(obj) != 0; }

    // A new level holding `items`, stored at `slot`.
    Ref open(const Slot& slot, Ref items) {
        store(slot, items);
        Ref key = slot.key;
        if (slot.position) key = check(PyLong_FromSsize_t(length(slot.holder) - 1));
        members_.insert(items.get());
        levels_.push_back({slot.holder, key, items});
        return items;
    }

    // Every level still in place becomes a tuple, innermost first.
    void close() {
        for (auto level = levels_.rbegin(); level != levels_.rend(); ++level) {
            Ref current = Ref::steal(PyObject_GetItem(level->holder, level->key));
            if (!current) {
                if (!PyErr_ExceptionMatches(PyExc_LookupError)) throw_error();
                PyErr_Clear();
                continue;
            }
            if (current.get() == level->items.get())
                setitem(level->holder, level->key, Ref(check(PyList_AsTuple(level->items))));
        }
    }

private:
    struct Level {
        Ref holder, key, items;
    };
    std::unordered_set<PyObject*> members_;  // kept alive by levels_
    std::vector<Level> levels_;
};

// Whether the container has the marker's position: ptr[index] without IndexError.
// A tuple level answers as the tuple it stands for.
bool has_position(PyObject* ptr, PyObject* index, bool tuple_level) {
    if (tuple_level) {
        const Py_ssize_t size = PyList_GET_SIZE(ptr);
        if (PyIndex_Check(index)) {
            Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
            if (i == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw_error();
                PyErr_Clear();
                return false;
            }
            if (i < 0) i += size;
            return i >= 0 && i < size;
        }
        if (PySlice_Check(index)) {
            Py_ssize_t start, stop, step;
            check(PySlice_Unpack(index, &start, &stop, &step));
            return true;
        }
        raise_format(PyExc_TypeError, "tuple indices must be integers or slices, not %.200s", Py_TYPE(index)->tp_name);
    }
    if (PyList_CheckExact(ptr) && PyLong_CheckExact(index)) {
        Py_ssize_t i = PyLong_AsSsize_t(index);
        if (i != -1 || !PyErr_Occurred()) {
            if (i < 0) i += PyList_GET_SIZE(ptr);
            return i >= 0 && i < PyList_GET_SIZE(ptr);
        }
        PyErr_Clear();  // too large for a position: the generic lookup says so
    }
    Ref found = Ref::steal(PyObject_GetItem(ptr, index));
    if (found) return true;
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw_error();
    PyErr_Clear();
    return false;
}

// type_(({},)): a one-element container of the marker's class holding a new dict.
Ref placeholder(PyObject* type_) {
    Ref inner = check(PyDict_New());
    if (type_ == reinterpret_cast<PyObject*>(&PyList_Type)) {
        Ref list = check(PyList_New(0));
        check(PyList_Append(list, inner));
        return list;
    }
    return call(type_, Ref(check(PyTuple_Pack(1, inner.get()))));
}

}  // namespace

extern const char reconstruct_doc[] =
    "Reconstruct\n"
    "\n"
    "Takes the internally stored list-form dictionary and reconstructs it into the\n"
    "dictionary it represents.  This always generates a new dictionary object.\n"
    "\n"
    "Returns the reconstructed dictionary.";

// reconstruct(self)
Ref pathroll_reconstruct(const Args& a) {
    PyObject* self = a.self();
    Ref minus_one = check(PyLong_FromLong(-1));
    // 1. The result, a new dict.
    Ref ret = check(PyDict_New());
    TupleLevels tuples;
    Ref k;
    Slot prev;  // prev_ptr, prev_k
    // 2. The instance itself is iterated; a list's own iteration is by position.
    const bool by_position = Py_TYPE(self)->tp_iter == PyList_Type.tp_iter;
    Ref iterator = by_position ? Ref() : iterate(self);
    for (Py_ssize_t number = 0;; ++number) {
        Ref entry;
        if (!by_position)
            entry = next(iterator);
        else if (number < PyList_GET_SIZE(self))
            entry = Ref::borrow(PyList_GET_ITEM(self, number));
        if (!entry) break;
        auto [path, value] = unpack_pair(entry);

        // 2.1 The cursor starts at the result; the path's elements are taken in once.
        Ref ptr = ret;
        Ref elements = PyTuple_CheckExact(path.get()) ? path : check(PySequence_Tuple(path));
        const Py_ssize_t count = PyTuple_GET_SIZE(elements.get());
        if (count == 0) raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: its path is empty", number);
        bool tuple_marker = false;  // the last element taken is a marker with type_ exactly tuple
        bool fresh = false;         // ...and its position was made by this entry

        // 2.2 Each element moves the cursor one level down.
        for (Py_ssize_t i = 0; i < count; ++i) {
            k = Ref::borrow(PyTuple_GET_ITEM(elements.get(), i));
            const bool marker = isinstance(k, global(IndexMarker));
            if (marker && i == 0)
                raise_format(PyExc_ValueError,
                             "cannot reconstruct entry %zd: its path begins with %R, not with a mapping key", number,
                             k.get());
            tuple_marker = fresh = false;
            if (marker) {
                // 2.2.1 A position in a list or tuple.
                Ref type_ = getattr(k, n_type_);
                const bool tuple_type = type_.get() == reinterpret_cast<PyObject*>(&PyTuple_Type);
                bool level = tuples.holds(ptr);
                PyObject* cls = level ? reinterpret_cast<PyObject*>(&PyTuple_Type) : reinterpret_cast<PyObject*>(Py_TYPE(ptr.get()));
                if (cls != type_.get()) {
                    // Not a container of the marker's class: a placeholder replaces it.
                    if (tuple_type)
                        tuples.open(prev, placeholder(reinterpret_cast<PyObject*>(&PyList_Type)));
                    else
                        store(prev, placeholder(type_));
                    fresh = true;
                } else {
                    // The container has the class: it grows when the position is new.
                    if (tuple_type && !level) {
                        // A tuple placed as a value: built on as a tuple level.
                        ptr = tuples.open(prev, Ref(check(PySequence_List(ptr))));
                        level = true;
                    }
                    if (!has_position(ptr, Ref(getattr(k, n_index)), level)) {
                        if (level || (PyList_CheckExact(ptr.get()) && type_.get() == reinterpret_cast<PyObject*>(&PyList_Type)))
                            check(PyList_Append(ptr, Ref(check(PyDict_New()))));
                        else
                            ptr = check(PyNumber_InPlaceAdd(ptr, placeholder(type_)));
                        fresh = true;
                    }
                }
                // The cursor enters the last element of the container as stored.
                tuple_marker = tuple_type;
                prev = Slot{load(prev), minus_one, true};
                ptr = load(prev);
            } else if (is_mutable_mapping(global(MutableMapping), tuples.holds(ptr) ? Ref(check(PyTuple_New(0))) : ptr)) {
                // 2.2.2 A key of a mapping: ptr[k] = ptr.get(k, {}), then enter it.
                Ref current;
                if (PyDict_CheckExact(ptr.get())) {  // dict.get, without the method call
                    current = Ref::borrow(compat::dict_get(ptr, k));
                    if (!current) {
                        check_no_error();
                        current = check(PyDict_New());
                    }
                } else {
                    current = call_method(ptr, n_get, k, Ref(check(PyDict_New())));
                }
                setitem(ptr, k, current);
                prev = Slot{ptr, k, false};
                ptr = getitem(ptr, k);
            } else {
                // 2.2.3 A key below something that is not a mapping: a one-element
                // container of the cursor's class, holding {k: {}}, is appended to it.
                if (tuples.holds(ptr))
                    raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a tuple",
                                 number, k.get());
                Ref inner = check(PyDict_New());
                check(PyDict_SetItem(inner, k, Ref(check(PyDict_New()))));
                Ref one = call(reinterpret_cast<PyObject*>(Py_TYPE(ptr.get())), Ref(check(PyTuple_Pack(1, inner.get()))));
                Ref grown = check(PyNumber_InPlaceAdd(ptr, one));
                if (grown.get() != ptr.get()) {
                    // Appended to the cursor only (a tuple, say): the entry would be lost.
                    raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a %.200s",
                                 number, k.get(), Py_TYPE(ptr.get())->tp_name);
                }
                ptr = load(Slot{ptr, minus_one, true});
                prev = Slot{ptr, k, false};
                ptr = getitem(ptr, k);
            }
        }

        // 2.3 The value goes where the last element says.
        if (tuple_marker && tuples.holds(prev.holder)) {
            if (fresh)
                store(prev, value);
            else
                check(PyList_Append(prev.holder, value));
        } else {
            store(prev, value);
        }
    }
    tuples.close();
    return ret;
}

}  // namespace tavox::pathroll

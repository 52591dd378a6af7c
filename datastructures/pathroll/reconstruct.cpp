// PathRoll.reconstruct: the nested dictionary that the entries stand for.
//
// A cursor walks each entry's path: `ptr` is the container (or leaf) reached,
// `prev_ptr` the container holding it under `prev_k`, a key or the position -1.
//
// Tuples cannot grow in place, so a tuple of the result is built as a list (a "tuple
// level", an exact list known to this walk) and made a tuple when the walk is over,
// innermost first: a tuple of leaves comes out as growing a tuple entry by entry would
// make it, and a tuple of containers is rebuilt too (growing the stored tuple would put
// the later elements' entries into the first element, or fail).

#include "datastructures/pathroll/pathroll.hpp"

#include <algorithm>
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

// holder[key] and holder[key] = value, by the exact dict's or list's own lookup and store.
Ref load(const Slot& slot) {
    if (slot.position && exactly(slot.holder.get(), &PyList_Type) && PyList_GET_SIZE(slot.holder.get()) > 0)
        return Ref::borrow(PyList_GET_ITEM(slot.holder.get(), PyList_GET_SIZE(slot.holder.get()) - 1));
    if (!slot.position && exactly(slot.holder.get(), &PyDict_Type)) {
        if (PyObject* value = compat::dict_get(slot.holder, slot.key)) return Ref::borrow(value);
        check_no_error();
    }
    return getitem(slot.holder, slot.key);
}
void store(const Slot& slot, PyObject* value) {
    if (!slot.position && exactly(slot.holder.get(), &PyDict_Type))
        check(PyDict_SetItem(slot.holder, slot.key, value));
    else
        setitem(slot.holder, slot.key, value);
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
    if (tuple_level) return has_position(Ref(check(PyList_AsTuple(ptr))), index, false);
    if (exactly(ptr, &PyList_Type) && PyLong_CheckExact(index)) {
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

// A key whose hash, and comparison with the keys of a dict holding only such keys, run
// no code: an exact str or int.
bool quiet_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

// Consecutive entries share the beginning of their paths (all the entries below one key
// or element come together).  The steps for a shared beginning of quiet keys (exact str
// or int) through dicts that this walk made are not taken again while they would find,
// and do, what they did for the previous entry:
//
//  * such a dict has been changed by this walk alone since (it keeps the version it had
//    after this walk last stored into it) and holds quiet keys only, so a lookup of a
//    quiet key in it runs no Python code and finds what it found;
//  * the step stores back the value it finds under the key, which changes nothing;
//  * the tests the step makes give what they gave: IndexMarker is still a class whose
//    metaclass is type (a str or an int is no instance of it, unless it is str, int or
//    object), and an exact dict is a MutableMapping by the ABC's own memo.
//
// The chain is the dicts that the previous entry's path went through, each with the key
// looked up in it and what the lookup found; all are held until the walk ends.
class Chain {
public:
    explicit Chain(PyObject* result) : levels_(1) { levels_[0].made(result); }

    // How many leading elements of `path` need no step, with the cursor where they leave it.
    Py_ssize_t resume(PyObject* path, Py_ssize_t count, Ref& ptr, Slot& prev, Ref& k, bool unchanged) {
        Py_ssize_t shared = 0;
        if (unchanged && last_ && PyTuple_CheckExact(path)) {
            const Py_ssize_t limit = std::min({static_cast<Py_ssize_t>(levels_.size()) - 1, count - 1,
                                               PyTuple_GET_SIZE(last_.get()) - 1});
            while (shared < limit && PyTuple_GET_ITEM(path, shared) == PyTuple_GET_ITEM(last_.get(), shared) &&
                   levels_[static_cast<size_t>(shared)].trusted())
                ++shared;
        }
        recording_ = PyTuple_CheckExact(path);
        if (shared == 0) return 0;
        const Level& level = levels_[static_cast<size_t>(shared) - 1];
        prev = Slot{level.dict, k = level.key, false};
        ptr = level.found;
        return shared;
    }

    // Element i, the quiet key `key`, was looked up in the dict `holder` and found
    // `found`, a dict this step made when `made`.
    void step(Py_ssize_t i, PyObject* holder, PyObject* key, PyObject* found, bool made) {
        const auto depth = static_cast<size_t>(i);
        if (!recording_ || depth >= levels_.size() || levels_[depth].dict.get() != holder || !quiet_key(key))
            return stop();
        Level& level = levels_[depth];
        level.key = Ref::borrow(key);
        level.found = Ref::borrow(found);
        const bool same = depth + 1 < levels_.size() && levels_[depth + 1].dict.get() == found;
        levels_.resize(depth + (same || made ? 2 : 1));
        if (made) levels_[depth + 1].made(found);
    }
    void stop() { recording_ = false; }
    // Whether `holder`, the dict element i is looked up in, is the chain's dict there,
    // changed by this walk alone, with quiet keys only, and `key` is quiet.
    bool quiet(Py_ssize_t i, PyObject* holder, PyObject* key) {
        return at(i, holder) && at(i, holder)->trusted() && quiet_key(key);
    }

    // This walk stores into the dict holding element i under `key`, and has stored.
    void storing(Py_ssize_t i, PyObject* holder, PyObject* key) {
        if (Level* level = at(i, holder)) level->quiet = level->trusted() && quiet_key(key);
    }
    void stored(Py_ssize_t i, PyObject* holder) {
        if (Level* level = at(i, holder)) level->stamp.record(holder);
    }

    void finish(PyObject* path) { last_ = PyTuple_CheckExact(path) ? Ref::borrow(path) : Ref(); }

private:
    struct Level {
        Ref dict, key, found;
        DictStamp stamp;  // the dict's version after this walk last stored into it
        bool quiet = false;

        void made(PyObject* d) {
            dict = Ref::borrow(d);
            stamp.record(d);
            quiet = true;
        }
        // Changed by this walk alone, holding quiet keys only.
        bool trusted() const { return quiet && stamp.holds(dict); }
    };

    Level* at(Py_ssize_t i, PyObject* holder) {
        const auto depth = static_cast<size_t>(i);
        return i >= 0 && depth < levels_.size() && levels_[depth].dict.get() == holder ? &levels_[depth] : nullptr;
    }

    std::vector<Level> levels_;  // levels_[i]: the dict that element i was looked up in
    Ref last_;
    bool recording_ = false;
};

// Whether the tests of a skipped step give what they gave (Chain, above).
bool steps_unchanged() {
    Ref marker = IndexMarker.get(module_globals);
    PyObject* cls = marker.get();
    return Py_TYPE(cls) == &PyType_Type && cls != reinterpret_cast<PyObject*>(&PyUnicode_Type) &&
           cls != reinterpret_cast<PyObject*>(&PyLong_Type) && cls != reinterpret_cast<PyObject*>(&PyBaseObject_Type) &&
           is_mutable_mapping.knows_dicts(Ref(MutableMapping.get(module_globals)));
}

// What the walk carries from one entry to the next: the tuple levels, the chain, and
// the cursor's last key and prev_ptr/prev_k (each held until an entry sets it again).
struct Walk {
    explicit Walk(PyObject* result) : result(result), chain(result) {}

    PyObject* result;  // the result, held by the caller
    Ref minus_one = check(PyLong_FromLong(-1));
    TupleLevels tuples;
    Chain chain;
    Ref k;
    Slot prev;  // prev_ptr, prev_k
};

// The cursor of one entry: `ptr`, what its path has reached so far, with the walk's
// `prev` and `k`.  It lives as long as the entry's turn in the walk, and lets go of
// the path's elements, then of `ptr`, before the entry itself is let go.
class Cursor {
public:
    // At the result, with the path's elements taken in once (ValueError for none).
    Cursor(Walk& walk, Py_ssize_t number, PyObject* path)
        : tuples_(walk.tuples),
          chain_(walk.chain),
          k_(walk.k),
          prev_(walk.prev),
          minus_one_(walk.minus_one),
          number_(number),
          path_(path),
          ptr_(Ref::borrow(walk.result)),
          elements_(exactly(path, &PyTuple_Type) ? Ref::borrow(path) : check(PySequence_Tuple(path))),
          count_(PyTuple_GET_SIZE(elements_.get())) {
        if (count_ == 0) raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: its path is empty", number);
    }

    Py_ssize_t count() const { return count_; }

    // The first element that needs a step: past a beginning shared with the previous
    // entry that would go the very same way, the cursor is where that beginning left it.
    Py_ssize_t resume() { return chain_.resume(path_, count_, ptr_, prev_, k_, steps_unchanged()); }

    // Element i becomes the key k; whether it is an IndexMarker (ValueError for the first).
    bool take(Py_ssize_t i) {
        k_ = Ref::borrow(PyTuple_GET_ITEM(elements_.get(), i));
        const bool marker = instance_of(k_, IndexMarker.get(module_globals));
        if (marker && i == 0)
            raise_format(PyExc_ValueError,
                         "cannot reconstruct entry %zd: its path begins with %R, not with a mapping key", number_,
                         k_.get());
        tuple_marker_ = fresh_ = false;
        return marker;
    }

    // Whether the cursor is at a mapping; a tuple level answers as a tuple.
    bool at_mapping() {
        return is_mutable_mapping(MutableMapping.get(module_globals), tuples_.holds(ptr_) ? Ref(check(PyTuple_New(0))) : ptr_);
    }

    void enter_index();
    void enter_key(Py_ssize_t i);
    void append_key();
    void place(PyObject* value);

    // The entry is placed: the chain remembers its path.
    void finish() { chain_.finish(path_); }

private:
    TupleLevels& tuples_;
    Chain& chain_;
    Ref& k_;
    Slot& prev_;
    const Ref& minus_one_;
    const Py_ssize_t number_;
    PyObject* const path_;  // held by the caller
    Ref ptr_;
    Ref elements_;
    const Py_ssize_t count_;
    bool tuple_marker_ = false;  // the last element taken is a marker with type_ exactly tuple
    bool fresh_ = false;         // ...and its position was made by this entry
};

// 2.2.1 A position in a list or tuple: the container is made or grown to have it, and
// the cursor enters its last element.
void Cursor::enter_index() {
    chain_.stop();
    Ref type_ = getattr(k_, n_type_);
    const bool tuple_type = type_.get() == reinterpret_cast<PyObject*>(&PyTuple_Type);
    bool level = tuples_.holds(ptr_);
    PyObject* cls = level ? reinterpret_cast<PyObject*>(&PyTuple_Type) : reinterpret_cast<PyObject*>(Py_TYPE(ptr_.get()));
    if (cls != type_.get()) {
        // Not a container of the marker's class: a placeholder replaces it.
        if (tuple_type)
            tuples_.open(prev_, placeholder(reinterpret_cast<PyObject*>(&PyList_Type)));
        else
            store(prev_, placeholder(type_));
        fresh_ = true;
    } else {
        // The container has the class: it grows when the position is new.
        if (tuple_type && !level) {
            // A tuple placed as a value: built on as a tuple level.
            ptr_ = tuples_.open(prev_, Ref(check(PySequence_List(ptr_))));
            level = true;
        }
        if (!has_position(ptr_, Ref(getattr(k_, n_index)), level)) {
            if (level || (PyList_CheckExact(ptr_.get()) && type_.get() == reinterpret_cast<PyObject*>(&PyList_Type)))
                check(PyList_Append(ptr_, Ref(check(PyDict_New()))));
            else
                ptr_ = check(PyNumber_InPlaceAdd(ptr_, placeholder(type_)));
            fresh_ = true;
        }
    }
    // The cursor enters the last element of the container as stored.
    tuple_marker_ = tuple_type;
    prev_ = Slot{load(prev_), minus_one_, true};
    ptr_ = load(prev_);
}

// 2.2.2 A key of a mapping, element i: ptr[k] = ptr.get(k, {}), then enter it.
void Cursor::enter_key(Py_ssize_t i) {
    Ref current;
    bool made = false;
    // In a dict of the chain, a plain key's lookups run no code: storing back
    // what was found, and reading it again, would change and find nothing else.
    const bool quiet = chain_.quiet(i, ptr_, k_);
    if (exactly(ptr_.get(), &PyDict_Type)) {  // dict.get, without the method call
        current = Ref::borrow(compat::dict_get(ptr_, k_));
        if (!current) {
            check_no_error();
            current = check(PyDict_New());
            made = true;
        }
    } else {
        current = call_method(ptr_, n_get, k_, Ref(check(PyDict_New())));
    }
    if (made || !quiet) {
        chain_.storing(i, ptr_, k_);
        if (exactly(ptr_.get(), &PyDict_Type))
            check(PyDict_SetItem(ptr_, k_, current));
        else
            setitem(ptr_, k_, current);
        chain_.stored(i, ptr_);
    }
    prev_ = Slot{ptr_, k_, false};
    Ref holder = std::move(ptr_);
    ptr_ = quiet ? current : getitem(holder, k_);
    if (exactly(holder.get(), &PyDict_Type))
        chain_.step(i, holder, k_, ptr_, made && ptr_.get() == current.get());
    else
        chain_.stop();
}

// 2.2.3 A key below something that is not a mapping: a one-element container of the
// cursor's class, holding {k: {}}, is appended to it, and the cursor enters k there.
void Cursor::append_key() {
    if (tuples_.holds(ptr_))
        raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a tuple", number_,
                     k_.get());
    Ref inner = check(PyDict_New());
    check(PyDict_SetItem(inner, k_, Ref(check(PyDict_New()))));
    Ref one = call(reinterpret_cast<PyObject*>(Py_TYPE(ptr_.get())), Ref(check(PyTuple_Pack(1, inner.get()))));
    Ref grown = check(PyNumber_InPlaceAdd(ptr_, one));
    if (grown.get() != ptr_.get()) {
        // Appended to the cursor only (a tuple, say): the entry would be lost.
        raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a %.200s", number_,
                     k_.get(), Py_TYPE(ptr_.get())->tp_name);
    }
    ptr_ = load(Slot{ptr_, minus_one_, true});
    prev_ = Slot{ptr_, k_, false};
    ptr_ = getitem(ptr_, k_);
}

// 2.3 The value goes where the last element says: into a tuple level, in the position
// this entry made or as its next element; elsewhere, stored at prev_ptr[prev_k].
void Cursor::place(PyObject* value) {
    if (tuple_marker_ && tuples_.holds(prev_.holder)) {
        if (fresh_)
            store(prev_, value);
        else
            check(PyList_Append(prev_.holder, value));
    } else {
        if (!prev_.position) chain_.storing(count_ - 1, prev_.holder, prev_.key);
        store(prev_, value);
        chain_.stored(count_ - 1, prev_.holder);
    }
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
    // 1. The result, a new dict.
    Ref ret = check(PyDict_New());
    Walk walk(ret);
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
        Cursor cursor(walk, number, path);

        // 2.2 Each element moves the cursor one level down (but for a beginning shared
        // with the previous entry that would go the very same way).
        for (Py_ssize_t i = cursor.resume(); i < cursor.count(); ++i) {
            if (cursor.take(i))
                cursor.enter_index();  // 2.2.1 a position in a list or tuple
            else if (cursor.at_mapping())
                cursor.enter_key(i);  // 2.2.2 a key of a mapping
            else
                cursor.append_key();  // 2.2.3 a key below something that is not a mapping
        }

        // 2.3 The value goes where the last element says.
        cursor.place(value);
        cursor.finish();
    }
    walk.tuples.close();
    return ret;
}

}  // namespace tavox::pathroll

// tavox.datastructures.pathroll: PathRoll, a list of (path, value) entries that is
// the flat form of a nested dictionary, with DictItem (the entries) and IndexMarker
// (the path element for a position in a list or tuple).
//
// Flattening is a generator (PathRoll.__flatten__) that delegates to one generator
// per nested container; reconstruct walks every entry's path with a cursor.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/exceptions.hpp"
#include "common/generator.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/super.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

using namespace tavox;

namespace {

Name n_module{"module"};
Name n___init__{"__init__"}, n___new__{"__new__"}, n___name__{"__name__"}, n___setitem__{"__setitem__"},
    n___flatten__{"__flatten__"}, n___instancecheck__{"__instancecheck__"};
Name n_append{"append"}, n_insert{"insert"}, n_extend{"extend"}, n_items{"items"}, n_get{"get"},
    n_type_{"type_"}, n_index{"index"}, n_get_cache_token{"get_cache_token"}, n__tuple_new{"_tuple_new"};
Name n_DictItem{"DictItem"}, n_IndexMarker{"IndexMarker"}, n_MutableMapping{"MutableMapping"},
    n_PathRoll{"PathRoll"};

BuiltinMethod list_init{&PyList_Type, "__init__"};
BuiltinMethod list_setitem{&PyList_Type, "__setitem__"};
BuiltinMethod list_append{&PyList_Type, "append"};

SuperCache init_next, setitem_next, append_next, extend_next, insert_next;

const char refused[] = "PathRoll only accepts a tuple of path/obj";

// Set by the module body and kept for the life of the process (the module object
// is never freed): the module dictionary, and the objects the fast paths compare
// the module globals with.
PyObject* globals = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* full_slice = nullptr;  // slice(None, None, None): path[:]
PyObject* minus_one = nullptr;
PyObject* pathroll_class = nullptr;
PyObject* flatten_descriptor = nullptr;  // the staticmethod in PathRoll's namespace
PyObject* flatten_function = nullptr;    // PathRoll.__flatten__ as made

// ---- knowing that nothing changed ------------------------------------------------
//
// The fast paths below run what the interpreter would run after checking that the
// objects involved are the ones the module body saw.  Re-checking everything on
// every entry would cost more than the work itself, so two facts of the
// interpreter carry the checks over:
//
//  * A type gets a new version tag whenever it, or a class on its MRO, changes
//    (attributes, slots, bases); while it keeps a tag recorded after a check, every
//    lookup on it gives what it gave then.
//  * A dictionary tells when it changes: its version tag before 3.12, a dictionary
//    watcher from 3.12 on.
//
// Everything compared by identity is held (strong references kept for the life of
// the process), so an identity test never meets a new object at a freed address.

class TypeVersion {
public:
    // True while `type` is the recorded type with the recorded tag.
    bool same(PyTypeObject* type) const { return type == type_ && tag_ && compat::type_version(type) == tag_; }
    // After a successful check of `type`: remember its tag (the lookup gives it one).
    void record(PyTypeObject* type, PyObject* name) {
        (void)compat::type_lookup(type, name);
        type_ = type;
        tag_ = compat::type_version(type);
    }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

class WatchedDict {
public:
    void watch(PyObject* dict) {
        dict_ = dict;
#if PY_VERSION_HEX >= 0x030C0000
        if (watcher < 0) {
            watcher = PyDict_AddWatcher(on_change);
            if (watcher < 0) {
                PyErr_Clear();  // none left: such dictionaries always count as changed
                return;
            }
        }
        for (WatchedDict*& slot : watched) {
            if (!slot) {
                check(PyDict_Watch(watcher, dict));
                slot = this;
                watching_ = true;
                return;
            }
        }
#endif
    }

    // Whether the dictionary may have changed since the last call.
    bool changed() {
#if PY_VERSION_HEX >= 0x030C0000
        return !watching_ || std::exchange(changed_, false);
#else
        const auto version = reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag;
        return std::exchange(version_, version) != version;
#endif
    }

private:
    PyObject* dict_ = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    static int on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
        for (WatchedDict* w : watched)
            if (w && w->dict_ == dict) w->changed_ = true;
        return 0;
    }
    static inline int watcher = -1;
    static inline WatchedDict* watched[4] = {};
    bool changed_ = true;
    bool watching_ = false;  // else it always counts as changed
#else
    uint64_t version_ = 0;
#endif
};

// The module globals read for every entry.  Each is read at each use (a replaced
// global takes effect at once); the value found is kept until the module
// dictionary changes, and while it is kept the unchanged dictionary holds it.
enum Hot { h_MutableMapping, h_DictItem, h_IndexMarker, h_PathRoll, h_count };

class HotGlobals {
public:
    void init(PyObject* dict) {
        dict_ = dict;
        watched_.watch(dict);
    }

    Ref operator()(Hot which) {
        refresh();
        if (!values_[which]) {
            PyObject* value = compat::dict_get(dict_, *names_[which]);
            if (!value) {
                check_no_error();
                return lookup_global(dict_, *names_[which]);  // a builtin, or NameError
            }
            values_[which] = value;
        }
        return Ref::borrow(values_[which]);
    }

    // Changes whenever the module dictionary may have changed.
    uint64_t generation() {
        refresh();
        return generation_;
    }

private:
    void refresh() {
        if (watched_.changed()) {
            for (PyObject*& value : values_) value = nullptr;
            ++generation_;
        }
    }

    PyObject* dict_ = nullptr;
    WatchedDict watched_;
    uint64_t generation_ = 0;
    PyObject* values_[h_count] = {};
    const Name* names_[h_count] = {&n_MutableMapping, &n_DictItem, &n_IndexMarker, &n_PathRoll};
};

HotGlobals hot;

// ---- errors ----------------------------------------------------------------------

// ValueError "PathRoll only accepts a tuple of path/obj", raised while the pending
// error is being handled: that error becomes its __context__.
[[noreturn]] void refuse_pair() { raise_in_place(PyExc_ValueError, refused); }

// ---- type tests --------------------------------------------------------------------
//
// Instances of these exact built-in types answer __class__ with their own type and
// have no instance attributes, so isinstance() against a class whose metaclass is
// `type` is a subtype test of their type.

// The position of `type` in this list, or -1: the common ones first.
constexpr int plain_count = 9;
int plain_index(PyTypeObject* type) {
    if (type == &PyUnicode_Type) return 0;
    if (type == &PyLong_Type) return 1;
    if (type == &PyDict_Type) return 2;
    if (type == &PyList_Type) return 3;
    if (type == &PyTuple_Type) return 4;
    if (type == &PyFloat_Type) return 5;
    if (type == &PyBool_Type) return 6;
    if (type == Py_TYPE(Py_None)) return 7;
    if (type == &PyBytes_Type) return 8;
    return -1;
}

bool plain_builtin(PyTypeObject* type) { return plain_index(type) >= 0; }

// isinstance(obj, cls)
bool instance_of(PyObject* obj, PyObject* cls) {
    if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls)) return true;
    if (Py_TYPE(cls) == &PyType_Type && plain_builtin(Py_TYPE(obj))) {
        // The MRO of a plain built-in type holds static built-in types only.
        if (PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) return false;
        return PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
    }
    return isinstance(obj, cls);
}

// isinstance(obj, MutableMapping) with the module global read by the caller.
//
// While that global is still collections.abc.MutableMapping with ABCMeta's own
// __instancecheck__, the answer for an instance of a plain built-in type is the
// one the ABC machinery keeps for that type: a positive answer for good (ABCMeta
// never drops a class from its positive cache or registry, short of its debugging
// helpers), a negative one until abc.get_cache_token() changes (any register()
// call), exactly as ABCMeta's own negative cache.  Those answers are memoised here;
// everything else asks isinstance().
class MappingCheck {
public:
    void init(PyObject* mapping_abc) {
        abc_ = mapping_abc;
        meta_ = Py_TYPE(mapping_abc);
        Py_INCREF(meta_);
        instancecheck_ = Ref::borrow(compat::type_lookup(meta_, n___instancecheck__)).release();
        Ref abc_module = check(PyImport_ImportModule("abc"));
        token_ = getattr(abc_module, n_get_cache_token).release();
        if (PyCFunction_Check(token_) && (PyCFunction_GET_FLAGS(token_) & (METH_VARARGS | METH_KEYWORDS | METH_O |
                                                                          METH_FASTCALL | METH_NOARGS)) == METH_NOARGS)
            direct_token_ = PyCFunction_GET_FUNCTION(token_);
    }

    // Whether isinstance(d, mapping_abc) is known to be true for every exact dict d.
    bool knows_dicts(PyObject* mapping_abc) {
        const Answer& answer = answers_[plain_index(&PyDict_Type)];
        return original(mapping_abc) && answer.known && answer.yes;
    }

    // Whether `mapping_abc` is still the ABC as imported, with ABCMeta's own check.
    bool original(PyObject* mapping_abc) {
        if (mapping_abc != abc_ || Py_TYPE(mapping_abc) != meta_ || !instancecheck_) return false;
        if (meta_version_.same(meta_)) return true;
        if (compat::type_lookup(meta_, n___instancecheck__) != instancecheck_) return false;
        meta_version_.record(meta_, n___instancecheck__);
        return true;
    }

    bool operator()(PyObject* mapping_abc, PyObject* obj) {
        const int plain = plain_index(Py_TYPE(obj));
        if (plain < 0 || !original(mapping_abc)) return isinstance(obj, mapping_abc);
        Answer& answer = answers_[plain];
        if (answer.known && answer.yes) return true;
        long long token = current_token();
        if (answer.known && answer.token == token) return false;
        bool yes = isinstance(obj, mapping_abc);
        answer = Answer{true, yes, token};
        return yes;
    }

private:
    struct Answer {
        bool known = false;
        bool yes = false;
        long long token = 0;
    };

    // abc.get_cache_token(): its C function, called directly when it is a built-in
    // taking no arguments; else through the call protocol.
    long long current_token() {
        Ref token = direct_token_ ? check(direct_token_(PyCFunction_GET_SELF(token_), nullptr)) : call(token_);
        long long value = PyLong_AsLongLong(token);
        if (value == -1) check_no_error();
        return value;
    }

    // Strong references, kept for the life of the process (so that an identity
    // test never meets a new object at a freed one's address).
    PyObject* abc_ = nullptr;
    PyTypeObject* meta_ = nullptr;
    PyObject* instancecheck_ = nullptr;
    TypeVersion meta_version_;
    PyObject* token_ = nullptr;
    PyCFunction direct_token_ = nullptr;
    Answer answers_[plain_count];  // one per plain built-in type
};

MappingCheck is_mapping;

// isinstance(value, (MutableMapping, list, tuple)) and value: a container to walk.
bool walkable(PyObject* value) {
    Ref mapping_abc = hot(h_MutableMapping);
    // A list or tuple is a container whatever the mapping test says; that test is
    // skipped only when it is the ABC's own, which has no effect to skip.
    bool container = (PyList_Check(value) || PyTuple_Check(value)) && is_mapping.original(mapping_abc);
    if (!container) {
        container = is_mapping(mapping_abc, value) || PyList_Check(value) || PyTuple_Check(value) ||
                    (!plain_builtin(Py_TYPE(value)) &&
                     (isinstance(value, reinterpret_cast<PyObject*>(&PyList_Type)) ||
                      isinstance(value, reinterpret_cast<PyObject*>(&PyTuple_Type))));
    }
    return container && is_true(value);
}

// ---- entries and markers ---------------------------------------------------------

// `path, value = item`: exactly two parts, with the messages of call.hpp's unpack2.
// Tuples (DictItem included) whose iteration is the tuple's own are read directly.
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
    if (PyTuple_Check(item) && Py_TYPE(item)->tp_iter == PyTuple_Type.tp_iter && PyTuple_GET_SIZE(item) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    return unpack2(item);
}

// DictItem(path, value) for the class `cls` (the module global, read by the caller).
//
// While cls is the named tuple the module body made, unchanged, the call runs
// namedtuple's own __new__, whose code is `return _tuple_new(_cls, (path, value))`
// with _tuple_new = tuple.__new__, and no __init__: the entry is built here as
// tuple.__new__ builds an instance of a subclass.  Everything is compared at each
// call: the class, its slots, the __new__ found on it and that function's code and
// its `_tuple_new`.
class EntryMaker {
public:
    void init(PyObject* cls) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        cls_ = cls;
        new_slot_ = type->tp_new;
        init_slot_ = type->tp_init;
        alloc_ = type->tp_alloc;
        new_descriptor_ = Ref::borrow(compat::type_lookup(type, n___new__)).release();
        if (!new_descriptor_ || Py_TYPE(new_descriptor_) != &PyStaticMethod_Type) return;
        Ref function = check(PyStaticMethod_Type.tp_descr_get(new_descriptor_, nullptr, cls));
        if (!PyFunction_Check(function.get())) return;
        PyObject* tuple_new = compat::dict_get(PyFunction_GET_GLOBALS(function.get()), n__tuple_new);
        Ref builtin_new = getattr(reinterpret_cast<PyObject*>(&PyTuple_Type), n___new__);
        if (tuple_new != builtin_new.get() || init_slot_ != PyBaseObject_Type.tp_init) return;
        code_ = Ref::borrow(PyFunction_GET_CODE(function.get())).release();
        tuple_new_ = Ref::borrow(tuple_new).release();
        namespace_.watch(PyFunction_GET_GLOBALS(function.get()));
        function_ = function.release();
    }

    Ref operator()(PyObject* cls, PyObject* path, PyObject* value) {
        if (!unchanged(cls)) return call(cls, path, value);
        Ref entry = check(alloc_(reinterpret_cast<PyTypeObject*>(cls), 2));
        PyTuple_SET_ITEM(entry.get(), 0, Ref::borrow(path).release());
        PyTuple_SET_ITEM(entry.get(), 1, Ref::borrow(value).release());
        return entry;
    }

private:
    bool unchanged(PyObject* cls) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (cls != cls_ || !function_ || Py_TYPE(cls) != &PyType_Type) return false;
        // The class: its slots and the __new__ found on it (carried by its version tag).
        if (!version_.same(type)) {
            if (type->tp_new != new_slot_ || type->tp_init != init_slot_ || type->tp_alloc != alloc_ ||
                compat::type_lookup(type, n___new__) != new_descriptor_)
                return false;
            version_.record(type, n___new__);
        }
        // The function in that staticmethod, its code, and the `_tuple_new` it calls.
        Ref function = Ref::steal(PyStaticMethod_Type.tp_descr_get(new_descriptor_, nullptr, cls));
        if (function.get() != function_) {
            if (!function) PyErr_Clear();
            return false;
        }
        if (PyFunction_GET_CODE(function_) != code_) return false;
        if (namespace_.changed()) {
            PyObject* tuple_new = compat::dict_get(PyFunction_GET_GLOBALS(function_), n__tuple_new);
            if (!tuple_new) PyErr_Clear();
            tuple_new_found_ = tuple_new == tuple_new_;
        }
        return tuple_new_found_;
    }

    PyObject* cls_ = nullptr;
    newfunc new_slot_ = nullptr;
    initproc init_slot_ = nullptr;
    allocfunc alloc_ = nullptr;
    PyObject* new_descriptor_ = nullptr;
    PyObject* function_ = nullptr;
    PyObject* code_ = nullptr;
    PyObject* tuple_new_ = nullptr;
    TypeVersion version_;
    WatchedDict namespace_;
    bool tuple_new_found_ = false;
};

EntryMaker make_entry;

// prefix + (element,)
Ref extend(PyObject* prefix, PyObject* element) {
    if (PyTuple_CheckExact(prefix)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(prefix);
        Ref path = check(PyTuple_New(n + 1));
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(path.get(), i, Ref::borrow(PyTuple_GET_ITEM(prefix, i)).release());
        PyTuple_SET_ITEM(path.get(), n, Ref::borrow(element).release());
        return path;
    }
    Ref single = check(PyTuple_Pack(1, element));
    return check(PyNumber_Add(prefix, single));
}

// ---- IndexMarker -----------------------------------------------------------------

const char marker_init_doc[] =
    "Tracks the index position of an element in a list or tuple.\n"
    "\n"
    "Arguments:\n"
    "    obj: the object (list or tuple) to store the position for\n"
    "    index: the index value";

void marker_set(PyObject* self, PyObject* obj, PyObject* index) {
    // 1. The class of the container, never the container.
    setattr(self, n_type_, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    // 2. int(index): an exact int as it is.
    setattr(self, n_index, PyLong_CheckExact(index) ? Ref::borrow(index) : check(PyNumber_Long(index)));
}

// __init__(self, obj, index)
Ref marker_init(const Args& a) {
    marker_set(a.self(), a[1], a[2]);
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

// IndexMarker(obj, position) for the class `cls` (the module global, read by the
// caller).  While cls is the class the module body made, unchanged (type's call,
// object's __new__, no abstract methods, and __init__ resolving to the function
// above), the marker is allocated and initialised here as type.__call__ would;
// anything else is called.
class MarkerMaker {
public:
    void init(PyObject* cls) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        cls_ = cls;
        new_slot_ = type->tp_new;
        init_slot_ = type->tp_init;
        init_function_ = Ref::borrow(compat::type_lookup(type, n___init__)).release();  // held
    }

    Ref operator()(PyObject* cls, PyObject* obj, PyObject* position) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (cls != cls_ || Py_TYPE(cls) != &PyType_Type) return call(cls, obj, position);
        if (!version_.same(type)) {  // slots, abstract methods, __init__: carried by the version tag
            if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_new != new_slot_ || type->tp_init != init_slot_ ||
                PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) || compat::type_lookup(type, n___init__) != init_function_)
                return call(cls, obj, position);
            version_.record(type, n___init__);
        }
        // type.__call__: object.__new__ (which also lays out the instance's
        // attribute storage), then __init__.
        Ref marker = check(PyBaseObject_Type.tp_new(type, empty_tuple, nullptr));
        marker_set(marker, obj, position);
        return marker;
    }

private:
    PyObject* cls_ = nullptr;
    newfunc new_slot_ = nullptr;
    initproc init_slot_ = nullptr;
    PyObject* init_function_ = nullptr;
    TypeVersion version_;
};

MarkerMaker make_marker;

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

// The steps of one flattening, shared by the generator and by the construction walk
// below.  Its state is a row of references (a generator's slots), and a kind and a
// position that hold no reference.
enum Row : Py_ssize_t { s_indict, s_path, s_prefix, s_iterator, s_key, s_value, s_count };
enum class Kind { mapping, sequence, by_position, other };
enum class Next { entry, nested, end };

// PathRoll.__flatten__, with PathRoll the module global at this use.
TypeVersion pathroll_version;

Ref flatten_function_now() {
    Ref cls = hot(h_PathRoll);
    // The class the module body made, unchanged: its attribute is the function in
    // the staticmethod found on it (type's own getattr; type has no data
    // descriptor of that name).
    if (cls.get() == pathroll_class && Py_TYPE(cls.get()) == &PyType_Type &&
        pathroll_version.same(reinterpret_cast<PyTypeObject*>(cls.get())))
        return check(PyStaticMethod_Type.tp_descr_get(flatten_descriptor, nullptr, cls));
    if (cls.get() == pathroll_class && Py_TYPE(cls.get()) == &PyType_Type &&
        compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), n___flatten__) == flatten_descriptor)
        pathroll_version.record(reinterpret_cast<PyTypeObject*>(cls.get()), n___flatten__);
    return getattr(cls, n___flatten__);
}

// 1. The prefix, and which of steps 2 - 4 applies.
Kind begin(Ref* s) {
    if (is_true(s[s_path]))  // path[:] of an exact tuple is that tuple
        s[s_prefix] = PyTuple_CheckExact(s[s_path].get()) ? s[s_path] : getitem(s[s_path], full_slice);
    else
        s[s_prefix] = Ref::borrow(empty_tuple);
    s[s_path].reset();
    PyObject* indict = s[s_indict];
    if (is_mapping(hot(h_MutableMapping), indict)) {
        s[s_iterator] = iterate(call_method(indict, n_items));
        return Kind::mapping;
    }
    // Exact lists and tuples are read by position, which is what their iterators do.
    if (PyList_CheckExact(indict) || PyTuple_CheckExact(indict)) return Kind::by_position;
    if (PyList_Check(indict) || PyTuple_Check(indict) ||
        (!plain_builtin(Py_TYPE(indict)) && (isinstance(indict, reinterpret_cast<PyObject*>(&PyList_Type)) ||
                                             isinstance(indict, reinterpret_cast<PyObject*>(&PyTuple_Type))))) {
        s[s_iterator] = iterate(indict);
        return Kind::sequence;
    }
    return Kind::other;
}

// The next step of 2 - 4: an entry to hand out (`out`), a nested container s[s_value]
// to flatten through `function` with the prefix `out`, or the end.
Next advance(Ref* s, Kind kind, Py_ssize_t& position, Ref& out, Ref& function) {
    if (kind == Kind::mapping) {
        // 2. Each (key, value) of indict.items(), in order.
        {
            Ref item = next(s[s_iterator]);
            if (!item) return Next::end;
            auto [key, value] = unpack_pair(item);
            s[s_key] = std::move(key);
            s[s_value] = std::move(value);
        }
        if (walkable(s[s_value])) {
            // 2.1 PathRoll.__flatten__(value, prefix + (key,)), item by item.
            function = flatten_function_now();
            out = extend(s[s_prefix], s[s_key]);
            return Next::nested;
        }
        // 2.2 DictItem(prefix + (key,), value)
        Ref cls = hot(h_DictItem);
        out = make_entry(cls, extend(s[s_prefix], s[s_key]), s[s_value]);
        return Next::entry;
    }
    if (kind == Kind::other) {
        // 4. indict itself, once.
        if (position++ > 0) return Next::end;
        out = s[s_indict];
        return Next::entry;
    }
    // 3. Each element with its position, as enumerate() counts it.
    {
        Ref element;
        if (kind == Kind::sequence)
            element = next(s[s_iterator]);
        else if (position < PySequence_Fast_GET_SIZE(s[s_indict].get()))
            element = Ref::borrow(PySequence_Fast_GET_ITEM(s[s_indict].get(), position));
        if (!element) return Next::end;
        s[s_value] = std::move(element);
    }
    Ref index = check(PyLong_FromSsize_t(position++));
    if (walkable(s[s_value])) {
        // 3.1 One marker for every entry below the element, then its flattening.
        Ref marker = make_marker(hot(h_IndexMarker), s[s_indict], index);
        function = flatten_function_now();
        out = extend(s[s_prefix], marker);
        return Next::nested;
    }
    // 3.2 DictItem(prefix + (IndexMarker(indict, position),), element)
    Ref cls = hot(h_DictItem);
    Ref marker = make_marker(hot(h_IndexMarker), s[s_indict], index);
    out = make_entry(cls, extend(s[s_prefix], marker), s[s_value]);
    return Next::entry;
}

GeneratorCode flatten_code{"__flatten__", "PathRoll.__flatten__", "tavox.datastructures.pathroll"};

GeneratorBody flatten_body(Generator& g);

Ref new_flattening(PyObject* indict, PyObject* path) {
    return make_generator(flatten_code, flatten_body, s_count, {indict, path});
}

// function(value, prefix): a new flattening generator when function is ours.
Ref start_nested(PyObject* function, PyObject* value, PyObject* prefix) {
    if (function == flatten_function) return new_flattening(value, prefix);
    return call(function, value, prefix);
}

// The generator's body.  Everything the walk keeps between items is in the slots;
// the locals hold no reference at a suspension.
GeneratorBody flatten_body(Generator& g) {
    Ref* s = g.slots();
    const Kind kind = begin(s);
    Py_ssize_t position = 0;
    for (;;) {
        Ref out, function;
        const Next step = advance(s, kind, position, out, function);
        if (step == Next::end) break;
        if (step == Next::nested) {
            out = start_nested(function, s[s_value], out);
            function.reset();
            co_await g.yield_from(std::move(out));
        } else {
            co_yield std::move(out);
        }
    }
}

// __flatten__(indict, path=None)
Ref pathroll_flatten(const Args& a) { return new_flattening(a[0], a[1]); }

// The flattening that PathRoll(mapping) hands to list.__init__, when that is the
// base's __init__: nobody but list.__init__ sees it, and it only calls next() until
// the end or an error, so the generators it would make are not needed.  The walk
// takes the very steps the generators take, in the same order, on an explicit
// stack: one row of slots per container being walked, a foreign iterator for what a
// replaced __flatten__ returned.  What the generators do between the steps is
// reproduced too: the recursion check of each delegation level, and PEP 479 at the
// level where an error leaves the steps.
class Walk {
public:
    explicit Walk(PyObject* indict) { push(indict, Py_None); }
    ~Walk() { unwind(); }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // The next entry; an empty Ref at the end.  Throws PyError.
    Ref next() {
        try {
            while (!levels_.empty()) {
                Level& top = levels_.back();
                if (top.foreign) {
                    if (Ref item = tavox::next(top.foreign)) return item;
                    pop();
                    continue;
                }
                Ref out, function;
                try {
                    if (!top.started) {
                        top.started = true;
                        top.kind = begin(row(levels_.size() - 1));
                    }
                    Ref* s = row(levels_.size() - 1);
                    const Next step = advance(s, top.kind, top.position, out, function);
                    if (step == Next::entry) return out;
                    if (step == Next::end) {
                        pop();
                        continue;
                    }
                    if (function.get() != flatten_function) {
                        Ref delegate = iterate(call(function, s[s_value], out));
                        levels_.push_back(Level{});
                        levels_.back().foreign = std::move(delegate);
                        continue;
                    }
                } catch (const PyError&) {
                    convert_stop_iteration();
                    throw;
                }
                // The delegation to a generator of ours: one level of recursion.
                if (Py_EnterRecursiveCall(" while running a delegated generator")) throw_error();
                ++entered_;
                push(row(levels_.size() - 1)[s_value], out);
            }
            return Ref();
        } catch (...) {
            unwind();  // a generator that raised is finished, and so are those it was delegating for
            throw;
        }
    }

private:
    struct Level {
        Ref foreign;
        Kind kind = Kind::other;
        Py_ssize_t position = 0;
        bool started = false;
    };

    static void convert_stop_iteration() {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) set_from_cause(PyExc_RuntimeError, "generator raised StopIteration");
    }

    Ref* row(size_t level) { return &slots_[level * s_count]; }

    void push(PyObject* indict, PyObject* path) {
        Ref keep_indict = Ref::borrow(indict), keep_path = Ref::borrow(path);  // the rows may move
        slots_.resize(slots_.size() + s_count);
        Ref* s = row(levels_.size());
        s[s_indict] = std::move(keep_indict);
        s[s_path] = std::move(keep_path);
        levels_.push_back(Level{});
    }

    void pop() {
        if (!levels_.back().foreign) {
            slots_.resize(slots_.size() - s_count);
            if (entered_) {
                --entered_;
                Py_LeaveRecursiveCall();
            }
        }
        levels_.pop_back();
    }

    void unwind() {
        for (; entered_; --entered_) Py_LeaveRecursiveCall();
        levels_.clear();
        slots_.clear();
    }

    // The recursion count is raised by one per level of delegation below the first,
    // as the chain of generators raises it while an item comes up through it.  It
    // stays raised between two calls, when only list.__init__'s own loop runs (no
    // Python code), and drops as levels end or when the walk fails.
    std::vector<Level> levels_;
    std::vector<Ref> slots_;
    size_t entered_ = 0;
};

// A Walk as a Python iterator, for list.__init__.
struct WalkObject {
    PyObject_HEAD
    Walk* walk;
};

PyTypeObject WalkType = compat::static_type_head();

PyObject* walk_next(PyObject* self) {
    return boundary([&] { return reinterpret_cast<WalkObject*>(self)->walk->next(); });
}

void walk_dealloc(PyObject* self) {
    delete reinterpret_cast<WalkObject*>(self)->walk;  // null when making it failed
    PyObject_Free(self);
}

Ref new_walk(PyObject* indict) {
    if (!(WalkType.tp_flags & Py_TPFLAGS_READY)) {
        WalkType.tp_name = "tavox.datastructures.pathroll.walk";
        WalkType.tp_basicsize = sizeof(WalkObject);
        WalkType.tp_flags = Py_TPFLAGS_DEFAULT;
        WalkType.tp_dealloc = walk_dealloc;
        WalkType.tp_iter = PyObject_SelfIter;
        WalkType.tp_iternext = walk_next;
        check(PyType_Ready(&WalkType));
    }
    auto* object = PyObject_New(WalkObject, &WalkType);
    if (!object) throw_error();
    object->walk = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(object));
    object->walk = new Walk(indict);
    return result;
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

// Calls the next class's __init__ (list's for a plain PathRoll) with these arguments.
void init_base(const Args& a, PyObject* args) {
    Super base(a);
    PyObject* init = base.require(n___init__, init_next);
    if (init == list_init)
        check(PyList_Type.tp_init(a.self(), args, nullptr));
    else
        call_args(base.bind(init), args, nullptr);
}

// __init__(self, *args)
Ref pathroll_init(const Args& a) {
    PyObject* args = a.varargs;
    if (PyTuple_GET_SIZE(args) == 1) {
        PyObject* source = PyTuple_GET_ITEM(args, 0);
        // 1. A mapping: the base list takes PathRoll.__flatten__(source).  When
        // that is ours and the base is list itself, it takes the walk instead.
        if (is_mapping(hot(h_MutableMapping), source)) {
            Ref function = flatten_function_now();
            Ref flattening;
            Super base(a);
            if (function.get() == flatten_function && base.require(n___init__, init_next) == list_init)
                flattening = new_walk(source);
            else
                flattening = function.get() == flatten_function ? new_flattening(source, Py_None)
                                                                : call(function, source);
            init_base(a, Ref(check(PyTuple_Pack(1, flattening.get()))));
            return none();
        }
        // 2. Anything else must be pairs.  The argument is taken in once (a one-shot
        // iterator would otherwise be used up by the test), and what was taken is
        // what the base list stores.
        Ref taken;
        try {
            taken = check(PySequence_List(source));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(taken.get()); ++i) unpack_pair(PyList_GET_ITEM(taken.get(), i));
        } catch (const PyError&) {
            refuse_pair();
        }
        init_base(a, Ref(check(PyTuple_Pack(1, taken.get()))));
        return none();
    }
    init_base(a, args);
    return none();
}

// The two parts of an edit's item, or the ValueError that refuses it.
std::pair<Ref, Ref> pair_of(PyObject* item) {
    try {
        return unpack_pair(item);
    } catch (const PyError&) {
        refuse_pair();
    }
}

// __setitem__(self, index, item)
Ref pathroll_setitem(const Args& a) {
    PyObject* self = a.self();
    PyObject* index = a[1];
    PyObject* item = a[2];
    // 1. A pair, or the list stays as it is.
    auto [path, value] = pair_of(item);
    // 2. tuple(item): the item itself when it is a tuple, else a tuple of the two
    // parts taken (an iterator is not read twice).
    Ref entry = PyTuple_CheckExact(item) ? Ref::borrow(item) : check(PyTuple_Pack(2, path.get(), value.get()));
    Super base(a);
    PyObject* found = base.require(n___setitem__, setitem_next);
    if (found == list_setitem)
        check(PyList_Type.tp_as_mapping->mp_ass_subscript(self, index, entry));
    else
        base.call_found(found, n___setitem__, index, entry);
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
    // 1.
    auto [path, value] = pair_of(a[1]);
    // 2.
    Ref entry = make_entry(hot(h_DictItem), path, value);
    Super base(a);
    PyObject* found = base.require(n_append, append_next);
    if (found == list_append)
        check(PyList_Append(a.self(), entry));
    else
        base.call_found(found, n_append, entry);
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
    Ref entries = check(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    for (size_t i = 0; i < pairs.size(); ++i) {
        Ref entry = make_entry(hot(h_DictItem), pairs[i].first, pairs[i].second);
        PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    Super base(a);
    base.call_found(base.require(n_extend, extend_next), n_extend, entries);
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
    // 1.
    auto [path, value] = pair_of(a[2]);
    // 2. The position as given: the base list clamps it.
    Ref entry = make_entry(hot(h_DictItem), path, value);
    Super base(a);
    base.call_found(base.require(n_insert, insert_next), n_insert, a[1], entry);
    return none();
}

// ---- PathRoll.reconstruct ----------------------------------------------------------
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
    if (type_ == reinterpret_cast<PyObject*>(&PyList_Type)) {
        Ref list = check(PyList_New(1));
        PyList_SET_ITEM(list.get(), 0, check(PyDict_New()).release());
        return list;
    }
    Ref inner = check(PyDict_New());
    return call(type_, Ref(check(PyTuple_Pack(1, inner.get()))));
}

// The path as a sequence of elements: list(path), or an exact tuple as it is.
Ref path_elements(PyObject* path) {
    if (PyTuple_CheckExact(path)) return Ref::borrow(path);
    return check(PySequence_List(path));
}

bool plain_key(PyObject* key) {
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);  // no Python code in hash and ==
}

// Consecutive entries share the beginning of their paths (all entries below one
// key or element come together).  The steps for a shared beginning of plain keys
// (exact str or int) looked up in the result's own dicts are not taken again: they
// would find the very dicts the previous entry found, because
//
//  * those dicts are held in the result and nothing but this walk can reach them;
//  * no step ever removes a key, and the only steps that replace what a key holds
//    are a marker whose class differs, a tuple level, or the placing of a value:
//    for the previous entry those act below its shared beginning (it has at least
//    one element more), never on the dicts of the beginning;
//  * the checks those steps make (the IndexMarker and MutableMapping module
//    globals, ABCMeta's __instancecheck__) give the same answers while the module
//    dictionary, the ABC's class and IndexMarker's metaclass are unchanged, which
//    is verified before each reuse.
//
// The last shared key is looked up again (its holder is known), so the cursor and
// prev_ptr / prev_k are exactly what the steps would leave.
class Chain {
public:
    // Where the walk of `path` starts: 0, or past a shared beginning, with ptr,
    // prev and k set as the skipped steps would set them.
    Py_ssize_t resume(PyObject* path, Py_ssize_t count, Ref& ptr, Slot& prev, Ref& k) {
        recording_ = PyTuple_CheckExact(path);
        Py_ssize_t shared = 0;
        if (recording_ && last_ && generation_ == hot.generation() && still()) {
            const Py_ssize_t limit =
                std::min({static_cast<Py_ssize_t>(holders_.size()), count - 1, PyTuple_GET_SIZE(last_.get()) - 1});
            while (shared < limit && PyTuple_GET_ITEM(path, shared) == PyTuple_GET_ITEM(last_.get(), shared)) ++shared;
        }
        if (shared < 2) {
            holders_.clear();
            return 0;
        }
        PyObject* holder = holders_[shared - 1];
        PyObject* key = PyTuple_GET_ITEM(path, shared - 1);
        PyObject* found = compat::dict_get(holder, key);
        if (!found) {
            check_no_error();
            holders_.clear();
            return 0;
        }
        holders_.resize(static_cast<size_t>(shared));
        prev = Slot{Ref::borrow(holder), Ref::borrow(key), false};
        ptr = Ref::borrow(found);
        k = Ref::borrow(key);
        return shared;
    }

    // Element i was a plain key looked up in the dict `holder`.
    void record(Py_ssize_t i, PyObject* holder) {
        if (recording_ && static_cast<size_t>(i) == holders_.size()) holders_.push_back(holder);
    }
    void stop() { recording_ = false; }

    void finish(PyObject* path) {
        last_.reset();
        if (!PyTuple_CheckExact(path)) return;
        try {
            marker_class_ = hot(h_IndexMarker);
            mapping_abc_ = hot(h_MutableMapping);
        } catch (const PyError&) {
            PyErr_Clear();  // no reuse; the next steps will meet the error themselves
            return;
        }
        generation_ = hot.generation();
        last_ = Ref::borrow(path);
    }

private:
    // With the module dictionary unchanged, these are the globals the skipped
    // steps would read: a plain key is no instance of a class that `type` made
    // (its MRO holds built-in types only), and dicts are mappings to the ABC.
    bool still() {
        auto* marker_type = reinterpret_cast<PyTypeObject*>(marker_class_.get());
        return Py_TYPE(marker_class_.get()) == &PyType_Type && PyType_HasFeature(marker_type, Py_TPFLAGS_HEAPTYPE) &&
               is_mapping.knows_dicts(mapping_abc_);
    }

    Ref last_;
    std::vector<PyObject*> holders_;  // holders_[i]: the dict in which element i was found (held by the result)
    uint64_t generation_ = 0;
    Ref marker_class_, mapping_abc_;
    bool recording_ = false;
};

const char reconstruct_doc[] =
    "Reconstruct\n"
    "\n"
    "Takes the internally stored list-form dictionary and reconstructs it into the\n"
    "dictionary it represents.  This always generates a new dictionary object.\n"
    "\n"
    "Returns the reconstructed dictionary.";

// reconstruct(self)
Ref pathroll_reconstruct(const Args& a) {
    PyObject* self = a.self();
    // 1.
    Ref ret = check(PyDict_New());
    TupleLevels tuples;
    Ref k;
    Slot prev;  // prev_ptr, prev_k
    Chain chain;
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

        // 2.1
        Ref ptr = ret;
        Ref elements = path_elements(path);
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(elements.get());
        if (count == 0) raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: its path is empty", number);
        bool tuple_marker = false;  // the last element taken is a marker with type_ exactly tuple
        bool fresh = false;         // ...and its position was made by this entry

        // 2.2
        Py_ssize_t i = chain.resume(path, count, ptr, prev, k);
        for (; i < count; ++i) {
            k = Ref::borrow(PySequence_Fast_GET_ITEM(elements.get(), i));
            const bool marker = instance_of(k, hot(h_IndexMarker));
            if (marker && i == 0)
                raise_format(PyExc_ValueError,
                             "cannot reconstruct entry %zd: its path begins with %R, not with a mapping key", number,
                             k.get());
            tuple_marker = fresh = false;
            if (!marker && !(PyDict_CheckExact(ptr) && plain_key(k))) chain.stop();
            if (marker) {
                chain.stop();
                // 2.2.1 A position in a list or tuple.
                Ref type_ = getattr(k, n_type_);
                const bool tuple_type = type_.get() == reinterpret_cast<PyObject*>(&PyTuple_Type);
                bool level = tuples.holds(ptr);
                PyObject* cls = level ? reinterpret_cast<PyObject*>(&PyTuple_Type) : reinterpret_cast<PyObject*>(Py_TYPE(ptr));
                if (cls != type_.get()) {
                    // 2.2.1.1 Not a container of the marker's class: a placeholder replaces it.
                    if (tuple_type) {
                        Ref items = check(PyList_New(1));
                        PyList_SET_ITEM(items.get(), 0, check(PyDict_New()).release());
                        tuples.open(prev, items);
                    } else {
                        store(prev, placeholder(type_));
                    }
                    fresh = true;
                } else {
                    // 2.2.1.2 The container has the class: grow it when the position is new.
                    if (tuple_type && !level) {
                        // A tuple placed as a value: built on as a tuple level.
                        ptr = tuples.open(prev, Ref(check(PySequence_List(ptr))));
                        level = true;
                    }
                    if (!has_position(ptr, Ref(getattr(k, n_index)), level)) {
                        if (level || (PyList_CheckExact(ptr) && tuple_type == false &&
                                      type_.get() == reinterpret_cast<PyObject*>(&PyList_Type))) {
                            check(PyList_Append(ptr, Ref(check(PyDict_New()))));
                        } else {
                            ptr = check(PyNumber_InPlaceAdd(ptr, placeholder(type_)));
                        }
                        fresh = true;
                    }
                }
                // 2.2.1.3 / 2.2.1.4 The cursor enters the last element of the container as stored.
                tuple_marker = tuple_type;
                prev = Slot{load(prev), Ref::borrow(minus_one), true};
                ptr = load(prev);
            } else if (is_mapping(hot(h_MutableMapping), tuples.holds(ptr) ? empty_tuple : ptr.get())) {
                // 2.2.2 A key of a mapping: ptr[k] = ptr.get(k, {}), then enter it.
                if (PyDict_CheckExact(ptr) && plain_key(k)) {
                    PyObject* found = compat::dict_get(ptr, k);
                    if (!found) {
                        check_no_error();
                        Ref fresh_level = check(PyDict_New());
                        check(PyDict_SetItem(ptr, k, fresh_level));
                        found = fresh_level.get();
                    }
                    chain.record(i, ptr);
                    prev = Slot{ptr, k, false};
                    ptr = Ref::borrow(found);
                    continue;
                } else {
                    Ref current = call_method(ptr, n_get, k, Ref(check(PyDict_New())));
                    setitem(ptr, k, current);
                    prev = Slot{ptr, k, false};
                    ptr = getitem(ptr, k);
                }
            } else {
                // 2.2.3 A key below something that is not a mapping: a one-element
                // container of the cursor's class, holding {k: {}}, is appended to it.
                if (tuples.holds(ptr))
                    raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a tuple",
                                 number, k.get());
                Ref inner = check(PyDict_New());
                check(PyDict_SetItem(inner, k, Ref(check(PyDict_New()))));
                Ref one = call(reinterpret_cast<PyObject*>(Py_TYPE(ptr)), Ref(check(PyTuple_Pack(1, inner.get()))));
                Ref grown = check(PyNumber_InPlaceAdd(ptr, one));
                if (grown.get() != ptr.get()) {
                    // Appended to the cursor only (a tuple, say): the entry would be lost.
                    raise_format(PyExc_ValueError, "cannot reconstruct entry %zd: key %R cannot be added to a %.200s",
                                 number, k.get(), Py_TYPE(ptr.get())->tp_name);
                }
                ptr = load(Slot{ptr, Ref::borrow(minus_one), true});
                prev = Slot{ptr, k, false};
                ptr = getitem(ptr, k);
            }
        }

        chain.finish(path);

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
    // 3.
    return ret;
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
    globals = m.dict();
    hot.init(globals);
    empty_tuple = check(PyTuple_New(0)).release();
    full_slice = check(PySlice_New(nullptr, nullptr, nullptr)).release();
    minus_one = check(PyLong_FromLong(-1)).release();

    // 1. - 3.
    m.set("namedtuple", m.import_from("collections", "namedtuple"));
    m.set("MutableMapping", m.import_from("collections.abc", "MutableMapping"));
    Ref fields = check(Py_BuildValue("(ss)", "path", "value"));
    // module= names this module as the class's home (namedtuple would otherwise read it
    // from the calling Python frame, which here is the import machinery's), so that
    // entries pickle.
    m.set("DictItem", call_kw(m.get("namedtuple"), {str("DictItem").get(), fields.get()}, {{n_module, m.name()}}));
    // 4. - 5.
    Ref marker = m.add_class(IndexMarker_class, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref pathroll = m.add_class(PathRoll_class, {reinterpret_cast<PyObject*>(&PyList_Type)});

    is_mapping.init(m.get("MutableMapping").release());
    make_entry.init(m.get("DictItem").release());
    make_marker.init(marker.release());
    flatten_function = getattr(pathroll, n___flatten__).release();
    flatten_descriptor =
        Ref::borrow(compat::type_lookup(reinterpret_cast<PyTypeObject*>(pathroll.get()), n___flatten__)).release();
    pathroll_class = pathroll.release();
}

}  // namespace

TAVOX_MODULE(pathroll, nullptr, pathroll_body)

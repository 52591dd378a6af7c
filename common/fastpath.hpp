// Fast paths: running here what the interpreter would run, without asking it.
//
// The rule.  A fast path is taken only while it is provably the same as the ordinary
// path it replaces, and the proof is checked again on every use: an exact type test (an
// exact dict, list, str or int runs no Python code of its own), or one of the checks
// below for what Python code can change.  Any call that can run Python code (a
// comparison, a hash, an iteration, an allocation, whose collection runs finalizers and
// weakref callbacks, a module global, a user's method) may change anything, including
// the classes a proof was made on: what a fast path uses across such a call is held by
// a strong reference, and sizes and items are read again after it.
//
//   TypeStamp  a type's version tag.  The interpreter gives a type a new tag whenever it
//              or a class on its MRO changes (an attribute, the bases), and from 3.11
//              on never hands a tag out twice; while a type keeps the tag recorded after
//              a check, every attribute lookup on it gives what it gave then.  Before
//              3.11 clearing the type cache restarted the numbering, so no tag is
//              trusted there and every check is made afresh.
//   DictStamp  a dict's version (PEP 509): every change of a dict gives it a new version,
//              never handed out twice (so a version names one dict in one state).
//              While a dict keeps the version recorded, every lookup in it gives what
//              it gave then, and the values it held are still alive.  Only before
//              3.12: the version is deprecated there and gone from 3.14's API, so from
//              3.12 on a stamp never holds and the value is read again at each use.
//   Global     a module global, read at each use as a function body reads it: the
//              module's dictionary, then the builtins; memoised by DictStamp.
//   Known      the one way to ask "is the attribute found this method, as learned?"
//              (finds() when the method is at hand): a built-in type's own method or a
//              package function (which nothing can change), or a Python function
//              together with the code object it had when it was learned (its __code__
//              can be replaced).  A learned package function's body can be run
//              straight (call_body): what the call runs, not a copy of it.
//   AbcCheck   isinstance(obj, abc) for an abstract base class of collections.abc and
//              objects of exact built-in types, answered from a memo that mirrors
//              ABCMeta's own caches (below).
//   ClassCall  cls(*args) for a class of the package's own (or a subclass): the one
//              way to make an instance as type.__call__ would, by the class's own
//              __new__ and __init__ bodies, without the call machinery.
//
// The switch.  `python -X tavox-shortcuts=off` makes every check here, and every one a
// module makes of its own, answer "not usable": only the ordinary path runs (the calls
// through the instance, the base calls through super(), the module globals read at
// each use).  The test suite runs both ways and must agree; a surprise that goes away
// with the switch off comes from a shortcut.
//
// Every shortcut, where it lives, the row of benchmarks/instructions.py it serves, and
// what it saves there: instructions per operation (callgrind, CPython 3.11) with that
// one shortcut not taken against all taken, as benchmarks/shortcut_savings.py counts
// them.  A shortcut stays while it saves a tenth or more on its row.  A mechanism used
// from several places is one entry (the places' own figures in brackets).  The whole
// switch, off against on, is `benchmarks/instructions.py --off`.
//
//   shortcut                        where                     row                      saves
//   base-call memo                  super.cpp                 nd['k1.k2.k3']           2.00x
//   base-call bodies                super.hpp                 Base(**{'class': Sub})   1.13x
//                                                             (DotBag(100 keys) 1.04x, nd['k1.k2.k3'] 1.06x)
//   package bodies called straight  function.cpp (direct      Base(**{'class': Sub})   1.35x
//                                   slots), Known::call_body  (NestedDotBag(10k): slots 1.01x,
//                                   (dotbag's store, update)   store 1.06x, update 1.04x)
//   module globals read by memo     Global                    Configuration.copy()     1.17x
//                                                             (NestedDotBag(10k): itertools.chain 1.03x)
//   ABC memo                        AbcCheck                  NestedDotBag(10k)        2.07x
//   named tuple made directly       ClassCall                 PathRoll(d)              2.08x
//   isinstance of a plain built-in  instance_of               reconstruct()            1.14x
//   key-path loop                   dotbag                    nd['k1.k2.k3']           1.17x
//   key path split by offsets       dotbag (KeyPath)          nd['k1.k2.k3']           1.73x
//   levels                          dotbag (Levels)           nd['k1.k2.k3'] = 5       2.53x
//   update's loop without chain()   dotbag                    NestedDotBag(10k)        1.29x
//   subclass test                   factory                   Base(**{'class': Sub})   1.17x
//   subscript slot                  rankmap                   RankMap m[key]           1.25x
//   items() by a walk               rankmap                   RankMap items()           76x
//   move on an exact list           rankmap                   RankMap.move            1.095x
//   flattening in place             pathroll                  PathRoll(d)              1.35x
//   no __class__ of a plain built-in pathroll (is_sequence)   PathRoll(d)              1.27x
//   shared beginning                reconstruct.cpp (Chain)   reconstruct()            2.20x
//   exact dicts and lists           reconstruct.cpp           reconstruct()            2.84x
//   rendering in place              branchlet                 str(Branchlet)           1.53x
//   exact lists and strs            branchlet                 str(Branchlet)          1.098x
//   weakref.ref made directly       fadeseq                   FadeSeq append+iterate   1.23x
//
// Two stay under a tenth, as their rows would go more than a tenth over what they
// were before this table without them: RankMap.move's exact list (the row 1.10x) and
// Branchlet's exact lists and strs (1.14x).  Taken out for saving less: RankMap's
// __setitem__ on an exact list and dict (1.01x), FadeSeq on exact lists (1.01x),
// IndexMarker made by ClassCall (1.07x on PathRoll(d), lists).
#pragma once

#include "common/call.hpp"
#include "common/compat.hpp"
#include "common/names.hpp"
#include "common/ref.hpp"

namespace tavox {

namespace detail {
extern bool shortcuts_enabled;
}
// Whether shortcuts may be taken at all (the -X switch above).
inline bool shortcuts_on() noexcept { return detail::shortcuts_enabled; }
// Reads the switch from sys._xoptions; a module's exec calls it before the body runs.
void read_shortcut_switch();

// `obj` is exactly of `type`, and a shortcut may use that type's concrete API for it.
inline bool exactly(PyObject* obj, PyTypeObject* type) noexcept { return shortcuts_on() && Py_TYPE(obj) == type; }

// Whether `type` is one of the exact built-in types whose instances have no attributes
// of their own (dict, list, tuple, str, int, float, bool, None, bytes): their
// __class__ is their type, and isinstance() against a class is a subtype test.
bool plain_builtin(PyTypeObject* type) noexcept;

// isinstance(obj, cls), answered without asking `obj` its __class__ when that cannot
// differ from its type (an object of a plain built-in type) and cls's metaclass is
// type itself, whose check is then the subtype test.  Throws PyError.
bool instance_of(PyObject* obj, PyObject* cls);

class TypeStamp {
public:
    // Whether `type` has the tag recorded; never for a type without a trusted tag.
    bool holds(PyTypeObject* type) const noexcept {
        const unsigned int tag = compat::type_version(type);
        return tag != 0 && tag == tag_ && shortcuts_on();
    }
    // After a check made on `type`: remember its tag, giving it one first if it has
    // none (the interpreter's attribute lookup does).
    void record(PyTypeObject* type, PyObject* name) noexcept {
        (void)compat::type_lookup(type, name);
        tag_ = compat::type_version(type);
    }

private:
    unsigned int tag_ = 0;
};

class DictStamp {
public:
#if TAVOX_DICT_VERSIONS
    bool holds(PyObject* dict) const noexcept {
        return version_ != 0 && compat::dict_version(dict) == version_ && shortcuts_on();
    }
    void record(PyObject* dict) noexcept { version_ = compat::dict_version(dict); }

private:
    uint64_t version_ = 0;
#else
    // No dict versions to read: what a stamp would keep is read again at each use.
    bool holds(PyObject*) const noexcept { return false; }
    void record(PyObject*) noexcept {}
#endif
};

// The one reader of module globals: a global such as a module's `DictItem`, read at
// each use (a function body reads it as `a.global(DictItem)`).  The value found in the
// dict is reused, borrowed, while the dict keeps its version (the unchanged dict still
// holds it).  A name the dict lacks is looked up in the builtins, every time.
class Global {
public:
    explicit Global(const char* name) noexcept : name_(name) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    // The value in `globals` (borrowed from it), or nullptr when it has none.
    PyObject* find(PyObject* globals) { return stamp_.holds(globals) ? value_ : look(globals); }
    // The value in `globals`, else the builtin of that name; NameError when neither.
    Ref get(PyObject* globals) {
        if (PyObject* value = find(globals)) return Ref::borrow(value);
        return read(nullptr, name_);
    }
    PyObject* name() const noexcept { return name_; }

    // Without a memo: `name` in `globals` (when given), else the builtin; NameError.
    static Ref read(PyObject* globals, PyObject* name);

private:
    PyObject* look(PyObject* globals);

    Name name_;
    DictStamp stamp_;
    PyObject* value_ = nullptr;  // borrowed from the dict while stamp_ holds
};

// Whether the lookup of `name` on `type` finds `method`, a package function or a built-in
// type's method (which nothing can change): the one test of "is the method found this
// one of ours?", which Known makes for a method it learned.
inline bool finds(PyTypeObject* type, PyObject* name, PyObject* method) noexcept {
    return shortcuts_on() && compat::type_lookup(type, name) == method;
}

class Known {
public:
    // Learns `name` of `cls` (its own dictionary entry), or `method` itself: a method
    // descriptor of a built-in type, a package function, or a Python function.  Once,
    // from a module body; throws PyError.
    void learn(PyObject* cls, PyObject* name);
    void learn(PyObject* method);

    // Whether `found` is the learned method, as it was learned.
    bool is(PyObject* found) const noexcept {
        if (!found || found != method_.get() || !shortcuts_on()) return false;
        return !code_ || PyFunction_GET_CODE(found) == code_.get();
    }
    // Whether the lookup of `name` on `type` finds the learned method, as it was learned.
    bool found_on(PyTypeObject* type, PyObject* name) const noexcept { return is(compat::type_lookup(type, name)); }
    PyObject* get() const noexcept { return method_.get(); }
    // The body of the learned package function, for arguments bound to its parameters
    // (`values`, then the *args tuple and the **kwargs dict as Args holds them): what
    // the call runs, as deep in recursion as the call, without the binding.
    Ref call_body(PyObject* const* values, PyObject* varargs = nullptr, PyObject* varkw = nullptr) const;

private:
    Kept method_;
    Kept code_;  // a Python function's code object when learned
};

// isinstance(obj, cls), where `cls` is a module global that is normally the abstract
// base class the module imported (learned by the module body).
//
// ABCMeta answers from caches kept per ABC: a class found to be a subclass stays in the
// positive cache for good (registrations are never taken back), and a class found not
// to be one stays in the negative cache until any register() call anywhere changes
// abc.get_cache_token().  For objects of exact built-in types (dict, list, str, int,
// ...), whose class is their type, this memo keeps those same answers, filled by the
// real isinstance().  It is used while `cls` is the learned ABC with the version tag
// recorded (any attribute set on it, its _abc_impl or __subclasshook__ included, clears
// the memo), and its metaclass's __instancecheck__ is ABCMeta's own, as learned, still
// calling abc's own _abc_instancecheck.  ABCMeta's private debugging helpers
// (_abc_registry_clear, _abc_caches_clear) are the only way past it.  Anything else
// asks isinstance().
class AbcCheck {
public:
    void learn(PyObject* abc);  // throws PyError
    bool operator()(PyObject* cls, PyObject* obj) {
        // The common case first: a dict, answered yes for good.
        if (Py_TYPE(obj) == &PyDict_Type && answers_[0].yes && usable(cls)) return true;
        return ask(cls, obj);
    }
    // Whether isinstance(d, cls) is known true, with no code to run, for every exact dict d.
    bool knows_dicts(PyObject* cls) { return usable(cls) && answers_[0].known && answers_[0].yes; }

private:
    static constexpr int plain_types = 9;
    struct Answer {
        bool known = false;
        bool yes = false;
        unsigned long long token = 0;
    };

    bool usable(PyObject* cls) {
        if (cls != abc_.get() || !shortcuts_on()) return false;
        if (!stamp_.holds(reinterpret_cast<PyTypeObject*>(cls)) || !meta_stamp_.holds(Py_TYPE(cls))) return renew(cls);
        return instancecheck_.is(found_check_) &&
               instancecheck_global_.find(PyFunction_GET_GLOBALS(found_check_)) == instancecheck_function_.get();
    }
    bool renew(PyObject* cls);  // usable() after a change of the ABC or its metaclass
    bool ask(PyObject* cls, PyObject* obj);
    unsigned long long token();

    Kept abc_, instancecheck_function_, get_cache_token_;
    Known instancecheck_;
    TypeStamp stamp_, meta_stamp_;
    PyObject* found_check_ = nullptr;  // the metaclass's __instancecheck__, borrowed while meta_stamp_ holds
    Global instancecheck_global_{"_abc_instancecheck"};
    Answer answers_[plain_types];
};

// cls(a, b, ...) as type.__call__ makes it, without the call machinery: the one way a
// module makes an instance "as the class call would".  Learned from a class the module
// made, of one of two shapes, and used for it or a subclass of it:
//
//  * an __init__ that is a package function, with the __new__ of the class's built-in
//    base (object's or dict's).  type.__call__ runs that __new__ (which lays out the
//    instance, and accepts the arguments, the class having an __init__ of its own) and
//    then __init__(instance, a, b, ...), by its slot, which calls the __init__ found
//    on the class.  So does this, calling the function found: what the instance holds
//    is what that body makes.
//  * a named tuple: its __new__ is namedtuple's Python function, whose code is
//    `return _tuple_new(_cls, (a, b, ...))` with tuple.__new__ as `_tuple_new` in its
//    globals, and it has object's __init__ (which accepts the arguments, __new__ not
//    being object's).  The instance is made as tuple.__new__ makes an instance of a
//    subclass: allocated by the class, holding the parts, one level of recursion deep.
//
// Used while the class has type itself as its metaclass, is not abstract, and has the
// version tag recorded after checking that its __new__ and __init__ are the learned
// ones (a named tuple's function is checked at each use: its __code__ and globals can
// change without the class).  Anything else is called.
class ClassCall {
public:
    void learn(PyObject* cls);  // once, from a module body; throws PyError

    template <typename... A>
    Ref operator()(PyObject* cls, const A&... args) {
        PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
        return make(cls, stack + 1, sizeof...(A));
    }

private:
    // `args[-1]` is free for the instance (PY_VECTORCALL_ARGUMENTS_OFFSET).
    Ref make(PyObject* cls, PyObject** args, size_t n);
    bool usable(PyObject* cls, size_t n);
    bool renew(PyTypeObject* type);  // usable() after a change of the class, or before 3.11
    bool init_slot(PyTypeObject* type) const noexcept;

    Kept new_function_, init_, empty_, tuple_new_;
    Known tuple_maker_;                 // a named tuple's __new__, with its code
    newfunc new_slot_ = nullptr;        // the built-in base's __new__
    initproc init_slot_ = nullptr;      // the learned class's __init__ slot
    Py_ssize_t arity_ = -1;             // a named tuple's fields
    TypeStamp stamps_[2];               // the last two classes checked
    Global tuple_new_global_{"_tuple_new"};
};

}  // namespace tavox

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
//   Known      the one way to ask "is the attribute found this method, as learned?":
//              a built-in type's own method or a package function (which nothing can
//              change), or a Python function together with the code object it had
//              when it was learned (its __code__ can be replaced).
//   AbcCheck   isinstance(obj, abc) for an abstract base class of collections.abc and
//              objects of exact built-in types, answered from a memo that mirrors
//              ABCMeta's own caches (below).
//   ClassCall  cls(*args) for a class of the package's own, made by its __new__ and
//              __init__ as type.__call__ makes it, without the call machinery.
//
// The switch.  `python -X tavox-shortcuts=off` makes every check here, and every one a
// module makes of its own, answer "not usable": only the ordinary path runs (the calls
// through the instance, the base calls through super(), the module globals read at
// each use).  The test suite runs both ways and must agree; a surprise that goes away
// with the switch off comes from a shortcut.
//
// What the shortcuts save: instructions per operation on the rows of
// benchmarks/instructions.py (callgrind, CPython 3.11), with the switch off against on.
// A row counts every shortcut it goes through.
//
//   row                        shortcuts on the way (where)                   off / on
//   nd['k1.k2.k3']             key-path loop, base-call bodies (dotbag, super)    3.09x
//   'k1.k2.k3' in nd           the same                                           3.43x
//   nd['k1.k2.k3'] = 5         levels, store, key-path loop (dotbag)              6.91x
//   NestedDotBag(10k leaves)   levels, store, update's loop, ABC memo, direct     7.03x
//                              slots (dotbag, fastpath, function)
//   cfg['a.b.c']               key-path loop, base-call bodies                    3.99x
//   Configuration.copy()       levels, store, update's loop, ABC memo             3.79x
//   DotBag(100 keys)           direct slots, base-call body (function, super)     1.13x
//   RankMap m[key]             own subscript slot (rankmap)                       1.49x
//   RankMap items() (1,000)    the walk of the order list (rankmap)              75.5x
//   RankMap.move               exact list API (rankmap)                           1.12x
//   RankMap build (1,000)      exact dict and list API (rankmap)                  1.01x
//   PathRoll(d), 10k leaves    flattening in place, entry maker, ABC memo,        4.46x
//                              base-call bodies (pathroll)
//   reconstruct(), 10k leaves  shared beginning (3.7 .. 3.11), exact dict API    15.4x
//   str(Branchlet), 1,000      rendering in place (branchlet)                     1.54x
//   Base(**{'class': Sub})     base-call body, subclass test, direct slots        1.84x
//   FadeSeq append+iterate     weakref.ref made directly, iteration by index      1.01x
//
// The class call (IndexMarker) serves flattening lists, which no row has.
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
    PyObject* get() const noexcept { return method_.get(); }

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

// cls(a, b, ...) for a class the module made, whose __new__ is object's and whose
// __init__ is a package function: type.__call__ runs object.__new__(cls) (which lays
// out the instance and accepts the arguments, the class having an __init__ of its own)
// and then __init__(instance, a, b, ...).  So does this, while `cls` is the learned
// class with type itself as its metaclass, not abstract, and with the version tag
// recorded after checking its __new__ and __init__.  Anything else is called.
class ClassCall {
public:
    void learn(PyObject* cls);  // once, from a module body; throws PyError

    template <typename... A>
    Ref operator()(PyObject* cls, const A&... args) {
        if (!usable(cls)) return call(cls, args...);
        Ref instance = check(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), empty_, nullptr));
        if (!usable(cls)) {
            // The allocation ran code that changed the class: its __init__ slot as it is now.
            Ref tuple = check(PyTuple_Pack(sizeof...(A), static_cast<PyObject*>(args)...));
            check(Py_TYPE(instance.get())->tp_init(instance, tuple, nullptr));
            return instance;
        }
        PyObject* stack[] = {nullptr, instance.get(), static_cast<PyObject*>(args)...};
        Ref result =
            check(compat::vectorcall(init_, stack + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (result.get() != Py_None) not_none(result);
        return instance;
    }

private:
    bool usable(PyObject* cls) {
        if (cls != cls_.get() || Py_TYPE(cls) != &PyType_Type || !shortcuts_on()) return false;
        return stamp_.holds(reinterpret_cast<PyTypeObject*>(cls)) || renew(cls);
    }
    bool renew(PyObject* cls);  // usable() after a change of the class, or before 3.11
    [[noreturn]] static void not_none(const Ref& result);

    Kept cls_, init_, empty_;
    initproc init_slot_ = nullptr;
    TypeStamp stamp_;
};

}  // namespace tavox

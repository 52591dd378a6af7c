// Function objects: the one callable type every method of every module is made of.
//
// A Function behaves like a Python function: it binds through tp_descr_get
// (`obj.method` is a bound method, `Class.method` the function itself), carries
// __name__, __qualname__, __module__, __doc__, __defaults__, __dict__, __globals__
// and a __text_signature__ (so inspect.signature and help() show it), supports
// vectorcall and Py_TPFLAGS_METHOD_DESCRIPTOR (so `obj.method(x)` makes no
// bound-method object), weak references and the cycle collector.  It remembers
// its defining class (`owner`), which is what the zero-argument super() of the
// method sees (super.hpp).
//
// The body of a method is a plain C++ function taking the bound arguments:
//
//     static Ref dotbag_repr(const Args& a) { PyObject* self = a[0]; ... }
//
// declared with the text of its Python signature, e.g. "(self, key, default=None)",
// "(self, *args, **kwargs)".  The signature gives the parameter names, the defaults
// (literals: None, True, False, (), integers, quoted strings) and __text_signature__.
// Argument errors use the interpreter's wording, with the function's __name__:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
#pragma once

#include "common/ref.hpp"

#include <vector>

namespace tavox {

struct Function;
class Global;

// The arguments of one call, bound to the signature's parameters.
struct Args {
    Function* function;
    PyObject* const* values;  // borrowed: one per named parameter, defaults filled in
    PyObject* varargs;        // the *args tuple (empty tuple when none), nullptr without *args
    PyObject* varkw;          // the **kwargs dict, or nullptr when no keyword went there; never
                              // changed by a body: it may be the caller's own

    PyObject* operator[](size_t i) const noexcept { return values[i]; }
    PyObject* self() const noexcept { return values[0]; }
    PyObject* owner() const noexcept;    // the defining class (borrowed)
    PyObject* closure() const noexcept;  // what make_function was given as closure (borrowed), or nullptr
    Ref global(Global& name) const;    // module global at call time, then builtins; NameError
};

using Impl = Ref (*)(const Args&);

// The parsed form of a text signature.
struct Signature {
    std::vector<Ref> names;  // interned names of the named (positional-or-keyword) parameters
    bool varargs = false;
    bool varkw = false;
    Ref defaults;            // tuple of default values for the last named parameters, or empty Ref
    const char* text = nullptr;

    static Signature parse(const char* text);  // throws PyError (SystemError) on text it cannot read
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Signature* signature;
    Ref name, qualname, module, doc, defaults, dict, globals, owner, text_signature;
    Ref closure;  // the value a nested function closes over (a lambda made at call time)
    PyObject* weakreflist;
};

// Creates a function object.  `globals` is the module dictionary that the body's
// module-global lookups read (Args::global); `closure`, when given, is what a
// function made at call time closes over (Args::closure).
Ref make_function(Impl impl, const char* name, const char* qualname, const char* signature, const char* doc,
                  PyObject* module_name, PyObject* globals, PyObject* closure = nullptr);

bool is_function(PyObject* obj) noexcept;
void set_owner(PyObject* function, PyObject* owner);

// Type slots that call a package function directly.  A class statement gives a class
// whose __init__ (or, for a metaclass, __call__) is a Python-level callable the generic
// slot, which looks the method up, then calls it with a new copy of the arguments.
// For a class whose __init__ or __call__ is a package function taking
// (self, *args, **kwargs), direct_slots() installs slots that, while the method found
// on the instance's type is still such a function, call it with the interpreter's
// argument tuple and keyword dict as they are: what the
// generic slot would call, without the lookup of a bound method and the copies.  Any
// other case goes to the generic slot.  The interpreter puts its generic slot back
// when the method is rebound on the class, and subclasses get the generic slot.
void direct_slots(PyObject* cls);
// Whether an __init__ slot is the direct one or the generic one that direct_slots()
// saw: both call the __init__ found on the instance's type.
bool calls_found_init(initproc slot) noexcept;
PyTypeObject* function_type();  // ready after init_function_type()
void init_function_type();      // throws PyError

}  // namespace tavox

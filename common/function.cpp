#include "common/function.hpp"

#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace tavox {

namespace {

PyTypeObject FunctionType = compat::static_type_head();
PyObject* builtins_dict = nullptr;  // the interpreter's builtins, for global lookups

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

// ---- signature text ---------------------------------------------------------

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

[[noreturn]] void bad_signature(const char* text) {
    raise_format(PyExc_SystemError, "unreadable function signature %s", text);
}

Ref parse_literal(std::string_view s, const char* text) {
    if (s == "None") return none();
    if (s == "True") return boolean(true);
    if (s == "False") return boolean(false);
    if (s == "()") return check(PyTuple_New(0));
    if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front())
        return check(PyUnicode_FromStringAndSize(s.data() + 1, static_cast<Py_ssize_t>(s.size() - 2)));
    std::string digits(s);
    char* end = nullptr;
    long long value = std::strtoll(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0') bad_signature(text);
    return check(PyLong_FromLongLong(value));
}

// ---- binding ----------------------------------------------------------------

[[noreturn]] void raise_count(const Function* f, Py_ssize_t given, Py_ssize_t required, Py_ssize_t total,
                              bool varargs) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (!varargs && required == total) {
        more_or_less = "exactly";
        expected = required;
    } else if (given < required) {
        more_or_less = "at least";
        expected = required;
    } else {
        more_or_less = "at most";
        expected = total;
    }
    raise_format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)", f->name.get(),
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_parameter(const Signature& sig, PyObject* keyword) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (sig.names[i].get() == keyword) return i;  // interned names: the usual case
    for (Py_ssize_t i = 0; i < n; ++i) {
        int equal = PyUnicode_Compare(sig.names[i], keyword);
        if (equal == -1 && PyErr_Occurred()) throw_error();
        if (equal == 0) return i;
    }
    return -1;
}

Ref bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& sig = *f->signature;
    const Py_ssize_t total = static_cast<Py_ssize_t>(sig.names.size());
    Ref defaults = f->defaults;  // held for the call: __defaults__ may be rebound meanwhile
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    // As for a Python function, the defaults are the last values of the tuple, however
    // long it is: they belong to the last parameters.
    const Py_ssize_t skipped = ndefaults > total ? ndefaults - total : 0;
    ndefaults -= skipped;
    const Py_ssize_t required = total - ndefaults;

    // The common case: positional arguments only, filling every parameter.
    if (!kwnames && nargs == total && !sig.varargs && !sig.varkw) return f->impl(Args{f, args, nullptr, nullptr});

    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** values = small;
    if (total > 8) {
        large.resize(static_cast<size_t>(total));
        values = large.data();
    }
    for (Py_ssize_t i = 0; i < total; ++i) values[i] = nullptr;

    Ref varargs;
    if (nargs > total) {
        if (!sig.varargs) raise_count(f, nargs, required, total, false);
        varargs = check(PyTuple_New(nargs - total));
        for (Py_ssize_t i = total; i < nargs; ++i)
            PyTuple_SET_ITEM(varargs.get(), i - total, Ref::borrow(args[i]).release());
    } else if (sig.varargs) {
        varargs = check(PyTuple_New(0));
    }
    for (Py_ssize_t i = 0; i < nargs && i < total; ++i) values[i] = args[i];

    Ref varkw;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword))
            raise_format(PyExc_TypeError, "%.200U() keywords must be strings", f->name.get());
        Py_ssize_t index = find_parameter(sig, keyword);
        if (index >= 0) {
            if (values[index])
                raise_format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", f->name.get(),
                             keyword);
            values[index] = value;
        } else if (sig.varkw) {
            if (!varkw) varkw = check(PyDict_New());
            check(PyDict_SetItem(varkw, keyword, value));
        } else {
            raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->name.get(), keyword);
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (values[i]) continue;
        if (i < required) raise_count(f, nargs, required, total, sig.varargs);
        values[i] = PyTuple_GET_ITEM(defaults.get(), skipped + i - required);
    }
    return f->impl(Args{f, values, varargs.get(), varkw.get()});
}

// Every call is one level of recursion, as a Python frame is (recursion.hpp).
constexpr char calling[] = " while calling a Python object";

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary([&] {
        Descent level(calling);
        return bind_and_call(as_function(callable), args, PyVectorcall_NARGS(nargsf), kwnames);
    });
}

#if PY_VERSION_HEX < 0x03080000
// tp_call where the interpreter has no vectorcall: the same binding from a tuple and a dict.
PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        Descent level(calling);
        std::vector<PyObject*> stack(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + PyTuple_GET_SIZE(args));
        Ref kwnames;
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            PyObject *key, *value;
            Py_ssize_t i = 0;
            for (Py_ssize_t pos = 0; PyDict_Next(kwargs, &pos, &key, &value); ++i) {
                PyTuple_SET_ITEM(kwnames.get(), i, Ref::borrow(key).release());
                stack.push_back(value);
            }
        }
        return bind_and_call(as_function(callable), stack.data(), PyTuple_GET_SIZE(args), kwnames);
    });
}
#endif

// ---- type slots ----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    for (const Ref* r : {&f->name, &f->qualname, &f->module, &f->doc, &f->defaults, &f->dict, &f->globals, &f->owner,
                         &f->text_signature, &f->closure})
        Py_VISIT(r->get());
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    // Names stay: a cleared function may still be printed or named in an error.
    for (Ref* r : {&f->doc, &f->defaults, &f->dict, &f->globals, &f->owner, &f->closure}) r->reset();
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    f->name.~Ref();
    f->qualname.~Ref();
    f->module.~Ref();
    f->doc.~Ref();
    f->defaults.~Ref();
    f->dict.~Ref();
    f->globals.~Ref();
    f->owner.~Ref();
    f->text_signature.~Ref();
    f->closure.~Ref();
    delete f->signature;
    PyObject_GC_Del(self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}


PyObject* get_name(PyObject* self, void*) { return Ref(as_function(self)->name).release(); }
int set_name(PyObject* self, PyObject* value, void*) { return set_str_field(as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Ref(as_function(self)->qualname).release(); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) {
    Function* f = as_function(self);
    return Ref::borrow(f->doc ? f->doc.get() : Py_None).release();
}
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value);
    return 0;
}
PyObject* get_module(PyObject* self, void*) {
    Function* f = as_function(self);
    return Ref::borrow(f->module ? f->module.get() : Py_None).release();
}
int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->module = Ref::borrow(value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    Function* f = as_function(self);
    return Ref::borrow(f->defaults ? f->defaults.get() : Py_None).release();
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    as_function(self)->defaults = Ref::borrow(value);
    return 0;
}
PyObject* get_globals(PyObject* self, void*) {
    Function* f = as_function(self);
    return Ref::borrow(f->globals ? f->globals.get() : Py_None).release();
}
PyObject* get_text_signature(PyObject* self, void*) {
    Function* f = as_function(self);
    return Ref::borrow(f->text_signature ? f->text_signature.get() : Py_None).release();
}

// Pickled by reference, as Python functions are: module + qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Ref(as_function(self)->qualname).release(); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---- public --------------------------------------------------------------------

Signature Signature::parse(const char* text) {
    Signature sig;
    sig.text = text;
    std::string_view s = trim(text);
    if (s.size() < 2 || s.front() != '(' || s.back() != ')') bad_signature(text);
    s = s.substr(1, s.size() - 2);
    std::vector<Ref> defaults;
    while (!trim(s).empty()) {
        // Split at the next comma outside brackets and quotes.
        size_t end = 0;
        int depth = 0;
        char quote = 0;
        for (; end < s.size(); ++end) {
            char c = s[end];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            } else if (c == ',' && depth == 0) {
                break;
            }
        }
        std::string_view param = trim(s.substr(0, end));
        s = end < s.size() ? s.substr(end + 1) : std::string_view();
        if (param.substr(0, 2) == "**") {
            sig.varkw = true;
            continue;
        }
        if (param.substr(0, 1) == "*") {
            if (param.size() == 1 || sig.varkw) bad_signature(text);  // keyword-only parameters are not supported
            sig.varargs = true;
            continue;
        }
        if (sig.varargs || sig.varkw) bad_signature(text);
        size_t eq = param.find('=');
        std::string name(trim(param.substr(0, eq)));
        if (eq != std::string_view::npos) {
            defaults.push_back(parse_literal(trim(param.substr(eq + 1)), text));
        } else if (!defaults.empty()) {
            bad_signature(text);  // a parameter without default after one with
        }
        sig.names.push_back(check(PyUnicode_InternFromString(name.c_str())));
    }
    if (!defaults.empty()) {
        sig.defaults = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(sig.defaults.get(), static_cast<Py_ssize_t>(i), defaults[i].release());
    }
    return sig;
}

PyObject* Args::owner() const noexcept { return function->owner.get(); }

PyObject* Args::closure() const noexcept { return function->closure.get(); }

Ref Args::global(Global& name) const { return name.get(function->globals); }

Ref Global::read(PyObject* globals, PyObject* name) {
    if (globals) {
        if (PyObject* value = compat::dict_get(globals, name)) return Ref::borrow(value);
        check_no_error();
    }
    if (builtins_dict) {
        if (PyObject* value = compat::dict_get(builtins_dict, name)) return Ref::borrow(value);
        check_no_error();
    }
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    builtins_dict = PyEval_GetBuiltins();  // borrowed, lives as long as the interpreter
    PyTypeObject& t = FunctionType;
    t.tp_name = "tavox_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "Function implemented in C++; binds to instances like a Python function.";
    t.tp_dealloc = function_dealloc;
#if PY_VERSION_HEX >= 0x03080000
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
#else
    t.tp_call = function_call;
#endif
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_descr_get = function_descr_get;
    check(PyType_Ready(&t));
}

PyTypeObject* function_type() { return &FunctionType; }

namespace {

Name n___init__{"__init__"}, n___call__{"__call__"};
initproc generic_init = nullptr;  // the interpreter's slot_tp_init, as a class statement installs it
ternaryfunc generic_call = nullptr;

// Whether `found` is a package function whose signature is (self, *args, **kwargs).
bool takes_anything(PyObject* found) {
    if (!found || !is_function(found)) return false;
    const Signature& sig = *as_function(found)->signature;
    return sig.names.size() == 1 && sig.varargs && sig.varkw;
}

// found(self, *args, **kwds), bound as the binder binds it: the tuple and the keywords
// as they are (bodies never change the keywords they get); an empty Ref when a keyword
// would be an error of binding (a non-string, or the name of the one named parameter),
// for the generic slot to report.
Ref call_directly(PyObject* found, PyObject* self, PyObject* args, PyObject* kwds) {
    Function* f = as_function(found);
    const bool keywords = kwds && PyDict_GET_SIZE(kwds);
    if (keywords) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(kwds, &pos, &key, &value);) {
            if (!PyUnicode_Check(key)) return Ref();
            const int same = PyUnicode_Compare(key, f->signature->names[0]);
            if (same == -1 && PyErr_Occurred()) throw_error();
            if (same == 0) return Ref();
        }
    }
    Descent level(calling);
    PyObject* values[] = {self};
    return f->impl(Args{f, values, args, keywords ? kwds : nullptr});
}

int direct_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref init = Ref::borrow(compat::type_lookup(Py_TYPE(self), n___init__));
    if (!shortcuts_on() || !takes_anything(init) || !PyTuple_CheckExact(args)) return generic_init(self, args, kwds);
    bool generic = false;
    const int status = boundary([&] {
        Ref result = call_directly(init, self, args, kwds);
        if (!result) {
            generic = true;
            return;
        }
        if (result.get() != Py_None)
            raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
    });
    return generic ? generic_init(self, args, kwds) : status;
}

PyObject* direct_call(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref method = Ref::borrow(compat::type_lookup(Py_TYPE(self), n___call__));
    if (!shortcuts_on() || !takes_anything(method) || !PyTuple_CheckExact(args)) return generic_call(self, args, kwds);
    bool generic = false;
    PyObject* result = boundary([&] {
        Ref called = call_directly(method, self, args, kwds);
        generic = !called;
        return called;
    });
    return generic ? generic_call(self, args, kwds) : result;
}

}  // namespace

void direct_slots(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    auto own = [&](PyObject* name) { return compat::type_lookup(type, name); };
    if (takes_anything(own(n___init__)) && type->tp_init != direct_init) {
        if (!generic_init) generic_init = type->tp_init;
        if (type->tp_init == generic_init) type->tp_init = direct_init;
    }
    if (takes_anything(own(n___call__)) && type->tp_call != direct_call) {
        if (!generic_call) generic_call = type->tp_call;
        if (type->tp_call == generic_call) type->tp_call = direct_call;
    }
}

bool calls_found_init(initproc slot) noexcept { return slot == direct_init || (generic_init && slot == generic_init); }

bool is_function(PyObject* obj) noexcept { return Py_TYPE(obj) == &FunctionType; }

void set_owner(PyObject* function, PyObject* owner) { as_function(function)->owner = Ref::borrow(owner); }

Ref make_function(Impl impl, const char* name, const char* qualname, const char* signature, const char* doc,
                  PyObject* module_name, PyObject* globals, PyObject* closure) {
    init_function_type();
    auto* sig = new Signature(Signature::parse(signature));
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) {
        delete sig;
        throw_error();
    }
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->signature = sig;
    f->weakreflist = nullptr;
    for (Ref* r : {&f->name, &f->qualname, &f->module, &f->doc, &f->defaults, &f->dict, &f->globals, &f->owner,
                   &f->text_signature, &f->closure})
        new (r) Ref();
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));  // owns f from here on
    f->name = check(PyUnicode_InternFromString(name));
    f->qualname = check(PyUnicode_FromString(qualname));
    f->module = Ref::borrow(module_name);
    if (doc) f->doc = check(PyUnicode_FromString(doc));
    f->defaults = sig->defaults;
    f->globals = Ref::borrow(globals);
    f->text_signature = check(PyUnicode_FromString(signature));
    f->closure = Ref::borrow(closure);
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace tavox

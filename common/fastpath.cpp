#include "common/fastpath.hpp"

#include "common/call.hpp"
#include "common/function.hpp"
#include "common/recursion.hpp"

namespace tavox {

namespace detail {
bool shortcuts_enabled = true;
}

void read_shortcut_switch() {
    Ref sys = check(PyImport_ImportModule("sys"));
    Ref options = getattr_optional(sys, Ref(str("_xoptions")));
    if (!options || !PyDict_Check(options.get())) return;
    PyObject* value = compat::dict_get(options, Ref(str("tavox-shortcuts")));
    if (!value) {
        check_no_error();
        return;
    }
    if (!PyUnicode_Check(value) || (PyUnicode_CompareWithASCIIString(value, "off") != 0 &&
                                    PyUnicode_CompareWithASCIIString(value, "on") != 0))
        raise_format(PyExc_ImportError, "-X tavox-shortcuts takes 'on' or 'off', not %R", value);
    detail::shortcuts_enabled = PyUnicode_CompareWithASCIIString(value, "on") == 0;
}

void Known::learn(PyObject* cls, PyObject* name) {
    PyObject* dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(cls));
    Ref method = Ref::borrow(dict ? compat::dict_get(dict, name) : nullptr);
    if (!method) {
        check_no_error();
        raise_format(PyExc_SystemError, "%R defines no %R of its own", cls, name);
    }
    learn(method);
}

void Known::learn(PyObject* method) {
    if (PyFunction_Check(method)) {
        code_.set(Ref::borrow(PyFunction_GET_CODE(method)));
    } else if (!PyObject_TypeCheck(method, &PyMethodDescr_Type) && !PyObject_TypeCheck(method, &PyWrapperDescr_Type) &&
               !is_function(method)) {
        raise_format(PyExc_SystemError, "%R is neither a built-in method nor a function", method);
    }
    method_.set(Ref::borrow(method));
}

Ref Known::call_body(PyObject* const* values, PyObject* varargs, PyObject* varkw) const {
    Descent level(" while calling a Python object");
    auto* function = reinterpret_cast<Function*>(method_.get());
    return function->impl(Args{function, values, varargs, varkw});
}

namespace {

Name n___instancecheck__{"__instancecheck__"}, n__abc_instancecheck{"_abc_instancecheck"},
    n_get_cache_token{"get_cache_token"};

// The position of an exact built-in type in AbcCheck's memo, or -1.  Objects of these
// types have no attributes of their own: their __class__ is their type.
int plain_index(PyTypeObject* type) {
    if (type == &PyDict_Type) return 0;
    if (type == &PyUnicode_Type) return 1;
    if (type == &PyLong_Type) return 2;
    if (type == &PyList_Type) return 3;
    if (type == &PyTuple_Type) return 4;
    if (type == &PyFloat_Type) return 5;
    if (type == &PyBool_Type) return 6;
    if (type == Py_TYPE(Py_None)) return 7;
    if (type == &PyBytes_Type) return 8;
    return -1;
}

}  // namespace

bool plain_builtin(PyTypeObject* type) noexcept { return plain_index(type) >= 0; }

bool instance_of(PyObject* obj, PyObject* cls) {
    if (!shortcuts_on()) return isinstance(obj, cls);
    if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls)) return true;
    if (Py_TYPE(cls) == &PyType_Type && plain_builtin(Py_TYPE(obj)))
        return PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
    return isinstance(obj, cls);
}

PyObject* Global::look(PyObject* globals) {
    PyObject* value = compat::dict_get(globals, name_);
    if (!value) check_no_error();
    value_ = value;
    stamp_.record(globals);
    return value;
}


void AbcCheck::learn(PyObject* abc) {
    // Without the C accelerator (_abc), ABCMeta is a pure-Python class: no memo then.
    Ref abc_module = check(PyImport_ImportModule("abc"));
    Ref instancecheck = getattr_optional(abc_module, n__abc_instancecheck);
    if (!instancecheck) return;
    instancecheck_.learn(reinterpret_cast<PyObject*>(Py_TYPE(abc)), n___instancecheck__);
    get_cache_token_.set(getattr(abc_module, n_get_cache_token));
    instancecheck_function_.set(std::move(instancecheck));
    abc_.set(Ref::borrow(abc));
}

bool AbcCheck::renew(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!stamp_.holds(type)) {
        for (Answer& answer : answers_) answer = Answer{};
        stamp_.record(type, n___instancecheck__);
    }
    PyTypeObject* meta = Py_TYPE(cls);
    found_check_ = compat::type_lookup(meta, n___instancecheck__);
    meta_stamp_.record(meta, n___instancecheck__);
    if (!stamp_.holds(type) || !meta_stamp_.holds(meta)) return false;  // no tags to trust
    return usable(cls);
}

unsigned long long AbcCheck::token() {
    Ref token = call(get_cache_token_);
    const unsigned long long value = PyLong_AsUnsignedLongLong(token);
    if (value == static_cast<unsigned long long>(-1)) check_no_error();
    return value;
}

bool AbcCheck::ask(PyObject* cls, PyObject* obj) {
    const int plain = plain_index(Py_TYPE(obj));
    if (plain < 0 || !usable(cls)) return isinstance(obj, cls);
    Answer& answer = answers_[plain];
    if (answer.known && answer.yes) return true;
    const unsigned long long now = token();
    if (answer.known && answer.token == now) return false;
    const bool yes = isinstance(obj, cls);
    answers_[plain] = Answer{true, yes, now};
    return yes;
}

namespace {
Name n___init__{"__init__"}, n___new__{"__new__"};
constexpr char calling[] = " while calling a Python object";
}  // namespace

void ClassCall::learn(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    empty_.set(check(PyTuple_New(0)));
    PyObject* init = compat::type_lookup(type, n___init__);
    if (init && is_function(init)) {
        init_.set(Ref::borrow(init));
        init_slot_ = type->tp_init;
        new_slot_ = type->tp_new;
        return;
    }
    // A named tuple: the function of its __new__, and the number of its fields.
    Ref maker = getattr(cls, n___new__);
    if (!PyType_IsSubtype(type, &PyTuple_Type) || type->tp_init != PyBaseObject_Type.tp_init ||
        !PyFunction_Check(maker.get()))
        raise_format(PyExc_SystemError, "%R is neither a class with a package __init__ nor a named tuple", cls);
    tuple_maker_.learn(maker);
    arity_ = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(maker.get()))->co_argcount - 1;
    tuple_new_.set(getattr(reinterpret_cast<PyObject*>(&PyTuple_Type), n___new__));
}

bool ClassCall::usable(PyObject* cls, size_t n) {
    if (Py_TYPE(cls) != &PyType_Type || !shortcuts_on()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!stamps_[0].holds(type) && !stamps_[1].holds(type) && !renew(type)) return false;
    if (arity_ < 0) return true;
    // A named tuple: its __new__ gives the learned function, with its code and globals.
    if (n != static_cast<size_t>(arity_)) return false;
    Ref maker = check(PyStaticMethod_Type.tp_descr_get(compat::type_lookup(type, n___new__), nullptr, cls));
    return tuple_maker_.is(maker) && tuple_new_global_.find(PyFunction_GET_GLOBALS(maker.get())) == tuple_new_.get();
}

bool ClassCall::renew(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) return false;
    if (arity_ < 0) {
        if (type->tp_new != new_slot_ || !init_slot(type) || compat::type_lookup(type, n___init__) != init_.get())
            return false;
    } else {
        PyObject* found = compat::type_lookup(type, n___new__);
        if (type->tp_init != PyBaseObject_Type.tp_init || !found || !PyObject_TypeCheck(found, &PyStaticMethod_Type) ||
            !PyType_IsSubtype(type, &PyTuple_Type))
            return false;
    }
    std::swap(stamps_[0], stamps_[1]);
    stamps_[0].record(type, arity_ < 0 ? n___init__ : n___new__);
    return true;
}

// Whether the class's __init__ slot calls the __init__ found on it: the learned class's
// slot, or the interpreter's generic one, or the package's direct one, which both look
// it up.
bool ClassCall::init_slot(PyTypeObject* type) const noexcept {
    return type->tp_init == init_slot_ || calls_found_init(type->tp_init);
}

Ref ClassCall::make(PyObject* cls, PyObject** args, size_t n) {
    if (!usable(cls, n)) return check(compat::vectorcall(cls, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (arity_ >= 0) {
        Descent level(calling);
        Ref entry = check(type->tp_alloc(type, arity_));  // filled before anything else runs
        for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(entry.get(), static_cast<Py_ssize_t>(i), Ref::borrow(args[i]).release());
        return entry;
    }
    Ref instance = check(new_slot_(type, empty_, nullptr));
    if (!usable(cls, n)) {
        // The allocation ran code that changed the class: its __init__ slot as it is now.
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(n)));
        for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(args[i]).release());
        check(Py_TYPE(instance.get())->tp_init(instance, tuple, nullptr));
        return instance;
    }
    PyObject* saved = args[-1];
    args[-1] = instance.get();
    Ref result = Ref::steal(compat::vectorcall(init_, args - 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    args[-1] = saved;
    if (!result) throw_error();
    if (result.get() != Py_None)
        raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
    return instance;
}

}  // namespace tavox

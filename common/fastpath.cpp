#include "common/fastpath.hpp"

#include "common/call.hpp"
#include "common/function.hpp"

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
Name n___init__{"__init__"};
}  // namespace

void ClassCall::learn(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    cls_.set(Ref::borrow(cls));
    init_.set(Ref::borrow(compat::type_lookup(type, n___init__)));
    init_slot_ = type->tp_init;
    empty_.set(check(PyTuple_New(0)));
    if (!init_ || !is_function(init_)) raise_format(PyExc_SystemError, "%R has no __init__ of the package", cls);
}

bool ClassCall::renew(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != init_slot_ ||
        PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) || compat::type_lookup(type, n___init__) != init_.get())
        return false;
    stamp_.record(type, n___init__);
    return true;
}

void ClassCall::not_none(const Ref& result) {
    raise_format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
}

}  // namespace tavox

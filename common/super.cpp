#include "common/super.hpp"

namespace tavox {

BuiltinMethod::BuiltinMethod(PyTypeObject* type, const char* name) noexcept : type_(type), name_(name) {}

PyObject* BuiltinMethod::get() const {
    if (!descriptor_) {
        PyObject* dict = compat::type_dict(type_);
        descriptor_ = dict ? PyDict_GetItemString(dict, name_) : nullptr;
        if (!descriptor_) raise_format(PyExc_SystemError, "built-in method %s.%s not found", type_->tp_name, name_);
    }
    return descriptor_;
}

Super::Super(PyObject* owner, PyObject* self) : owner_(owner), self_(self), start_(Py_TYPE(self)), index_(-1) {
    PyObject* mro = start_->tp_mro;
    if (owner && mro) {
        const Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_GET_ITEM(mro, i) == owner) {
                index_ = i;
                break;
            }
        }
    }
    if (index_ < 0)
        raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
}

PyObject* Super::find(PyObject* name) const {
    PyObject* mro = start_->tp_mro;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = index_ + 1; i < n; ++i) {
        PyObject* dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) continue;
        if (PyObject* found = compat::dict_get(dict, name)) return found;
        check_no_error();
    }
    return nullptr;
}

PyObject* Super::require(PyObject* name) const {
    PyObject* found = find(name);
    if (!found) raise_format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    return found;
}

Ref Super::bind(PyObject* found) const {
    Ref keep = Ref::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return keep;
    PyObject* obj = self_ == reinterpret_cast<PyObject*>(start_) ? nullptr : self_;
    return check(get(found, obj, reinterpret_cast<PyObject*>(start_)));
}

Ref Super::attr(PyObject* name) const { return bind(require(name)); }

Ref Super::call_args(PyObject* name, PyObject* args, PyObject* kwargs) const {
    return tavox::call_args(attr(name), args, kwargs);
}

}  // namespace tavox

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

namespace {

// Position of `owner` in the MRO of `type`; TypeError as super() words it when absent.
Py_ssize_t owner_index(PyTypeObject* type, PyObject* owner) {
    PyObject* mro = type->tp_mro;
    if (owner && mro) {
        const Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyTuple_GET_ITEM(mro, i) == owner) return i;
    }
    raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
}

// The first class dictionary after position `index` of the MRO that holds `name`.
PyObject* find_after(PyTypeObject* type, Py_ssize_t index, PyObject* name) {
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = index + 1; i < n; ++i) {
        PyObject* dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) continue;
        if (PyObject* found = compat::dict_get(dict, name)) return found;
        check_no_error();
    }
    return nullptr;
}

}  // namespace

Super::Super(PyObject* owner, PyObject* self)
    : owner_(owner), self_(self), start_(Py_TYPE(self)), index_(owner_index(Py_TYPE(self), owner)) {}

PyObject* Super::find(PyObject* name) const { return find_after(start_, index_, name); }

PyObject* Super::find(PyObject* owner, PyTypeObject* type, PyObject* name, SuperCache& cache) {
    unsigned int version = compat::type_version(type);
    if (version && cache.type == type && cache.owner == owner && cache.version == version) return cache.found;
    PyObject* found = find_after(type, owner_index(type, owner), name);
    (void)compat::type_lookup(type, name);  // gives the type a version tag if it has none yet
    if ((version = compat::type_version(type))) cache = SuperCache{type, version, owner, found};
    return found;
}

PyObject* Super::find(PyObject* name, SuperCache& cache) const { return find(owner_, start_, name, cache); }

PyObject* Super::require(PyObject* name, SuperCache& cache) const {
    PyObject* found = find(name, cache);
    if (!found) raise_format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    return found;
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

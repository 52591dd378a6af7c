// Calling Python objects, reading and writing attributes.
//
//   call(f, a, b)                 f(a, b)
//   call_method(obj, name, a)     obj.name(a)   (no bound-method object where avoidable)
//   call_kw(f, {a}, {{n_key, k}}) f(a, key=k)
//   call_args(f, tuple, dict)     f(*tuple, **dict); dict may be nullptr
//   getattr / setattr / getitem / setitem / contains / is_true / isinstance
//   getattr_optional(obj, name)   obj.name, or an empty Ref when it has none
//
// Arguments are borrowed PyObject* (a Ref converts implicitly); every result is an
// owned Ref; every failure throws PyError.
#pragma once

#include "common/ref.hpp"

#include <initializer_list>
#include <utility>

namespace tavox {

template <class... A>
Ref call(PyObject* callable, const A&... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(compat::vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* stack[] = {obj, static_cast<PyObject*>(args)...};
    return check(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
    Ref method = check(PyObject_GetAttr(obj, name));
    return call(method, args...);
#endif
}

using Keywords = std::initializer_list<std::pair<PyObject*, PyObject*>>;  // (interned name, value)

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, Keywords keywords);

inline Ref call_args(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return check(PyObject_Call(callable, args, kwargs));
}

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline Ref getattr_optional(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) throw_error();
#else
    if (_PyObject_LookupAttr(obj, name, &value) < 0) throw_error();
#endif
    return Ref::steal(value);
}
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }
inline Ref getitem(PyObject* obj, PyObject* key) { return check(PyObject_GetItem(obj, key)); }
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) { check(PyObject_SetItem(obj, key, value)); }
inline void delitem(PyObject* obj, PyObject* key) { check(PyObject_DelItem(obj, key)); }
inline bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) == 1; }
inline bool is_true(PyObject* obj) { return check(PyObject_IsTrue(obj)) == 1; }
inline bool isinstance(PyObject* obj, PyObject* cls) { return check(PyObject_IsInstance(obj, cls)) == 1; }
inline Py_ssize_t length(PyObject* obj) { return check(PyObject_Length(obj)); }
inline Ref iterate(PyObject* obj) { return check(PyObject_GetIter(obj)); }

// The next item of an iterator, or an empty Ref when it is exhausted.
inline Ref next(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item) check_no_error();
    return item;
}

// `a, b = obj`: exactly two items by iteration, with the messages
// "need more than %zd value%.1s to unpack" and "too many values to unpack (expected 2)".
std::pair<Ref, Ref> unpack2(PyObject* obj);

inline Ref str(const char* text) { return check(PyUnicode_FromString(text)); }

}  // namespace tavox

// Shims over the differences between the CPython versions we build for (3.7 .. 3.13).
// Everything version-specific in the project lives here, behind one name each.
//
// The private names still used, each once, here or where noted:
//   _PyObject_FastCallKeywords   3.7 only
//   _PyObject_Vectorcall, _Py_TPFLAGS_HAVE_VECTORCALL, _PyInterpreterState_Get
//                                3.8 only
//   _PyObject_LookupAttr         3.7 .. 3.12 (common/call.hpp; PyObject_GetOptionalAttr after)
//   PyDictObject.ma_version_tag  3.7 .. 3.11 (dict_version; none from 3.12 on)
//   _PyType_Lookup               every version; 3.14's headers still declare it (its
//                                removal is planned for 3.19, PyType_Lookup replacing it)
//   _PyWeakref_RefType           every version (datastructures/fadeseq.cpp); 3.14's
//                                headers still declare it (PyWeakref_CheckRef uses it)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03070000
#error "tavox-datastructures needs CPython 3.7 or newer"
#endif

#if PY_VERSION_HEX < 0x03080000
// 3.7 has no vectorcall protocol: the same calling convention is emulated on top
// of its fast-call API, and functions are called through tp_call.
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
#define PyVectorcall_NARGS(n) ((Py_ssize_t)((n) & ~PY_VECTORCALL_ARGUMENTS_OFFSET))
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

namespace tavox::compat {

#if PY_VERSION_HEX >= 0x03090000
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyInterpreterState* current_interpreter() { return PyInterpreterState_Get(); }
#elif PY_VERSION_HEX >= 0x03080000
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyInterpreterState* current_interpreter() { return _PyInterpreterState_Get(); }
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), PyVectorcall_NARGS(nargsf), kwnames);
}
constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = 0;
inline PyInterpreterState* current_interpreter() { return PyThreadState_Get()->interp; }
#endif

// The class dictionary of a type, borrowed.  Since 3.12 the dictionaries of static
// built-in types are kept per interpreter and tp_dict may be NULL for them.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_dict) return type->tp_dict;
    PyObject* dict = PyType_GetDict(type);  // new reference, kept alive by the type
    Py_XDECREF(dict);
    return dict;
#else
    return type->tp_dict;
#endif
}

// The attribute `name` of a type as found along its MRO (the interpreter's cached
// lookup, no descriptor binding); borrowed, nullptr when absent.  Never raises.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The version tag of a type while it is valid, else 0.  The interpreter gives a type a
// new tag whenever the type or a class on its MRO changes, so a recorded (type, tag)
// pair that still matches means nothing changed.  Before 3.11 clearing the type
// cache could hand out old tag numbers again, so there no tag is trusted.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#elif PY_VERSION_HEX >= 0x030B0000
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    (void)type;
    return 0;
#endif
}

// A dict's version (PEP 509): renewed by every change of the dict, never handed out
// twice.  Read only before 3.12: deprecated there, and private from 3.14 on (PEP 699).
#if PY_VERSION_HEX < 0x030C0000
#define TAVOX_DICT_VERSIONS 1
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#else
#define TAVOX_DICT_VERSIONS 0
#endif

// Look a key up in a dict without masking errors; borrowed result, nullptr with no
// error set when absent, nullptr with an error set on failure.
inline PyObject* dict_get(PyObject* dict, PyObject* key) { return PyDict_GetItemWithError(dict, key); }

// A static type object with only its object header set (reference count as the
// running version wants it for statically allocated objects); the caller fills in
// the slots and calls PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject static_type_head() { return PyTypeObject{PyVarObject_HEAD_INIT(nullptr, 0)}; }
#pragma GCC diagnostic pop

}  // namespace tavox::compat

#include "common/boundary.hpp"
#include "common/exceptions.hpp"

#include <cstdarg>
#include <exception>

namespace tavox {

void throw_error() {
    if (!PyErr_Occurred()) {
        // A C API call failed without saying why: never hand the interpreter a NULL
        // result without an exception.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    throw PyError{};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw PyError{};
}

void raise_object(PyObject* type, PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
        throw PyError{};
    }
    // Made here, so that a tuple is the one argument and not the argument list.
    Ref error = check(PyObject_CallFunctionObjArgs(type, value, nullptr));
    PyErr_SetObject(type, error);
    throw PyError{};
}

void raise_in_place(PyObject* type, const char* message) {
    CaughtError original;
    Handling handling(original.value());
    raise(type, message);
}

void set_from_cause(PyObject* type, const char* message) noexcept {
    try {
        CaughtError cause;
        PyErr_SetString(type, message);
        CaughtError error;
        PyException_SetCause(error.value(), Ref::borrow(cause.value()).release());  // steals
        PyException_SetContext(error.value(), Ref::borrow(cause.value()).release());  // steals
        error.restore();
    } catch (const PyError&) {
        // the error indicator holds what went wrong meanwhile
    }
}

void set_error_from_unknown_exception() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

}  // namespace tavox

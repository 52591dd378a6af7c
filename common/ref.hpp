// Owned references and Python errors as C++ exceptions.
//
//   Ref               owns one reference; never copies without an incref, never leaks.
//   Ref::steal(p)     takes over a new reference (p may be null: an empty Ref).
//   Ref::borrow(p)    takes a new reference to a borrowed pointer.
//   check(p)          steals a new reference, or throws PyError when p is null.
//   check(int/ssize)  throws PyError when the C API reported -1.
//   PyError           thrown right after the interpreter's error indicator was set.
//   raise(type, ...)  sets the error indicator (PyErr_Format) and throws PyError.
//   raise_object(type, value)
//                     raises `value` itself when it is an exception, else type(value):
//                     the one argument, also when it is a tuple (KeyError(key)).
//   Kept              an owned reference in a static, kept for the life of the process.
//
// The only place where a PyError turns back into a NULL/-1 return is the boundary
// (boundary.hpp) that wraps every entry point the interpreter calls.
#pragma once

#include "common/compat.hpp"

#include <cstddef>
#include <utility>

namespace tavox {

// The interpreter's error indicator is set; unwind to the boundary.
struct PyError {};

[[noreturn]] void throw_error();  // asserts that an error is set, then throws PyError
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator PyObject*() const noexcept { return p_; }  // borrow for C API calls
    PyObject* operator->() const noexcept { return p_; }

    // Drop the reference now (for tp_clear); safe against re-entrant code seeing a
    // half-cleared field, like Py_CLEAR.
    void reset() noexcept {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An owned reference held by a static object: set by a module body (or replaced by a
// memo), and never dropped, since static destructors run after the interpreter is gone.
// Replacing the value drops the old one only after the new one is in place, so code run
// by that drop sees a consistent holder.
class Kept {
public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    // Puts `value` in place and hands back the old value (dropped by the caller).
    Ref exchange(Ref value) noexcept { return Ref::steal(std::exchange(p_, value.release())); }
    void set(Ref value) noexcept { exchange(std::move(value)); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline Ref check(PyObject* new_reference) {
    if (!new_reference) throw_error();
    return Ref::steal(new_reference);
}
inline int check(int status) {
    if (status == -1) throw_error();
    return status;
}
inline Py_ssize_t check(Py_ssize_t status) {
    if (status == -1 && PyErr_Occurred()) throw_error();
    return status;
}

// Raise PyError if an error is pending (after APIs that signal failure only that way).
inline void check_no_error() {
    if (PyErr_Occurred()) throw_error();
}

// The body of a setter slot for a str attribute such as __name__ or __qualname__:
// TypeError "<what> must be set to a string object" for anything else (or deletion).
inline int set_str_field(Ref& field, PyObject* value, const char* what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    field = Ref::borrow(value);
    return 0;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

}  // namespace tavox

// Exceptions taken out of the error indicator, and exceptions being handled.
//
//   CaughtError error;            // after a PyError: the pending exception, taken out
//   ...run Python code...         // (normalised, traceback attached) so code may run
//   error.rethrow();              // back into the indicator, and unwind again
//
// Take the error inside the C++ handler (`catch (const PyError&) { failure.emplace(); }`
// into a std::optional<CaughtError>) and rethrow it after the handler has ended.  A
// rethrow from inside the handler that declared the CaughtError was seen, in optimised
// g++ 12 builds, to drop the released reference a second time.
//
//   Handling handling(exc);       // for its lifetime `exc` is the exception being
//                                 // handled, as inside an `except` block: anything
//                                 // raised meanwhile gets it as its __context__
#pragma once

#include "common/ref.hpp"

#include <new>
#include <optional>

namespace tavox {


// The exception that a failed call left in the error indicator, taken out of it
// (normalised, its traceback attached) so that Python code may run meanwhile.
class CaughtError {
public:
    CaughtError() {
        take();
        if (!value_) raise(PyExc_SystemError, "error return without exception set");
    }
    // For code that does not throw: empty when no error was pending.
    explicit CaughtError(std::nothrow_t) noexcept { take(); }

    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;

    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(value_, type); }

    // Back into the error indicator, traceback and all, and unwind.
    [[noreturn]] void rethrow() {
        restore();
        throw PyError{};
    }
    // Back into the error indicator, without unwinding.
    void restore() noexcept {
        if (!value_) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_.release());
#else
        Ref traceback = Ref::steal(PyException_GetTraceback(value_));
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value_.get())));
        PyErr_Restore(type.release(), value_.release(), traceback.release());
#endif
    }

private:
    void take() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type), owned_traceback = Ref::steal(traceback);
        value_ = Ref::steal(value);
        if (value_ && owned_traceback && PyException_SetTraceback(value_, owned_traceback) < 0) PyErr_Clear();
#endif
    }

    Ref value_;
};

// For its lifetime, `exception` is the one being handled (what sys.exc_info() gives,
// the context of anything raised meanwhile), as inside an `except` block.
class Handling {
public:
    explicit Handling(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
        previous_ = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(exception);
#else
        PyObject *type, *value, *traceback;
        PyErr_GetExcInfo(&type, &value, &traceback);
        previous_type_ = Ref::steal(type);
        previous_ = Ref::steal(value);
        previous_traceback_ = Ref::steal(traceback);
        PyErr_SetExcInfo(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception))).release(),
                         Ref::borrow(exception).release(), PyException_GetTraceback(exception));
#endif
    }
    ~Handling() {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetHandledException(previous_);
#else
        PyErr_SetExcInfo(previous_type_.release(), previous_.release(), previous_traceback_.release());
#endif
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
#if PY_VERSION_HEX < 0x030B0000
    Ref previous_type_, previous_traceback_;
#endif
};

// Raise `type(message)` in place of the pending exception, which becomes its context
// (as `raise X` inside `except`).
[[noreturn]] void raise_in_place(PyObject* type, const char* message);

// Replace the pending exception by `type(message)`, with the pending one as its
// __cause__ and __context__ (as `raise X from pending`); does not unwind.
void set_from_cause(PyObject* type, const char* message) noexcept;

// PEP 479: a pending StopIteration that leaves a generator's body becomes
// RuntimeError "generator raised StopIteration", caused by it.
inline void convert_stop_iteration() noexcept {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) set_from_cause(PyExc_RuntimeError, "generator raised StopIteration");
}

}  // namespace tavox

// The single place where C++ exceptions turn back into the interpreter's protocol.
//
// Every entry point the interpreter calls (function calls, type slots, module exec)
// runs its body inside `boundary`: a PyError leaves the error indicator as it is and
// becomes the failure value (nullptr or -1); std::bad_alloc becomes MemoryError; any
// other C++ exception becomes SystemError.  No exception crosses into the interpreter.
#pragma once

#include "common/ref.hpp"

#include <new>
#include <type_traits>

namespace tavox {

void set_error_from_unknown_exception() noexcept;

// f returns Ref: the result is a new reference or nullptr on failure.
// f returns int / Py_ssize_t / void: the result is that value (0 for void) or -1.
template <class F>
auto boundary(F&& f) noexcept {
    using R = std::invoke_result_t<F&>;
    try {
        if constexpr (std::is_same_v<R, Ref>) {
            return static_cast<PyObject*>(f().release());
        } else if constexpr (std::is_void_v<R>) {
            f();
            return 0;
        } else {
            return f();
        }
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        set_error_from_unknown_exception();
    }
    if constexpr (std::is_same_v<R, Ref>) {
        return static_cast<PyObject*>(nullptr);
    } else if constexpr (std::is_void_v<R>) {
        return -1;
    } else {
        return R(-1);
    }
}

}  // namespace tavox

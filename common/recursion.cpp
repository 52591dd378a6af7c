#include "common/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace tavox {

namespace {

constexpr std::uintptr_t unmeasured = 0, unknown = 1;

// The lowest address a descent may reach in this thread: the bottom of its stack plus
// the reserve.  Stacks grow down on every platform we build for.
// Initial-exec: one load, not a call of the TLS resolver, on every level of every descent.
[[gnu::tls_model("initial-exec")]] thread_local std::uintptr_t stack_floor = unmeasured;

std::uintptr_t measure_stack() noexcept {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return unknown;
    void* bottom = nullptr;
    size_t size = 0;
    const int failed = pthread_attr_getstack(&attributes, &bottom, &size);
    pthread_attr_destroy(&attributes);
    if (failed || !bottom || !size) return unknown;
    const size_t reserve = std::min<size_t>(size / 4, 64 * 1024);
    return reinterpret_cast<std::uintptr_t>(bottom) + reserve;
}

}  // namespace

bool enter_descent(const char* where) noexcept {
    if (stack_floor == unmeasured) stack_floor = measure_stack();
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s (C stack)", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

}  // namespace tavox

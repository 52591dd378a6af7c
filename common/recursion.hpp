// Recursion: every call of a package function, and every level of a descent through
// the data (a key path handed to the next object, a merge, a delegating generator, a
// rendering, a repr), holds one Descent.
//
// A Descent is one level of the interpreter's recursion count, as a Python frame is
// (RecursionError past sys.getrecursionlimit(), in the interpreter's words), and a check
// of the C stack left in the running thread.  The count alone does not keep native
// recursion off the end of the stack: a thread may have a small stack
// (threading.stack_size), one level of ours takes more stack than a Python frame, and
// from 3.12 on the count of C levels has a limit of its own that assumes an 8 MiB stack.
// So a Descent also raises RecursionError when less than a reserve is left below it:
// a quarter of the thread's stack, at most 64 KiB, which covers what runs between two
// checks and the unwinding.
//
//   {
//       Descent level(" while rendering a tree");   // RecursionError, or one level deeper
//       ...descend...
//   }                                               // one level up again
//
// Code that does not throw (the generator driver) uses enter_descent / leave_descent.
#pragma once

#include "common/ref.hpp"

namespace tavox {

// One level deeper; false with RecursionError set when there is no room for it.
bool enter_descent(const char* where) noexcept;
inline void leave_descent() noexcept { Py_LeaveRecursiveCall(); }

class Descent {
public:
    explicit Descent(const char* where) {
        if (!enter_descent(where)) throw PyError{};
    }
    ~Descent() { leave_descent(); }
    Descent(const Descent&) = delete;
    Descent& operator=(const Descent&) = delete;
};

// The levels of the interpreter's recursion count that a call of a package function
// from a slot (value[key], str(value)) takes: the function's own, and on 3.7 two more,
// the generic call's and the fast call's.
#if PY_VERSION_HEX < 0x03080000
constexpr int slot_call_levels = 3;
#else
constexpr int slot_call_levels = 1;
#endif

// The levels a loop enters in place of the calls it stands for (a key path handed
// from one level to the next by a turn of the loop instead of a call), as many per
// turn as each call would count, all left when the loop is left.
class Descents {
public:
    explicit Descents(const char* where) noexcept : where_(where) {}
    ~Descents() {
        for (; levels_ > 0; --levels_) leave_descent();
    }
    Descents(const Descents&) = delete;
    Descents& operator=(const Descents&) = delete;

    // One turn: the levels of a call from a slot, or `levels`.
    void enter(int levels = slot_call_levels) {
        for (int i = 0; i < levels; ++i) {
            if (!enter_descent(where_)) throw PyError{};
            ++levels_;
        }
        ++count_;
    }
    int count() const noexcept { return count_; }

private:
    const char* where_;
    int levels_ = 0;
    int count_ = 0;  // turns
};

}  // namespace tavox

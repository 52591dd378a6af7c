// Generators: Python generator objects whose body is a C++20 coroutine.
//
// A generator function is a coroutine that takes the generator object and returns
// GeneratorBody; it is described once by a GeneratorCode (its __name__, __qualname__
// and the code object that gi_code shows):
//
//     GeneratorCode countdown_code{"countdown", "Clock.countdown", "tavox.datastructures.clock"};
//
//     GeneratorBody countdown_body(Generator& g) {      // slot 0: the start value
//         for (Py_ssize_t i = PyLong_AsSsize_t(g[0]); i > 0; --i) {
//             Ref sent = co_yield check(PyLong_FromSsize_t(i));   // None for next(), else send()'s value
//         }
//         co_await g.yield_from(Ref(g[0]));             // `yield from g[0]`; gives the delegate's return value
//         g.set_result(none());                         // optional: the value StopIteration carries
//     }
//
//     Ref gen = make_generator(countdown_code, countdown_body, 1, {start});
//
// The module body calls init_generator_type() once, which also registers the type
// with collections.abc.Generator.  The object offers what a Python generator offers:
// send, throw, close, iteration, __name__ and __qualname__ (settable strings),
// gi_running, gi_suspended, gi_code, gi_yieldfrom, weak references, and the messages
// "can't send non-None value to a just-started generator", "generator already
// executing" and "generator ignored GeneratorExit".  PEP 479 holds: a StopIteration
// that leaves the body becomes RuntimeError "generator raised StopIteration".
//
// Rules for bodies:
//
//  * Python references that must survive a suspension (co_yield, co_await) live in
//    the generator's slots, g[i], never only in coroutine locals: the cycle
//    collector sees the slots (they are traversed and cleared) but cannot see inside
//    a coroutine frame.  A Ref local is fine when it is empty or out of scope at
//    every suspension point; `co_yield std::move(item)` leaves `item` empty.
//  * A Python error is a PyError, as everywhere: one that leaves the body ends the
//    generator with that error (std::bad_alloc becomes MemoryError).  An exception
//    thrown in by throw() or close() arrives as a PyError out of co_yield or
//    co_await with the error indicator set; a body that handles it must clear the
//    indicator before going on.
//  * The frame starts suspended (nothing runs when the generator is made), stays
//    alive after the end (final suspend) and is destroyed by the generator object:
//    when the body ends, when the object is cleared by the cycle collector, or when
//    it is deallocated.  A suspended generator that is about to be destroyed is
//    closed first, as Python closes its generators.
//
// Delegation: `co_await g.yield_from(x)` is `yield from x`: iter(x), then every item
// of the delegate is handed out until it ends; send(), throw() and close() reach the
// delegate, which gi_yieldfrom shows meanwhile.  A delegate that is a generator of
// this type is driven directly (no Python-level call), one Descent per level
// (common/recursion.hpp), so that deep delegation raises RecursionError.
#pragma once

#include "common/ref.hpp"

#include <coroutine>
#include <cstddef>
#include <initializer_list>

namespace tavox {

struct Generator;

// What a resumed co_yield / co_await gives the body: the sent value, or the
// delegate's return value; throws PyError when an exception was thrown in.
struct GeneratorResume {
    Generator* gen;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Ref await_resume() const;
};

// The return type of a generator body.
class GeneratorBody {
public:
    struct promise_type {
        Generator* gen;

        template <class... A>
        explicit promise_type(Generator& g, A&&...) noexcept : gen(&g) {}

        GeneratorBody get_return_object() noexcept {
            return GeneratorBody(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        static GeneratorBody get_return_object_on_allocation_failure() noexcept { return GeneratorBody(nullptr); }
        static void* operator new(std::size_t size) noexcept;
        static void operator delete(void* frame) noexcept;

        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept;
        GeneratorResume yield_value(Ref&& item) noexcept;
        GeneratorResume yield_value(const Ref& item) noexcept { return yield_value(Ref(item)); }
    };

    GeneratorBody(GeneratorBody&& other) noexcept : frame_(other.frame_) { other.frame_ = nullptr; }
    GeneratorBody(const GeneratorBody&) = delete;
    GeneratorBody& operator=(const GeneratorBody&) = delete;
    ~GeneratorBody() {
        if (frame_) frame_.destroy();
    }

    std::coroutine_handle<> release() noexcept {
        std::coroutine_handle<> frame = frame_;
        frame_ = nullptr;
        return frame;
    }

private:
    explicit GeneratorBody(std::coroutine_handle<> frame) noexcept : frame_(frame) {}
    std::coroutine_handle<> frame_;
};

// The names and the code object of one generator function; declared once, at
// namespace scope.  The Python objects are made on first use and kept for the life
// of the process.
class GeneratorCode {
public:
    constexpr GeneratorCode(const char* name, const char* qualname, const char* module) noexcept
        : name_text_(name), qualname_text_(qualname), module_text_(module) {}
    GeneratorCode(const GeneratorCode&) = delete;
    GeneratorCode& operator=(const GeneratorCode&) = delete;

    void ensure();  // throws PyError
    PyObject* name() const noexcept { return name_.get(); }
    PyObject* qualname() const noexcept { return qualname_.get(); }
    PyObject* code() const noexcept { return code_.get(); }

private:
    const char* name_text_;
    const char* qualname_text_;
    const char* module_text_;
    Kept name_, qualname_, code_;
};

enum class GeneratorState : unsigned char { created, suspended, running, finished };

// The generator object.  Bodies use operator[], yield_from and set_result; the
// other fields belong to the driver (generator.cpp).
struct Generator {
    PyObject_VAR_HEAD           // ob_size: the number of slots, which follow the struct
    std::coroutine_handle<> frame;
    Ref name, qualname, code;
    Ref yieldfrom;              // the delegate of a running `yield from`
    Ref transfer;               // the item yielded, the value sent, or the delegate's result
    Ref result;                 // what the body gave to set_result
    PyObject* weakreflist;
    GeneratorState state;
    bool throwing;              // resumed with the error indicator set
    bool entering_delegate;     // yield_from() suspended the body; the delegate has not run yet
    bool failed;                // the body ended with an error

    Ref& operator[](Py_ssize_t i) noexcept { return slots()[i]; }
    Ref* slots() noexcept { return reinterpret_cast<Ref*>(reinterpret_cast<char*>(this) + sizeof(Generator)); }
    Py_ssize_t slot_count() const noexcept { return Py_SIZE(this); }

    // `yield from iterable`; takes the reference (the argument is left empty, so
    // nothing stays in the frame).  Throws PyError when iter() fails.
    GeneratorResume yield_from(Ref&& iterable);
    void set_result(Ref value) noexcept { result = std::move(value); }
};

// Readies the generator type and registers it with collections.abc.Generator.
// Every module that makes generators calls it from its module body.  Throws PyError.
void init_generator_type();
PyTypeObject* generator_type() noexcept;

inline bool is_generator(PyObject* obj) noexcept { return Py_TYPE(obj) == generator_type(); }
inline Generator* as_generator(PyObject* obj) noexcept { return reinterpret_cast<Generator*>(obj); }

// A new generator with `nslots` slots, the first ones holding `initial` (borrowed
// here, owned by the generator); the body has not started.  Throws PyError.
Ref make_generator(GeneratorCode& code, GeneratorBody (*body)(Generator&), Py_ssize_t nslots,
                   std::initializer_list<PyObject*> initial = {});

}  // namespace tavox

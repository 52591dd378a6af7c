// The generator type: the driver that resumes bodies, forwards to delegates, and
// follows CPython's generator protocol (Objects/genobject.c) step for step.
//
// Invariants:
//  * state is `running` exactly while the body or a delegate runs on behalf of this
//    generator; every other entry refuses with "generator already executing".
//  * yieldfrom is set only while the body is suspended in yield_from().
//  * frame is null once the body ended or the object was cleared; state is then
//    `finished`.
//  * The driver never throws: it reports failure with the error indicator, so the
//    state is consistent on every path.  Type slots convert at the boundary.
#include "common/generator.hpp"

#include "common/exceptions.hpp"

#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"

#include <new>

namespace tavox {

namespace {

PyTypeObject GeneratorType = compat::static_type_head();

constexpr char delegating[] = " while running a delegated generator";

Name n_send{"send"}, n_throw{"throw"}, n_close{"close"}, n_replace{"replace"}, n_co_qualname{"co_qualname"};

// ---- errors --------------------------------------------------------------------

// The value a pending StopIteration carries (None when it carries none), clearing it.
Ref take_stop_iteration_value() noexcept {
    CaughtError stop(std::nothrow);
    PyObject* e = stop.value();
    if (e && PyObject_TypeCheck(e, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        if (PyObject* value = reinterpret_cast<PyStopIterationObject*>(e)->value) return Ref::borrow(value);
    }
    return none();
}

// StopIteration(value) as the pending error, wrapping values that would otherwise be
// read as the exception's arguments (tuples) or as the exception itself.
void set_stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
    } else if (Ref e = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, value, nullptr))) {
        PyErr_SetObject(PyExc_StopIteration, e);
    }
}

// ---- the driver ----------------------------------------------------------------

enum class Step { yielded, returned, raised, exhausted };

struct Result {
    Step step;
    Ref value;  // yielded: the item; returned: the return value
};

Result raised() noexcept { return {Step::raised, Ref()}; }

Result send(Generator* g, PyObject* value) noexcept;
Result throw_into(Generator* g, PyObject* type, PyObject* value, PyObject* traceback, bool close_on_exit) noexcept;
Result close(Generator* g) noexcept;

void destroy_frame(Generator* g) noexcept {
    if (std::coroutine_handle<> frame = g->frame) {
        g->frame = nullptr;
        frame.destroy();
    }
    g->state = GeneratorState::finished;
}

// Refuses re-entry; true when the error was set.
bool already_executing(Generator* g) noexcept {
    if (g->state != GeneratorState::running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

// RAII: the generator runs a delegate on its own behalf.
class Running {
public:
    explicit Running(Generator* g) noexcept : g_(g), before_(g->state) { g->state = GeneratorState::running; }
    ~Running() { g_->state = before_; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    Generator* g_;
    GeneratorState before_;
};

// One step of a delegate: send(value) as `yield from` does it.
Result delegate_send(PyObject* delegate, PyObject* value) noexcept {
    if (is_generator(delegate)) {
        if (!enter_descent(delegating)) return raised();
        Result r = send(as_generator(delegate), value);
        leave_descent();
        if (r.step == Step::exhausted) return {Step::returned, none()};
        return r;
    }
#if PY_VERSION_HEX >= 0x030A0000
    PyObject* item = nullptr;
    switch (PyIter_Send(delegate, value, &item)) {
    case PYGEN_NEXT:
        return {Step::yielded, Ref::steal(item)};
    case PYGEN_RETURN:
        return {Step::returned, Ref::steal(item)};
    default:
        return raised();
    }
#else
    PyObject* item;
    if (value == Py_None && Py_TYPE(delegate)->tp_iternext)
        item = Py_TYPE(delegate)->tp_iternext(delegate);
    else
        item = PyObject_CallMethodObjArgs(delegate, n_send.get(), value, nullptr);
    if (item) return {Step::yielded, Ref::steal(item)};
    if (!PyErr_Occurred()) return {Step::returned, none()};
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return raised();
    return {Step::returned, take_stop_iteration_value()};
#endif
}

// Closes a delegate: close() of a generator, else its close method if it has one.
// 0, or -1 with the error set.
int close_delegate(PyObject* delegate) noexcept {
    if (is_generator(delegate)) {
        if (!enter_descent(" while closing a delegated generator")) return -1;
        Result r = close(as_generator(delegate));
        leave_descent();
        return r.step == Step::raised ? -1 : 0;
    }
    Ref method = Ref::steal(PyObject_GetAttr(delegate, n_close));
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(delegate);
        return 0;
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(method, nullptr)) ? 0 : -1;
}

// The body ended (or was abandoned before it started): what it gives the caller.
Result finish(Generator* g, bool failed) noexcept {
    destroy_frame(g);
    if (failed) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "generator body failed without an exception set");
        convert_stop_iteration();
        return raised();
    }
    Ref result = std::move(g->result);
    return {Step::returned, result ? std::move(result) : none()};
}

// Resumes the body with `value` (or, when `exc`, with the pending error raised at its
// suspension point) until it yields, ends or raises.  Entering a delegation, it runs
// the delegate's first step, as `yield from` does.
Result resume(Generator* g, Ref value, bool exc) noexcept {
    for (;;) {
        if (g->state == GeneratorState::finished) {
            if (exc) return raised();
            return {Step::exhausted, Ref()};
        }
        if (g->state == GeneratorState::created && exc) return finish(g, true);  // the body never runs
        g->yieldfrom.reset();  // the body goes on after `yield from`, or leaves it by an exception
        g->transfer = std::move(value);
        g->throwing = exc;
        g->state = GeneratorState::running;
        g->frame.resume();
        if (g->frame.done()) return finish(g, g->failed);
        g->state = GeneratorState::suspended;
        if (!g->entering_delegate) return {Step::yielded, std::move(g->transfer)};

        g->entering_delegate = false;
        Ref delegate = g->yieldfrom;
        Result r;
        {
            Running running(g);
            r = delegate_send(delegate, Py_None);
        }
        if (r.step == Step::yielded) return r;
        g->yieldfrom.reset();
        exc = r.step == Step::raised;
        value = std::move(r.value);
    }
}

// The delegate ended a step without an item: the body goes on from `yield from`.
Result after_delegate(Generator* g, Result r) noexcept {
    if (r.step == Step::yielded) return r;
    g->yieldfrom.reset();
    if (r.step == Step::raised) return resume(g, Ref(), true);
    return resume(g, r.step == Step::returned ? std::move(r.value) : none(), false);
}

Result send(Generator* g, PyObject* value) noexcept {
    if (g->state == GeneratorState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return raised();
    }
    if (already_executing(g)) return raised();
    if (g->state == GeneratorState::finished) return {Step::exhausted, Ref()};
    if (g->yieldfrom) {
        Ref delegate = g->yieldfrom;
        Result r;
        {
            Running running(g);
            r = delegate_send(delegate, value);
        }
        return after_delegate(g, std::move(r));
    }
    return resume(g, Ref::borrow(value), false);
}


// throw(type[, value[, traceback]]) with the arguments as given (value and traceback
// may be null).  A delegate gets them first, as they are; GeneratorExit closes it
// instead.  What the delegate raises is raised in the body at `yield from`.
Result throw_into(Generator* g, PyObject* type, PyObject* value, PyObject* traceback, bool close_on_exit) noexcept {
    if (already_executing(g)) return raised();
    if (Ref delegate = g->yieldfrom) {
        if (close_on_exit && PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            int err;
            {
                Running running(g);
                err = close_delegate(delegate);
            }
            if (err < 0) return resume(g, Ref(), true);
            // Closed: GeneratorExit is raised in the body below.
        } else if (is_generator(delegate)) {
            Result r;
            if (!enter_descent(delegating)) {
                r = raised();
            } else {
                {
                    Running running(g);
                    r = throw_into(as_generator(delegate), type, value, traceback, close_on_exit);
                }
                leave_descent();
            }
            return after_delegate(g, std::move(r));
        } else {
            Ref method = Ref::steal(PyObject_GetAttr(delegate, n_throw));
            if (method) {
                Ref item;
                {
                    Running running(g);
                    item = Ref::steal(PyObject_CallFunctionObjArgs(method, type, value, traceback, nullptr));
                }
                if (item) return after_delegate(g, {Step::yielded, std::move(item)});
                if (PyErr_ExceptionMatches(PyExc_StopIteration))
                    return after_delegate(g, {Step::returned, take_stop_iteration_value()});
                return after_delegate(g, raised());
            }
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
            PyErr_Clear();
            // No throw method: raised in the body below.
        }
    }

    // Raise it here, at the body's suspension point.
    if (traceback == Py_None) traceback = nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return raised();
    }
    if (PyExceptionClass_Check(type)) {
        PyObject* exc_type = Ref::borrow(type).release();
        PyObject* exc_value = Ref::borrow(value).release();
        PyObject* exc_traceback = Ref::borrow(traceback).release();
        PyErr_NormalizeException(&exc_type, &exc_value, &exc_traceback);
        PyErr_Restore(exc_type, exc_value, exc_traceback);  // steals all three
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return raised();
        }
        Ref instance_traceback = traceback ? Ref::borrow(traceback) : Ref::steal(PyException_GetTraceback(type));
        PyErr_Restore(Ref::borrow(PyExceptionInstance_Class(type)).release(), Ref::borrow(type).release(),
                      instance_traceback.release());
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return raised();
    }
    return resume(g, Ref(), true);
}

// close(): GeneratorExit raised in the body (after closing a delegate), which must
// end, not yield.  The value is the body's return value from 3.13 on, else None.
Result close(Generator* g) noexcept {
    if (already_executing(g)) return raised();
    if (g->state != GeneratorState::suspended) {  // not started, or ended: nothing runs
        destroy_frame(g);
        return {Step::returned, none()};
    }
    int err = 0;
    if (Ref delegate = g->yieldfrom) {
        Running running(g);
        err = close_delegate(delegate);
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    Result r = resume(g, Ref(), true);
    if (r.step == Step::yielded) {
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return raised();
    }
    if (r.step == Step::raised) {
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return raised();
        PyErr_Clear();
        return {Step::returned, none()};
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (r.step == Step::returned) return r;
#endif
    return {Step::returned, none()};
}

// ---- type slots ------------------------------------------------------------------

Generator* self_of(PyObject* self) noexcept { return as_generator(self); }

// send() and throw() hand out the next item or raise StopIteration at the end.
PyObject* item_or_stop(Result r) noexcept {
    switch (r.step) {
    case Step::yielded:
        return r.value.release();
    case Step::returned:
        set_stop_iteration(r.value);
        return nullptr;
    case Step::exhausted:
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    case Step::raised:
        break;
    }
    return nullptr;
}

PyObject* gen_iternext(PyObject* self) {
    Result r = send(self_of(self), Py_None);
    if (r.step == Step::yielded) return r.value.release();
    if (r.step == Step::returned && r.value.get() != Py_None) set_stop_iteration(r.value);
    return nullptr;
}

PyObject* gen_send(PyObject* self, PyObject* value) { return item_or_stop(send(self_of(self), value)); }

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    return item_or_stop(throw_into(self_of(self), args[0], nargs > 1 ? args[1] : nullptr,
                                   nargs > 2 ? args[2] : nullptr, true));
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Result r = close(self_of(self));
    return r.step == Step::raised ? nullptr : r.value.release();
}

// PEP 442 finalizer: a suspended generator is closed before it goes away.
void gen_finalize(PyObject* self) {
    Generator* g = self_of(self);
    if (g->state != GeneratorState::suspended) return;
    CaughtError pending(std::nothrow);
    if (close(g).step == Step::raised) PyErr_WriteUnraisable(self);
    pending.restore();
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = self_of(self);
    Py_VISIT(g->yieldfrom.get());
    Py_VISIT(g->transfer.get());
    Py_VISIT(g->result.get());
    Py_VISIT(g->code.get());
    Ref* slots = g->slots();
    for (Py_ssize_t i = 0, n = g->slot_count(); i < n; ++i) Py_VISIT(slots[i].get());
    return 0;
}

int gen_clear(PyObject* self) {
    Generator* g = self_of(self);
    destroy_frame(g);
    g->yieldfrom.reset();
    g->transfer.reset();
    g->result.reset();
    Ref* slots = g->slots();
    for (Py_ssize_t i = 0, n = g->slot_count(); i < n; ++i) slots[i].reset();
    return 0;
}

void gen_dealloc(PyObject* self) {
    Generator* g = self_of(self);
    PyObject_GC_UnTrack(self);
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_BEGIN(self, gen_dealloc)
#else
    Py_TRASHCAN_SAFE_BEGIN(self)
#endif
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) == 0) {  // not resurrected
        PyObject_GC_UnTrack(self);
        destroy_frame(g);
        Ref* slots = g->slots();
        for (Py_ssize_t i = 0, n = g->slot_count(); i < n; ++i) slots[i].~Ref();
        for (Ref* r : {&g->name, &g->qualname, &g->code, &g->yieldfrom, &g->transfer, &g->result}) r->~Ref();
        PyObject_GC_Del(self);
    }
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_END
#else
    Py_TRASHCAN_SAFE_END(self)
#endif
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", self_of(self)->qualname.get(), self);
}


PyObject* get_name(PyObject* self, void*) { return Ref(self_of(self)->name).release(); }
int set_name(PyObject* self, PyObject* value, void*) { return set_str_field(self_of(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Ref(self_of(self)->qualname).release(); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(self_of(self)->qualname, value, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) {
    return boolean(self_of(self)->state == GeneratorState::running).release();
}
PyObject* get_suspended(PyObject* self, void*) {
    return boolean(self_of(self)->state == GeneratorState::suspended).release();
}
PyObject* get_code(PyObject* self, void*) { return Ref(self_of(self)->code).release(); }
PyObject* get_yieldfrom(PyObject* self, void*) {
    Generator* g = self_of(self);
    return Ref::borrow(g->yieldfrom ? g->yieldfrom.get() : Py_None).release();
}

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, "object being iterated by yield from, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\n"
     "StopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---- public ----------------------------------------------------------------------

Ref GeneratorResume::await_resume() const {
    if (gen->throwing) {
        gen->throwing = false;
        throw PyError{};
    }
    return std::move(gen->transfer);
}

void* GeneratorBody::promise_type::operator new(std::size_t size) noexcept { return PyMem_Malloc(size); }
void GeneratorBody::promise_type::operator delete(void* frame) noexcept { PyMem_Free(frame); }

void GeneratorBody::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        // the error indicator is set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        set_error_from_unknown_exception();
    }
    gen->failed = true;
}

GeneratorResume GeneratorBody::promise_type::yield_value(Ref&& item) noexcept {
    gen->transfer = std::move(item);
    return GeneratorResume{gen};
}

GeneratorResume Generator::yield_from(Ref&& iterable) {
    Ref taken = std::move(iterable);
    if (PyCoro_CheckExact(taken.get()))
        raise(PyExc_TypeError, "cannot 'yield from' a coroutine object in a non-coroutine generator");
    yieldfrom = iterate(taken);  // a generator is its own iterator
    entering_delegate = true;
    return GeneratorResume{this};
}

void GeneratorCode::ensure() {
    if (code_) return;
    Ref name = check(PyUnicode_InternFromString(name_text_));
    Ref qualname = check(PyUnicode_FromString(qualname_text_));
    Ref code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_text_, name_text_, 1)));
#if PY_VERSION_HEX >= 0x030B0000
    code = call_kw(getattr(code, n_replace), {}, {{n_co_qualname, qualname}});
#endif
    name_.set(std::move(name));
    qualname_.set(std::move(qualname));
    code_.set(std::move(code));
}

void init_generator_type() {
    static bool registered = false;
    PyTypeObject& t = GeneratorType;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        t.tp_name = "tavox_generator";
        t.tp_basicsize = sizeof(Generator);
        t.tp_itemsize = sizeof(Ref);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX < 0x03080000
        t.tp_flags |= Py_TPFLAGS_HAVE_FINALIZE;
#endif
        t.tp_doc = "Generator whose body is implemented in C++.";
        t.tp_dealloc = gen_dealloc;
        t.tp_repr = gen_repr;
        t.tp_traverse = gen_traverse;
        t.tp_clear = gen_clear;
        t.tp_weaklistoffset = offsetof(Generator, weakreflist);
        t.tp_iter = PyObject_SelfIter;
        t.tp_iternext = gen_iternext;
        t.tp_methods = gen_methods;
        t.tp_getset = gen_getset;
        t.tp_finalize = gen_finalize;
        check(PyType_Ready(&t));
    }
    if (!registered) {
        register_abc(&t, "Generator");
        registered = true;
    }
}

PyTypeObject* generator_type() noexcept { return &GeneratorType; }

Ref make_generator(GeneratorCode& code, GeneratorBody (*body)(Generator&), Py_ssize_t nslots,
                   std::initializer_list<PyObject*> initial) {
    if (!(GeneratorType.tp_flags & Py_TPFLAGS_READY)) raise(PyExc_SystemError, "generator type not initialised");
    code.ensure();
    Generator* g = PyObject_GC_NewVar(Generator, &GeneratorType, nslots);
    if (!g) throw_error();
    new (&g->frame) std::coroutine_handle<>();
    for (Ref* r : {&g->name, &g->qualname, &g->code, &g->yieldfrom, &g->transfer, &g->result}) new (r) Ref();
    Ref* slots = g->slots();
    for (Py_ssize_t i = 0; i < nslots; ++i) new (&slots[i]) Ref();
    g->weakreflist = nullptr;
    g->state = GeneratorState::created;
    g->throwing = g->entering_delegate = g->failed = false;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(g));  // owns g from here on

    Py_ssize_t i = 0;
    for (PyObject* value : initial) slots[i++] = Ref::borrow(value);
    g->name = Ref::borrow(code.name());
    g->qualname = Ref::borrow(code.qualname());
    g->code = Ref::borrow(code.code());
    g->frame = body(*g).release();
    if (!g->frame) {
        PyErr_NoMemory();
        throw PyError{};
    }
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace tavox

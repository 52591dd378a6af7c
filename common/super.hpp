// Base calls: what `super().name(...)` does inside a method.
//
// One BaseCall per call site, at namespace scope.  It may name a body that does what a
// known method does, together with the class whose method that is (a built-in type, or
// "module.Class" for a class that is imported when the module is); the module learns
// the method before its body runs:
//
//     Ref dict_getitem(PyObject* self, PyObject* key) { ... }   // what dict.__getitem__ does
//     BaseCall super_getitem{"__getitem__", dict_getitem, &PyDict_Type};
//     BaseCall super_append{"append", userlist_append, "collections.UserList"};
//
//     Ref value = super_getitem(a)(key);              // super().__getitem__(key)
//     super_init(a).call_args(a.varargs, a.varkw);    // super().__init__(*args, **kwargs)
//     super_repr(owner, self)();                      // super(owner, self).__repr__()
//
// `super_getitem(a)` finds the attribute as the zero-argument super() of the method
// being called finds it (in the MRO of type(self), after the method's defining class)
// and binds it; the result holds what was found.  C++ evaluates the callee of a call
// before its arguments, so in `super_append(a)(make_argument())` the method found
// before the argument was made is the one called, as in Python.
//
// What a call site finds is memoised, held, for as long as type(self) keeps its version
// tag (fastpath.hpp).  When the attribute found is the learned method, as learned, the
// body runs instead of the call; anything else is called the way super() would call it,
// so subclasses and multiple inheritance keep working.  Where super() would refuse the
// object, or lack the attribute, the interpreter's own super() is asked, and raises its
// own error.
#pragma once

#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/function.hpp"
#include "common/names.hpp"

#include <initializer_list>
#include <type_traits>

namespace tavox {

// What one base call found, bound to the object it was found for.
class BaseMethod {
public:
    // Calls it with these positional arguments.
    template <class... A>
    Ref call(const A&... args) const {
        if (!bound_ && obj_ && PyType_HasFeature(Py_TYPE(attribute_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            PyObject* stack[] = {nullptr, obj_, static_cast<PyObject*>(args)...};
            return check(compat::vectorcall(attribute_, stack + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr));
        }
        return tavox::call(bind(), args...);
    }
    // Calls it with a tuple of positional arguments and a dict of keywords (or nullptr).
    Ref call_args(PyObject* args, PyObject* kwargs) const { return tavox::call_args(bind(), args, kwargs); }

    // The attribute as super() hands it out (a bound method for a function).
    Ref bind() const;

    PyObject* attribute() const noexcept { return attribute_.get(); }

private:
    friend class BaseCallSite;
    Ref attribute_;          // the class attribute found, or (bound_) super()'s own answer
    PyObject* obj_ = nullptr;  // what it binds to: self, or nullptr for a class-level super()
    PyObject* type_ = nullptr; // the type whose MRO was searched
    bool bound_ = false;
};

// The part of a call site that does not depend on its body.
class BaseCallSite {
public:
    // A site without a body.
    explicit BaseCallSite(const char* name) noexcept : name_(name) {}
    // A site whose body stands for `owner`'s own method of that name (registered, to be
    // learned by learn_base_calls()).
    BaseCallSite(const char* name, PyTypeObject* owner) noexcept;
    BaseCallSite(const char* name, const char* owner_path) noexcept;
    BaseCallSite(const BaseCallSite&) = delete;
    BaseCallSite& operator=(const BaseCallSite&) = delete;

protected:
    BaseMethod find(PyObject* owner, PyObject* self);
    // A body stands for the method bound to an object; super() of a class gives it unbound.
    bool is_known(const BaseMethod& m) const noexcept { return !m.bound_ && m.obj_ && known_.is(m.attribute_); }

private:
    friend void learn_base_calls();
    BaseMethod ask_interpreter(PyObject* owner, PyObject* self);
    // The method that the body stands for: `cls`'s own attribute of the call's name.
    void learn(PyObject* cls) { known_.learn(cls, name_); }

    Name name_;
    PyTypeObject* owner_type_ = nullptr;  // whose method the body stands for, or
    const char* owner_path_ = nullptr;    // "module.Class" naming it
    Known known_;
    // The memo: what was found after `owner_` in the MRO of the type stamped.
    TypeStamp stamp_;
    Kept owner_, found_;
};

// A call site; `Body` is the type of the body that stands for the learned method
// (a function taking self and then the call's arguments), or none.
template <class Body = std::nullptr_t>
class BaseCall : public BaseCallSite {
public:
    explicit BaseCall(const char* name) noexcept : BaseCallSite(name), body_(nullptr) {}
    BaseCall(const char* name, Body body, PyTypeObject* owner) noexcept : BaseCallSite(name, owner), body_(body) {}
    BaseCall(const char* name, Body body, const char* owner_path) noexcept
        : BaseCallSite(name, owner_path), body_(body) {}

    class Bound {
    public:
        template <class... A>
        Ref operator()(const A&... args) const {
            if constexpr (std::is_invocable_r_v<Ref, Body, PyObject*, const A&...>) {
                if (site_->is_known(method_)) return site_->body_(self_, args...);
            }
            return method_.call(args...);
        }
        Ref call_args(PyObject* args, PyObject* kwargs) const {
            if constexpr (std::is_invocable_r_v<Ref, Body, PyObject*, PyObject*, PyObject*>) {
                if (site_->is_known(method_)) return site_->body_(self_, args, kwargs);
            }
            return method_.call_args(args, kwargs);
        }
        const BaseMethod& method() const noexcept { return method_; }
        // Whether it is the learned method, whose body would run.
        bool is_known() const noexcept { return site_->is_known(method_); }

    private:
        friend class BaseCall;
        Bound(const BaseCall* site, PyObject* self, BaseMethod method)
            : site_(site), self_(self), method_(std::move(method)) {}
        const BaseCall* site_;
        PyObject* self_;  // held by the caller
        BaseMethod method_;
    };

    // super() of the method being called, and of an explicit owner and object.
    Bound operator()(const Args& a) { return (*this)(a.owner(), a.self()); }
    Bound operator()(PyObject* owner, PyObject* self) { return Bound(this, self, find(owner, self)); }

private:
    Body body_;
};

// A body always comes with the class it stands for.
template <class Body>
BaseCall(const char*, Body, PyTypeObject*) -> BaseCall<Body>;
template <class Body>
BaseCall(const char*, Body, const char*) -> BaseCall<Body>;
BaseCall(const char*)->BaseCall<std::nullptr_t>;

// Every site with a body learns its method: once, when the module is executed, before
// its body runs.  Throws PyError.
void learn_base_calls();

}  // namespace tavox

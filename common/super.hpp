// Base calls: what `super().name(...)` does inside a method.
//
//   Super base(a);                        // super() of the method being called
//   Ref r = base.call(n_keys);            // super().keys()
//   Ref m = base.attr(n_remove);          // super().remove (bound)
//
// The attribute is searched in type(self).__mro__ after the method's defining
// class, exactly as super() searches, and bound as super() binds it.  A method
// descriptor found that way (a Function of ours, a built-in method) is called with
// self prepended instead of creating a bound method first, which is the same call.
//
// Fast path: when the attribute found is a built-in type's own method (for instance
// dict.__getitem__), which is exactly what the interpreter would run, the caller
// may run the built-in's C function directly:
//
//   static BuiltinMethod dict_getitem{&PyDict_Type, "__getitem__"};
//   ...
//   if (base.find(n___getitem__) == dict_getitem) return check(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
//   return base.call(n___getitem__, key);
//
// Anything else goes through the ordinary protocol, so subclasses and multiple
// inheritance keep working.
#pragma once

#include "common/call.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"

namespace tavox {

// A built-in type's own method descriptor, found once in the type's dictionary.
class BuiltinMethod {
public:
    BuiltinMethod(PyTypeObject* type, const char* name) noexcept;
    PyObject* get() const;  // resolved on first use; borrowed, lives as long as the type
    friend bool operator==(PyObject* found, const BuiltinMethod& builtin) { return found && found == builtin.get(); }

private:
    PyTypeObject* type_;
    const char* name_;
    mutable PyObject* descriptor_ = nullptr;
};

// A one-entry memo of what super() finds at one call site.  The interpreter gives a
// type a new version tag whenever the type or any class on its MRO changes, so an
// entry recorded under type(self)'s current tag is exactly what a fresh search would
// find.  Types without a valid tag are never memoised.
struct SuperCache {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* owner = nullptr;
    PyObject* found = nullptr;
};

class Super {
public:
    Super(PyObject* owner, PyObject* self);
    explicit Super(const Args& a) : Super(a.owner(), a.self()) {}

    PyObject* self() const noexcept { return self_; }

    // The raw class attribute (borrowed) that super() would find, or nullptr.
    PyObject* find(PyObject* name) const;
    // The same through a call site's memo (for hot paths).
    PyObject* find(PyObject* name, SuperCache& cache) const;
    // find() for instances of `type` without building a Super.
    static PyObject* find(PyObject* owner, PyTypeObject* type, PyObject* name, SuperCache& cache);

    // super().name, bound; AttributeError as super() words it when absent.
    Ref attr(PyObject* name) const;
    // Bind an attribute that find() returned, as super() binds it.
    Ref bind(PyObject* found) const;

    // super().name(args...)
    template <class... A>
    Ref call(PyObject* name, const A&... args) const {
        return call_found(require(name), name, args...);
    }

    // Call an attribute that find() returned with these arguments.
    template <class... A>
    Ref call_found(PyObject* found, PyObject*, const A&... args) const {
        if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            PyObject* stack[] = {nullptr, self_, static_cast<PyObject*>(args)...};
            Ref keep = Ref::borrow(found);
            return check(
                compat::vectorcall(found, stack + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        return tavox::call(bind(found), args...);
    }

    // super().name(*args, **kwargs) with a tuple and an optional dict.
    Ref call_args(PyObject* name, PyObject* args, PyObject* kwargs) const;

    PyObject* require(PyObject* name) const;  // find() or AttributeError
    PyObject* require(PyObject* name, SuperCache& cache) const;

private:
    PyObject* owner_;
    PyObject* self_;
    PyTypeObject* start_;  // type(self)
    Py_ssize_t index_;     // position of owner in start_->tp_mro
};

}  // namespace tavox

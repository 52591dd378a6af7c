#include "common/super.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tavox {

namespace {

// The sites of this module that have a body, in the order they were made.
std::vector<BaseCallSite*>& sites_with_bodies() {
    static std::vector<BaseCallSite*> sites;
    return sites;
}

// The first class dictionary after `owner` in the MRO of `type` that holds `name`:
// what super() finds.  The MRO and each dictionary are held while a lookup runs, since
// comparing keys can run Python code that replaces them.
Ref find_after(PyTypeObject* type, PyObject* owner, PyObject* name) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(mro.get());
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.get(), i) != owner) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::borrow(compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict) continue;
        if (PyObject* found = compat::dict_get(dict, name)) return Ref::borrow(found);
        check_no_error();
    }
    return Ref();
}

}  // namespace

BaseCallSite::BaseCallSite(const char* name, PyTypeObject* owner) noexcept : name_(name), owner_type_(owner) {
    sites_with_bodies().push_back(this);
}

BaseCallSite::BaseCallSite(const char* name, const char* owner_path) noexcept : name_(name), owner_path_(owner_path) {
    sites_with_bodies().push_back(this);
}

void learn_base_calls() {
    for (BaseCallSite* site : sites_with_bodies()) {
        if (site->owner_type_) {
            site->learn(reinterpret_cast<PyObject*>(site->owner_type_));
            continue;
        }
        const char* dot = std::strrchr(site->owner_path_, '.');
        Ref module = check(PyImport_ImportModule(std::string(site->owner_path_, dot).c_str()));
        Ref cls = Ref(check(PyObject_GetAttrString(module, dot + 1)));
        site->learn(cls.get());
    }
}

Ref BaseMethod::bind() const {
    if (bound_) return attribute_;
    descrgetfunc get = Py_TYPE(attribute_.get())->tp_descr_get;
    if (!get) return attribute_;
    return check(get(attribute_, obj_, type_));
}

BaseMethod BaseCallSite::find(PyObject* owner, PyObject* self) {
    if (!shortcuts_on()) return ask_interpreter(owner, self);
    BaseMethod m;
    // The memo first, for an object that is no class: while type(self) keeps the tag
    // recorded when `owner` was found on its MRO, super() takes it and finds the same.
    if (owner == owner_.get() && !PyType_Check(self) && stamp_.holds(Py_TYPE(self))) {
        m.type_ = reinterpret_cast<PyObject*>(Py_TYPE(self));
        m.obj_ = self;
        m.attribute_ = Ref::borrow(found_);
        return m;
    }
    // The type searched and the object bound, as super(owner, self) picks them.
    if (!owner || !PyType_Check(owner)) return ask_interpreter(owner, self);
    auto* owner_type = reinterpret_cast<PyTypeObject*>(owner);
    if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(self), owner_type)) {
        m.type_ = self;
    } else if (PyType_IsSubtype(Py_TYPE(self), owner_type)) {
        m.type_ = reinterpret_cast<PyObject*>(Py_TYPE(self));
        m.obj_ = self;
    } else {
        return ask_interpreter(owner, self);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(m.type_);

    if (stamp_.holds(type) && owner == owner_.get()) {
        m.attribute_ = Ref::borrow(found_);
        return m;
    }
    TypeStamp before;
    before.record(type, name_);
    m.attribute_ = find_after(type, owner, name_);
    if (!m.attribute_) return ask_interpreter(owner, self);
    // Memoised only when nothing changed the type while it was searched.  The old
    // entry is dropped last, when the new one is complete.
    if (before.holds(type)) {
        stamp_ = TypeStamp();
        Ref old_owner = owner_.exchange(Ref::borrow(owner));
        Ref old_found = found_.exchange(m.attribute_);
        stamp_ = before;
    }
    return m;
}

BaseMethod BaseCallSite::ask_interpreter(PyObject* owner, PyObject* self) {
    Ref base = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), owner, self, nullptr));
    BaseMethod m;
    m.attribute_ = getattr(base, name_);
    m.bound_ = true;
    return m;
}

}  // namespace tavox

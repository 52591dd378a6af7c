#include "common/call.hpp"

#include <vector>

namespace tavox {

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, Keywords keywords) {
    std::vector<PyObject*> stack;
    stack.reserve(1 + args.size() + keywords.size());
    stack.push_back(nullptr);
    stack.insert(stack.end(), args.begin(), args.end());
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Ref::borrow(name).release());
        stack.push_back(value);
    }
    return check(compat::vectorcall(callable, stack.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    keywords.size() ? names.get() : nullptr));
}

std::pair<Ref, Ref> unpack2(PyObject* obj) {
    auto too_few = [](Py_ssize_t found) {
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == 2)
            return {Ref::borrow(PySequence_Fast_GET_ITEM(obj, 0)), Ref::borrow(PySequence_Fast_GET_ITEM(obj, 1))};
        if (size < 2) too_few(size);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    Ref it = iterate(obj);
    Ref first = next(it);
    if (!first) too_few(0);
    Ref second = next(it);
    if (!second) too_few(1);
    if (next(it)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

}  // namespace tavox

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

}  // namespace tavox

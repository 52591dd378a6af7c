// What the source files of tavox.datastructures.pathroll share.
#pragma once

#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/function.hpp"
#include "common/names.hpp"

#include <utility>

namespace tavox::pathroll {

// The module dictionary, whose DictItem, IndexMarker, MutableMapping and PathRoll are
// read at each use, and isinstance(x, MutableMapping) for every container and leaf.
extern Kept module_globals;
extern Global DictItem, IndexMarker, MutableMapping, PathRoll;
extern AbcCheck is_mutable_mapping;

// `path, value = item`: exactly two parts, with unpack2's messages.  A tuple whose
// iteration is the tuple's own (DictItem's is) is read directly.
inline std::pair<Ref, Ref> unpack_pair(PyObject* item) {
    if (PyTuple_Check(item) && Py_TYPE(item)->tp_iter == PyTuple_Type.tp_iter && PyTuple_GET_SIZE(item) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    return unpack2(item);
}

// PathRoll.reconstruct (reconstruct.cpp).
Ref pathroll_reconstruct(const Args& a);
extern const char reconstruct_doc[];

}  // namespace tavox::pathroll

#include "common/names.hpp"

namespace tavox {

namespace {
Name* registry = nullptr;  // every Name of this shared library, linked at static initialisation
}

Name::Name(const char* text) noexcept : text_(text), next_(registry) { registry = this; }

void Name::intern_all() {
    for (Name* n = registry; n; n = n->next_) {
        if (n->object_) continue;
        n->object_.set(check(PyUnicode_InternFromString(n->text_)));
    }
}

}  // namespace tavox

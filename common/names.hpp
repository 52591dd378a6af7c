// Interned attribute and method names.
//
//   static Name n_update{"update"};
//
// declares a name; every Name of a shared library is interned once, when the
// module's exec step runs (intern_all), and is then used as a borrowed PyObject*.
#pragma once

#include "common/ref.hpp"

namespace tavox {

class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    operator PyObject*() const noexcept { return object_.get(); }
    PyObject* get() const noexcept { return object_.get(); }
    const char* text() const noexcept { return text_; }

    static void intern_all();  // throws PyError

private:
    const char* text_;
    Kept object_;
    Name* next_;
};

}  // namespace tavox

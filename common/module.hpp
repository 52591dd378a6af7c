// Modules: two-phase initialisation, the module body, imports and classes.
//
// A module file ends with
//
//     TAVOX_MODULE(dotbag, module_doc, dotbag_body)
//
// where `static void dotbag_body(Module& m)` is the module body: it imports what
// the module needs and creates its classes in source order, binding each name in
// the module dictionary.  The macro defines the exported PyInit_dotbag, which
// returns the module definition for the interpreter's two-phase initialisation:
//
//   create  copies the import spec's loader, origin, parent and (when not None)
//           submodule_search_locations into __loader__, __file__, __package__ and
//           __path__, and hands back the same module object when it was already
//           created; a second interpreter of the process gets ImportError
//           "Interpreter change detected - this module can only be loaded into one
//           interpreter per process.".
//   exec    runs the body once.  Exec of another module object afterwards raises
//           RuntimeError "Module 'dotbag' has already been imported.
//           Re-initialisation is not supported."; exec of the same object again
//           does nothing.  A body that failed may run again on a later import.
//           A build for another interpreter version warns
//           "compiletime version %s of module '%.100s' does not match runtime version %s".
#pragma once

#include "common/call.hpp"
#include "common/function.hpp"
#include "common/names.hpp"
#include "common/ref.hpp"

#include <initializer_list>

namespace tavox {

// One entry of a class namespace, in declaration order.
struct Member {
    enum Kind { method, static_method, class_method, attribute_of };

    const char* name;
    Impl impl = nullptr;
    const char* signature = nullptr;  // e.g. "(self, key, default=None)"
    const char* doc = nullptr;
    Kind kind = method;
    const char* source = nullptr;     // attribute_of: the module global whose attribute `name` is taken

    static Member static_(const char* name, Impl impl, const char* signature, const char* doc = nullptr) {
        return {name, impl, signature, doc, static_method, nullptr};
    }
    static Member class_(const char* name, Impl impl, const char* signature, const char* doc = nullptr) {
        return {name, impl, signature, doc, class_method, nullptr};
    }
    // `name` bound to the very object that `getattr(<module global source>, name)` gives.
    static Member from(const char* source, const char* name) { return {name, nullptr, nullptr, nullptr, attribute_of, source}; }
};

struct ClassDef {
    const char* name;
    const char* doc;  // nullptr: no __doc__ in the namespace
    std::initializer_list<Member> members;
};

class Module {
public:
    Module(PyObject* module, const char* full_name);

    PyObject* object() const noexcept { return module_; }
    PyObject* dict() const noexcept { return dict_; }
    PyObject* name() const noexcept { return name_; }

    // `import <name>`: relative to the package first, absolute on ImportError.
    // Returns the module named (not its top-level package).
    Ref import(const char* name);
    // `from <module> import <name>`, relative to the package first, absolute on ImportError.
    Ref import_from(const char* module, const char* name);
    // `from .<module> import <name>`: package-relative only.
    Ref import_from_sibling(const char* module, const char* name);

    void set(const char* name, PyObject* value);
    Ref get(const char* name) const;  // module global, then builtins

    // What a class statement does: metaclass from the bases, __prepare__, the
    // namespace in declared order, the metaclass call, then each method learns its
    // defining class.  Binds the class under its name and returns it.
    Ref add_class(const ClassDef& def, std::initializer_list<PyObject*> bases);

private:
    Ref import_level(const char* name, PyObject* fromlist, int level);
    PyObject* module_;
    PyObject* dict_;
    Ref name_;
};

// The metaclass a class statement would pick for these bases (TypeError on conflict).
PyObject* calculate_metaclass(PyObject* bases);

// Registers `type` with collections.abc.<abc_name> (e.g. "Generator").
void register_abc(PyTypeObject* type, const char* abc_name);

namespace detail {
PyObject* module_create(PyObject* spec, PyModuleDef* def);
int module_exec(PyObject* module, const char* full_name, void (*body)(Module&));
}  // namespace detail

}  // namespace tavox

#define TAVOX_MODULE(NAME, DOC, BODY)                                                                              \
    static int tavox_exec_##NAME(PyObject* module) {                                                               \
        return ::tavox::detail::module_exec(module, "tavox.datastructures." #NAME, BODY);                          \
    }                                                                                                              \
    static PyModuleDef_Slot tavox_slots_##NAME[] = {                                                               \
        {Py_mod_create, reinterpret_cast<void*>(::tavox::detail::module_create)},                                  \
        {Py_mod_exec, reinterpret_cast<void*>(tavox_exec_##NAME)},                                                 \
        TAVOX_MODULE_EXTRA_SLOTS{0, nullptr}};                                                                     \
    static PyModuleDef tavox_def_##NAME = {PyModuleDef_HEAD_INIT, "tavox.datastructures." #NAME, DOC, 0, nullptr, \
                                           tavox_slots_##NAME, nullptr, nullptr, nullptr};                         \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##NAME(void) {                             \
        return PyModuleDef_Init(&tavox_def_##NAME);                                                                \
    }

// A module is loaded into one interpreter per process only: the create step refuses
// any other with its own ImportError (above).  The slot below does not say that: it
// lets the interpreter call the create step in a second interpreter, where the import
// system would otherwise refuse first, in other words.  Every module holds the GIL.
#if PY_VERSION_HEX >= 0x030D0000
#define TAVOX_MODULE_EXTRA_SLOTS                                                       \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define TAVOX_MODULE_EXTRA_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define TAVOX_MODULE_EXTRA_SLOTS
#endif

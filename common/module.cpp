#include "common/module.hpp"

#include "common/boundary.hpp"
#include "common/fastpath.hpp"
#include "common/super.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace tavox {

namespace {

// One shared library holds one module, so this state is the module's.
int64_t loaded_interpreter = -1;
Kept created_module;                  // handed back to every later create
PyObject* executed_module = nullptr;  // borrowed from created_module once the body succeeded

Name n_loader{"loader"}, n_origin{"origin"}, n_parent{"parent"},
    n_submodule_search_locations{"submodule_search_locations"}, n_name{"name"};
Name n___loader__{"__loader__"}, n___file__{"__file__"}, n___package__{"__package__"}, n___path__{"__path__"};
Name n___module__{"__module__"}, n___qualname__{"__qualname__"}, n___doc__{"__doc__"},
    n___prepare__{"__prepare__"}, n_register{"register"};

void copy_spec_attribute(PyObject* spec, PyObject* module, PyObject* from, PyObject* to, bool allow_none) {
    Ref value = getattr(spec, from);
    if (allow_none || value.get() != Py_None) setattr(module, to, value);
}

void warn_on_version_mismatch(const char* full_name) {
    char compiled[32];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* runtime = Py_GetVersion();
    size_t n = std::strlen(compiled);
    bool same = std::strncmp(runtime, compiled, n) == 0 && (runtime[n] < '0' || runtime[n] > '9');
    if (same) return;
    std::string runtime_short;
    for (const char* p = runtime; *p && *p != ' '; ++p) runtime_short += *p;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                           full_name, runtime_short.c_str()));
}

Ref new_tuple(const std::vector<PyObject*>& items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[i]).release());
    return tuple;
}

}  // namespace

namespace detail {

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return boundary([&]() -> Ref {
        int64_t current = PyInterpreterState_GetID(compat::current_interpreter());
        if (current == -1) throw_error();
        if (loaded_interpreter == -1) {
            loaded_interpreter = current;
        } else if (loaded_interpreter != current) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        if (created_module) {
            // The interpreter resets the state pointer of the module handed back, and
            // the exec step then allocates a new state: free the one it had.
            PyMem_Free(PyModule_GetState(created_module.get()));
            return Ref::borrow(created_module);
        }

        Name::intern_all();
        Ref name = getattr(spec, n_name);
        Ref module = check(PyModule_NewObject(name));
        copy_spec_attribute(spec, module, n_loader, n___loader__, true);
        copy_spec_attribute(spec, module, n_origin, n___file__, true);
        copy_spec_attribute(spec, module, n_parent, n___package__, true);
        copy_spec_attribute(spec, module, n_submodule_search_locations, n___path__, false);
        created_module.set(module);
        return module;
    });
}

int module_exec(PyObject* module, const char* full_name, void (*body)(Module&)) {
    return boundary([&] {
        if (executed_module) {
            if (executed_module == module) return;
            const char* short_name = std::strrchr(full_name, '.');
            raise_format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.",
                         short_name ? short_name + 1 : full_name);
        }
        warn_on_version_mismatch(full_name);
        read_shortcut_switch();
        Name::intern_all();
        init_function_type();
        Module m(module, full_name);
        learn_base_calls();
        body(m);
        executed_module = module;
    });
}

}  // namespace detail

Module::Module(PyObject* module, const char* full_name)
    : module_(module), dict_(PyModule_GetDict(module)), name_(check(PyUnicode_FromString(full_name))) {
    if (!dict_) throw_error();
}

Ref Module::import_level(const char* name, PyObject* fromlist, int level) {
    Ref module_name = check(PyUnicode_FromString(name));
    return check(PyImport_ImportModuleLevelObject(module_name, dict_, nullptr, fromlist, level));
}

Ref Module::import(const char* name) {
    Ref module;
    try {
        module = import_level(name, nullptr, 1);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
        module = import_level(name, nullptr, 0);
    }
    // Without a fromlist __import__ gives the first component of a dotted name:
    // walk down to the module named.
    for (const char* dot = std::strchr(name, '.'); dot; dot = std::strchr(dot + 1, '.')) {
        const char* end = std::strchr(dot + 1, '.');
        std::string component = end ? std::string(dot + 1, end) : std::string(dot + 1);
        module = getattr(module, Ref(check(PyUnicode_FromString(component.c_str()))));
    }
    return module;
}

Ref Module::import_from(const char* module_name, const char* name) {
    Ref fromlist = check(Py_BuildValue("(s)", name));
    Ref attribute_name = check(PyUnicode_FromString(name));
    for (int level : {1, 0}) {
        try {
            Ref module = import_level(module_name, fromlist, level);
            Ref value = Ref::steal(PyObject_GetAttr(module, attribute_name));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
                PyErr_Clear();
                raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
            }
            return value;
        } catch (const PyError&) {
            if (level == 0 || !PyErr_ExceptionMatches(PyExc_ImportError)) throw;
            PyErr_Clear();
        }
    }
    throw_error();  // not reached
}

Ref Module::import_from_sibling(const char* module_name, const char* name) {
    Ref fromlist = check(Py_BuildValue("(s)", name));
    Ref module = import_level(module_name, fromlist, 1);
    Ref value = Ref::steal(PyObject_GetAttr(module, Ref(check(PyUnicode_FromString(name)))));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
    }
    return value;
}

void Module::set(const char* name, PyObject* value) { check(PyDict_SetItemString(dict_, name, value)); }

Ref Module::get(const char* name) const {
    Ref key = check(PyUnicode_InternFromString(name));
    return Global::read(dict_, key);
}

PyObject* calculate_metaclass(PyObject* bases) {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref Module::add_class(const ClassDef& def, std::initializer_list<PyObject*> base_list) {
    Ref bases = new_tuple(std::vector<PyObject*>(base_list));
    Ref name = check(PyUnicode_FromString(def.name));
    Ref meta = Ref::borrow(calculate_metaclass(bases));

    Ref ns;
    Ref prepare = Ref::steal(PyObject_GetAttr(meta, n___prepare__));
    if (prepare) {
        ns = call(prepare, name, bases);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        ns = check(PyDict_New());
    }
    setitem(ns, n___module__, name_);
    setitem(ns, n___qualname__, name);
    if (def.doc) setitem(ns, n___doc__, str(def.doc));

    std::vector<Ref> functions;
    for (const Member& member : def.members) {
        Ref value;
        if (member.kind == Member::attribute_of) {
            value = getattr(get(member.source), Ref(check(PyUnicode_InternFromString(member.name))));
        } else {
            std::string qualname = std::string(def.name) + "." + member.name;
            Ref function = make_function(member.impl, member.name, qualname.c_str(), member.signature, member.doc,
                                         name_, dict_);
            functions.push_back(function);
            if (member.kind == Member::static_method)
                value = call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function);
            else if (member.kind == Member::class_method)
                value = call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), function);
            else
                value = function;
        }
        setitem(ns, Ref(check(PyUnicode_InternFromString(member.name))), value);
    }

    Ref cls = call(meta, name, bases, ns);
    for (const Ref& function : functions) set_owner(function, cls);
    set(def.name, cls);
    return cls;
}

void register_abc(PyTypeObject* type, const char* abc_name) {
    Ref abc_module = check(PyImport_ImportModule("collections.abc"));
    Ref abc = getattr(abc_module, Ref(check(PyUnicode_FromString(abc_name))));
    call_method(abc, n_register, reinterpret_cast<PyObject*>(type));
}

}  // namespace tavox

// tavox.datastructures.configuration: Configuration, a NestedDotBag for settings.
// Every value stored by item assignment passes through tavox.utils.strings'
// typecast_str; copy() rebuilds the whole tree of levels; the loaders merge
// INI-style files, YAML files and the entry points of installed distributions.
//
// Entry points come from pkg_resources where that still exists.  Setuptools 82
// removed it, so without it the module binds, under the same name, an
// iter_entry_points of its own built on importlib.metadata (bottom of the file).
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/exceptions.hpp"
#include "common/fastpath.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/super.hpp"

#include <optional>
#include <string>
#include <vector>

using namespace tavox;

namespace {

Name n___setitem__{"__setitem__"}, n___enter__{"__enter__"}, n___exit__{"__exit__"}, n___name__{"__name__"};
Name n_update{"update"}, n_pop{"pop"};
Name n_ConfigParser{"ConfigParser"}, n_DEFAULTSECT{"DEFAULTSECT"},
    n_delimiters{"delimiters"}, n_comment_prefixes{"comment_prefixes"}, n_read{"read"};
Name n_path{"path"}, n_isfile{"isfile"}, n_safe_load{"safe_load"};
Name n_group{"group"}, n_name{"name"}, n_load{"load"}, n_dist{"dist"},
    n_exception{"exception"}, n_getLogger{"getLogger"};
Name n_filters{"filters"}, n_filterwarnings{"filterwarnings"}, n_message{"message"};
Name n_entry_points{"entry_points"}, n_select{"select"}, n_distributions{"distributions"},
    n_metadata{"metadata"}, n_version{"version"},
    n__entry_point{"_entry_point"}, n__distribution{"_distribution"}, n_project_name{"project_name"};
Name n_add_note{"add_note"}, n___notes__{"__notes__"};
Global g_typecast_str{"typecast_str"}, g_configparser{"configparser"}, g_os{"os"}, g_open{"open"}, g_yaml{"yaml"},
    g_iter_entry_points{"iter_entry_points"}, g_logger{"logger"}, g_EntryPoint{"EntryPoint"},
    g_Distribution{"Distribution"};

BaseCall super_setitem{"__setitem__"};

// `with manager as value: body(value)`
template <class Body>
void with_block(PyObject* manager, Body&& body) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
    Ref enter = getattr(type, n___enter__);
    Ref exit = getattr(type, n___exit__);
    Ref value = call(enter, manager);
    // The body's error is taken out of the indicator first, so that __exit__ runs
    // with it as the exception being handled, outside any C++ handler.
    std::optional<CaughtError> failure;
    try {
        body(value.get());
    } catch (const PyError&) {
        failure.emplace();
    }
    if (!failure) {
        call(exit, manager, Py_None, Py_None, Py_None);
        return;
    }
    bool suppress;
    {
        Handling handling(failure->value());
        Ref traceback = Ref::steal(PyException_GetTraceback(failure->value()));
        suppress = is_true(call(exit, manager, reinterpret_cast<PyObject*>(Py_TYPE(failure->value())),
                                failure->value(), traceback ? traceback.get() : Py_None));
    }
    if (!suppress) failure->rethrow();
}

// `body()`; an Exception raised there leaves with the note that `make_note()` gives,
// added as `error.add_note(note)` adds it (that very method on 3.11 and later, the same
// __notes__ list before).  Type, message and traceback stay as they are; a note that
// cannot be made or added is left out, and the error leaves without it.
template <class Body, class MakeNote>
void noting_errors(Body&& body, MakeNote&& make_note) {
    std::optional<CaughtError> failure;
    try {
        body();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        failure.emplace();
    }
    if (!failure) return;
    try {
        Ref note = make_note();
#if PY_VERSION_HEX >= 0x030B0000
        call_method(failure->value(), n_add_note, note);
#else
        Ref notes = Ref::steal(PyObject_GetAttr(failure->value(), n___notes__));
        if (!notes) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            notes = check(PyList_New(0));
            setattr(failure->value(), n___notes__, notes);
        }
        if (PyList_Check(notes.get())) check(PyList_Append(notes, note));
#endif
    } catch (const PyError&) {
        PyErr_Clear();
    }
    failure->rethrow();
}

// ---- Configuration ----------------------------------------------------------------------

const char copy_doc[] =
    "Return a copy of this configuration, rebuilt level by level.\n"
    "\n"
    "This slightly differs from the standard mapping copy(): whenever it meets\n"
    "another Configuration block underneath, it makes a nested copy of that block\n"
    "instead of sharing it, so that the configuration does not get corrupted when a\n"
    "subcomponent takes a copy and updates it for its own use.  Plain mappings\n"
    "stored as values become levels of the copy too; leaf values are not copied,\n"
    "they are stored again through the new instance's item assignment.";

const char load_entrypoint_doc[] =
    "Populate this configuration by loading the entry points of a group.\n"
    "\n"
    "The design lets configuration be scattered over different packages and be\n"
    "loaded when needed, and only if those packages are installed.  Each entry\n"
    "point must load to a dictionary- or Configuration-like object (or an iterable\n"
    "of key/value pairs), which is merged into this configuration.  A package owner\n"
    "with a lot of configuration had better keep a local configuration file of its\n"
    "own and load it as part of the entry point module.\n"
    "\n"
    "Returns the list of entry points whose content was merged.  An entry point\n"
    "that fails to load or merge is logged with its traceback and skipped.";

// copy(self)
Ref configuration_copy(const Args& a) {
    PyObject* self = a.self();
    return call(reinterpret_cast<PyObject*>(Py_TYPE(self)), self);
}

// __setitem__(self, key, value)
Ref configuration_setitem(const Args& a) {
    // The next class's __setitem__ (NestedDotBag's for a Configuration) is taken first,
    // then called with the key and the value passed through typecast_str, which is
    // read from the module at each call.
    super_setitem(a)(a[1], call(a.global(g_typecast_str), a[2]));
    return none();
}

// load_cfgs(self, *files)
Ref configuration_load_cfgs(const Args& a) {
    PyObject* self = a.self();
    Ref configparser = a.global(g_configparser);
    // 1. "=" the only delimiter, "#" the only comment prefix, the rest as the standard library has it.
    Ref delimiters = check(Py_BuildValue("(s)", "="));
    Ref comment_prefixes = check(Py_BuildValue("(s)", "#"));
    Ref parser = call_kw(getattr(configparser, n_ConfigParser), {},
                         {{n_delimiters, delimiters}, {n_comment_prefixes, comment_prefixes}});
    // 2. Read every path it can open, in order.
    Ref read = call_method(parser, n_read, a.varargs);
    // 3. Merge the parser, a mapping of sections, DEFAULT first.  The sections of all
    //    the files are merged as one, so an error names every file that was read.
    noting_errors([&] { call_method(self, n_update, parser); },
                  [&] { return check(PyUnicode_FromFormat("while merging the INI files %R", read.get())); });
    // 4. Drop the level of the default section; its options live on in every section.
    //    self.pop is looked up first, then the module global as it is now, as Python
    //    evaluates self.pop(configparser.DEFAULTSECT).
    Ref pop = getattr(self, n_pop);
    call(pop, getattr(a.global(g_configparser), n_DEFAULTSECT));
    return read;  // the paths read, in the order given
}

// load_yamls(self, *files)
Ref configuration_load_yamls(const Args& a) {
    PyObject* self = a.self();
    Ref loaded = check(PyList_New(0));
    // 1. A snapshot of the paths.
    Ref paths = check(PySequence_List(a.varargs));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
        Ref path = Ref::borrow(PyList_GET_ITEM(paths.get(), i));
        // 3. Not a regular file: skipped.
        Ref isfile = getattr(getattr(a.global(g_os), n_path), n_isfile);
        if (!is_true(call(isfile, path))) continue;
        // 2. Open, parse and merge; the file is closed however that ends.
        Ref file = call(a.global(g_open), path, Ref(str("r")));
        noting_errors(
            [&] {
                with_block(file, [&](PyObject* f) {
                    Ref document = call(getattr(a.global(g_yaml), n_safe_load), f);
                    call_method(self, n_update, document);
                });
            },
            [&] {
                Ref name = check(PyOS_FSPath(path));
                return check(PyUnicode_FromFormat("while loading the YAML file %R", name.get()));
            });
        check(PyList_Append(loaded, path));
    }
    return loaded;  // the paths loaded, in the order given
}

// load_entrypoint(self, group)
Ref configuration_load_entrypoint(const Args& a) {
    PyObject* self = a.self();
    Ref loaded = check(PyList_New(0));  // the entry points whose content was merged
    // Every entry point of the group, the group passed by keyword.
    Ref entry_points = iterate(call_kw(a.global(g_iter_entry_points), {}, {{n_group, a[1]}}));
    while (Ref entry_point = next(entry_points)) {
        try {
            // Load it and merge what it gives.
            Ref update = getattr(self, n_update);
            Ref content = call_method(entry_point, n_load);
            call(update, content);
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            // A failure is logged with the traceback of the exception being handled,
            // and the next entry point is taken.
            CaughtError error;
            Handling handling(error.value());
            Ref message = check(PyUnicode_FromFormat("Failed to load configuration from entrypoint: %S",
                                                     getattr(entry_point, n_dist).get()));
            call_method(a.global(g_logger), n_exception, message);
            continue;
        }
        check(PyList_Append(loaded, entry_point));
    }
    return loaded;
}

const ClassDef Configuration_class = {
    "Configuration",
    nullptr,
    {
        {"copy", configuration_copy, "(self)", copy_doc},
        {"__setitem__", configuration_setitem, "(self, key, value)"},
        {"load_cfgs", configuration_load_cfgs, "(self, *files)"},
        {"load_yamls", configuration_load_yamls, "(self, *files)"},
        {"load_entrypoint", configuration_load_entrypoint, "(self, group)", load_entrypoint_doc},
    },
};

// ---- entry points without pkg_resources ---------------------------------------------------
//
// iter_entry_points(group, name=None) over importlib.metadata, yielding objects that
// stand where pkg_resources' entry points stood: load(), name, group, value and the
// rest of importlib's entry point, and a dist whose text is "<name> <version>", as
// pkg_resources' Distribution prints.  Its classes live in the function's own
// globals, not in the module.

const char metadata_iter_entry_points_doc[] =
    "Yield the entry points of `group` (only those called `name`, when given) of the\n"
    "installed distributions, found through importlib.metadata.\n"
    "\n"
    "Each one has load() and dist, whose text is \"<name> <version>\" of the\n"
    "distribution that publishes it; other attributes are importlib.metadata's.";

const char entry_point_doc[] = "An entry point of importlib.metadata with the distribution that publishes it.";
const char distribution_doc[] =
    "An installed distribution of importlib.metadata; its text is \"<name> <version>\".";

// EntryPoint.__init__(self, entry_point, dist)
Ref entry_point_init(const Args& a) {
    setattr(a.self(), n__entry_point, a[1]);
    setattr(a.self(), n_dist, a[2]);
    return none();
}

// EntryPoint.load(self)
Ref entry_point_load(const Args& a) { return call_method(getattr(a.self(), n__entry_point), n_load); }

// EntryPoint.__getattr__(self, name): the wrapped entry point's attribute.
Ref entry_point_getattr(const Args& a) {
    return getattr(check(PyObject_GenericGetAttr(a.self(), n__entry_point)), a[1]);
}

// EntryPoint.__repr__(self)
Ref entry_point_repr(const Args& a) { return check(PyObject_Repr(getattr(a.self(), n__entry_point))); }

// Distribution.__init__(self, distribution)
Ref distribution_init(const Args& a) {
    PyObject* distribution = a[1];
    setattr(a.self(), n__distribution, distribution);
    setattr(a.self(), n_project_name, getitem(getattr(distribution, n_metadata), Ref(str("Name"))));
    setattr(a.self(), n_version, getattr(distribution, n_version));
    return none();
}

// Distribution.__str__(self) and __repr__(self): "<name> <version>"
Ref distribution_str(const Args& a) {
    Ref name = getattr(a.self(), n_project_name);
    Ref version = getattr(a.self(), n_version);
    return check(PyUnicode_FromFormat("%S %S", name.get(), version.get()));
}

// Distribution.__getattr__(self, name): the wrapped distribution's attribute.
Ref distribution_getattr(const Args& a) {
    return getattr(check(PyObject_GenericGetAttr(a.self(), n__distribution)), a[1]);
}

#if PY_VERSION_HEX < 0x030A0000
// A project name as importlib.metadata compares them: lower case, every run of "-",
// "_" and "." one "_".  An empty Ref for a distribution without a textual name.
Ref normalized_name(PyObject* name) {
    if (!PyUnicode_Check(name)) return Ref();
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) throw_error();
    std::string normal;
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '-' || c == '_' || c == '.') {
            if (normal.empty() || normal.back() != '_') normal += '_';
        } else {
            normal += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    return check(PyUnicode_FromStringAndSize(normal.data(), static_cast<Py_ssize_t>(normal.size())));
}
#endif

// importlib.metadata, or on Python 3.7 its backport importlib_metadata.
Ref import_metadata() {
    Ref metadata = Ref::steal(PyImport_ImportModule("importlib.metadata"));
    if (metadata || !PyErr_ExceptionMatches(PyExc_ImportError)) return check(metadata.release());
    PyErr_Clear();
    return check(PyImport_ImportModule("importlib_metadata"));
}

// iter_entry_points(group, name=None)
Ref metadata_iter_entry_points(const Args& a) {
    PyObject* group = a[0];
    PyObject* name = a[1];
    Ref entry_point_class = a.global(g_EntryPoint);
    Ref distribution_class = a.global(g_Distribution);
    Ref metadata = import_metadata();
    Ref found = check(PyList_New(0));
#if PY_VERSION_HEX >= 0x030A0000
    // entry_points() selects; every entry point knows its distribution.
    Ref select = getattr(call_method(metadata, n_entry_points), n_select);
    Ref selected = name == Py_None ? call_kw(select, {}, {{n_group, group}})
                                   : call_kw(select, {}, {{n_group, group}, {n_name, name}});
    Ref it = iterate(selected);
    while (Ref entry_point = next(it)) {
        Ref dist = getattr(entry_point, n_dist);
        Ref wrapped = dist.get() == Py_None ? none() : call(distribution_class, dist);
        check(PyList_Append(found, call(entry_point_class, entry_point, wrapped)));
    }
#else
    // entry_points() is a dict of groups there and its entry points do not know their
    // distribution: walk the distributions in the order it does, each project once
    // (the first found on the path), as later versions and pkg_resources do.
    Ref seen = check(PySet_New(nullptr));
    Ref distributions = iterate(call_method(metadata, n_distributions));
    while (Ref dist = next(distributions)) {
        Ref project = normalized_name(getitem(getattr(dist, n_metadata), Ref(str("Name"))));
        if (project) {
            if (check(PySet_Contains(seen, project))) continue;
            check(PySet_Add(seen, project));
        }
        Ref wrapped;
        Ref it = iterate(getattr(dist, n_entry_points));
        while (Ref entry_point = next(it)) {
            if (!check(PyObject_RichCompareBool(getattr(entry_point, n_group), group, Py_EQ))) continue;
            if (name != Py_None && !check(PyObject_RichCompareBool(getattr(entry_point, n_name), name, Py_EQ)))
                continue;
            if (!wrapped) wrapped = call(distribution_class, dist);
            check(PyList_Append(found, call(entry_point_class, entry_point, wrapped)));
        }
    }
#endif
    return iterate(found);
}

struct HelperMethod {
    const char* name;
    Impl impl;
    const char* signature;
};

// A class as `class <name>: __slots__ = slots` with these methods would make it.
Ref helper_class(Module& m, PyObject* globals, const char* name, const char* doc, std::initializer_list<const char*> slots,
                 std::initializer_list<HelperMethod> methods) {
    std::string qualname = std::string("iter_entry_points.<locals>.") + name;
    Ref ns = check(PyDict_New());
    setitem(ns, Ref(str("__module__")), m.name());
    setitem(ns, Ref(str("__qualname__")), Ref(str(qualname.c_str())));
    setitem(ns, Ref(str("__doc__")), Ref(str(doc)));
    Ref slot_names = check(PyTuple_New(static_cast<Py_ssize_t>(slots.size())));
    Py_ssize_t i = 0;
    for (const char* slot : slots) PyTuple_SET_ITEM(slot_names.get(), i++, str(slot).release());
    setitem(ns, Ref(str("__slots__")), slot_names);
    std::vector<Ref> functions;
    for (const HelperMethod& method : methods) {
        std::string method_qualname = qualname + "." + method.name;
        functions.push_back(make_function(method.impl, method.name, method_qualname.c_str(), method.signature, nullptr,
                                          m.name(), globals));
        setitem(ns, Ref(check(PyUnicode_InternFromString(method.name))), functions.back());
    }
    Ref bases = check(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(str(name)), bases, ns);
    for (const Ref& function : functions) set_owner(function, cls);
    return cls;
}

Ref metadata_entry_points_function(Module& m) {
    Ref globals = check(PyDict_New());
    setitem(globals, n___name__, m.name());
    setitem(globals, g_EntryPoint.name(),
            helper_class(m, globals, "EntryPoint", entry_point_doc, {"_entry_point", "dist"},
                         {{"__init__", entry_point_init, "(self, entry_point, dist)"},
                          {"load", entry_point_load, "(self)"},
                          {"__getattr__", entry_point_getattr, "(self, name)"},
                          {"__repr__", entry_point_repr, "(self)"}}));
    setitem(globals, g_Distribution.name(),
            helper_class(m, globals, "Distribution", distribution_doc, {"_distribution", "project_name", "version"},
                         {{"__init__", distribution_init, "(self, distribution)"},
                          {"__str__", distribution_str, "(self)"},
                          {"__repr__", distribution_str, "(self)"},
                          {"__getattr__", distribution_getattr, "(self, name)"}}));
    return make_function(metadata_iter_entry_points, "iter_entry_points", "iter_entry_points", "(group, name=None)",
                         metadata_iter_entry_points_doc, m.name(), globals);
}

// `from pkg_resources import iter_entry_points`, without the deprecation warning that
// late setuptools releases print on that import (other warnings, and the filters the
// import itself installs, stay); the importlib.metadata equivalent when it is gone.
Ref import_iter_entry_points(Module& m) {
    Ref warnings = m.import("warnings");
    call_kw(getattr(warnings, n_filterwarnings), {Ref(str("ignore"))},
            {{n_message, Ref(str("pkg_resources is deprecated as an API"))}});
    Ref silencer = getitem(getattr(warnings, n_filters), Ref(check(PyLong_FromLong(0))));

    Ref found;
    std::optional<CaughtError> failure;
    try {
        found = m.import_from("pkg_resources", "iter_entry_points");
    } catch (const PyError&) {
        failure.emplace();
    }
    // Take our filter out again.  It ignores, and ignored warnings leave nothing in the
    // warning registries, so the filters' version need not change.
    Ref filters = getattr(warnings, n_filters);
    for (Py_ssize_t i = 0, n = length(filters); i < n; ++i) {
        if (getitem(filters, Ref(check(PyLong_FromSsize_t(i)))).get() == silencer.get()) {
            check(PySequence_DelItem(filters, i));
            break;
        }
    }
    if (failure) {
        if (!failure->matches(PyExc_ImportError)) failure->rethrow();
        found = metadata_entry_points_function(m);
    }
    return found;
}

// ---- module body ---------------------------------------------------------------------------

void configuration_body(Module& m) {
    // The standard library and PyYAML, each relative to the package first.
    m.set("os", m.import("os"));
    m.set("yaml", m.import("yaml"));
    m.set("logging", m.import("logging"));
    m.set("configparser", m.import("configparser"));
    m.set("iter_entry_points", import_iter_entry_points(m));
    m.set("Mapping", m.import_from("collections.abc", "Mapping"));
    // The base class, from the sibling module only.
    Ref nested = m.import_from_sibling("dotbag", "NestedDotBag");
    m.set("NestedDotBag", nested);
    m.set("typecast_str", m.import_from("tavox.utils.strings", "typecast_str"));
    m.set("logger", call_method(m.get("logging"), n_getLogger, m.get("__name__")));
    direct_slots(m.add_class(Configuration_class, {nested}));
}

}  // namespace

TAVOX_MODULE(configuration, nullptr, configuration_body)

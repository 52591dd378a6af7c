// tavox.datastructures.dotbag: DotBag, a dict that is its own attribute
// dictionary, and NestedDotBag, whose string keys may be dotted key paths into
// nested levels.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/super.hpp"

using namespace tavox;

namespace {

Name n___class__{"__class__"}, n___name__{"__name__"}, n___dict__{"__dict__"}, n___init__{"__init__"},
    n___repr__{"__repr__"};
Name n_DotBag{"DotBag"};

BuiltinMethod dict_init{&PyDict_Type, "__init__"};
BuiltinMethod dict_repr{&PyDict_Type, "__repr__"};

// ---- DotBag ----------------------------------------------------------------------

const char module_doc[] =
    "Attribute Dictionary library\n"
    "\n"
    "This library extends the built-in dict so that users can reach key-values as\n"
    "object attributes (obj.key) in addition to the native obj['key'] form.";

const char dotbag_doc[] =
    "Attribute Dictionary class\n"
    "\n"
    "Provides the built-in dictionary type with the additional capability of\n"
    "reaching its content as object attributes besides the standard manner.\n"
    "\n"
    "Example:\n"
    "    >>> person = DotBag({'first_name': 'Ada', 'last_name': 'Lovelace'})\n"
    "    >>> person.first_name\n"
    "    'Ada'\n"
    "    >>> person['first_name']\n"
    "    'Ada'\n"
    "\n"
    "Known limitation: attributes follow the identifier rules, so keys that contain\n"
    "special characters (dot, comma, brackets, hyphen, quotes, slashes and the like)\n"
    "cannot be reached as attributes; use item access for them.";

const char dotbag_init_doc[] =
    "DotBag object init\n"
    "\n"
    "Every object stores its attributes in a dictionary named __dict__.  That\n"
    "dictionary need not be a plain dict: any subclass will do.  So, once the parent\n"
    "initialiser has made this instance a complete dictionary, the instance assigns\n"
    "itself as its own __dict__, and its entries become its attributes.\n"
    "\n"
    "Note: this was known to leak memory in interpreters older than 2.7.3 and 3.2.3.";

// __init__(self, *args, **kwargs)
Ref dotbag_init(const Args& a) {
    PyObject* self = a.self();
    // 1. The next class's __init__ with every argument unchanged (dict.__init__ for a plain DotBag).
    Super base(a);
    PyObject* init = base.require(n___init__);
    if (init == dict_init)
        check(PyDict_Type.tp_init(self, a.varargs, a.varkw));
    else
        base.call_args(n___init__, a.varargs, a.varkw);
    // 2. The instance becomes its own attribute dictionary.
    setattr(self, n___dict__, self);
    return none();
}

// __repr__(self)
Ref dotbag_repr(const Args& a) {
    PyObject* self = a.self();
    Ref class_name = getattr(getattr(self, n___class__), n___name__);
    Super base(a.global(n_DotBag), self);  // super(DotBag, self), DotBag read at call time
    PyObject* repr = base.require(n___repr__);
    Ref content = repr == dict_repr ? check(PyDict_Type.tp_repr(self)) : base.call_found(repr, n___repr__);
    return check(PyUnicode_FromFormat("%S(%S)", class_name.get(), content.get()));
}

const ClassDef DotBag_class = {
    "DotBag",
    dotbag_doc,
    {
        {"__init__", dotbag_init, "(self, *args, **kwargs)", dotbag_init_doc},
        {"__repr__", dotbag_repr, "(self)"},
    },
};

// ---- module body -------------------------------------------------------------------

void dotbag_body(Module& m) {
    m.set("itertools", m.import("itertools"));
    m.set("Mapping", m.import_from("collections.abc", "Mapping"));
    m.set("MutableMapping", m.import_from("collections.abc", "MutableMapping"));
    m.add_class(DotBag_class, {reinterpret_cast<PyObject*>(&PyDict_Type)});
}

}  // namespace

TAVOX_MODULE(dotbag, module_doc, dotbag_body)

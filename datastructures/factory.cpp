// tavox.datastructures.factory: MetaClassFactory, a metaclass whose classes can be
// instantiated as one of their subclasses, named by the keyword argument "class".
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/super.hpp"

using namespace tavox;

namespace {

Name n_class{"class"}, n___subclasscheck__{"__subclasscheck__"};
Global g_MetaClassFactory{"MetaClassFactory"};

// type.__call__, run directly when super() finds it.
Ref type_call(PyObject* cls, PyObject* args, PyObject* kwargs) { return check(PyType_Type.tp_call(cls, args, kwargs)); }
BaseCall super_call{"__call__", type_call, &PyType_Type};

Known type_subclasscheck;

const char factory_doc[] =
    "Metaclass that lets a class be swapped for one of its subclasses at instantiation.\n"
    "\n"
    "When a class made with this metaclass is called with the keyword argument\n"
    "\"class\", the instance is made from the class given there instead.  The typical\n"
    "use is dynamic class loading from YAML or other data files: the data names the\n"
    "class to build, and the loading code needs no chain of if/else branches.\n"
    "\n"
    "Notes:\n"
    "    - It works only when the given class is a subclass of the class called.\n"
    "    - The \"class\" argument is removed and not passed on to the class.\n"
    "    - \"class\" is a reserved word, so it has to be passed through a keyword\n"
    "      dictionary (**kwargs); writing class=... in a call is a syntax error.\n"
    "      That is deliberate: the factory is meant to be called by a loading\n"
    "      layer, not from hand-written scripts.\n"
    "\n"
    "Example:\n"
    "    >>> class Shape(metaclass=MetaClassFactory):\n"
    "    ...     def __init__(self, size=1):\n"
    "    ...         self.size = size\n"
    "    >>> class Square(Shape):\n"
    "    ...     pass\n"
    "    >>> shape = Shape(size=3, **{'class': Square})\n"
    "    >>> type(shape).__name__, shape.size\n"
    "    ('Square', 3)";

const char factory_call_doc[] =
    "Take over the instantiation of the class, before __new__ is called, and\n"
    "replace the class with the subclass given by the argument \"class\", if any.";

// issubclass(value, cls)
bool is_subclass(PyObject* value, PyObject* cls) {
    // type.__subclasscheck__ on two classes is exactly the subtype test
    if (PyType_Check(value) && type_subclasscheck.found_on(Py_TYPE(cls), n___subclasscheck__))
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(value), reinterpret_cast<PyTypeObject*>(cls));
    return check(PyObject_IsSubclass(value, cls)) == 1;
}

// __call__(cls, *args, **kwargs)
Ref factory_call(const Args& a) {
    Ref cls = Ref::borrow(a[0]);
    PyObject* args = a.varargs;
    Ref kwargs = Ref::borrow(a.varkw);  // the keywords, or nullptr when none; never changed

    // 1. A "class" keyword names the class to instantiate instead, and is not passed on.
    if (kwargs) {
        if (PyObject* found = compat::dict_get(kwargs, n_class)) {
            Ref value = Ref::borrow(found);
            if (!is_subclass(value, cls))
                raise_format(PyExc_TypeError, "%S is not a subclass of %S", value.get(), cls.get());
            Ref others = check(PyDict_GET_SIZE(kwargs.get()) == 1 ? PyDict_New() : PyDict_Copy(kwargs));
            if (PyDict_GET_SIZE(others.get())) check(PyDict_DelItem(others, n_class));
            kwargs = std::move(others);
            cls = value;
        } else {
            check_no_error();
        }
    }

    // 2. super(MetaClassFactory, cls).__call__(*args, **kwargs), the name read at call time.
    return super_call(a.global(g_MetaClassFactory), cls).call_args(args, kwargs);
}

const ClassDef MetaClassFactory_class = {
    "MetaClassFactory",
    factory_doc,
    {
        {"__call__", factory_call, "(cls, *args, **kwargs)", factory_call_doc},
    },
};

// ---- module body -------------------------------------------------------------------

void factory_body(Module& m) {
    direct_slots(m.add_class(MetaClassFactory_class, {m.get("type")}));
    type_subclasscheck.learn(reinterpret_cast<PyObject*>(&PyType_Type), n___subclasscheck__);
}

}  // namespace

TAVOX_MODULE(factory, nullptr, factory_body)

// tavox.datastructures.branchlet: Branchlet, a tree node that prints its whole
// subtree in the layout of the Linux `tree` command.
//
// Rendering a node: its name, then each child's text split at newlines, the first
// line after a head ("|-- " or, for the last child, "`-- ") and every further line
// after a rest ("|   " or "    ").  Prefixing every line of a child's text is the
// same as replacing each newline of that text by the newline plus the rest, so one
// pass can write a whole subtree into one buffer: every newline written at depth d
// is followed by the rests of the d enclosing children (`indent` below).  A child
// is rendered in place only when str() would run this very __str__ on it; any
// other child is converted with str() and its text written the same way.
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/fastpath.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "common/recursion.hpp"

#include <cstring>
#include <string>
#include <vector>

using namespace tavox;

namespace {

Name n_name{"name"}, n_children{"children"}, n_append{"append"}, n___str__{"__str__"};

// The five fixed strings, without their leading newline (the writer adds it).
constexpr char sibling_head[] = "|-- ";
constexpr char sibling_rest[] = "|   ";
constexpr char last_head[] = "`-- ";
constexpr char last_rest[] = "    ";
constexpr size_t piece = 4;  // every head and rest is four characters long

// The generic __str__ slot that type() installs for a class whose __str__ is a
// Python-level callable; read from Branchlet when the module body creates it (a C
// function of the interpreter, not an object).
reprfunc generic_str_slot = nullptr;

// ---- the output buffer ---------------------------------------------------------

// Characters in the narrowest of the three storage kinds that fits everything
// written so far; the result is a canonical str of exactly that kind.
class TextWriter {
public:
    // `indent` (ASCII) follows every newline of the text, which is written whole.
    void text(PyObject* s, const std::string& indent) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) == -1) throw_error();
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return;
        widen(PyUnicode_MAX_CHAR_VALUE(s));
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        Py_ssize_t start = 0;
        while (start < n) {
            Py_ssize_t nl = find_newline(kind, data, start, n);
            copy(kind, data, start, nl);
            if (nl == n) break;
            newline(indent, nullptr);
            start = nl + 1;
        }
    }

    // A newline, the indent, and `head` (four ASCII characters, or none).
    void newline(const std::string& indent, const char* head) {
        const size_t n = 1 + indent.size() + (head ? piece : 0);
        unsigned char* out = grow(static_cast<Py_ssize_t>(n));
        if (kind_ == 1) {
            *out = '\n';
            std::memcpy(out + 1, indent.data(), indent.size());
            if (head) std::memcpy(out + 1 + indent.size(), head, piece);
        } else {
            size_t i = 0;
            put(out, i++, '\n');
            for (char c : indent) put(out, i++, static_cast<unsigned char>(c));
            if (head)
                for (size_t k = 0; k < piece; ++k) put(out, i++, static_cast<unsigned char>(head[k]));
        }
    }

    Ref finish() const {
        Ref result = check(PyUnicode_New(length_, maxchar_));
        std::memcpy(PyUnicode_DATA(result.get()), buffer_.data(), static_cast<size_t>(length_) * kind_);
        return result;
    }

private:
    static Py_ssize_t find_newline(int kind, const void* data, Py_ssize_t start, Py_ssize_t n) {
        if (kind == PyUnicode_1BYTE_KIND) {
            const auto* p = static_cast<const unsigned char*>(data);
            const void* hit = std::memchr(p + start, '\n', static_cast<size_t>(n - start));
            return hit ? static_cast<const unsigned char*>(hit) - p : n;
        }
        for (Py_ssize_t i = start; i < n; ++i)
            if (PyUnicode_READ(kind, data, i) == '\n') return i;
        return n;
    }

    void put(unsigned char* out, size_t i, Py_UCS4 c) {
        if (kind_ == 2)
            reinterpret_cast<Py_UCS2*>(out)[i] = static_cast<Py_UCS2>(c);
        else
            reinterpret_cast<Py_UCS4*>(out)[i] = c;
    }

    // Room for n more characters; returns where they go.
    unsigned char* grow(Py_ssize_t n) {
        const size_t at = static_cast<size_t>(length_) * kind_;
        length_ += n;
        buffer_.resize(static_cast<size_t>(length_) * kind_);
        return buffer_.data() + at;
    }

    void copy(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
        if (end == start) return;
        unsigned char* out = grow(end - start);
        if (kind == kind_) {
            std::memcpy(out, static_cast<const unsigned char*>(data) + start * kind, static_cast<size_t>(end - start) * kind);
            return;
        }
        for (Py_ssize_t i = start; i < end; ++i) put(out, static_cast<size_t>(i - start), PyUnicode_READ(kind, data, i));
    }

    // Make room for characters up to `maxchar`, converting what is written so far.
    void widen(Py_UCS4 maxchar) {
        if (maxchar <= maxchar_) return;
        maxchar_ = maxchar;
        const int kind = maxchar <= 0xff ? 1 : maxchar <= 0xffff ? 2 : 4;
        if (kind == kind_) return;
        std::vector<unsigned char> wider(static_cast<size_t>(length_) * kind);
        for (Py_ssize_t i = 0; i < length_; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind_, buffer_.data(), i);
            if (kind == 2)
                reinterpret_cast<Py_UCS2*>(wider.data())[i] = static_cast<Py_UCS2>(c);
            else
                reinterpret_cast<Py_UCS4*>(wider.data())[i] = c;
        }
        buffer_.swap(wider);
        kind_ = kind;
    }

    std::vector<unsigned char> buffer_;
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
    int kind_ = 1;
};

// ---- Branchlet -------------------------------------------------------------------

const char branchlet_doc[] =
    "Tree node that prints its subtree the way the Linux `tree` command does.\n"
    "\n"
    "Each node has a name and a list of children; converting a node to a string\n"
    "renders the node and everything below it, one name per line.\n"
    "\n"
    "Example:\n"
    "    >>> grandpa = Branchlet('Grandpa')\n"
    "    >>> me = Branchlet('Me', [Branchlet('My son')])\n"
    "    >>> dad = Branchlet('Dad', [me, Branchlet('My sister')])\n"
    "    >>> grandpa.add_child(dad)\n"
    "    >>> uncle = Branchlet('Uncle')\n"
    "    >>> uncle.add_child(Branchlet('Cousin', [Branchlet('Cousin\\'s daughter')]))\n"
    "    >>> grandpa.add_child(uncle)\n"
    "    >>> print(grandpa)\n"
    "    Grandpa\n"
    "    |-- Dad\n"
    "    |   |-- Me\n"
    "    |   |   `-- My son\n"
    "    |   `-- My sister\n"
    "    `-- Uncle\n"
    "        `-- Cousin\n"
    "            `-- Cousin's daughter";

const char branchlet_init_doc[] =
    "Create a tree node.\n"
    "\n"
    "Args:\n"
    "    name (str): the name of the node.\n"
    "    children (list): the list of child nodes.";

const char branchlet_add_child_doc[] =
    "Add a child node to this node.\n"
    "\n"
    "Args:\n"
    "    item: the child node to add.";

const char branchlet_str_doc[] = "Return the tree formatted as a string.";

// __init__(self, name, children=None)
Ref branchlet_init(const Args& a) {
    PyObject* self = a.self();
    Ref children = Ref::borrow(a[2]);
    if (!is_true(children)) children = check(PyList_New(0));
    setattr(self, n_name, a[1]);
    setattr(self, n_children, children);
    return none();
}

// add_child(self, item)
Ref branchlet_add_child(const Args& a) {
    call_method(Ref(getattr(a.self(), n_children)), n_append, a[1]);
    return none();
}

class Renderer {
public:
    explicit Renderer(PyObject* function) : function_(function) {}

    // The node's own name, or an empty Ref when the node has children and its text
    // went to the writer instead.
    Ref node(PyObject* self) {
        // 1. The result starts with the name, which must be a string.
        Ref name = getattr(self, n_name);
        if (!PyUnicode_Check(name.get()))
            raise_format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(name.get())->tp_name);
        // 2. A leaf prints as its name alone.
        if (!is_true(getattr(self, n_children))) return name;
        out_.text(name, indent_);
        // 3. Every child but the last, after the sibling head and rest.
        Ref init = but_last(getattr(self, n_children));
        if (exactly(init.get(), &PyList_Type)) {
            // our own copy: nothing else can change it while the children render
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(init.get()); ++i)
                child(PyList_GET_ITEM(init.get(), i), sibling_head, sibling_rest);
        } else {
            Ref it = iterate(init);
            while (Ref item = next(it)) child(item, sibling_head, sibling_rest);
        }
        // 4. The last child, after the last head and rest.
        child(last(getattr(self, n_children)), last_head, last_rest);
        return Ref();
    }

    Ref finish() { return out_.finish(); }

private:
    // children[:-1]
    static Ref but_last(PyObject* children) {
        if (exactly(children, &PyList_Type)) {
            Py_ssize_t n = PyList_GET_SIZE(children);
            return check(PyList_GetSlice(children, 0, n > 0 ? n - 1 : 0));
        }
        Ref minus_one = check(PyLong_FromLong(-1));
        Ref slice = check(PySlice_New(nullptr, minus_one, nullptr));
        return getitem(children, slice);
    }

    // children[-1]
    static Ref last(PyObject* children) {
        if (exactly(children, &PyList_Type) && PyList_GET_SIZE(children) > 0)
            return Ref::borrow(PyList_GET_ITEM(children, PyList_GET_SIZE(children) - 1));
        Ref minus_one = check(PyLong_FromLong(-1));
        return getitem(children, minus_one);
    }

    // str(item) would run this very __str__ on it: the slot of the class is the
    // generic one and the __str__ it finds is this function.
    bool renders_here(PyObject* item) const {
        PyTypeObject* type = Py_TYPE(item);
        return type->tp_str == generic_str_slot && finds(type, n___str__, function_);
    }

    void child(PyObject* item, const char* head, const char* rest) {
        Ref keep = Ref::borrow(item);
        out_.newline(indent_, head);
        const size_t depth = indent_.size();
        indent_.append(rest, piece);
        if (exactly(item, &PyUnicode_Type)) {
            out_.text(item, indent_);  // str() of a str is the string itself
        } else if (renders_here(item)) {
            // What str() does around the call, without the round trip through text: its
            // level of recursion, and the call's levels.
            Descent level(" while getting the str of an object");
            Descents call(" while calling a Python object");
            call.enter();
            if (Ref name = node(item)) out_.text(name, indent_);
        } else {
            out_.text(check(PyObject_Str(item)), indent_);
        }
        indent_.resize(depth);
    }

    PyObject* function_;  // this __str__
    TextWriter out_;
    std::string indent_;  // the rests of the enclosing children
};

// __str__(self)
Ref branchlet_str(const Args& a) {
    Renderer renderer(reinterpret_cast<PyObject*>(a.function));
    // The text: the name alone for a leaf, else everything the writer took.
    if (Ref name = renderer.node(a.self())) return name;
    return renderer.finish();
}

const ClassDef Branchlet_class = {
    "Branchlet",
    branchlet_doc,
    {
        {"__init__", branchlet_init, "(self, name, children=None)", branchlet_init_doc},
        {"add_child", branchlet_add_child, "(self, item)", branchlet_add_child_doc},
        {"__str__", branchlet_str, "(self)", branchlet_str_doc},
    },
};

// ---- module body -------------------------------------------------------------------

void branchlet_body(Module& m) {
    Ref cls = m.add_class(Branchlet_class, {m.get("object")});
    generic_str_slot = reinterpret_cast<PyTypeObject*>(cls.get())->tp_str;
}

}  // namespace

TAVOX_MODULE(branchlet, nullptr, branchlet_body)

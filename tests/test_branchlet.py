import doctest
import inspect
import sys

import pytest
from hypothesis import given, strategies as st

from tavox.datastructures.branchlet import Branchlet

B = Branchlet


def model_lines(node):
    """The rendering as a list of prefixed lines (not by splitting rendered text)."""
    if isinstance(node, str):
        return node.split("\n")
    lines = node.name.split("\n")
    for i, child in enumerate(node.children):
        head, rest = ("`-- ", "    ") if i == len(node.children) - 1 else ("|-- ", "|   ")
        sub = model_lines(child)
        lines += [head + sub[0]] + [rest + line for line in sub[1:]]
    return lines


names = st.text(alphabet="ab\n|` -\xe9\u20ac\U0001f600", max_size=4)
trees = st.recursive(names.map(B) | names, lambda kids: st.builds(B, names, st.lists(kids, min_size=1, max_size=4)),
                     max_leaves=25)


def chain(depth, cls=B):
    root = node = cls("n")
    for _ in range(depth - 1):
        node.add_child(cls("n"))
        node = node.children[0]
    return root


def test_class_and_docstring():
    assert str(inspect.signature(Branchlet.__init__)) == "(self, name, children=None)"
    examples = doctest.DocTestParser().get_examples(Branchlet.__doc__)
    runner = doctest.DocTestRunner()
    runner.run(doctest.DocTest(examples, {"Branchlet": Branchlet}, "doc", None, 0, None))
    assert any("add_child" in e.source for e in examples) and runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("empty", [None, [], (), 0, ""])
def test_false_children_become_a_new_list(empty):
    a, b = B("a", empty), B("b", empty)
    a.add_child("x")
    assert a.children == ["x"] and b.children == [] and type(b.children) is list and b.children is not empty


def test_children_kept_and_add_child_through_the_attribute():
    kids, log = ["x"], []
    node = B("a", kids)
    node.add_child("y")
    assert node.children is kids and kids == ["x", "y"]

    class Kids(list):
        def append(self, item):
            log.append(item)

    node.children = Kids()
    node.add_child(node)
    assert log == [node]
    with pytest.raises(AttributeError, match="append"):
        B("a", ("x",)).add_child("y")


shared = B("s", ["t"])


@pytest.mark.parametrize("node, text", [
    (B("etc", [B("net", [B("hosts"), B("ifaces")]), B("ssh", [B("keys"), B("config")])]),
     "etc\n|-- net\n|   |-- hosts\n|   `-- ifaces\n`-- ssh\n    |-- keys\n    `-- config"),
    (B("a"), "a"),
    (B("a", ["x", "y"]), "a\n|-- x\n`-- y"),
    (B("a", [B("b", ["c"])]), "a\n`-- b\n    `-- c"),
    (B("a", ["p\nq", "z"]), "a\n|-- p\n|   q\n`-- z"),
    (B("a", ["z", "p\nq"]), "a\n|-- z\n`-- p\n    q"),
    (B("a\nb", [B("p\nq", ["c"]), "z"]), "a\nb\n|-- p\n|   q\n|   `-- c\n`-- z"),
    (B("a", ["", "x\n", 1, None]), "a\n|-- \n|-- x\n|   \n|-- 1\n`-- None"),
    (B("a", "xyz"), "a\n|-- x\n|-- y\n`-- z"),
    (B("r", [B("a", [shared]), shared]), "r\n|-- a\n|   `-- s\n|       `-- t\n`-- s\n    `-- t"),
])
def test_render(node, text):
    assert str(node) == text


@given(trees)
def test_render_matches_line_model(tree):
    assert str(tree) == "\n".join(model_lines(tree))


def test_name_unchanged_and_attributes_read_afresh():
    class Label(str):
        pass

    label = Label("a")
    assert B(label).__str__() is label
    reads = []

    class Node(B):
        name = property(lambda self: reads.append("name") or "n", lambda self, v: None)
        # the truth test, the slice and the last element each read the attribute again
        children = property(lambda self: reads.append("c") or [["t"], ["s1", "s2", "s3"], ["l1", "l2"]][
            reads.count("c") - 1], lambda self, v: None)

    assert str(Node("x")) == "n\n|-- s1\n|-- s2\n`-- l2" and reads == ["name", "c", "c", "c"]


def test_children_render_through_their_own_classes():
    log = []

    class Kids(list):
        def __getitem__(self, index):
            log.append(index)
            return list.__getitem__(self, index)

    class Shout(str):
        def __str__(self):
            return self.upper()

    class Upper(B):
        def __str__(self):
            return super().__str__().upper()

    class Lookalike:
        __str__ = B.__str__
        name, children = "look", ["alike"]

    class Plain(B):
        pass

    node = B("a", Kids([Shout("x"), Upper("u", ["v"]), Lookalike(), Plain("p", ["q"])]))
    assert str(node) == "a\n|-- X\n|-- U\n|   `-- V\n|-- look\n|   `-- alike\n`-- p\n    `-- q"
    assert log == [slice(None, -1, None), -1]
    Plain.__str__ = lambda self: "swapped"
    assert str(node).endswith("`-- swapped")


class Boom:
    def __str__(self):
        raise KeyError("boom")


class NotText:
    def __str__(self):
        return 3


@pytest.mark.parametrize("node, error, match", [
    (B(5), TypeError, "non-string"),
    (B(b"x", ["x"]), TypeError, None),
    (B("r", ["y", B(None, ["x"])]), TypeError, None),
    (B("a", 5), TypeError, "not subscriptable"),
    (B("a", iter("x")), TypeError, "not subscriptable"),
    (B("r", [B("a", [Boom()]), "z"]), KeyError, "boom"),
    (B("r", [NotText()]), TypeError, "non-string"),
])
def test_render_errors(node, error, match):
    with pytest.raises(error, match=match):
        str(node)


@pytest.mark.parametrize("length", [1, 3])
@pytest.mark.parametrize("cls", [B, type("Node", (B,), {"__str__": lambda self: B.__str__(self)})])
def test_tree_containing_itself_raises_recursion_error(length, cls):
    nodes = [cls("n%d" % i, ["leaf"]) for i in range(length)]
    for a, b in zip(nodes, nodes[1:] + nodes[:1]):
        a.add_child(b)
    with pytest.raises(RecursionError):
        str(nodes[0])
    nodes[-1].children.pop()
    assert str(nodes[0]).endswith("`-- leaf")


# str() of a node counts its own level and the call's (two more for the call on 3.7).
LEVELS_PER_NODE = 4 if sys.version_info < (3, 8) else 2


@pytest.mark.parametrize("limit", [None, 2500 * LEVELS_PER_NODE + 1000])
@pytest.mark.parametrize("cls", [B, type("Node", (B,), {})])
def test_deep_chain_renders_or_raises_cleanly(limit, cls):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit or old)
    try:
        text = str(chain(2500, cls))
    except RecursionError:
        assert limit is None or sys.version_info >= (3, 12)  # 3.12+ has a fixed C recursion budget
    else:
        assert text == "\n".join(["n"] + ["    " * (i - 1) + "`-- n" for i in range(1, 2500)])
    finally:
        sys.setrecursionlimit(old)


def test_very_deep_chain_raises_recursion_error():
    with pytest.raises(RecursionError):
        str(chain(200_000))


def test_reference_counts_do_not_drift():
    name, child = "".join(["uniq", "name"]), B("".join(["uniq", "child"]), ["c"])
    good, bad = B(name, [child, "x\ny"]), B(name, [child, B(7)])
    before = [sys.getrefcount(o) for o in (name, child, good.children)]
    for _ in range(100):
        str(good)
        with pytest.raises(TypeError):
            str(bad)
    assert [sys.getrefcount(o) for o in (name, child, good.children)] == before

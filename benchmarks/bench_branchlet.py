"""Rendering a tree of 11,111 nodes (fan-out 10, depth 4; depth 3 in a quick run) as text."""
import io

from harness import optional

from tavox.datastructures.branchlet import Branchlet

FANOUT = 10
DEPTH = 4


def build_branchlet(depth=DEPTH, label="n"):
    node = Branchlet(label)
    if depth:
        for i in range(FANOUT):
            node.add_child(build_branchlet(depth - 1, "%s.%d" % (label, i)))
    return node


def build_anytree(anytree, depth=DEPTH, label="n", parent=None):
    node = anytree.Node(label, parent=parent)
    if depth:
        for i in range(FANOUT):
            build_anytree(anytree, depth - 1, "%s.%d" % (label, i), node)
    return node


def build_treelib(treelib, depth=DEPTH):
    tree = treelib.Tree()

    def fill(depth, label, parent):
        tree.create_node(label, label, parent=parent)
        if depth:
            for i in range(FANOUT):
                fill(depth - 1, "%s.%d" % (label, i), label)

    fill(depth, "n", None)
    return tree


def run(h):
    depth = h.size(DEPTH, 3)
    nodes = sum(FANOUT ** level for level in range(depth + 1))
    root = build_branchlet(depth)
    anytree = optional("anytree")
    treelib = optional("treelib")

    others = []
    if anytree is not None:
        any_root = build_anytree(anytree, depth)
        render = anytree.RenderTree

        def any_text():
            return "\n".join("%s%s" % (pre, node.name) for pre, _, node in render(any_root))

        others.append(("anytree RenderTree", any_text))
    else:
        others.append(("anytree RenderTree", None))
    if treelib is not None:
        tree = build_treelib(treelib, depth)
        others.append(("treelib Tree.show(stdout=False)", lambda: tree.show(stdout=False, sorting=False)))
    else:
        others.append(("treelib Tree.show(stdout=False)", None))

    h.compare("branchlet", "str(tree of {:,} nodes)".format(nodes), ("Branchlet", lambda: str(root)), others)

    # the same tree with plain strings as leaves (children converted through str())
    def build_mixed(depth, label):
        if not depth:
            return label
        return Branchlet(label, [build_mixed(depth - 1, "%s.%d" % (label, i)) for i in range(FANOUT)])

    mixed = build_mixed(depth, "n")
    h.compare("branchlet", "str(tree, string leaves)", ("Branchlet", lambda: str(mixed)), others)

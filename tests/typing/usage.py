"""Typed use of every module, as an application would write it.

.ci/typecheck.sh checks this file with `mypy --strict` and with pyright in strict
mode against the installed package, so the types below are what the shipped stubs
promise to both.  `assert_type` pins inferred types exactly.  The `rejected_*`
functions hold misuse that the stubs must refuse: each line carries
`# type: ignore[code]`, and both checkers report an ignore that is not needed
(mypy's warn_unused_ignores, pyright's reportUnnecessaryTypeIgnoreComment), so a
misuse that slipped through is an error.  Those functions are never called, so the
file also runs as a plain script (`python tests/typing/usage.py`), which shows that
the typed calls really work.
"""
from __future__ import annotations

import gc
import os
import pathlib
import tempfile
import weakref
from collections.abc import MutableMapping
from typing import TYPE_CHECKING, Any, Dict, Generator, List, Tuple, TypeVar, Union

from tavox.datastructures.branchlet import Branchlet
from tavox.datastructures.configuration import Configuration
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.factory import MetaClassFactory
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.pathroll import DictItem, IndexMarker, PathRoll
from tavox.datastructures.rankmap import RankMap
from tavox.utils.strings import typecast_str

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value, typ):
        return value

K = TypeVar("K")
V = TypeVar("V")


# --- dotbag ----------------------------------------------------------------------------
def use_dotbag() -> None:
    server = DotBag(host="alpha", port=22)
    server.user = "ada"  # entries are attributes, and attributes entries
    host: str = server.host
    assert host == "alpha" and server["user"] == "ada"
    del server.user
    assert "user" not in server
    assert_type(server.copy(), Dict[Any, Any])  # dict's own copy: a plain dict

    settings = NestedDotBag({"db": {"host": "localhost"}})
    settings["db.port"] = 5432
    settings.update({"db": {"user": "app"}}, debug=True)
    assert_type(settings.get("db.port"), Any)
    assert settings.db.user == "app" and "db.host" in settings
    assert settings.setdefault("cache.size", 10) == 10
    assert settings.pop("cache.size") == 10


# --- configuration ---------------------------------------------------------------------
def use_configuration() -> None:
    cfg = Configuration(server={"port": "8080"})
    assert cfg["server.port"] == 8080  # values pass through typecast_str
    private = cfg.copy()
    assert_type(private, Configuration)
    private["server.port"] = 9090
    assert cfg.server.port == 8080

    with tempfile.TemporaryDirectory() as tmp:
        ini = os.path.join(tmp, "app.cfg")
        with open(ini, "w") as out:
            out.write("[server]\nhost = alpha\n")
        read = cfg.load_cfgs(ini, os.path.join(tmp, "missing.cfg"))
        assert_type(read, List[str])
        assert read == [ini]

        document = pathlib.Path(tmp) / "app.yaml"
        document.write_text("server:\n  debug: true\n")
        loaded = cfg.load_yamls(document)
        assert_type(loaded, List[Union[str, "os.PathLike[str]"]])
        assert loaded == [document] and cfg["server.debug"] is True

    assert_type(cfg.load_entrypoint("tavox.typing.usage.nothing"), List[Any])


# --- rankmap ---------------------------------------------------------------------------
def first_key(mapping: MutableMapping[K, V]) -> K:
    return next(iter(mapping))


def use_rankmap() -> None:
    ranks = RankMap([("a", 1), ("b", 2)], c=3)
    assert_type(ranks, "RankMap[str, int]")
    ranks.insert("z", 0, 0)
    ranks.move("c", 1)
    assert_type(ranks.keys(), List[str])  # the order list itself
    assert ranks.keys() == ["z", "c", "a", "b"]
    assert_type(ranks.items(), List[Tuple[str, int]])
    assert_type(ranks.values(), List[int])
    assert_type(ranks["a"], int)
    assert_type(ranks.get("q"), Union[int, None])
    assert_type(ranks.pop("z"), int)
    assert_type(first_key(ranks), str)  # a MutableMapping[K, V]
    copied = ranks.copy()
    assert_type(copied, "RankMap[str, int]")
    assert copied == ranks and copied != RankMap(reversed(ranks.items()))
    ranks.update([("d", 4)], e=5)
    assert_type(RankMap.fromkeys(["x", "y"], 0), "RankMap[str, int]")
    assert_type(RankMap.fromkeys(range(3)), "RankMap[int, Union[Any, None]]")
    numbers: RankMap[int, str] = RankMap()
    numbers[1] = "one"
    assert repr(numbers) == "RankMap([(1, 'one')])"


def rejected_rankmap(ranks: RankMap[str, int]) -> None:
    RankMap({"a": 1})  # type: ignore[arg-type]  # a positional argument is pairs only
    ranks.update({"a": 1})  # type: ignore[dict-item]
    ranks["x"] = "text"  # type: ignore[assignment]
    ranks.insert("k", 1, "0")  # type: ignore[arg-type]
    ranks.move("k")  # type: ignore[call-arg]


# --- pathroll --------------------------------------------------------------------------
def use_pathroll() -> None:
    tree: Dict[str, Any] = {"a": {"b": 1, "n": [10, {"d": 2}]}, "e": {}}
    roll = PathRoll(tree)
    for entry in roll:
        path, value = entry  # every entry unpacks, whatever made it
        assert_type(path, Tuple[Any, ...])
        assert isinstance(entry, DictItem)  # flattening makes DictItems
        assert_type(entry.path, Tuple[Any, ...])
        assert path == entry.path and value is entry.value
    markers = [element for element in roll[1][0] if isinstance(element, IndexMarker)]
    assert [repr(marker) for marker in markers] == ["list[0]"]
    assert_type(markers[0].index, int)
    assert_type(roll.reconstruct(), Dict[Any, Any])
    assert roll.reconstruct() == tree

    roll.append((("f",), 3))
    roll.insert(0, DictItem(("g", "h"), 4))
    roll.extend([(("i",), 5)])
    roll[0] = (("g", "h"), 6)
    assert roll.reconstruct()["g"] == {"h": 6}

    # A roll built from pairs holds the pairs as given: plain tuples, no .path.
    pairs = PathRoll([(("x", "y"), 1)])
    assert not isinstance(pairs[0], DictItem) and pairs[0] == (("x", "y"), 1)
    assert pairs.reconstruct() == {"x": {"y": 1}}
    pairs.append((("z",), 2))
    last = pairs[-1]
    if isinstance(last, DictItem):
        assert last.path == ("z",)
    flat = PathRoll.__flatten__({"x": 1}, ("root",))
    assert_type(flat, Generator[DictItem, None, None])
    assert list(flat) == [(("root", "x"), 1)]
    assert len(PathRoll()) == 0


def rejected_pathroll(roll: PathRoll) -> None:
    PathRoll(5)  # type: ignore[call-overload]
    PathRoll({"a": 1}, {"b": 2})  # type: ignore[call-overload]
    roll.append(1)  # type: ignore[arg-type]
    PathRoll([(("a",), 1)])[0].path  # type: ignore[union-attr]
    roll.reconstruct(True)  # type: ignore[call-arg]
    IndexMarker([])  # type: ignore[call-arg]


# --- fadeseq ---------------------------------------------------------------------------
class Node:
    def __init__(self, label: str) -> None:
        self.label = label

    def __lt__(self, other: Node) -> bool:
        return self.label < other.label

    def __repr__(self) -> str:
        return "Node(%r)" % self.label


def use_fadeseq() -> None:
    a, b = Node("a"), Node("b")
    seq = FadeSeq([b, a])
    assert_type(seq, "FadeSeq[Node]")
    assert_type(seq[0], Node)
    assert_type(seq[0:1], "FadeSeq[Node]")
    assert_type(iter(seq), Generator[Node, None, None])
    seq.sort()
    assert list(seq) == [a, b]
    seq.sort(key=lambda node: node.label, reverse=True)
    assert seq == [b, a]

    c = Node("c")
    seq.append(c)
    assert len(seq) == 3
    del c  # the sequence does not keep it alive: its entry goes with it
    gc.collect()
    assert len(seq) == 2

    both = seq + FadeSeq([a])
    assert_type(both, "FadeSeq[Node]")
    seq += [a]  # += takes any iterable
    assert_type(seq.pop(), Node)
    seq.remove(weakref.ref(a))
    assert seq.index(b) == 0 and seq.count(b) == 1 and a not in seq
    assert list(reversed(seq)) == [b]  # reversed() gives a FadeSeq back, not an iterator


def rejected_fadeseq(seq: FadeSeq[Node]) -> None:
    seq + [Node("x")]  # type: ignore[operator]  # only a FadeSeq adds
    seq.index(Node("x"), 0)  # type: ignore[call-arg]  # no start or stop
    seq.append("text")  # type: ignore[arg-type]
    FadeSeq(None)  # type: ignore[arg-type]


# --- branchlet -------------------------------------------------------------------------
def use_branchlet() -> None:
    ssh = Branchlet("ssh", ["keys", "config"])
    root = Branchlet("etc")
    root.add_child(Branchlet("hosts"))
    root.add_child(ssh)
    assert_type(root.children, List[Any])
    text: str = str(root)
    assert text == "etc\n|-- hosts\n`-- ssh\n    |-- keys\n    `-- config"


def rejected_branchlet() -> None:
    Branchlet(5)  # type: ignore[arg-type]  # printing needs a str name
    Branchlet("a", "b")  # type: ignore[arg-type]


# --- factory ---------------------------------------------------------------------------
class Shape(metaclass=MetaClassFactory):
    def __init__(self, size: int = 1) -> None:
        self.size = size


class Square(Shape):
    pass


def use_factory() -> None:
    swap: Dict[str, Any] = {"class": Square}  # `class` is a reserved word: **kwargs only
    shape = Shape(size=3, **swap)
    assert_type(shape, Shape)
    assert type(shape) is Square and shape.size == 3
    assert type(Shape(2)) is Shape
    assert_type(Square(), Square)


def rejected_factory() -> None:
    Shape("3")  # type: ignore[arg-type]  # the arguments are checked against __init__
    Square(1, 2)  # type: ignore[call-arg]


# --- strings ---------------------------------------------------------------------------
def use_strings() -> None:
    assert_type(typecast_str("8080"), Union[str, int, float, bool])
    assert typecast_str("8080") == 8080 and typecast_str("TRUE") is True
    cfg = Configuration()
    assert_type(typecast_str(cfg), Configuration)
    assert typecast_str(cfg) is cfg


if __name__ == "__main__":
    use_dotbag()
    use_configuration()
    use_rankmap()
    use_pathroll()
    use_fadeseq()
    use_branchlet()
    use_factory()
    use_strings()
    print("usage: every typed call ran")

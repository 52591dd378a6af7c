from collections import namedtuple as namedtuple
from collections.abc import MutableMapping as MutableMapping
from typing import (Any, Dict, Generator, Iterable, List, NamedTuple, SupportsInt, Tuple, Type, Union,
                    overload)

from typing_extensions import SupportsIndex

# A path: from the outermost mapping inward, the keys, and an IndexMarker for each
# position in a list or tuple.
_Path = Tuple[Any, ...]
# What the edits take: anything that unpacks into (path, value), a DictItem included.
_Pair = Tuple[_Path, Any]

class DictItem(NamedTuple):
    path: Tuple[Any, ...]
    value: Any

# What an entry of a PathRoll is: a DictItem where the roll made it (flattening, append,
# insert, extend), the plain tuple that item assignment stores, or the pair object a
# roll built from pairs was given.  Only a DictItem has .path and .value; every entry
# unpacks into (path, value).
_Entry = Union[DictItem, Tuple[_Path, Any]]

# The path element for a position in a list or tuple.  Compares and hashes by
# identity; prints as "list[2]", "tuple[0]".
class IndexMarker:
    # type(obj) of the container the marker was made for: list, tuple or a subclass.
    type_: Type[Any]
    index: int
    def __init__(self, obj: object, index: Union[SupportsInt, SupportsIndex, str, bytes]) -> None: ...
    def __repr__(self) -> str: ...

# A nested dictionary as a list of (path, value) entries.  Flattening, append,
# insert and extend store DictItem entries; item assignment stores the pair as a
# plain tuple, and construction from pairs stores the given objects themselves.
class PathRoll(List[_Entry]):
    # A mutable mapping is flattened, depth first; anything else must be an
    # iterable of pairs.
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, __mapping: MutableMapping[Any, Any]) -> None: ...
    @overload
    def __init__(self, __pairs: Iterable[_Pair]) -> None: ...
    # Yields the DictItem entries of a mapping, list or tuple (under the prefix
    # `path`); any other object is yielded itself, once.
    @overload
    @staticmethod
    def __flatten__(
        indict: Union[MutableMapping[Any, Any], List[Any], Tuple[Any, ...]], path: Union[_Path, None] = None
    ) -> Generator[DictItem, None, None]: ...
    @overload
    @staticmethod
    def __flatten__(indict: object, path: Union[_Path, None] = None) -> Generator[Any, None, None]: ...
    # Refuses anything that is not a pair, and stores tuple(item).
    @overload  # type: ignore[override]
    def __setitem__(self, index: SupportsIndex, item: _Pair) -> None: ...
    # The two parts of the pair become two entries.
    @overload
    def __setitem__(self, index: slice, item: Tuple[_Pair, _Pair]) -> None: ...
    def append(self, item: _Pair) -> None: ...
    def extend(self, items: Iterable[_Pair]) -> None: ...
    def insert(self, index: SupportsIndex, item: _Pair) -> None: ...
    # A new dictionary (with lists and tuples where the paths hold markers).
    def reconstruct(self) -> Dict[Any, Any]: ...

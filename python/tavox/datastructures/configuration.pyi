import configparser as configparser
import logging as logging
import os as os
from collections.abc import Mapping as Mapping
from typing import Any, Iterator, List, Optional, TypeVar, Union

import yaml as yaml

from tavox.datastructures.dotbag import NestedDotBag as NestedDotBag
from tavox.utils.strings import typecast_str as typecast_str

_Self = TypeVar("_Self", bound="Configuration")
_StrPath = Union[str, "os.PathLike[str]"]

logger: logging.Logger

# The entry points of a group, in the order the installed distributions give them.
def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[Any]: ...

class Configuration(NestedDotBag):
    # A new tree: every level below is rebuilt as a new level of the instance's class.
    def copy(self: _Self) -> _Self: ...
    # Every value stored by item assignment passes through typecast_str first.
    def __setitem__(self, key: Any, value: Any) -> None: ...
    # Each returns what it loaded: the INI-style files read and the YAML files loaded
    # (paths that cannot be read are skipped), the entry points merged.
    def load_cfgs(self, *files: _StrPath) -> List[str]: ...
    def load_yamls(self, *files: _StrPath) -> List[_StrPath]: ...
    def load_entrypoint(self, group: str) -> List[Any]: ...

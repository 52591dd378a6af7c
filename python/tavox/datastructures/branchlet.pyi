from typing import Any, List, Optional

# A tree node that prints its subtree in the layout of the `tree` command.
class Branchlet:
    # The label; printing needs it to be a str.
    name: str
    # In printing order: normally Branchlet nodes, but any object prints through its
    # str() (a plain string child is a leaf line).
    children: List[Any]
    # A false `children` (None, an empty list) gives the node a new list of its own;
    # any other list is kept itself, not copied.
    def __init__(self, name: str, children: Optional[List[Any]] = None) -> None: ...
    def add_child(self, item: object) -> None: ...
    # The whole subtree, one name per line, without a trailing newline.
    def __str__(self) -> str: ...

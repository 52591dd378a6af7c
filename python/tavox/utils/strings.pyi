from typing import TypeVar, Union, overload

__all__ = ["typecast_str"]

_T = TypeVar("_T")

# The int, float or bool that a str spells, else the str itself; every object that
# is not a str comes back unchanged (the very same object).
@overload
def typecast_str(value: str) -> Union[str, int, float, bool]: ...
@overload
def typecast_str(value: _T) -> _T: ...

from typing import Any, Type, TypeVar

_T = TypeVar("_T")

# A class made with this metaclass is instantiated as the subclass named by the
# keyword argument "class" when one is passed (it has to come through **kwargs:
# `class` is a reserved word); that argument is not passed on.  TypeError when it
# names a class that is not a subclass of the class called.
#
# __call__ is typed on the class it is called on, so a type checker sees an
# instance of that class (the chosen subclass is one too) and checks the
# arguments against its __init__ as for any class.  An `-> Any` here would make
# pyright type every instance as Any.
class MetaClassFactory(type):
    def __call__(cls: Type[_T], *args: Any, **kwargs: Any) -> _T: ...

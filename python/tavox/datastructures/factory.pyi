from typing import Any

# A class made with this metaclass is instantiated as the subclass named by the
# keyword argument "class" when one is passed (it has to come through **kwargs:
# `class` is a reserved word); that argument is not passed on.  TypeError when it
# names a class that is not a subclass of the class called.
class MetaClassFactory(type):
    def __call__(cls, *args: Any, **kwargs: Any) -> Any: ...

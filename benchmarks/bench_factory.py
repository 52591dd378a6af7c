"""Instantiation through the "class" keyword against plain instantiation."""
from tavox.datastructures.factory import MetaClassFactory


class Base(metaclass=MetaClassFactory):
    pass


class Sub(Base):
    pass


class Plain:
    pass


class InitBase(metaclass=MetaClassFactory):
    def __init__(self, x, y=0):
        self.x = x
        self.y = y


class InitSub(InitBase):
    pass


class InitPlain:
    def __init__(self, x, y=0):
        self.x = x
        self.y = y


def run(h):
    kw = {"class": Sub}
    h.compare("factory", "Base(**{'class': Sub})", ("MetaClassFactory", lambda: Base(**kw)),
              [("Sub() (same metaclass)", lambda: Sub()), ("plain class()", lambda: Plain())])
    h.compare("factory", "Sub() without 'class'", ("MetaClassFactory", lambda: Sub()),
              [("plain class()", lambda: Plain())])
    kw2 = {"class": InitSub, "y": 2}
    h.compare("factory", "InitBase(1, y=2, class=InitSub)", ("MetaClassFactory", lambda: InitBase(1, **kw2)),
              [("InitSub(1, y=2)", lambda: InitSub(1, y=2)), ("plain class(1, y=2)", lambda: InitPlain(1, y=2))])

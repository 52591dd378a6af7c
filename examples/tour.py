"""A one-minute tour of tavox.datastructures.  Run it after installing the package."""
import gc
import os
import tempfile


def show(label, value):
    """One line of the tour: what is shown, then its value (lines after the first indented)."""
    text = str(value).replace("\n", "\n" + " " * 47)
    print("  %-44s %s" % (label + ":", text))


# --- dotbag: dictionaries whose entries are attributes, and dotted key paths ----------
from tavox.datastructures.dotbag import DotBag, NestedDotBag

print("== dotbag ==")

server = DotBag(host="alpha", port=22)
server.user = "ada"                         # an attribute is an entry ...
show("server", server)                      # DotBag({'host': 'alpha', 'port': 22, 'user': 'ada'})
show('server["user"], set as server.user', server["user"])

settings = NestedDotBag({"db": {"host": "localhost"}})
settings["db.port"] = 5432                  # key paths walk (and create) nested levels
settings.update({"db": {"user": "app"}})    # mappings merge level by level
show("settings.db.host", settings.db.host)
show('settings["db.port"], set by key path', settings["db.port"])
show('"db.user" in settings, after update()', "db.user" in settings)

# --- configuration: a NestedDotBag that loads INI and YAML files, typing the values ---
from tavox.datastructures.configuration import Configuration

print("== configuration ==")

with tempfile.TemporaryDirectory() as tmp:
    ini = os.path.join(tmp, "app.cfg")
    with open(ini, "w") as f:
        f.write("[DEFAULT]\ntimeout = 5\n\n[server]\nPort = 8080\ndebug = true\n")
    yml = os.path.join(tmp, "local.yaml")
    with open(yml, "w") as f:
        f.write("server:\n  port: 9090\nlogging:\n  level: info\n")
    cfg = Configuration()
    cfg.load_cfgs(ini)                      # sections become levels; "8080" becomes 8080
    cfg.load_yamls(yml, os.path.join(tmp, "missing.yaml"))   # later files win key by key
show('cfg["server.port"], the YAML file wins', repr(cfg["server.port"]))
show("cfg.server.timeout, from [DEFAULT]", repr(cfg.server.timeout))
show('cfg.server.debug, "true" in the file', repr(cfg.server.debug))
show("cfg.logging.level", repr(cfg.logging.level))

# --- rankmap: an ordered mapping whose keys can be inserted and moved -----------------
from tavox.datastructures.rankmap import RankMap

print("== rankmap ==")

ranks = RankMap([("a", 1), ("b", 2), ("c", 3)])
ranks.move("c", 0)                          # list-insertion positions
ranks.insert("z", 26, 1)
show('after move("c", 0) and insert("z", 26, 1)', ranks)  # RankMap([('c', 3), ('z', 26), ...])

# --- pathroll: a nested dict as a flat list of (path, value), and back ----------------
from tavox.datastructures.pathroll import PathRoll

print("== pathroll ==")

nested = {"a": {"b": 1, "n": [10, {"d": 2}]}, "e": {}}
roll = PathRoll(nested)
for path, value in roll:
    show("path %r" % (path,), "value %r" % (value,))   # path ('a', 'n', list[1], 'd'): value 2
show("roll.reconstruct() == nested", roll.reconstruct() == nested)

# --- fadeseq: a list that holds weak references and forgets dead objects --------------
from tavox.datastructures.fadeseq import FadeSeq

print("== fadeseq ==")


class Session:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "Session(%r)" % self.name


alive, doomed = Session("alive"), Session("doomed")
sessions = FadeSeq([alive, doomed])
del doomed
gc.collect()
show("sessions, after del doomed", sessions)  # FadeSeq([Session('alive')])
show("len(sessions)", len(sessions))

# --- branchlet: a tree that prints like the `tree` command ----------------------------
from tavox.datastructures.branchlet import Branchlet

print("== branchlet ==")

etc = Branchlet("etc", [Branchlet("net", ["hosts", "ifaces"])])
etc.add_child(Branchlet("ssh", ["keys", "config"]))
show("print(etc)", etc)

# --- factory: a metaclass that lets the caller pick the subclass ----------------------
from tavox.datastructures.factory import MetaClassFactory

print("== factory ==")


class Shape(metaclass=MetaClassFactory):
    def __init__(self, size=1):
        self.size = size


class Square(Shape):
    pass


shape = Shape(size=3, **{"class": Square})  # e.g. the class named in a data file
show('Shape(size=3, **{"class": Square})', "a %s of size %d" % (type(shape).__name__, shape.size))

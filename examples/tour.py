"""A one-minute tour of tavox.datastructures.  Run it after installing the package."""

# --- dotbag: dictionaries whose entries are attributes, and dotted key paths ----------
from tavox.datastructures.dotbag import DotBag, NestedDotBag

server = DotBag(host="alpha", port=22)
server.user = "ada"                       # an attribute is an entry ...
print(server, server["user"])             # DotBag({'host': 'alpha', 'port': 22, 'user': 'ada'}) ada

settings = NestedDotBag({"db": {"host": "localhost"}})
settings["db.port"] = 5432                # key paths walk (and create) nested levels
settings.update({"db": {"user": "app"}})  # mappings merge level by level
print(settings.db.host, settings["db.port"], "db.user" in settings)
print(settings)

"""DotBag and NestedDotBag against plain objects, dicts and peer libraries."""
import copy

from harness import optional

from tavox.datastructures.dotbag import DotBag, NestedDotBag

addict = optional("addict")
munch = optional("munch")
box = optional("box")
benedict = optional("benedict")
omegaconf = optional("omegaconf")


class Plain:
    pass


def nested_tree(fanout=10, depth=4):
    """A nested dict of fanout**depth leaves (10,000 by default)."""
    if depth == 0:
        return 1
    return {"k%d" % i: nested_tree(fanout, depth - 1) for i in range(fanout)}


def run(h):
    group = "dotbag: DotBag"
    data = {"k%d" % i: i for i in range(100)}
    bag = DotBag(data)
    bag.host = "alpha"
    plain = Plain()
    plain.host = "alpha"
    d = dict(data, host="alpha")
    peers = {}
    if addict:
        peers["addict"] = addict.Dict(d)
    if munch:
        peers["munch"] = munch.Munch(d)
    if box:
        peers["python-box"] = box.Box(d)

    def peer(name, make):
        return (name, make(peers[name]) if name in peers else None)

    h.compare(group, "attribute read", ("DotBag", lambda: bag.host), [
        ("plain instance attribute", lambda: plain.host),
        peer("addict", lambda p: lambda: p.host),
        peer("munch", lambda p: lambda: p.host),
        peer("python-box", lambda p: lambda: p.host),
    ])

    def write_bag():
        bag.port = 22

    def write_plain():
        plain.port = 22

    def writer(p):
        def write():
            p.port = 22
        return write

    h.compare(group, "attribute write", ("DotBag", write_bag), [
        ("plain instance attribute", write_plain),
        peer("addict", writer), peer("munch", writer), peer("python-box", writer),
    ])
    h.compare(group, "item read", ("DotBag", lambda: bag["host"]), [
        ("dict", lambda: d["host"]),
        peer("addict", lambda p: lambda: p["host"]),
        peer("munch", lambda p: lambda: p["host"]),
        peer("python-box", lambda p: lambda: p["host"]),
    ])
    h.compare(group, "construction from a 100-key dict", ("DotBag", lambda: DotBag(data)), [
        ("dict", lambda: dict(data)),
        ("addict", (lambda: addict.Dict(data)) if addict else None),
        ("munch", (lambda: munch.Munch(data)) if munch else None),
        ("python-box", (lambda: box.Box(data)) if box else None),
    ])

    group = "dotbag: NestedDotBag"
    tree = nested_tree()
    nd = NestedDotBag(tree)
    plain_tree = tree
    key = "k1.k2.k3"
    boxed = box.Box(tree, box_dots=True) if box else None
    bene = benedict.benedict(tree) if benedict else None
    conf = omegaconf.OmegaConf.create(tree) if omegaconf else None

    h.compare(group, "key-path read nd['k1.k2.k3']", ("NestedDotBag", lambda: nd[key]), [
        ("nested dict d['k1']['k2']['k3']", lambda: plain_tree["k1"]["k2"]["k3"]),
        ("python-box box_dots", (lambda: boxed[key]) if boxed is not None else None),
        ("python-benedict keypath", (lambda: bene[key]) if bene is not None else None),
        ("omegaconf OmegaConf.select", (lambda: omegaconf.OmegaConf.select(conf, key)) if conf is not None else None),
    ])
    h.compare(group, "attribute path nd.k1.k2.k3", ("NestedDotBag", lambda: nd.k1.k2.k3), [
        ("nested dict d['k1']['k2']['k3']", lambda: plain_tree["k1"]["k2"]["k3"]),
        ("python-box", (lambda: boxed.k1.k2.k3) if boxed is not None else None),
    ])
    h.compare(group, "membership 'k1.k2.k3' in nd", ("NestedDotBag", lambda: key in nd), [
        ("nested dict 'k3' in d['k1']['k2']", lambda: "k3" in plain_tree["k1"]["k2"]),
        ("python-box box_dots", (lambda: key in boxed) if boxed is not None else None),
        ("python-benedict keypath", (lambda: key in bene) if bene is not None else None),
    ])

    def write_nd():
        nd[key] = 5

    def write_plain_tree():
        plain_tree["k1"]["k2"]["k3"] = 5

    def write_box():
        boxed[key] = 5

    def write_bene():
        bene[key] = 5

    h.compare(group, "key-path write nd['k1.k2.k3'] = 5", ("NestedDotBag", write_nd), [
        ("nested dict d['k1']['k2']['k3'] = 5", write_plain_tree),
        ("python-box box_dots", write_box if boxed is not None else None),
        ("python-benedict keypath", write_bene if bene is not None else None),
    ])
    depth = h.size(4, 3)
    source = nested_tree(depth=depth)
    h.compare(group, "construction from {:,} nested leaves".format(10 ** depth),
              ("NestedDotBag", lambda: NestedDotBag(source)), [
                  ("copy.deepcopy(d) (the floor: a new tree)", lambda: copy.deepcopy(source)),
                  ("python-box Box(d)", (lambda: box.Box(source)) if box else None),
                  ("omegaconf OmegaConf.create", (lambda: omegaconf.OmegaConf.create(source)) if omegaconf else None),
                  ("addict Dict(d)", (lambda: addict.Dict(source)) if addict else None),
              ], number=h.size(3, 1))

"""Configuration: loading YAML and INI files, copying, reading by key path.

The loaders parse with the standard tools (yaml.safe_load, ConfigParser) and
then merge; the ratios show what the merge adds on top of the parse alone.
"""
import configparser
import copy
import os
import tempfile

import yaml
from harness import optional

from tavox.datastructures.configuration import Configuration


def nested(sections, groups, leaves):
    """sections x groups x leaves settings of mixed types, three levels deep."""
    values = ["8080", 3.5, True, "text value", 42, "1e-3", None, "false"]
    return {
        "section%d" % s: {
            "group%d" % g: {"key%d" % k: values[(s + g + k) % len(values)] for k in range(leaves)}
            for g in range(groups)
        }
        for s in range(sections)
    }


def yaml_file(directory, sections):
    # About 1 MB for 300 sections: 300 x 10 x 20 = 60,000 leaves.
    path = os.path.join(directory, "big.yaml")
    with open(path, "w") as f:
        yaml.safe_dump(nested(sections, 10, 20), f, default_flow_style=False)
    return path


def ini_file(directory, sections):
    # 400 sections of 25 options plus 5 defaults: about 180 kB; dotted section names make levels.
    parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
    parser["DEFAULT"] = {"retries": "3", "timeout": "2.5", "enabled": "true", "root": "/srv", "mode": "fast"}
    for s in range(sections):
        parser["service%d.part%d" % (s // 10, s % 10)] = {
            "option%d" % o: "%%(root)s/data/%d" % o if o % 5 == 0 else str(s * o) for o in range(25)}
    path = os.path.join(directory, "big.cfg")
    with open(path, "w") as f:
        parser.write(f)
    return path


def run(h):
    directory = tempfile.mkdtemp(prefix="tavox-bench-")
    try:
        run_in(h, directory)
    finally:
        for name in os.listdir(directory):
            os.remove(os.path.join(directory, name))
        os.rmdir(directory)


def run_in(h, directory):
    omegaconf = optional("omegaconf")
    dynaconf = optional("dynaconf")

    # -- loading a YAML file of about 1 MB (33 kB in a quick run) --------------------
    path = yaml_file(directory, h.size(300, 10))
    size = os.path.getsize(path) // 1024

    def safe_load_alone():
        with open(path) as f:
            return yaml.safe_load(f)

    h.compare("configuration", "load_yamls(%d kB file)" % size,
              ("Configuration", lambda: Configuration().load_yamls(path)),
              [("open + yaml.safe_load alone", safe_load_alone)], number=1)
    # The merge on its own, against the same parse: the ratio is the share the merge adds
    # (steadier than the difference of the two long runs above on a busy machine).
    document = safe_load_alone()
    h.compare("configuration", "merge of that document alone",
              ("Configuration().update(document)", lambda: Configuration().update(document)),
              [("open + yaml.safe_load alone", safe_load_alone)], number=1)

    # -- loading an INI file --------------------------------------------------------
    sections = h.size(400, 100)
    ini = ini_file(directory, sections)

    def read_alone():
        configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",)).read(ini)

    def read_and_collect():
        parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
        parser.read(ini)
        return {name: dict(section) for name, section in parser.items()}

    h.compare("configuration", "load_cfgs(%d sections)" % sections,
              ("Configuration", lambda: Configuration().load_cfgs(ini)),
              [("ConfigParser.read alone", read_alone),
               ("ConfigParser.read + every value read", read_and_collect)])

    # -- copying 10,000 leaves (1,000 in a quick run) -------------------------------
    sections = h.size(50, 5)
    data = nested(sections, 10, 20)
    cfg = Configuration(data)
    others = [("copy.deepcopy(nested dict)", lambda: copy.deepcopy(data)),
              ("OmegaConf.create(nested dict)",
               omegaconf and (lambda: omegaconf.OmegaConf.create(data)))]
    h.compare("configuration", "copy() of {:,} leaves".format(sections * 200), ("Configuration", cfg.copy), others)

    # -- reading by key path --------------------------------------------------------
    small = {"a": {"b": {"c": 1}}}
    cfg = Configuration(small)
    others = [("nested dict d['a']['b']['c']", lambda: small["a"]["b"]["c"])]
    if omegaconf:
        conf = omegaconf.OmegaConf.create(small)
        others.append(("OmegaConf.select(conf, 'a.b.c')", lambda: omegaconf.OmegaConf.select(conf, "a.b.c")))
        others.append(("omegaconf conf.a.b.c", lambda: conf.a.b.c))
    else:
        others.append(("OmegaConf.select(conf, 'a.b.c')", None))
    if dynaconf:
        settings = dynaconf.Dynaconf(environments=False, load_dotenv=False)
        settings.update(small)
        others.append(("dynaconf settings['a.b.c']", lambda: settings["a.b.c"]))
    else:
        others.append(("dynaconf settings['a.b.c']", None))
    h.compare("configuration", "cfg['a.b.c']", ("Configuration", lambda: cfg["a.b.c"]), others)
    h.compare("configuration", "cfg.a.b.c", ("Configuration", lambda: cfg.a.b.c),
              [("nested dict d['a']['b']['c']", lambda: small["a"]["b"]["c"])])

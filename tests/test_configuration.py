import collections.abc
import configparser
import importlib
import importlib.util
import json
import logging
import os
import subprocess
import sys
import textwrap

import pytest
import yaml

import tavox.utils.strings
from tavox.datastructures import configuration, dotbag
from tavox.datastructures.configuration import Configuration

from hostile import PYTHON

LOGGER = "tavox.datastructures.configuration"
FAILED = "Failed to load configuration from entrypoint: "
METHODS = ["copy", "__setitem__", "load_cfgs", "load_yamls", "load_entrypoint"]


class Sub(Configuration):
    pass


def write(path, text, mode="w"):
    with open(path, mode) as f:
        f.write(textwrap.dedent(text) if mode == "w" else text)
    return str(path)


def test_module_body_and_class_shape():
    body = ["os", "yaml", "logging", "configparser", "iter_entry_points", "Mapping", "NestedDotBag",
            "typecast_str", "logger", "Configuration"]
    assert [name for name in vars(configuration) if name in body] == body
    assert configuration.__doc__ is None and configuration.logger is logging.getLogger(LOGGER)
    assert [getattr(configuration, name) for name in body[:4] + body[5:8]] == [
        os, yaml, logging, configparser, collections.abc.Mapping, dotbag.NestedDotBag,
        tavox.utils.strings.typecast_str]
    assert "nested" in Configuration.copy.__doc__ and "entry point" in Configuration.load_entrypoint.__doc__


@pytest.mark.parametrize("call, message", [
    (lambda c: c.load_entrypoint(), "load_entrypoint() takes exactly 2 positional arguments (1 given)"),
    (lambda c: c.copy(1), "copy() takes exactly 1 positional argument (2 given)"),
    (lambda c: Configuration.__setitem__(c, "k"), "__setitem__() takes exactly 3 positional arguments (2 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Configuration())
    assert str(info.value) == message


# ---- the store ------------------------------------------------------------------------


def test_values_are_converted_on_item_assignment_only():
    cfg = Configuration(a={"b": "1"})
    assert type(cfg["a"]) is Configuration and cfg["a.b"] == 1 and cfg.a.b == 1 and type(cfg.a.b) is int
    cfg["x.y"] = "2.5"
    assert type(cfg["x"]) is Configuration and cfg.x.y == 2.5
    cfg.z = "1"
    assert cfg["z"] == "1"
    cfg.update({"t": "TRUE", "s": "007"})
    assert cfg["t"] is True and cfg["s"] == "007"


def test_typecast_str_is_read_from_the_module_at_each_call(monkeypatch):
    seen = []
    monkeypatch.setattr(configuration, "typecast_str", lambda value: seen.append(value) or value)
    cfg = Configuration()
    cfg["a.b"] = "v"
    # once at the top, once for the level that setdefault stores, once inside that level
    assert seen == ["v", cfg["a"], "v"] and seen[1] is cfg["a"]


def test_a_refused_value_stores_nothing(monkeypatch):
    refusal = ValueError("refused")

    def strict(value):
        if value == "bad":
            raise refusal
        return value

    monkeypatch.setattr(configuration, "typecast_str", strict)
    cfg = Configuration()
    for key in ("k", "p.k"):
        with pytest.raises(ValueError) as info:
            cfg[key] = "bad"
        assert info.value is refusal
    assert cfg == {}
    with pytest.raises(ValueError):
        cfg.update([("a", 1), ("b", "bad"), ("c", 3)])
    assert cfg == {"a": 1}  # no rollback, nothing after the refusal


def test_target_key_error_names_the_class():
    cfg = Configuration({"a": {"b": 1}})
    with pytest.raises(KeyError) as info:
        cfg["a.b.c"] = 2
    assert info.value.args == ('target key "b" is a value, cannot update value against another Configuration',)


@pytest.mark.parametrize("cls", [Configuration, Sub])
def test_copy_rebuilds_every_level(cls):
    cfg = cls(a={"b": "1", "n": {"m": 2}})
    cfg["p"] = {"q": 1}  # a plain dict stored as a value
    cfg.t = "1"  # stored unconverted
    leaf = cfg["leaf"] = object()
    c2 = cfg.copy()
    assert type(c2) is cls and type(c2["a"]) is cls and type(c2["a.n"]) is cls and type(c2["p"]) is cls
    assert c2["a"] is not cfg["a"] and c2["a.n"] is not cfg["a.n"] and type(cfg["p"]) is dict
    assert c2["leaf"] is leaf and c2["t"] == 1  # leaves are stored again, through __setitem__
    c2["a"]["b"] = 2
    c2["a.n.m"] = 3
    assert cfg["a.b"] == 1 and cfg["a.n.m"] == 2 and cfg["t"] == "1"


# ---- load_cfgs ------------------------------------------------------------------------


def test_load_cfgs_default_section_and_lower_cased_options(tmp_path):
    path = write(tmp_path / "app.cfg", """\
        [DEFAULT]
        timeout = 5
        [Server]
        Port = 8080
        host: name = alpha
        # a comment
        note = x ; not a comment
        """)
    cfg = Configuration({"DEFAULT": {"old": 1}})
    assert cfg.load_cfgs(path) == [path]
    assert cfg == {"Server": {"port": 8080, "timeout": 5, "host: name": "alpha", "note": "x ; not a comment"}}
    assert type(cfg.Server) is Configuration


def test_load_cfgs_dotted_names_interpolation_and_later_files(tmp_path):
    first = write(tmp_path / "a.cfg", """\
        [a.b]
        c = 1
        [s]
        x.y = 2
        base = /srv
        path = %(base)s/data
        """)
    second = write(tmp_path / "b.cfg", "[s]\nbase = /opt\n")
    cfg = Configuration()
    assert cfg.load_cfgs(first, str(tmp_path / "missing.cfg"), second) == [first, second]
    assert cfg == {"a": {"b": {"c": 1}}, "s": {"x": {"y": 2}, "base": "/opt", "path": "/opt/data"}}


def test_load_cfgs_of_nothing_readable_changes_nothing(tmp_path):
    cfg = Configuration(k=1)
    assert cfg.load_cfgs(str(tmp_path / "missing.cfg"), str(tmp_path)) == [] and cfg.load_cfgs() == []
    assert cfg == {"k": 1}


@pytest.mark.parametrize("text, error", [
    ("[s]\nk: v\n", configparser.ParsingError),
    ("[s]\n; note\n", configparser.ParsingError),
    ("k = v\n", configparser.MissingSectionHeaderError),
    ("[s]\nk = 1\n[s]\n", configparser.DuplicateSectionError),
    ("[s]\nk = 1\nK = 2\n", configparser.DuplicateOptionError),
])
def test_load_cfgs_parse_errors_merge_nothing(tmp_path, text, error):
    good = write(tmp_path / "good.cfg", "[g]\nk = 1\n")
    bad = write(tmp_path / "bad.cfg", text)
    cfg = Configuration()
    with pytest.raises(error) as info:
        cfg.load_cfgs(good, bad)
    assert cfg == {}
    assert bad in str(info.value) and not hasattr(info.value, "__notes__")  # the parser names the file


@pytest.mark.parametrize("text, error", [
    ("[a]\nx = 1\n[b]\ny = %(missing)s\n[c]\nz = 3\n", configparser.InterpolationMissingOptionError),
    ("[a]\nx = 1\n[b]\ny = 1\ny.z = 2\n[c]\nz = 3\n", KeyError),  # an option path through a plain value
])
def test_load_cfgs_errors_while_merging_keep_what_was_merged(tmp_path, text, error):
    cfg = Configuration()
    path = write(tmp_path / "x.cfg", text)
    other = write(tmp_path / "other.cfg", "[o]\nk = 1\n")
    with pytest.raises(error) as info:
        cfg.load_cfgs(path, str(tmp_path / "missing.cfg"), other)
    assert "DEFAULT" in cfg and cfg["a.x"] == 1 and "b" in cfg and "c" not in cfg
    # The files are merged as one: the note names every file read.
    assert info.value.__notes__ == ["while merging the INI files %r" % [path, other]]


# ---- load_yamls ------------------------------------------------------------------------


def test_load_yamls_nested_levels_and_key_by_key_override(tmp_path):
    first = write(tmp_path / "a.yaml", """\
        db:
          host: alpha
          port: '5432'
          pool: {size: 4, idle: 10}
        debug: false
        """)
    second = write(tmp_path / "b.yaml", "db:\n  host: beta\n  pool:\n    size: 8\n")
    pairs = write(tmp_path / "c.yaml", "- [debug, 'TRUE']\n- [db.pool.idle, 5]\n")
    cfg = Configuration()
    assert cfg.load_yamls(first, str(tmp_path / "nodir" / "none.yaml"), str(tmp_path), second, pairs) == \
        [first, second, pairs]
    assert cfg == {"db": {"host": "beta", "port": 5432, "pool": {"size": 8, "idle": 5}}, "debug": True}
    assert type(cfg["db.pool"]) is Configuration


def default_encoding_refuses(data):
    with open(os.devnull) as f:
        encoding = f.encoding
    try:
        data.decode(encoding)
    except UnicodeDecodeError:
        return True
    return False


@pytest.mark.parametrize("content, error, message", [
    ("", TypeError, "'NoneType' object is not iterable"),
    ("a: [1, 2\n", yaml.YAMLError, None),
    ("- x\n", TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
    pytest.param(b"a: \xff\xfe\n", UnicodeDecodeError, None,
                 marks=pytest.mark.skipif(not default_encoding_refuses(b"\xff\xfe"),
                                          reason="the default encoding decodes these bytes")),
])
def test_load_yamls_failure_keeps_earlier_files_and_reads_no_later(tmp_path, monkeypatch, content, error, message):
    opened = []

    def recording_open(*args):
        f = open(*args)
        opened.append(f)
        return f

    monkeypatch.setattr(configuration, "open", recording_open, raising=False)
    before = write(tmp_path / "1.yaml", "first: 1\n")
    bad = write(tmp_path / "2.yaml", content, "wb" if isinstance(content, bytes) else "w")
    after = write(tmp_path / "3.yaml", "third: 3\n")
    cfg = Configuration()
    with pytest.raises(error) as info:
        cfg.load_yamls(before, bad, after)
    if message:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while loading the YAML file %r" % bad]
    assert cfg == {"first": 1}
    assert [f.name for f in opened] == [before, bad] and all(f.closed for f in opened)


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("error_type, notes, expected", [
    (ValueError, ["earlier"], ["earlier", "while loading the YAML file {path!r}"]),
    (ValueError, "not a list", "not a list"),  # no note can be added: the error leaves as it is
    (Interrupt, None, None),  # only an Exception gets a note
])
def test_load_yamls_error_notes(tmp_path, error_type, notes, expected):
    error = error_type("raised by update")
    if notes is not None:
        error.__notes__ = notes[:]

    class Refusing(Configuration):
        def update(self, *args, **kwargs):
            if args:
                raise error

    path = tmp_path / "f.yaml"
    path.write_text("a: 1\n")
    with pytest.raises(error_type) as info:
        Refusing().load_yamls(path)  # a path object: the note shows its text
    assert info.value is error
    if isinstance(expected, list):
        expected = [note.format(path=str(path)) for note in expected]
    assert getattr(error, "__notes__", None) == expected


class Manager:
    """A context manager that `open` may hand back: records what __exit__ sees."""

    def __init__(self, text, outcome):
        self.text, self.outcome, self.seen = text, outcome, None

    def __enter__(self):
        return self.text

    def __exit__(self, *exc):
        self.seen = exc, sys.exc_info()[1]
        if self.outcome == "raise":
            raise OSError("close failed")
        return self.outcome == "suppress"


@pytest.mark.parametrize("outcome", ["suppress", "propagate", "raise"])
def test_load_yamls_runs_the_with_protocol(monkeypatch, tmp_path, outcome):
    managers = []
    monkeypatch.setattr(configuration, "open",
                        lambda *args: managers.append(Manager("- x\n", outcome)) or managers[-1], raising=False)
    path = write(tmp_path / "f.yaml", "")
    cfg = Configuration()
    if outcome == "suppress":
        assert cfg.load_yamls(path) == [path]
    else:
        with pytest.raises(OSError if outcome == "raise" else TypeError) as info:
            cfg.load_yamls(path)
        if outcome == "raise":
            assert type(info.value.__context__) is TypeError
    (exc_type, exc, _), handled = managers[0].seen
    assert exc_type is TypeError and exc is handled


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root reads every file")
def test_load_yamls_unreadable_regular_file(tmp_path):
    path = write(tmp_path / "secret.yaml", "a: 1\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        Configuration().load_yamls(path)


# ---- load_entrypoint --------------------------------------------------------------------

GROUP = "tavox_tests.configuration"
DIST = "tavoxdemo 1.2.3"


@pytest.fixture(scope="module")
def distribution(tmp_path_factory):
    """An installed distribution publishing GROUP: one good, one failing, one half-merging entry point."""
    root = tmp_path_factory.mktemp("site")
    info = root / "tavoxdemo-1.2.3.dist-info"
    info.mkdir()
    write(info / "METADATA", "Metadata-Version: 2.1\nName: tavoxdemo\nVersion: 1.2.3\n")
    write(info / "entry_points.txt", f"""\
        [{GROUP}]
        good = tavoxdemo_settings:GOOD
        broken = tavoxdemo_settings:MISSING

        [{GROUP}.partial]
        half = tavoxdemo_settings:HALF
        after = tavoxdemo_settings:AFTER
        """)
    write(root / "tavoxdemo_settings.py", """\
        GOOD = {"a": 1, "server": {"port": "8080"}}
        HALF = [("b", 1), ("c", 1, 2)]
        AFTER = {"d": "true"}
        """)
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    if configuration.iter_entry_points.__module__ == "pkg_resources":
        sys.modules["pkg_resources"].working_set.add_entry(str(root))
    yield str(root)
    sys.path.remove(str(root))
    sys.modules.pop("tavoxdemo_settings", None)


def test_load_entrypoint_merges_and_logs_the_failure(distribution, caplog):
    cfg = Configuration()
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        loaded = cfg.load_entrypoint(GROUP)
    assert cfg == {"a": 1, "server": {"port": 8080}} and type(cfg.server) is Configuration
    assert [(ep.name, str(ep.dist)) for ep in loaded] == [("good", DIST)]
    [record] = [r for r in caplog.records if r.name == LOGGER]
    assert record.levelno == logging.ERROR and record.getMessage() == FAILED + DIST
    # pkg_resources reports the missing attribute as ImportError, importlib.metadata as AttributeError
    assert record.exc_info[0] in (AttributeError, ImportError) and record.exc_info[2] is not None


def test_load_entrypoint_keeps_what_a_failed_update_merged(distribution, caplog):
    cfg = Configuration()
    loaded = cfg.load_entrypoint(GROUP + ".partial")
    assert cfg == {"b": 1, "d": True} and [ep.name for ep in loaded] == ["after"]
    assert [r.exc_info[0] for r in caplog.records if r.name == LOGGER] == [TypeError]


SCRIPT = """\
import json, logging, sys, warnings
sys.path.insert(0, sys.argv[2])
if sys.argv[1] == "block":
    sys.modules["pkg_resources"] = None  # as on a setuptools without pkg_resources
elif sys.argv[1] != "pkg_resources":
    sys.path.insert(0, sys.argv[1])  # a stand-in pkg_resources
from tavox.datastructures import configuration
records = []
handler = logging.Handler()
handler.emit = lambda r: records.append([r.levelname, r.getMessage(), r.exc_info[2] is not None])
configuration.logger.addHandler(handler)
cfg = configuration.Configuration()
loaded = cfg.load_entrypoint(sys.argv[3])
find = configuration.iter_entry_points
out = dict(backend=find.__module__, cfg=cfg, records=records,
           loaded=[[ep.name, str(ep.dist)] for ep in loaded],
           named=[ep.name for ep in find(group=sys.argv[3], name="broken")],
           other=list(find(group="tavox_tests.no_such_group")),
           filters=[str(f[1]) for f in warnings.filters if f[1] is not None])
if sys.argv[1] == "block":
    [ep] = loaded
    out.update(value=ep.value, group=ep.group, version=ep.dist.version, project=ep.dist.project_name,
               meta=ep.dist.metadata["Name"], repr=repr(ep.dist))
print(json.dumps(out))
"""


def run_script(*args, flags=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([*PYTHON, *flags, "-c", SCRIPT, *args], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


@pytest.mark.parametrize("backend", ["pkg_resources", "block"])
def test_entry_points_with_and_without_pkg_resources(distribution, backend):
    if backend == "pkg_resources" and importlib.util.find_spec("pkg_resources") is None:
        pytest.skip("this setuptools has no pkg_resources")
    flags = ["-W", "error::DeprecationWarning"] if backend == "block" else []
    out, _ = run_script(backend, distribution, GROUP, flags=flags)
    assert out["backend"] == ("pkg_resources" if backend == "pkg_resources" else LOGGER)
    assert out["cfg"] == {"a": 1, "server": {"port": 8080}}
    assert out["loaded"] == [["good", DIST]]
    assert out["records"] == [["ERROR", FAILED + DIST, True]]
    assert out["named"] == ["broken"] and out["other"] == []
    if backend == "block":
        assert (out["value"], out["group"], out["version"], out["project"], out["meta"], out["repr"]) == \
            ("tavoxdemo_settings:GOOD", GROUP, "1.2.3", "tavoxdemo", "tavoxdemo", DIST)


def test_only_the_deprecation_warning_of_pkg_resources_is_silenced(distribution, tmp_path):
    fake = tmp_path / "fake"
    fake.mkdir()
    write(fake / "pkg_resources.py", """\
        import warnings
        warnings.warn("pkg_resources is deprecated as an API. See the docs.", DeprecationWarning, stacklevel=2)
        warnings.warn("pkg_resources is deprecated as an API. Pin Setuptools<81.", UserWarning, stacklevel=2)
        warnings.warn("an unrelated notice", UserWarning, stacklevel=2)
        warnings.filterwarnings("ignore", message="kept filter")

        def iter_entry_points(group, name=None):
            return iter(())
        """)
    out, stderr = run_script(str(fake), distribution, GROUP, flags=["-W", "always"])
    assert out["backend"] == "pkg_resources" and out["loaded"] == [] and out["cfg"] == {}
    assert "an unrelated notice" in stderr and "deprecated as an API" not in stderr
    assert "re.compile('kept filter', re.IGNORECASE)" in out["filters"]
    assert not any("deprecated as an API" in f for f in out["filters"])


def test_a_failing_pkg_resources_fails_the_import(tmp_path):
    write(tmp_path / "pkg_resources.py", "raise RuntimeError('broken setuptools')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *(p for p in sys.path if p)]))
    code = ("import warnings\n"
            "try:\n    import tavox.datastructures.configuration\n"
            "except RuntimeError as e:\n    print(e, [f for f in warnings.filters if f[1] is not None])\n")
    done = subprocess.run([*PYTHON, "-c", code], capture_output=True, text=True, env=env)
    assert done.stdout == "broken setuptools []\n", done.stderr


class FakeEntryPoint:
    def __init__(self, name, load):
        self.name, self.load, self.dist = name, load, type("Dist", (), {"__str__": lambda s: "fake " + name})()


class Stop(BaseException):
    pass


def test_load_entrypoint_handles_only_exceptions(monkeypatch, caplog):
    def stop():
        raise Stop

    def find(*, group):  # the group must come by keyword
        return iter([FakeEntryPoint("one", lambda: {"x": 1}), FakeEntryPoint("two", lambda: 5),
                     FakeEntryPoint("three", stop), FakeEntryPoint("four", lambda: {"y": 1})])

    monkeypatch.setattr(configuration, "iter_entry_points", find)
    merged = []

    class Recording(Configuration):
        def update(self, *args, **kwargs):
            merged.append(args)
            super().update(*args, **kwargs)

    cfg = Recording()
    del merged[:]
    with pytest.raises(Stop):
        cfg.load_entrypoint("g")
    assert cfg == {"x": 1} and merged == [({"x": 1},), (5,)]
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [FAILED + "fake two"]


def test_an_error_while_logging_propagates_with_the_load_error_as_context(monkeypatch):
    class Dist:
        def __str__(self):
            raise LookupError("no name")

    entry_point = FakeEntryPoint("x", lambda: 5)
    entry_point.dist = Dist()
    monkeypatch.setattr(configuration, "iter_entry_points", lambda group: [entry_point])
    with pytest.raises(LookupError) as info:
        Configuration().load_entrypoint("g")
    assert type(info.value.__context__) is TypeError


def test_load_entrypoint_lets_errors_of_the_lookup_through(monkeypatch):
    monkeypatch.setattr(configuration, "iter_entry_points", lambda group: 5)
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        Configuration().load_entrypoint("g")

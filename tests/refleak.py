"""Reference-leak hunt for the test suite, run under a debug build of CPython.

    python -m pytest --refleak [--refleak-runs=3:3] [--refleak-examples=10] tests

Every test runs WARMUP times unmeasured (imports, interned names, specialised
bytecode and caches settle), then REPEAT times measured: around each run the
caches that may legitimately grow are emptied, the cycle collector runs and
sys.gettotalrefcount() and sys.getallocatedblocks() are read.  A test leaks
when *every* measured run grew its reference count (a single noisy run does
not count); allocated blocks are noisier, so a test that grows only those
must keep growing them over 6 more runs.  The test then runs once more for
real, with reporting; a leaking test fails there with the deltas, and the
leaks are summed up at the end.  During the unreported runs whatever existed
before the test is frozen out of the cycle collector (gc.freeze), which keeps
the collections cheap; a test that needs older objects collected then fails
there and is only listed as unmeasured.

Tests marked ``refleak_exempt(reason)`` (thread stress, anything that keeps
state across runs on purpose) run once, unmeasured.  A test that fails or
skips in an unmeasured run is listed as unmeasured; its reported run shows
why.  Hypothesis tests run derandomized with at most ``--refleak-examples``
examples, so each run replays the same examples.  -vv lists every test's
deltas.

Without --refleak nothing here changes how the suite runs.
"""

import copy
import gc
import sys
import warnings

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    group = parser.getgroup("refleak", "reference-leak hunt (needs a debug CPython)")
    group.addoption("--refleak", action="store_true", default=False,
                    help="run every test repeatedly and fail those whose reference "
                         "count or allocated blocks grow in every measured run")
    group.addoption("--refleak-runs", default="3:3", metavar="WARMUP:REPEAT",
                    help="unmeasured and measured runs per test (default 3:3)")
    group.addoption("--refleak-examples", type=int, default=10, metavar="N",
                    help="cap on hypothesis examples per run during the hunt (default 10)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "refleak_exempt(reason): run once, unmeasured, under --refleak")
    if not config.getoption("refleak"):
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--refleak needs a debug build of CPython (sys.gettotalrefcount), "
            "e.g. Debian's python3.11-dbg with the package built for it")
    try:
        warmups, repeats = (int(n) for n in config.getoption("refleak_runs").split(":"))
    except ValueError:
        raise pytest.UsageError("--refleak-runs takes WARMUP:REPEAT, e.g. 3:3") from None
    if warmups < 1 or repeats < 2:
        raise pytest.UsageError("--refleak-runs needs WARMUP >= 1 and REPEAT >= 2")
    config.pluginmanager.register(
        LeakHunt(warmups, repeats, config.getoption("refleak_examples")), "refleak-hunt")


def _clear_caches():
    """Empty the caches that grow legitimately, so that only leaks remain."""
    import abc
    import collections.abc
    import linecache
    import re
    import struct
    import typing

    re.purge()
    linecache.clearcache()
    struct._clearcache()
    for clear in getattr(typing, "_cleanups", ()):
        clear()
    for name in collections.abc.__all__:
        base = getattr(collections.abc, name)
        if isinstance(base, abc.ABCMeta):
            for cls in [base, *base.__subclasses__()]:
                if hasattr(cls, "_abc_caches_clear"):
                    cls._abc_caches_clear()
    sys._clear_type_cache()
    gc.collect()


def _counts():
    _clear_caches()
    blocks = sys.getallocatedblocks()
    if hasattr(sys, "_getquickenedcount"):  # 3.11 keeps quickened code in blocks
        blocks -= sys._getquickenedcount()
    return sys.gettotalrefcount(), blocks


def _leaking(deltas):
    # Growth in every measured run; [3, 0, 0] or [8, -8, 1] are settling noise.
    return all(delta >= 1 for delta in deltas)


def _forget_function_finalizers(item):
    """A function-scoped fixture that uses a wider one (tmp_path on
    tmp_path_factory, say) leaves a finalizer on the wider one each time it
    is set up; pytest drops them when that one ends.  Drop them after each
    unmeasured run, where they are already spent, instead of counting them."""
    info = getattr(item, "_fixtureinfo", None)
    for defs in getattr(info, "name2fixturedefs", {}).values():
        for fixturedef in defs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if fixturedef.scope != "function" and finalizers:
                finalizers[:] = [f for f in finalizers if not _finishes_function_fixture(f)]


def _finishes_function_fixture(finalizer):
    finish = getattr(finalizer, "func", None)      # functools.partial(fixturedef.finish)
    owner = getattr(finish, "__self__", None)
    return getattr(finish, "__name__", None) == "finish" and getattr(owner, "scope", None) == "function"


class _Unmeasured(Exception):
    pass


class _ReplayParams:
    """A parameter that is (or holds, in tuples and lists) an iterator is
    spent by the first run; each run gets a fresh copy of it as collected."""

    def __init__(self, item):
        params = getattr(getattr(item, "callspec", None), "params", {})
        self.params = params
        self.originals = {name: value for name, value in params.items() if _holds_iterator(value)}

    def __call__(self):
        for name, value in self.originals.items():
            self.params[name] = _fresh(value)


def _holds_iterator(value):
    if isinstance(value, (tuple, list)):
        return any(_holds_iterator(v) for v in value)
    try:
        return hasattr(type(value), "__next__") and iter(value) is value
    except Exception:
        return False


def _fresh(value):
    if isinstance(value, (tuple, list)):
        return type(value)(_fresh(v) for v in value)
    if _holds_iterator(value):
        try:
            return copy.copy(value)
        except Exception:   # a generator, say: the test cannot be repeated
            pass
    return value


class _Sibling:
    """Stands for a next test beside this one: teardown then finalizes the
    test's own fixtures and keeps those of its class, module and session."""

    def __init__(self, item):
        self._chain = item.listchain()[:-1]

    def listchain(self):
        return self._chain


class LeakHunt:
    def __init__(self, warmups, repeats, examples):
        self.warmups = warmups
        self.repeats = repeats
        self.examples = examples
        self.measured = 0
        self.unmeasured = []   # (nodeid, why)
        self.leaks = {}        # nodeid -> description
        self.deltas = []       # (nodeid, refs, blocks), shown with -vv

    # -- hypothesis: same examples every run, and few of them ---------------

    def pytest_collection_modifyitems(self, items):
        try:
            from hypothesis import settings
        except ImportError:
            return
        for item in items:
            target = getattr(item, "obj", None)
            target = getattr(target, "__func__", target)
            if hasattr(target, "_hypothesis_internal_use_settings"):   # @given
                target._hypothesis_internal_use_settings = self._capped(
                    settings, target._hypothesis_internal_use_settings)
            cls = getattr(item, "cls", None)
            if isinstance(getattr(cls, "settings", None), settings):  # state machines
                cls.settings = self._capped(settings, cls.settings)

    def _capped(self, settings, current):
        return settings(current, max_examples=min(current.max_examples, self.examples),
                        derandomize=True, database=None, deadline=None)

    # -- the hunt ------------------------------------------------------------

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        replay = _ReplayParams(item)
        exempt = item.get_closest_marker("refleak_exempt")
        if exempt is not None:
            self.unmeasured.append((item.nodeid, "exempt: " + " ".join(map(str, exempt.args))))
        else:
            try:
                self._hunt(item, replay)
            except _Unmeasured as why:
                self.unmeasured.append((item.nodeid, str(why)))
        # The real run: reports as usual, the true next item tears down fixtures.
        replay()
        runtestprotocol(item, nextitem=nextitem, log=True)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def _hunt(self, item, replay):
        # Everything alive before the test is set aside from the collector
        # (gc.freeze), so the collections around each run look only at what
        # the runs left behind: a fraction of the cost, the same counts.
        gc.collect()
        gc.freeze()
        try:
            self._judge(item, replay)
        finally:
            gc.unfreeze()

    def _judge(self, item, replay):
        refs, blocks = self._measure(item, replay, self.warmups, self.repeats)
        if _leaking(blocks[-2:]) and not _leaking(refs):
            # Allocated blocks are noisy: the first measured run tends to
            # drop ([-9, 1, 1]), and around the eighth run the interpreter's
            # specialised code settles ([1, 1, -30, 2]).  A test whose blocks
            # grow at the end must go on growing for twice as many runs after
            # 3 more warm-ups (the first of those runs again left out).
            extra_refs, blocks = self._measure(item, replay, 3, 2 * self.repeats + 1)
            refs += extra_refs
            del blocks[0]
        self.measured += 1
        self.deltas.append((item.nodeid, refs, blocks))
        found = []
        if _leaking(refs):
            found.append(f"references {refs}, sum={sum(refs)}")
        if _leaking(blocks):
            found.append(f"memory blocks {blocks}, sum={sum(blocks)}")
        if found:
            self.leaks[item.nodeid] = "leaked " + " and ".join(found)

    def _measure(self, item, replay, warmups, runs):
        # One loop for warm-up and measured runs, preallocated lists, plain
        # rebinding: the bookkeeping itself is in a steady state by the time
        # the counting starts, and adds nothing from one run to the next.
        refs = [0] * runs
        blocks = [0] * runs
        before = after = _counts()
        for run in range(warmups + runs):
            self._quiet_run(item, replay)
            if run >= warmups - 1:
                after = _counts()
                if run >= warmups:
                    refs[run - warmups] = after[0] - before[0]
                    blocks[run - warmups] = after[1] - before[1]
                before = after
        return refs, blocks

    @staticmethod
    def _quiet_run(item, replay):
        """One unreported run; raises _Unmeasured unless it passed."""
        replay()
        sections = list(item._report_sections)
        properties = list(item.user_properties)
        with warnings.catch_warnings(record=True):
            reports = runtestprotocol(item, nextitem=_Sibling(item), log=False)
        item._report_sections[:] = sections
        item.user_properties[:] = properties
        _forget_function_finalizers(item)
        for report in reports:
            if not report.passed:
                raise _Unmeasured(f"{report.outcome} in {report.when} of an unmeasured run")

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        report = (yield).get_result()
        leak = self.leaks.get(item.nodeid)
        if leak is not None and call.when == "call" and report.passed:
            report.outcome = "failed"
            report.longrepr = f"reference leak hunt: {item.nodeid} {leak}"

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        tr.section("reference leak hunt")
        tr.write_line(f"runs per test: {self.warmups} warm-up + {self.repeats} measured "
                      f"(+1 reported); hypothesis examples per run <= {self.examples}")
        tr.write_line(f"{self.measured} tests measured, {len(self.unmeasured)} unmeasured, "
                      f"{len(self.leaks)} leaking")
        if tr.config.option.verbose >= 2:
            for nodeid, refs, blocks in self.deltas:
                tr.write_line(f"  deltas {nodeid}: references {refs}, blocks {blocks}")
        for nodeid, why in self.unmeasured:
            tr.write_line(f"  unmeasured {nodeid}: {why}")
        for nodeid, leak in self.leaks.items():
            tr.write_line(f"  LEAK {nodeid}: {leak}", red=True, bold=True)

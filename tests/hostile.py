"""Hostile objects, and a runner that survives what they do to the package.

Python code can run in the middle of a native operation: a comparison, a hash,
an iteration, an allocation (the collector runs finalizers), a module global,
a user's method.  The kit below makes each of those do something unwelcome;
`outcome` runs a case in a forked child, so a case that kills the process
fails one test, with the signal and the child's stderr, and not the run.

The sound result of every case is what a pure-Python implementation of the
same class would give: success, or the exception it would raise.
"""
import gc
import os
import signal
import subprocess
import sys
import tempfile
import threading

import pytest

KiB = 1024
STACKS = [256 * KiB, 1024 * KiB, 4096 * KiB]   # threading.stack_size of the small-stack cases
DEEP = 20_000                                   # levels of a "very deep" structure
BAD_NAME = "bad\udc80"                          # a name that UTF-8 cannot encode

# A fresh interpreter started with this one's options (-b, -W ..., -X tavox-shortcuts=off).
PYTHON = [sys.executable, *subprocess._args_from_interpreter_flags(),
          *(word for name, value in sys._xoptions.items() if name.startswith("tavox-")
            for word in ("-X", name if value is True else "%s=%s" % (name, value)))]


# ---- the runner --------------------------------------------------------------------

def outcome(func, *args, timeout=60):
    """Run func(*args) in a forked child and return "ok" or the name of the
    exception it raised.  A child that dies (signal, abort, hang) fails the
    calling test with what it printed to stderr."""
    result, death = run_child(func, *args, timeout=timeout)
    if death:
        pytest.fail(death, pytrace=False)
    return result


def run_child(func, *args, timeout=60):
    """(result, None) as outcome() gives it, or (None, how the child died)."""
    read_end, write_end = os.pipe()
    with tempfile.TemporaryFile() as err:
        pid = os.fork()
        if pid == 0:  # the child: never returns into pytest
            status = 3
            try:
                os.close(read_end)
                os.dup2(err.fileno(), 2)
                import faulthandler
                faulthandler.enable(file=err)
                signal.alarm(timeout)
                try:
                    func(*args)
                    result = "ok"
                except BaseException as exc:  # noqa: B902 - the result is the exception's name
                    result = f"{type(exc).__name__}: {exc}"[:2000]
                gc.collect()  # corruption left behind tends to show here
                os.write(write_end, result.encode("utf-8", "backslashreplace"))
                status = 0
            finally:
                os._exit(status)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            result = pipe.read().decode()
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0 or not result:
            err.seek(0)
            lines = err.read().decode(errors="replace").splitlines()
            stderr = "\n".join(line for line in lines if "/_pytest/" not in line and "/pluggy/" not in line)[:6000]
            how = (f"killed by {signal.Signals(os.WTERMSIG(status)).name}" if os.WIFSIGNALED(status)
                   else f"exited with status {os.WEXITSTATUS(status)}")
            return None, f"the child process {how}\n--- its stderr ---\n{stderr}"
    return result, None


def expect(result, *allowed):
    """result (from outcome) is "ok" or an exception named in allowed."""
    name = result.split(":", 1)[0]
    assert name in allowed, f"got {result!r}, expected one of {allowed}"


def in_thread(stack_size, func, *args):
    """func(*args) in a thread with this stack size (None: the main thread);
    its exception is raised here."""
    if stack_size is None:
        return func(*args)
    failure = []

    def run():
        try:
            func(*args)
        except BaseException as exc:  # noqa: B902 - handed to the caller
            failure.append(exc)

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    if failure:
        raise failure[0]


# ---- structures ---------------------------------------------------------------------

def deep(wrap, leaf, depth=DEEP):
    """wrap(wrap(...wrap(leaf)...)), depth times, built without recursion."""
    for _ in range(depth):
        leaf = wrap(leaf)
    return leaf


def deep_dict(depth=DEEP, key="x", leaf=1):
    """{key: {key: ... leaf}} nested depth levels."""
    return deep(lambda inner: {key: inner}, leaf, depth)


class _Link:
    def __init__(self, inner):
        self.inner = inner


def interpreter_frees_deep_structures(stack_size):
    """Whether the interpreter alone survives making and freeing DEEP-deep
    dicts, lists, tuples and plain objects in a thread with this stack: 3.13.0
    does not on 256 KiB and 1 MiB (it frees a chain of plain objects
    recursively), and no package can help that."""
    def make_and_free():
        for wrap in (lambda inner: {"x": inner}, lambda inner: [inner], lambda inner: (inner,), _Link):
            deep(wrap, 1)
    return run_child(in_thread, stack_size, make_and_free)[0] == "ok"


def self_containing_dict():
    d = {"a": 1}
    d["me"] = d
    return d


# ---- Python code in the middle -----------------------------------------------------

_kept = []


def churn():
    """Allocate and keep objects of many sizes, so that memory freed a moment ago
    holds something else before anyone reads it again."""
    _kept.append([tuple(range(n)) for n in range(40) for _ in range(8)])
    _kept.append([type(f"C{n}", (), {}) for n in range(4)])
    _kept.append([lambda: None for _ in range(64)])


class Key:
    """Equal to `value` and hashing like it.  Its calls of __eq__ (and of __hash__
    when `on_hash`) are counted; the ones after the first `skip` run `action`
    first, `times` of them."""

    def __init__(self, value, action, skip=0, times=1, on_hash=False):
        self.value, self.action, self.skip, self.times, self.on_hash = value, action, skip, times, on_hash

    def _fire(self):
        if self.skip > 0:
            self.skip -= 1
        elif self.times > 0:
            self.times -= 1
            self.action()

    def __eq__(self, other):
        self._fire()
        return self.value == (other.value if isinstance(other, Key) else other)

    def __hash__(self):
        if self.on_hash:
            self._fire()
        return hash(self.value)

    def __repr__(self):
        return f"Key({self.value!r})"


def iterable(items, action):
    """An iterable of `items` whose iteration runs `action` before the first one."""
    def gen():
        action()
        yield from items
    return gen()


class _Finalizer:
    def __init__(self, action):
        self.action, self.me = action, self  # a cycle: only the collector frees it

    def __del__(self):
        action, self.action = self.action, None
        if action is not None:
            action()


def collection_points(setup, operation, action, points=80):
    """For each n in 1..points: state = setup(), then operation(state) with a
    collection due at about the n-th allocation of a tracked object, whose
    finalizer runs action(state).  The free lists of dicts, lists and small
    tuples are emptied first, so that those allocations count.  (From 3.12 on,
    a collection waits for the next bytecode boundary.)"""
    old = gc.get_threshold()
    try:
        gc.collect()
        for n in range(1, points + 1):
            state = setup()
            drained = ([{} for _ in range(100)], [[] for _ in range(100)],
                       [(i,) * size for size in range(1, 4) for i in range(2001)])
            gc.collect(0)  # the count starts from zero
            _Finalizer(lambda: action(state))
            gc.set_threshold(n)
            try:
                operation(state)
            finally:
                gc.set_threshold(*old)
            del drained
    finally:
        gc.set_threshold(*old)


def forwarding(base, *names):
    """A subclass of `base` whose methods `names` are Python functions that call
    base's: something a hostile action can delete while the package holds it."""
    namespace = {}
    for name in names:
        def method(self, *args, __name=name, **kwargs):
            return getattr(base, __name)(self, *args, **kwargs)
        method.__name__ = name
        namespace[name] = method
    return type(f"Forwarding{base.__name__}", (base,), namespace)


def self_deleting(base, *names):
    """A subclass of `base` whose methods `names` delete themselves from it while
    they run, then do what base's method does: the next call must not find
    them, nor anything that was kept of them."""
    namespace = {}
    for name in names:
        def method(self, *args, __name=name, **kwargs):
            delattr(cls, __name)
            churn()
            return getattr(base, __name)(self, *args, **kwargs)
        method.__name__ = name
        namespace[name] = method
    cls = type(f"SelfDeleting{base.__name__}", (base,), namespace)
    return cls


def delete_on_call(cls, name):
    """An action that deletes cls.name (a Python method) and churns the heap."""
    def action():
        if name in vars(cls):
            delattr(cls, name)
        churn()
    return action


def scan_lists():
    """Touch every list the collector knows: an empty slot must never be seen."""
    for obj in gc.get_objects():
        if type(obj) is list:
            for item in obj:
                type(item)


def scanning(func):
    """func, wrapped so that every call scans the collector's lists first."""
    def wrapper(*args, **kwargs):
        scan_lists()
        return func(*args, **kwargs)
    return wrapper

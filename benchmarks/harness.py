"""Timing helpers shared by the benchmark files.

Every figure is a ratio measured in one run: the time of the subject divided by
the time of each other contender, so a ratio below 1 means the subject is
faster.  Contenders whose library is not installed are reported as missing.
"""
import gc
import timeit


class Harness:
    def __init__(self, quick=False):
        self.quick = quick
        self.rows = []  # (group, operation, subject, other, ratio or None)

    def best(self, fn, number=None):
        """Best time of one call of ``fn`` in seconds."""
        timer = timeit.Timer(fn)
        if number is None:
            number, _ = timer.autorange()
            if self.quick:
                number = max(1, number // 5)
        repeat = 3 if self.quick else 7
        gc.collect()
        return min(timer.repeat(repeat=repeat, number=number)) / number

    def compare(self, group, operation, subject, others, number=None):
        """Time ``subject`` (label, fn) against each (label, fn or None) in ``others``.

        A contender given as None stands for a library that is not installed.
        """
        label, fn = subject
        mine = self.best(fn, number)
        for other_label, other_fn in others:
            ratio = None if other_fn is None else mine / self.best(other_fn, number)
            self.rows.append((group, operation, label, other_label, ratio))
        return mine


def optional(module_name):
    """Import a peer library, or return None when it is not installed."""
    try:
        return __import__(module_name, fromlist=["_"])
    except ImportError:
        return None

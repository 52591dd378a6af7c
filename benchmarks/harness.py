"""Timing helpers shared by the benchmark files.

Every figure is a ratio measured in one run: the time of the subject divided by
the time of each other contender, so a ratio below 1 means the subject is
faster.  Contenders whose library is not installed are reported as missing.
Each row is printed the moment it is measured.
"""
import gc
import sys
import timeit


class Harness:
    def __init__(self, quick=False, out=sys.stdout):
        self.quick = quick
        self.out = out
        self.rows = []  # (group, operation, subject, other, ratio or None)

    def size(self, full, quick):
        """A data size: the full one, or the smaller one of a quick run."""
        return quick if self.quick else full

    def best(self, fn, number=None):
        """Best time of one call of ``fn`` in seconds."""
        timer = timeit.Timer(fn)
        if number is None:
            number = self._calls_for(timer, 0.02 if self.quick else 0.2)
        repeat = 3 if self.quick else 7
        gc.collect()
        return min(timer.repeat(repeat=repeat, number=number)) / number

    @staticmethod
    def _calls_for(timer, seconds):
        """How many calls in a row take at least ``seconds`` (1, 2, 5, 10, 20, ...),
        as timeit's autorange finds them, for any target time."""
        scale = 1
        while True:
            for number in (scale, 2 * scale, 5 * scale):
                if timer.timeit(number) >= seconds:
                    return number
            scale *= 10

    def compare(self, group, operation, subject, others, number=None):
        """Time ``subject`` (label, fn) against each (label, fn or None) in ``others``.

        A contender given as None stands for a library that is not installed.
        """
        label, fn = subject
        mine = self.best(fn, number)
        for other_label, other_fn in others:
            ratio = None if other_fn is None else mine / self.best(other_fn, number)
            self.add(group, operation, label, other_label, ratio)
        return mine

    def add(self, group, operation, subject, other, ratio):
        """Record one measured row and print it at once."""
        if not self.rows or self.rows[-1][0] != group:
            print("\n== %s ==" % group, file=self.out)
        self.rows.append((group, operation, subject, other, ratio))
        print(format_row(operation, subject, other, ratio), file=self.out, flush=True)


def format_row(operation, subject, other, ratio):
    shown = "not installed" if ratio is None else "%10.3fx" % ratio
    return "  %-62s vs %-42s %s" % ("%s [%s]" % (operation, subject), other, shown)


def optional(module_name):
    """Import a peer library, or return None when it is not installed."""
    try:
        return __import__(module_name, fromlist=["_"])
    except ImportError:
        return None

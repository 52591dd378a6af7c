"""Instructions per operation of the package's side of the benchmark rows, counted by
callgrind: repeatable to the instruction, where time on a shared machine moves by up to
2x between runs.

    python benchmarks/instructions.py [--python PY ...] [--off] [--rows "NAME;..."]

For each row, a child interpreter under `valgrind --tool=callgrind` runs the setup and
then the operation `n` times, and once more with 0 times; the difference divided by `n`
is the operation's count.  --python names the interpreters to compare (for instance a
venv of an older build), --off adds a column with `-X tavox-shortcuts=off`, which says
what the shortcuts save on each row.
"""
import argparse
import os
import re
import subprocess
import sys

IMPORTS = """
from tavox.datastructures.dotbag import DotBag, NestedDotBag
from tavox.datastructures.configuration import Configuration
from tavox.datastructures.rankmap import RankMap
from tavox.datastructures.pathroll import PathRoll
from tavox.datastructures.fadeseq import FadeSeq
from tavox.datastructures.branchlet import Branchlet
from tavox.datastructures.factory import MetaClassFactory
import gc
gc.disable()
def tree(fanout, depth):
    return 1 if depth == 0 else {"k%d" % i: tree(fanout, depth - 1) for i in range(fanout)}
"""

# name: (setup, operation, n)
ROWS = {
    "DotBag attribute read": ("bag = DotBag({'k%d' % i: i for i in range(100)}, host='a')", "bag.host", 10000),
    "DotBag item read": ("bag = DotBag(host='a')", "bag['host']", 10000),
    "DotBag(100 keys)": ("data = {'k%d' % i: i for i in range(100)}", "DotBag(data)", 200),
    "nd['k1.k2.k3']": ("nd = NestedDotBag(k1={'k2': {'k3': 1}})", "nd['k1.k2.k3']", 10000),
    "'k1.k2.k3' in nd": ("nd = NestedDotBag(k1={'k2': {'k3': 1}})", "'k1.k2.k3' in nd", 10000),
    "nd['k1.k2.k3'] = 5": ("nd = NestedDotBag(k1={'k2': {'k3': 1}})", "nd['k1.k2.k3'] = 5", 10000),
    "NestedDotBag(10k leaves)": ("data = tree(10, 4)", "NestedDotBag(data)", 2),
    "cfg['a.b.c']": ("cfg = Configuration(a={'b': {'c': '1'}})", "cfg['a.b.c']", 10000),
    "Configuration.copy()": ("cfg = Configuration(tree(10, 3))", "cfg.copy()", 3),
    "RankMap build (1,000)": ("pairs = [('k%d' % i, i) for i in range(1000)]", "RankMap(pairs)", 2),
    "RankMap items() (1,000)": ("rm = RankMap(('k%d' % i, i) for i in range(1000))", "rm.items()", 20),
    "RankMap m[key]": ("rm = RankMap(a=1)", "rm['a']", 10000),
    "RankMap.move": ("rm = RankMap(('k%d' % i, i) for i in range(100))", "rm.move('k99', 0); rm.move('k0', 99)", 200),
    "PathRoll(d), 10k leaves": ("data = tree(10, 4)", "PathRoll(data)", 2),
    "PathRoll(d), lists": ("data = {'k%d' % i: [{'a': j} for j in range(10)] for i in range(100)}", "PathRoll(data)", 5),
    "reconstruct(), 10k leaves": ("roll = PathRoll(tree(10, 4))", "roll.reconstruct()", 2),
    "FadeSeq append+iterate": ("class T: pass\nts = [T() for i in range(100)]", "f = FadeSeq(ts); list(f)", 50),
    "str(Branchlet), 1,000 nodes": (
        "root = Branchlet('r', [Branchlet('n%d' % i, [Branchlet('l%d' % j) for j in range(9)]) for i in range(100)])",
        "str(root)", 5),
    "Base(**{'class': Sub})": (
        "class Base(metaclass=MetaClassFactory):\n    pass\nclass Sub(Base):\n    pass\nkw = {'class': Sub}",
        "Base(**kw)", 10000),
}


def count(python, setup, operation, n, flags=(), repeat=3):
    # Only the modules the row uses: another one's import may do more or less work from
    # one start to the next (configuration's imports), which the subtraction would keep.
    imports = "".join(line + "\n" for line in IMPORTS.splitlines()
                      if not line.startswith("from ")
                      or any(name.strip() in setup + operation for name in line.split(" import ")[1].split(",")))
    body = imports + setup + "\nfor _ in range(%d):\n    %s\n" % (n, operation.replace("; ", "\n    "))
    counts = []
    # A fixed hash seed: the same dictionary layouts, so the same work, in every run.  The
    # fewest of three runs: now and then a start of the interpreter does more (threads
    # waiting for the GIL under valgrind).
    for _ in range(repeat):
        done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", python, *flags, "-c",
                               body], capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode != 0:
            raise SystemExit("instructions: %s failed:\n%s" % (operation, done.stderr[-2000:]))
        counts.append(int(re.search(r"Collected : (\d+)", done.stderr).group(1)))
    return min(counts)


def per_operation(python, row, flags=(), repeat=3):
    setup, operation, n = ROWS[row]
    return (count(python, setup, operation, n, flags, repeat) - count(python, setup, operation, 0, flags, repeat)) / n


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", action="append", default=[])
    parser.add_argument("--off", action="store_true")
    parser.add_argument("--rows", help="row names, separated by ;")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each count, the fewest taken")
    args = parser.parse_args()
    pythons = args.python or [sys.executable]
    rows = args.rows.split(";") if args.rows else list(ROWS)
    columns = [(python, ()) for python in pythons] + ([(pythons[-1], ("-X", "tavox-shortcuts=off"))] if args.off else [])
    print("| row | " + " | ".join("%s%s" % (p, " off" if f else "") for p, f in columns) + " | ratios |")
    for row in rows:
        counts = [per_operation(p, row, f, args.repeat) for p, f in columns]
        ratios = ["%.2fx" % (c / counts[0]) for c in counts[1:]]
        print("| %s | %s | %s |" % (row, " | ".join("{:,.0f}".format(c) for c in counts), " ".join(ratios)), flush=True)


if __name__ == "__main__":
    main()

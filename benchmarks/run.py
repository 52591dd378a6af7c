"""Run every benchmark file (bench_*.py) and print the ratios.

    python benchmarks/run.py            all groups
    python benchmarks/run.py dotbag     only the groups whose file name matches
    python benchmarks/run.py --quick    fewer repetitions

A ratio is (time of the tavox operation) / (time of the other one): 0.25 means
four times faster, 2.0 twice as slow.
"""
import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Harness  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("only", nargs="*", help="run only bench files whose name contains one of these words")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (for a smoke run)")
    args = parser.parse_args(argv)

    harness = Harness(quick=args.quick)
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and not any(word in path.stem for word in args.only):
            continue
        module = importlib.import_module(path.stem)
        module.run(harness)

    width = max((len(f"{op} [{subj}]") for _, op, subj, _, _ in harness.rows), default=20)
    group = None
    for grp, op, subj, other, ratio in harness.rows:
        if grp != group:
            print(f"\n== {grp} ==")
            group = grp
        shown = "not installed" if ratio is None else f"{ratio:8.3f}x"
        print(f"  {op + ' [' + subj + ']':<{width}}  vs {other:<40} {shown}")
    return harness.rows


if __name__ == "__main__":
    main()

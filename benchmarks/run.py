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
    parser.add_argument("--markdown", metavar="FILE", help="also write the ratios as a Markdown table")
    parser.add_argument("--chart", metavar="PNG", help="also draw the ratios as a chart (needs matplotlib)")
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
    if args.markdown:
        write_markdown(harness.rows, args.markdown)
    if args.chart:
        draw_chart(harness.rows, args.chart)
    return harness.rows


def write_markdown(rows, path):
    lines = ["| group | operation | compared with | ratio |", "|---|---|---|---:|"]
    for group, op, subject, other, ratio in rows:
        if ratio is not None:
            lines.append(f"| {group} | {op} ({subject}) | {other} | {ratio:.3g} |")
    pathlib.Path(path).write_text("\n".join(lines) + "\n")


def draw_chart(rows, path):
    """One horizontal bar per comparison: how many times faster tavox is (log scale)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [(f"{op}  vs  {other}", 1.0 / ratio, group) for group, op, _, other, ratio in rows if ratio]
    groups = sorted({g for _, _, g in shown}, key=[g for _, _, g in shown].index)
    colours = plt.cm.tab10.colors
    fig, ax = plt.subplots(figsize=(11, 0.26 * len(shown) + 1.2))
    y = list(range(len(shown)))[::-1]
    ax.barh(y, [speed for _, speed, _ in shown],
            color=[colours[groups.index(g) % len(colours)] for _, _, g in shown])
    ax.set_yticks(y)
    ax.set_yticklabels([label for label, _, _ in shown], fontsize=7)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("times faster than the other (log scale; left of the line: slower)")
    ax.set_title("tavox-datastructures against built-ins and peer libraries")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[i % len(colours)]) for i in range(len(groups))]
    ax.legend(handles, groups, fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()

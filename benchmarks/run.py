"""Run every benchmark file (bench_*.py) and print the ratios, each row as it is measured.

    python benchmarks/run.py                  all groups (about ten minutes)
    python benchmarks/run.py dotbag           only the groups whose file name matches
    python benchmarks/run.py --quick          smaller data and shorter timings: under a minute
    python benchmarks/run.py --save results.json --markdown table.md --chart chart.png
    python benchmarks/run.py --load results.json --markdown table.md --chart chart.png
                                              the table and the chart again from saved results

A ratio is (time of the tavox operation) / (time of the other one): 0.25 means
four times faster, 2.0 twice as slow.  The chart shows the same ratios.
"""
import argparse
import datetime
import importlib
import json
import pathlib
import platform
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import Harness  # noqa: E402

FIELDS = ("group", "operation", "subject", "other", "ratio")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("only", nargs="*", help="run only bench files whose name contains one of these words "
                                                "(with --load: show only groups whose name contains one)")
    parser.add_argument("--quick", action="store_true", help="smaller data and shorter timings (a smoke run)")
    parser.add_argument("--save", metavar="JSON", help="save the measured rows, with the interpreter and machine")
    parser.add_argument("--load", metavar="JSON", help="measure nothing: take the rows from a file --save wrote")
    parser.add_argument("--markdown", metavar="FILE", help="also write the ratios as a Markdown table")
    parser.add_argument("--chart", metavar="PNG", help="also draw the ratios as a chart (needs matplotlib)")
    args = parser.parse_args(argv)
    if args.load and (args.save or args.quick):
        parser.error("--load measures nothing: it goes with neither --save nor --quick")

    if args.load:
        results = json.loads(pathlib.Path(args.load).read_text())
        harness = Harness()
        for row in results["rows"]:
            if not args.only or any(word in row["group"] for word in args.only):
                harness.add(*(row[field] for field in FIELDS))
        results["rows"] = [dict(zip(FIELDS, row)) for row in harness.rows]
    else:
        started = time.perf_counter()
        harness = Harness(quick=args.quick)
        for path in sorted(HERE.glob("bench_*.py")):
            if args.only and not any(word in path.stem for word in args.only):
                continue
            importlib.import_module(path.stem).run(harness)
        print("\n%d rows in %.0f s" % (len(harness.rows), time.perf_counter() - started))
        results = describe_run(harness)
        if args.save:
            pathlib.Path(args.save).write_text(json.dumps(results, indent=1) + "\n")

    if args.markdown:
        write_markdown(results["rows"], args.markdown)
    if args.chart:
        draw_chart(results, args.chart)
    return results


def describe_run(harness):
    """The measured rows with what they were measured on, as --save writes them."""
    return {
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "platform": platform.platform(),
        "machine": "%s, %s cores" % (platform.machine(), _cores()),
        "date": datetime.date.today().isoformat(),
        "quick": harness.quick,
        "rows": [dict(zip(FIELDS, row)) for row in harness.rows],
    }


def _cores():
    import os

    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def write_markdown(rows, path):
    lines = ["| group | operation | compared with | ratio |", "|---|---|---|---:|"]
    for row in rows:
        if row["ratio"] is not None:
            lines.append("| {group} | {operation} ({subject}) | {other} | {ratio:.3g} |".format(**row))
    pathlib.Path(path).write_text("\n".join(lines) + "\n")


def draw_chart(results, path):
    """One horizontal bar per comparison, from the 1x line to the ratio (log scale):
    to the left, tavox takes less time than the other; to the right, more.  The
    groups are headed in bold where their bars begin."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator

    labels, ratios, headings, group = [], [], [], None
    for row in results["rows"]:
        if row["ratio"] is None:
            continue
        if row["group"] != group:
            group = row["group"]
            headings.append(len(labels))
            labels.append(group)
            ratios.append(None)
        labels.append("%s  vs  %s" % (row["operation"], row["other"]))
        ratios.append(row["ratio"])

    faster, slower = "#2a9d5c", "#d1495b"
    y = list(range(len(labels)))[::-1]
    fig, ax = plt.subplots(figsize=(9, 0.32 * len(labels) + 1.2))
    for pos, ratio in zip(y, ratios):
        if ratio is None:
            continue
        ax.barh(pos, ratio - 1, left=1, height=0.7, color=faster if ratio < 1 else slower)
        ax.annotate(_times(ratio), (ratio, pos), xytext=(-4 if ratio < 1 else 4, 0), textcoords="offset points",
                    ha="right" if ratio < 1 else "left", va="center", fontsize=10)
    ax.set_xscale("log")
    known = [r for r in ratios if r is not None]
    ax.set_xlim(min(known + [1]) / 10, max(known + [1]) * 10)  # room for the figures at the bar ends
    ax.set_ylim(-0.7, len(labels) - 0.3)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.xaxis.set_major_locator(LogLocator(base=10, numticks=20))  # every power of ten
    ax.xaxis.set_major_formatter(FuncFormatter(lambda value, _: "%.0fx" % value if value >= 1 else "%gx" % value))
    ax.tick_params(axis="x", labelsize=11, labeltop=True, top=True)
    ax.grid(axis="x", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    ax.set_yticks(y)
    ax.set_yticklabels(labels, fontsize=11.5)
    ax.tick_params(axis="y", length=0)
    for index in headings:
        ax.get_yticklabels()[index].set_fontweight("bold")
    ax.set_xlabel("time of tavox / time of the other (log scale; below 1x tavox is faster)", fontsize=12)
    run = "%s, %s%s" % (results["python"], results["machine"], ", QUICK RUN" if results["quick"] else "")
    ax.set_title("tavox-datastructures against built-ins and peer libraries\n(%s)" % run, fontsize=14, pad=12)
    handles = [plt.Rectangle((0, 0), 1, 1, color=faster), plt.Rectangle((0, 0), 1, 1, color=slower)]
    # Upper right, beside the first bars: the groups at the top have no bar far above 1x.
    ax.legend(handles, ["tavox faster (ratio below 1x)", "tavox slower (ratio above 1x)"],
              loc="upper right", fontsize=11, framealpha=1)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def _times(ratio):
    """Two significant digits: 0.0458 -> '0.046x', 0.998 -> '1.0x', 16.3 -> '16x', 15200 -> '15,200x'."""
    if ratio >= 100:
        return "{:,.0f}x".format(ratio)
    return "{:#.2g}".format(ratio).rstrip(".") + "x"


if __name__ == "__main__":
    main()

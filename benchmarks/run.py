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


# The peer libraries, by the first word of a row's "compared with" ("OmegaConf.create",
# "weakreflist.WeakList", "python-box box_dots").  Every other row compares with the
# standard library or plain Python: the built-in floor.
PEERS = ("addict", "munch", "python-box", "python-benedict", "omegaconf", "dynaconf",
         "flatten-dict", "weakreflist", "anytree", "treelib")


def peer_of(other):
    word = other.split()[0].split(".")[0].lower()
    return word if word in PEERS else None


def summarize(rows):
    """Per module: the geometric mean, over the module's operations, of the time of
    the best peer library and of the built-in floor, each relative to tavox's time
    (tavox = 1).  The best peer is the library with the lowest such mean over the
    operations it was measured in; the floor takes, in each operation, the fastest
    built-in way.  Returns [(module, peer name or None, peer mean, peer operation
    count, floor mean, floor operation count)] in the order of the rows."""
    modules = {}
    for row in rows:
        if row["ratio"] is None:
            continue
        module = row["group"].split(":")[0].split(" (")[0]
        operation = (row["group"], row["operation"])
        relative = 1 / row["ratio"]  # the other's time, tavox's being 1
        peers, floor = modules.setdefault(module, ({}, {}))
        peer = peer_of(row["other"])
        if peer:
            peers.setdefault(peer, {})[operation] = min(relative, peers.get(peer, {}).get(operation, relative))
        else:
            floor[operation] = min(relative, floor.get(operation, relative))
    summary = []
    for module, (peers, floor) in modules.items():
        means = {peer: (_geomean(ops.values()), len(ops)) for peer, ops in peers.items()}
        best = min(means, key=lambda peer: means[peer][0]) if means else None
        summary.append((module, best, *(means[best] if best else (None, 0)),
                        _geomean(floor.values()) if floor else None, len(floor)))
    return summary


def _geomean(values):
    import math

    values = list(values)
    return math.exp(sum(math.log(v) for v in values) / len(values))


def draw_chart(results, path):
    """One group of bars per module: tavox (1x), the best peer library and the built-in
    floor, each the time of the same work relative to tavox's (log scale), as the
    geometric mean over the module's operations.  The table has every ratio."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator

    summary = summarize(results["rows"])
    colors = {"tavox": "#2a6f97", "peer": "#d1495b", "floor": "#8d99ae"}
    height = 0.26
    fig, ax = plt.subplots(figsize=(9, 1.05 * len(summary) + 1.6))
    values = [v for _, _, peer, _, floor, _ in summary for v in (peer, floor) if v]
    low, high = min(values + [1]) / 8, max(values + [1]) * 12  # room for the labels
    ticks, names = [], []
    for index, (module, peer, peer_time, peer_ops, floor_time, floor_ops) in enumerate(summary):
        centre = len(summary) - 1 - index
        bars = [("tavox", 1.0, "tavox  1x"),
                ("peer", peer_time, "%s  %s (%d op%s)" % (peer, _times(peer_time), peer_ops, "s"[peer_ops == 1:])
                 if peer else "no peer library measured"),
                ("floor", floor_time, "built-in  %s (%d op%s)" % (_times(floor_time), floor_ops, "s"[floor_ops == 1:])
                 if floor_time else "no built-in measured")]
        for slot, (kind, value, label) in enumerate(bars):
            pos = centre + (1 - slot) * height
            if value:
                ax.barh(pos, value - low, left=low, height=height * 0.9, color=colors[kind])
            ax.annotate(label, (value or low, pos), xytext=(4, 0), textcoords="offset points",
                        va="center", fontsize=10, color="#555555" if not value else "black")
        ticks.append(centre)
        names.append(module)
    ax.set_xscale("log")
    ax.set_xlim(low, high)
    ax.set_ylim(-0.6, len(summary) - 0.4)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.xaxis.set_major_locator(LogLocator(base=10, numticks=20))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda value, _: "%.0fx" % value if value >= 1 else "%gx" % value))
    ax.tick_params(axis="x", labelsize=11, labeltop=True, top=True)
    ax.grid(axis="x", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    ax.set_yticks(ticks)
    ax.set_yticklabels(names, fontsize=12.5, fontweight="bold")
    ax.tick_params(axis="y", length=0)
    ax.set_xlabel("time of the same work, tavox = 1x (log scale; geometric mean over the module's operations)",
                  fontsize=11)
    run = "%s, %s%s" % (results["python"], results["machine"], ", QUICK RUN" if results["quick"] else "")
    ax.set_title("tavox-datastructures, its best peer library and the built-in floor\n(%s)" % run,
                 fontsize=14, pad=12)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colors[kind]) for kind in ("tavox", "peer", "floor")]
    ax.legend(handles, ["tavox", "best peer library (shortest time)", "built-in floor (fastest plain way)"],
              loc="upper center", bbox_to_anchor=(0.5, -0.09), ncol=3, fontsize=10.5, frameon=False)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def _times(ratio):
    """Two significant digits: 0.0458 -> '0.046x', 0.998 -> '1.0x', 16.3 -> '16x', 15200 -> '15,200x'."""
    if ratio >= 100:
        return "{:,.0f}x".format(ratio)
    return "{:#.2g}".format(ratio).rstrip(".") + "x"


if __name__ == "__main__":
    main()

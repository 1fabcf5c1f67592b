#!/usr/bin/env python3
"""Summary of one benchmark run: the medians of the repetitions, the ratios of
each monitor against the port monitor called directly in the same run, and a
plot of write throughput and ratio against buffer size.

    report.py RESULTS_FOLDER [--plot PREFIX]

RESULTS_FOLDER holds path.json, reader.json, scale.json and platform.json as Google Benchmark
writes them (--benchmark_out_format=json, aggregates), or path-1.json, path-2.json, ... one
run each (scripts/bench). Prints Markdown. --plot writes PREFIX.png and PREFIX.svg
(matplotlib, Debian python3-matplotlib). Repetitions that failed, and files that a run
which did not finish left unreadable, are listed at the end, from what did run, and make
the exit status 3.
"""
import argparse
import glob
import json
import os
import re
import statistics
import sys

WRITE_PATHS = [
    ("direct", "port monitor called directly"),
    ("quennet_plain", "Quennet, plain job"),
    ("quennet_tkl", "Quennet, job-language job (status thread running)"),
    ("brantic", "Brantic, port-monitor path"),
]
JOB_CASES = [
    ("job/direct", "port monitor alone"),
    ("job/quennet_plain/no_agent", "Quennet, plain, agent absent"),
    ("job/quennet_plain/agent", "Quennet, plain printer, agent present"),
    ("job/quennet_tkl/agent", "Quennet, job-language printer, agent present"),
    ("job/brantic/no_agent", "Brantic, agent absent"),
    ("job/brantic/agent", "Brantic, agent present"),
]
# The port monitors the write path is measured over: the benchmark name's
# first part, and what it does with the bytes.
BELOW = [
    ("write", "in memory (a copy)"),
    ("write_null", "write(2) to /dev/null"),
    ("write_pipe", "write(2) to a drained pipe"),
]
# The goals: ratio at 4 KiB and at 64 KiB.
GOALS = ((4096, 0.9), (65536, 0.99))
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
# Result files left unreadable by a run that did not finish (load).
UNREADABLE = []


def load(folder, name):
    """The runs of one program, merged: NAME.json, or the files NAME-1.json,
    NAME-2.json, ... that scripts/bench writes, one per repetition (the first
    file's context, every file's benchmarks). A file that a run which did not
    finish left unreadable is named in UNREADABLE and left out."""
    stem = name[:-len(".json")]
    files = sorted(glob.glob(os.path.join(folder, stem + "-*.json")),
                   key=lambda f: int(re.sub(r"\D", "", os.path.basename(f)) or 0))
    merged = None
    for path in files or [os.path.join(folder, name)]:
        # A program whose benchmarks FILTER left out writes an empty file.
        if not os.path.exists(path) or os.path.getsize(path) == 0:
            continue
        try:
            with open(path) as f:
                data = json.load(f)
        except ValueError:
            UNREADABLE.append(os.path.basename(path))
            continue
        if merged is None:
            merged = {"context": data.get("context", {}), "benchmarks": []}
        merged["benchmarks"] += data.get("benchmarks", [])
    return merged


def run_name(entry):
    """The benchmark's name without the suffixes Google Benchmark adds."""
    name = entry["run_name"]
    for suffix in ("/process_time", "/real_time", "/iterations:1"):
        name = name.replace(suffix, "")
    return name


def aggregates(data, which="median"):
    """run name -> aggregate entry: Google Benchmark's own, or else computed
    here from the repetitions' runs (one file each) that did not fail: the
    median of each figure, or its coefficient of variation ("cv", from two
    runs on). A single run stands for its own median."""
    out = {}
    if data is None:
        return out
    entries = data.get("benchmarks", [])
    runs = {}
    for entry in entries:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == which:
            out[run_name(entry)] = entry
        elif entry.get("run_type") == "iteration" and not entry.get("error_occurred"):
            runs.setdefault(run_name(entry), []).append(entry)
    for name, group in runs.items():
        if name in out or (which == "cv" and len(group) < 2):
            continue
        entry = dict(group[0])
        for field, value in group[0].items():
            if not isinstance(value, (int, float)) or isinstance(value, bool):
                continue
            values = [g[field] for g in group if isinstance(g.get(field), (int, float))]
            if which == "median":
                entry[field] = statistics.median(values)
            else:
                mean = statistics.mean(values)
                entry[field] = statistics.stdev(values) / mean if mean else 0.0
        out[name] = entry
    return out


def failures(data):
    """"name: error (in N of M runs)" for each benchmark of which a
    repetition reported an error."""
    if data is None:
        return []
    runs, failed = {}, {}
    for e in data.get("benchmarks", []):
        if e.get("run_type") == "iteration":
            runs[run_name(e)] = runs.get(run_name(e), 0) + 1
            if e.get("error_occurred"):
                key = (run_name(e), e.get("error_message", "?"))
                failed[key] = failed.get(key, 0) + 1
    return ["%s: %s (in %d of %d runs)" % (name, error, n, runs[name])
            for (name, error), n in sorted(failed.items())]


def ns(entry, field="real_time"):
    return entry[field] * UNIT_NS[entry.get("time_unit", "ns")]


def cv_percent(cvs, name, field="real_time"):
    entry = cvs.get(name)
    if entry is None or field not in entry:
        return ""
    return "%.0f%%" % (entry[field] * 100)


def human_rate(value, unit):
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= factor:
            return "%.2f %s%s" % (value / factor, prefix, unit)
    return "%.0f %s" % (value, unit)


def human_time(value_ns):
    if value_ns >= 1e6:
        return "%.2f ms" % (value_ns / 1e6)
    if value_ns >= 1e3:
        return "%.2f µs" % (value_ns / 1e3)
    return "%.1f ns" % value_ns


def write_section(path_med, path_cv, below="write", title="in memory (a copy)"):
    sizes = sorted({int(n.rsplit("/", 1)[1]) for n in path_med if n.startswith(below + "/")})
    lines = ["## Data path: WritePort over a port monitor %s" % title, ""]
    lines.append("Median bytes per second (thread CPU time) of %s; ratio = monitor / direct, "
                 "same run." % ", ".join("%d B" % s for s in sizes))
    lines.append("")
    lines.append("| path | " + " | ".join("%d B" % s for s in sizes) + " |")
    lines.append("|---|" + "---|" * len(sizes))
    ratios = {}
    for key, label in WRITE_PATHS:
        cells = []
        for size in sizes:
            entry = path_med.get("%s/%s/%d" % (below, key, size))
            direct = path_med.get("%s/direct/%d" % (below, size))
            if entry is None or "bytes_per_second" not in entry:
                cells.append("—")
                continue
            rate = entry["bytes_per_second"]
            cell = "%s/s (%s/call, cv %s)" % (
                human_rate(rate, "B").replace(" ", " "), human_time(ns(entry, "cpu_time")),
                cv_percent(path_cv, "%s/%s/%d" % (below, key, size), "cpu_time"))
            if key != "direct" and direct is not None:
                ratio = rate / direct["bytes_per_second"]
                ratios[(key, size)] = ratio
                cell += " **%.3f**" % ratio
            cells.append(cell)
        lines.append("| %s | %s |" % (label, " | ".join(cells)))
    lines.append("")
    # The monitors never touch the data: what they add is a cost per call,
    # best seen at the smallest buffer. At 64 KiB it is far below the run's
    # noise, so the ratio it implies is given beside the measured one.
    smallest, goals = sizes[0] if sizes else 0, [s for s in (4096, 65536) if s in sizes]
    if smallest and goals:
        lines.append("Cost per call (CPU time at %d B minus the direct call's) and the ratio it "
                     "implies for larger buffers:" % smallest)
        lines.append("")
        lines.append("| path | added per call | " +
                     " | ".join("implied at %d B" % g for g in goals) + " |")
        lines.append("|---|---|" + "---|" * len(goals))
        base = path_med.get("%s/direct/%d" % (below, smallest))
        for key, label in WRITE_PATHS[1:]:
            entry = path_med.get("%s/%s/%d" % (below, key, smallest))
            if entry is None or base is None:
                continue
            added = ns(entry, "cpu_time") - ns(base, "cpu_time")
            cells = []
            for g in goals:
                direct = path_med.get("%s/direct/%d" % (below, g))
                cells.append("%.3f" % (ns(direct, "cpu_time") / (ns(direct, "cpu_time") + added))
                             if direct is not None else "—")
            lines.append("| %s | %.1f ns | %s |" % (label, added, " | ".join(cells)))
        lines.append("")
    return lines, sizes, ratios


def ratio_overview(path_med):
    """Each monitor's ratio to the direct call over every port monitor below."""
    sizes = [s for s in (64, 4096, 65536)
             if any(n.endswith("/%d" % s) for n in path_med if n.startswith("write"))]
    if not sizes:
        return []
    lines = ["## Write-path ratios over every port monitor", ""]
    lines.append("Ratio = monitor / port monitor called directly, bytes per second (thread CPU "
                 "time), same run.")
    lines.append("")
    lines.append("| port monitor | path | " + " | ".join(size_label(s) for s in sizes) + " |")
    lines.append("|---|---|" + "---|" * len(sizes))
    for below, title in BELOW:
        for key, label in WRITE_PATHS[1:]:
            cells = []
            for size in sizes:
                entry = path_med.get("%s/%s/%d" % (below, key, size))
                direct = path_med.get("%s/direct/%d" % (below, size))
                if entry is None or direct is None or "bytes_per_second" not in entry:
                    cells.append("—")
                    continue
                cells.append("%.3f" % (entry["bytes_per_second"] / direct["bytes_per_second"]))
            if any(cell != "—" for cell in cells):
                lines.append("| %s | %s | %s |" % (title, label, " | ".join(cells)))
    lines.append("")
    return lines


def job_section(path_med, path_cv):
    lines = ["## Whole jobs: StartDocPort, one 4 KiB write, EndDocPort", ""]
    lines.append("| case | jobs/s | real time per job | process CPU per job | cv | "
                 "direct / this |")
    lines.append("|---|---|---|---|---|---|")
    direct = path_med.get("job/direct")
    for key, label in JOB_CASES:
        entry = path_med.get(key)
        if entry is None:
            lines.append("| %s | — | | | | |" % label)
            continue
        rate = entry.get("items_per_second", 0)
        ratio = ""
        if direct is not None and key != "job/direct":
            ratio = "%.3f" % (ns(direct) / ns(entry))
        lines.append("| %s | %s | %s | %s | %s | %s |" % (
            label, human_rate(rate, ""), human_time(ns(entry)), human_time(ns(entry, "cpu_time")),
            cv_percent(path_cv, key), ratio))
    lines.append("")
    return lines


def reader_section(reader_med, reader_cv):
    lines = ["## Response reader", ""]
    load_free = reader_med.get("parser/load_free")
    lines.append("| case | responses/s | time per response | load+free share |")
    lines.append("|---|---|---|---|")
    for key in sorted(n for n in reader_med if n.startswith("reader/")):
        entry = reader_med[key]
        per = entry.get("responses_per_cycle", 1)
        per_response = ns(entry, "cpu_time") / per
        share = ""
        if load_free is not None and "loaded_per_call" in key:
            share = "%.0f%%" % (100 * ns(load_free, "cpu_time") / per_response)
        lines.append("| %s (%d per cycle) | %s | %s | %s |" % (
            key.rsplit("/", 1)[0], per, human_rate(entry.get("items_per_second", 0), ""),
            human_time(per_response), share))
    if load_free is not None:
        lines.append("| LoadLibraryW + GetProcAddress + FreeLibrary of VEROVIRI.DLL alone | | "
                     "%s | |" % human_time(ns(load_free, "cpu_time")))
    lines.append("")
    return lines


def scale_section(scale_med):
    lines = ["## Scale: open ports with a status thread", ""]
    lines.append("| ports | resident KiB per port | threads per port | idle CPU per port per "
                 "minute of monitor time |")
    lines.append("|---|---|---|---|")
    rows = sorted(scale_med.values(), key=lambda e: e.get("ports", 0))
    for entry in rows:
        lines.append("| %d | %.1f | %.2f | %.1f µs |" % (
            entry.get("ports", 0), entry.get("rss_kib_per_port", 0),
            entry.get("threads_per_port", 0), entry.get("idle_cpu_us_per_port_minute", 0)))
    lines.append("")
    return lines


def size_label(size):
    return "%d B" % size if size < 1024 else "%d KiB" % (size // 1024)


def platform_section(platform_med, platform_cv):
    lines = ["## Platform primitives (one thread)", ""]
    lines.append("| primitive | time per call (thread CPU) | cv |")
    lines.append("|---|---|---|")
    for key in sorted(platform_med):
        entry = platform_med[key]
        lines.append("| %s | %s | %s |" % (key.split("/", 1)[1], human_time(ns(entry, "cpu_time")),
                                            cv_percent(platform_cv, key, "cpu_time")))
    lines.append("")
    return lines


def series(path_med, below, key, sizes):
    """(size, bytes per second) of one path over one port monitor."""
    points = []
    for size in sizes:
        entry = path_med.get("%s/%s/%d" % (below, key, size))
        if entry is not None and "bytes_per_second" in entry:
            points.append((size, entry["bytes_per_second"]))
    return points


def plot(path_med, out):
    """One column per port monitor below: throughput against buffer size
    (log-log) on top, each monitor's ratio to the port monitor called
    directly below it, with the goals. Writes OUT.png and OUT.svg."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    columns = []
    for below, title in BELOW:
        sizes = sorted({int(n.rsplit("/", 1)[1]) for n in path_med if n.startswith(below + "/")})
        if series(path_med, below, "direct", sizes):
            columns.append((below, title, sizes))
    if not columns:
        return
    colours = {"direct": "#222222", "quennet_plain": "#1f77b4", "quennet_tkl": "#d62728",
               "brantic": "#2ca02c"}
    plt.rcParams["svg.hashsalt"] = "quennet-bench"  # the same data gives the same file
    # Never narrower than the title and the legend need, however few columns.
    figure, axes = plt.subplots(2, len(columns), figsize=(max(4.6 * len(columns), 9.2), 8.2),
                                sharex=True, squeeze=False)
    figure.suptitle("WritePort against buffer size (medians): throughput,\n"
                    "and ratio monitor / port monitor called directly (same run)")
    for column, (below, title, sizes) in enumerate(columns):
        top, bottom = axes[0][column], axes[1][column]
        top.set_title("port monitor: " + title, fontsize=10)
        direct = dict(series(path_med, below, "direct", sizes))
        highest = 1.0
        for key, label in WRITE_PATHS:
            points = series(path_med, below, key, sizes)
            if not points:
                continue
            xs, ys = zip(*points)
            style = "--" if key == "direct" else "-"
            top.plot(xs, ys, style, marker="o", markersize=4, color=colours[key])
            if key != "direct":
                ratios = [(x, y / direct[x]) for x, y in points if x in direct]
                if ratios:
                    rx, ry = zip(*ratios)
                    highest = max(highest, max(ry))
                    bottom.plot(rx, ry, "-", marker="o", markersize=4, color=colours[key])
        for size, goal in GOALS:
            if size in sizes:
                bottom.hlines(goal, size / 1.6, size * 1.6, colors="#ff7f0e", linewidth=3)
                bottom.annotate("goal %g" % goal, (size, goal), xytext=(0, -14),
                                textcoords="offset points", ha="center", color="#ff7f0e",
                                fontsize=9)
        top.set_xscale("log", base=2)
        top.set_yscale("log")
        top.grid(True, which="major", color="#dddddd")
        bottom.set_ylim(0, max(1.1, min(highest * 1.05, 2.0)))
        bottom.grid(True, color="#dddddd")
        bottom.set_xticks(sizes)
        bottom.set_xticklabels([size_label(s) for s in sizes], rotation=30)
        bottom.set_xlabel("buffer size (log scale)")
        if column == 0:
            top.set_ylabel("bytes per second (thread CPU time)")
            bottom.set_ylabel("ratio to the direct call")
    handles = [Line2D([], [], color=colours[key], linestyle="--" if key == "direct" else "-",
                      marker="o", markersize=4, label=label.split(" (")[0])
               for key, label in WRITE_PATHS]
    handles.append(Line2D([], [], color="#ff7f0e", linewidth=3,
                          label="goals: 0.9 at 4 KiB, 0.99 at 64 KiB"))
    figure.legend(handles=handles, loc="lower center", ncol=3, frameon=False, fontsize=10)
    figure.tight_layout(rect=(0, 0.08, 1, 0.94))
    figure.savefig(out + ".png", dpi=110)
    figure.savefig(out + ".svg", metadata={"Date": None})
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--plot", metavar="PREFIX")
    args = parser.parse_args()

    path = load(args.folder, "path.json")
    reader = load(args.folder, "reader.json")
    scale = load(args.folder, "scale.json")
    platform = load(args.folder, "platform.json")
    lines = []
    if path is not None:
        context = path.get("context", {})
        lines.append("Run %s on %d CPUs at %.0f MHz, load average %s." % (
            context.get("date", "?"), context.get("num_cpus", 0), context.get("mhz_per_cpu", 0),
            ", ".join("%.2f" % v for v in context.get("load_avg", []))))
        lines.append("")
        med, cv = aggregates(path), aggregates(path, "cv")
        lines += ratio_overview(med)
        for below, title in BELOW:
            if any(name.startswith(below + "/") for name in med):
                lines += write_section(med, cv, below, title)[0]
        if any(name.startswith("job/") for name in med):
            lines += job_section(med, cv)
        if args.plot:
            plot(med, args.plot)
    if reader is not None:
        lines += reader_section(aggregates(reader), aggregates(reader, "cv"))
    if scale is not None:
        lines += scale_section(aggregates(scale))
    if platform is not None:
        lines += platform_section(aggregates(platform), aggregates(platform, "cv"))
    failed = [f for data in (path, reader, scale, platform) for f in failures(data)]
    if failed or UNREADABLE:
        lines += ["## Failed", "",
                  "Left out of the figures above (they are from what did run):", ""]
        lines += ["- " + f for f in failed]
        lines += ["- %s: unreadable (its run did not finish)" % f for f in UNREADABLE]
        lines.append("")
    sys.stdout.write("\n".join(lines) + "\n")
    return 3 if failed or UNREADABLE else 0


if __name__ == "__main__":
    sys.exit(main())

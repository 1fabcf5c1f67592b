#!/usr/bin/env python3
"""Summary of one benchmark run: the medians of the repetitions, the ratios of
each monitor against the port monitor called directly in the same run, and a
plot of write throughput against buffer size.

    report.py RESULTS_FOLDER [--svg FILE]

RESULTS_FOLDER holds path.json, reader.json, scale.json and platform.json as Google Benchmark
writes them (--benchmark_out_format=json, aggregates). Prints Markdown.
Standard library only.
"""
import argparse
import json
import math
import os
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
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def run_name(entry):
    """The benchmark's name without the suffixes Google Benchmark adds."""
    name = entry["run_name"]
    for suffix in ("/process_time", "/real_time", "/iterations:1"):
        name = name.replace(suffix, "")
    return name


def aggregates(data, which="median"):
    """run name -> aggregate entry; a run of one repetition (no aggregates)
    stands for its own median."""
    out = {}
    if data is None:
        return out
    entries = data.get("benchmarks", [])
    for entry in entries:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == which:
            out[run_name(entry)] = entry
    if which == "median":
        for entry in entries:
            if entry.get("run_type") == "iteration" and run_name(entry) not in out:
                out[run_name(entry)] = entry
    return out


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


def write_section(path_med, path_cv):
    sizes = sorted({int(n.rsplit("/", 1)[1]) for n in path_med if n.startswith("write/")})
    lines = ["## Data path: WritePort", ""]
    lines.append("Median bytes per second (thread CPU time) of %s; ratio = monitor / direct, "
                 "same run." % ", ".join("%d B" % s for s in sizes))
    lines.append("")
    lines.append("| path | " + " | ".join("%d B" % s for s in sizes) + " |")
    lines.append("|---|" + "---|" * len(sizes))
    ratios = {}
    for key, label in WRITE_PATHS:
        cells = []
        for size in sizes:
            entry = path_med.get("write/%s/%d" % (key, size))
            direct = path_med.get("write/direct/%d" % size)
            if entry is None or "bytes_per_second" not in entry:
                cells.append("—")
                continue
            rate = entry["bytes_per_second"]
            cell = "%s/s (%s/call, cv %s)" % (
                human_rate(rate, "B").replace(" ", " "), human_time(ns(entry, "cpu_time")),
                cv_percent(path_cv, "write/%s/%d" % (key, size), "cpu_time"))
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
        base = path_med.get("write/direct/%d" % smallest)
        for key, label in WRITE_PATHS[1:]:
            entry = path_med.get("write/%s/%d" % (key, smallest))
            if entry is None or base is None:
                continue
            added = ns(entry, "cpu_time") - ns(base, "cpu_time")
            cells = []
            for g in goals:
                direct = path_med.get("write/direct/%d" % g)
                cells.append("%.3f" % (ns(direct, "cpu_time") / (ns(direct, "cpu_time") + added))
                             if direct is not None else "—")
            lines.append("| %s | %.1f ns | %s |" % (label, added, " | ".join(cells)))
        lines.append("")
    return lines, sizes, ratios


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


def axis_rate(value):
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= factor:
            return "%g %sB/s" % (value / factor, prefix)
    return "%g B/s" % value


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


def svg_plot(path_med, sizes, out):
    """Two panels against buffer size (log scale): throughput (log scale) of
    every path, and each monitor's ratio to the port monitor called directly,
    with the goals at 4 KiB and 64 KiB."""
    colours = {"direct": "#222222", "quennet_plain": "#1f77b4", "quennet_tkl": "#d62728",
               "brantic": "#2ca02c"}
    series = []
    for key, label in WRITE_PATHS:
        points = []
        for size in sizes:
            entry = path_med.get("write/%s/%d" % (key, size))
            if entry is not None and "bytes_per_second" in entry:
                points.append((size, entry["bytes_per_second"]))
        if points:
            series.append((key, label, dict(points)))
    direct = next((pts for key, _, pts in series if key == "direct"), None)
    if not series or direct is None:
        return
    width, panel, gap = 760, 300, 70
    left, right, top = 90, 270, 40
    height = top + 2 * panel + gap + 50
    xs = [math.log2(s) for s in sizes]

    def px(size):
        span = (max(xs) - min(xs)) or 1
        return left + (math.log2(size) - min(xs)) / span * (width - left - right)

    values = [v for _, _, pts in series for v in pts.values()]
    ylo = math.floor(math.log10(min(values)))
    yhi = math.ceil(math.log10(max(values)))
    if yhi == ylo:
        yhi += 1
    top2 = top + panel + gap

    def py_rate(value):
        return top + (yhi - math.log10(value)) / (yhi - ylo) * panel

    def py_ratio(value):
        return top2 + (1.05 - value) / 1.05 * panel

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'font-family="sans-serif" font-size="12">' % (width, height),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="24" font-size="14">WritePort throughput against buffer size '
             '(median of the repetitions)</text>' % left,
             '<text x="%d" y="%d" font-size="14">Ratio monitor / port monitor called directly '
             '(same run)</text>' % (left, top2 - 16)]

    def frame(y0):
        for size in sizes:
            x = px(size)
            parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#dddddd"/>' % (
                x, y0, x, y0 + panel))
            parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (
                x, y0 + panel + 18, size_label(size)))
        parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="black"/>' % (
            left, y0, width - left - right, panel))

    # Throughput panel.
    for exponent in range(ylo, yhi + 1):
        y = py_rate(10 ** exponent)
        parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#dddddd"/>' % (
            left, y, width - right, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (
            left - 6, y + 4, axis_rate(10 ** exponent)))
    frame(top)
    # Ratio panel, with the goals.
    for tick in (0, 0.25, 0.5, 0.75, 0.9, 1.0):
        y = py_ratio(tick)
        parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#dddddd"/>' % (
            left, y, width - right, y))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%g</text>' % (left - 6, y + 4, tick))
    frame(top2)
    for size, goal in ((4096, 0.9), (65536, 0.99)):
        if size in sizes:
            x, y = px(size), py_ratio(goal)
            parts.append('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#ff7f0e" '
                         'stroke-width="3"/>' % (x - 14, y, x + 14, y))
            parts.append('<text x="%.1f" y="%.1f" fill="#ff7f0e" text-anchor="end">goal %g</text>'
                         % (x - 16, y + 4, goal))
    parts.append('<text x="%d" y="%d" text-anchor="middle">buffer size (log scale)</text>' % (
        (left + width - right) // 2, height - 12))

    for index, (key, label, points) in enumerate(series):
        colour = colours.get(key, "#888888")
        dash = ' stroke-dasharray="6,4"' if key == "direct" else ""
        ordered = sorted(points.items())
        coords = " ".join("%.1f,%.1f" % (px(s), py_rate(v)) for s, v in ordered)
        parts.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"%s/>' % (
            coords, colour, dash))
        for s, v in ordered:
            parts.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"/>' % (
                px(s), py_rate(v), colour))
        if key != "direct":
            ratios = [(s, v / direct[s]) for s, v in ordered if s in direct]
            coords = " ".join("%.1f,%.1f" % (px(s), py_ratio(r)) for s, r in ratios)
            parts.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"/>' % (
                coords, colour))
            for s, r in ratios:
                parts.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"/>' % (
                    px(s), py_ratio(r), colour))
        ly = top + 20 + index * 22
        lx = width - right + 15
        parts.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>' % (
            lx, ly, lx + 24, ly, colour, dash))
        parts.append('<text x="%d" y="%d">%s</text>' % (lx + 30, ly + 4, label.split(" (")[0]))
    parts.append("</svg>")
    with open(out, "w") as f:
        f.write("\n".join(parts) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--svg")
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
        section, sizes, _ = write_section(med, cv)
        lines += section
        lines += job_section(med, cv)
        if args.svg:
            svg_plot(med, sizes, args.svg)
    if reader is not None:
        lines += reader_section(aggregates(reader), aggregates(reader, "cv"))
    if scale is not None:
        lines += scale_section(aggregates(scale))
    if platform is not None:
        lines += platform_section(aggregates(platform), aggregates(platform, "cv"))
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

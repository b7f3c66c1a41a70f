#!/usr/bin/env python3
"""Builds the top of bench/REPORT.md from the RESULT lines and sample files of
a run: the table of every measure and the plots. The sections written by hand
after them (every '## ' heading but '## Plots', with what follows) are kept.

usage: report.py OUT_DIR REPORT.md PLOT_DIR
"""
import datetime
import glob
import os
import platform
import re
import subprocess
import sys

RESULT = re.compile(r"^RESULT (\S+) ours=(\S+) baseline=(\S+) unit=(\S+) goal=(.*)$")


def machine():
    model = "unknown cpu"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f"{kb / 1024 / 1024:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return f"{os.cpu_count()} cores, {model}, {mem}, Linux {platform.release()}"


def verdict(ours, base, goal):
    m = re.match(r"^(?:ratio)?(<=|>=)([0-9.]+)x?", goal)
    if goal == "0":
        return "met" if ours == 0 else "missed"
    if not m or base != base or base == 0:
        return ""
    ratio = ours / base
    limit = float(m.group(2))
    ok = ratio <= limit if m.group(1) == "<=" else ratio >= limit
    return "met" if ok else "missed"


def plot_latency(out_dir, plot_dir):
    """One CDF plot per benchmark family from *.samples files."""
    families = {}
    for path in sorted(glob.glob(os.path.join(out_dir, "*.samples"))):
        name = os.path.basename(path)[: -len(".samples")]
        families.setdefault(name.split("_")[0], []).append((name, path))
    made = []
    for family, series in families.items():
        png = os.path.join(plot_dir, f"{family}_latency.png")
        cdfs = []
        for name, path in series:
            with open(path) as f:
                values = sorted(float(v) for v in f if v.strip())
            if not values:
                continue
            cdf = path + ".cdf"
            with open(cdf, "w") as f:
                n = len(values)
                for i, v in enumerate(values):
                    f.write(f"{v} {(i + 1) / n}\n")
            cdfs.append((name, cdf))
        if not cdfs:
            continue
        plots = ", ".join(f"'{c}' using 1:2 with lines lw 2 title '{n.replace('_', ' ')}'" for n, c in cdfs)
        script = (
            "set terminal pngcairo size 900,500\n"
            f"set output '{png}'\n"
            "set logscale x\nset grid\nset key bottom right\n"
            "set xlabel 'latency (microseconds, log scale)'\nset ylabel 'fraction of samples'\n"
            f"set title '{family}: latency distribution'\n"
            f"plot {plots}\n"
        )
        subprocess.run(["gnuplot"], input=script, text=True, check=False)
        if os.path.exists(png):
            made.append(png)
    return made


def plot_xy(out_dir, plot_dir):
    """Plots every *.xy file: lines 'x y_ours y_baseline' with a '# x y1 y2' header,
    optionally followed by a '# ylabel TEXT' line (default: frames per second)."""
    made = []
    for path in sorted(glob.glob(os.path.join(out_dir, "*.xy"))):
        name = os.path.basename(path)[: -len(".xy")]
        ylabel = "frames per second"
        with open(path) as f:
            header = f.readline().lstrip("#").split()
            second = f.readline().lstrip("#").strip()
            if second.startswith("ylabel "):
                ylabel = second[len("ylabel "):].strip()
        png = os.path.join(plot_dir, f"{name}.png")
        cols = ", ".join(
            f"'{path}' using 1:{i + 2} with linespoints lw 2 title '{t}'" for i, t in enumerate(header[1:])
        )
        script = (
            "set terminal pngcairo size 900,500\n"
            f"set output '{png}'\nset grid\nset logscale x 2\n"
            f"set xlabel '{header[0].replace('_', ' ')}'\nset ylabel '{ylabel}'\n"
            f"set title '{name.replace('_', ' ')}'\nplot {cols}\n"
        )
        subprocess.run(["gnuplot"], input=script, text=True, check=False)
        if os.path.exists(png):
            made.append(png)
    return made


def hand_written(report):
    """The report's sections from the first '## ' heading that is not '## Plots' on."""
    try:
        with open(report) as f:
            lines = f.read().split("\n")
    except OSError:
        return ""
    for i, line in enumerate(lines):
        if line.startswith("## ") and line.strip() != "## Plots":
            return "\n".join(lines[i:]).rstrip("\n") + "\n"
    return ""


def main():
    out_dir, report, plot_dir = sys.argv[1:4]
    os.makedirs(plot_dir, exist_ok=True)
    rows = []
    for path in sorted(glob.glob(os.path.join(out_dir, "*.txt"))):
        if os.path.basename(path) == "log.txt":
            continue
        with open(path) as f:
            for line in f:
                m = RESULT.match(line.strip())
                if m:
                    rows.append(m.groups())
    plots = plot_latency(out_dir, plot_dir) + plot_xy(out_dir, plot_dir)
    lines = [
        "# Benchmark report",
        "",
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {machine()}, by `bench/run`.",
        "Every measure ran beside its baseline in the same run. Raw output: "
        f"`{out_dir}` (not kept in git).",
        "",
        "| measure | ours | baseline | unit | ratio | goal | verdict |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, ours, base, unit, goal in rows:
        o, b = float(ours), float(base)
        ratio = f"{o / b:.2f}" if b == b and b not in (0,) and o == o else "-"
        lines.append(f"| {name} | {o:.4g} | {b:.4g} | {unit} | {ratio} | {goal} | {verdict(o, b, goal)} |")
    lines += ["", "## Plots", ""]
    for png in plots:
        rel = os.path.relpath(png, os.path.dirname(os.path.abspath(report)))
        lines.append(f"![{os.path.basename(png)}]({rel})")
        lines.append("")
    kept = hand_written(report)
    with open(report, "w") as f:
        f.write("\n".join(lines) + "\n" + ("\n" + kept if kept else ""))


if __name__ == "__main__":
    main()

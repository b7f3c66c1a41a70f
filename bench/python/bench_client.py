#!/usr/bin/env python3
"""The Python client beside the C++ client library, in one run, against one
plughost with the headless viewer (1920 x 1080, no snapshots):

- full-HD numpy frames pipelined (at most --window in flight), and a flat-out
  burst that reads no answer until every frame is sent;
- time-stamp exchanges (round trip median).

Each client runs as a child process of its own, rounds alternate between
them, and each reports its frames per second, its CPU time per frame and its
peak RSS. Prints a table and "RESULT name ours=X baseline=Y unit=U goal=G"
lines (ours: Python, baseline: C++).

usage: bench_client.py --plughost EXE --module-dir DIR --cpp-client EXE [--rounds N] ...
"""
from __future__ import annotations

import argparse
import collections
import os
import re
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "clients", "python"))

import plughost_client as pc  # noqa: E402

WIDTH, HEIGHT = 1920, 1080


def cpu_seconds(u: resource.struct_rusage) -> float:
    return u.ru_utime + u.ru_stime


def child(argv: list) -> None:
    """One measurement with the Python client; prints what cpp_client prints."""
    address, key, mode, n = argv[0], int(argv[1]), argv[2], int(argv[3])
    img = pc.ImageClient(address, key=key, timeout=60)
    if mode == "frames":
        import numpy as np

        window = int(argv[4])
        frame = np.random.default_rng(1).integers(0, 256, (HEIGHT, WIDTH, 3), dtype=np.uint8)
        before = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        due: collections.deque = collections.deque()
        for _ in range(n):
            if len(due) == window and due.popleft().result() != 0:
                sys.exit(1)
            due.append(img.submit_show(frame))
        while due:
            if due.popleft().result() != 0:
                sys.exit(1)
        secs = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_SELF)
        print(f"frames_per_s={n / secs:.2f} "
              f"cpu_ms_per_frame={(cpu_seconds(after) - cpu_seconds(before)) * 1000 / n:.4f} "
              f"peak_rss_kb={after.ru_maxrss}")
    else:
        est = img.clock(samples=n)
        print(f"rtt_median_us={est.rtt_median_us:.1f} rtt_min_us={est.rtt_min_us} "
              f"peak_rss_kb={resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}")
    img.close()


def figures(cmd: list) -> dict:
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise SystemExit(f"{cmd[0]} failed: {out.stderr}")
    return {k: float(v) for k, v in re.findall(r"(\w+)=([-0-9.]+)", out.stdout)}


def start_plughost(args, tmp: str):
    env = dict(os.environ, ORVANE_BACKEND="headless", ORVANE_CANVAS=f"{WIDTH}x{HEIGHT}",
               XDG_STATE_HOME=os.path.join(tmp, "state"))
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "ORVANE_SNAPSHOT_DIR"):
        env.pop(name, None)
    proc = subprocess.Popen([args.plughost, "--module-dir", args.module_dir,
                             "--listen", "ov_handler=127.0.0.1:0"], env=env,
                            stdout=subprocess.PIPE, stderr=open(os.path.join(tmp, "log"), "wb"),
                            stdin=subprocess.DEVNULL, text=True)
    address = None
    for line in proc.stdout:  # ends at "ready" (or when plughost dies)
        m = re.match(r"listening on (\S+) \(ov_handler\)", line)
        if m:
            address = m.group(1)
        if line == "ready\n":
            break
    proc.stdout.close()
    if address is None:
        raise SystemExit("plughost did not start")
    return proc, address


def peak_rss_kb(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2:])
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--plughost", required=True)
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--cpp-client", required=True)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--frames", type=int, default=120)
    ap.add_argument("--window", type=int, default=4)
    ap.add_argument("--burst", type=int, default=30)
    ap.add_argument("--clock", type=int, default=2000)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        proc, address = start_plughost(args, tmp)
        try:
            holder = pc.ImageClient(address, hold=True, timeout=60)
            py = [sys.executable, os.path.abspath(__file__), "--child", address, str(holder.key)]
            cpp = [args.cpp_client, address, str(holder.key)]
            size = [str(WIDTH), str(HEIGHT)]
            runs = {
                "pipelined": (["frames", str(args.frames), str(args.window)], size),
                "burst": (["frames", str(args.burst), str(args.burst)], size),
                "clock": (["clock", str(args.clock)], []),
            }
            results = {(name, who): [] for name in runs for who in ("py", "cpp")}
            for warm in [True] + [False] * args.rounds:  # the first round is not counted
                for name, (common, cpp_extra) in runs.items():
                    c, p = figures(cpp + common + cpp_extra), figures(py + common)
                    if not warm:
                        results[(name, "cpp")].append(c)
                        results[(name, "py")].append(p)
            holder.close()
            server_peak = peak_rss_kb(proc.pid)
        finally:
            if proc.poll() is None and proc.pid > 0:
                os.kill(proc.pid, signal.SIGTERM)
            proc.wait(20)

    def med(name: str, who: str, key: str) -> float:
        return statistics.median(r[key] for r in results[(name, who)])

    print(f"{args.rounds} rounds after a warm-up round, {WIDTH}x{HEIGHT} frames: {args.frames} with {args.window} in "
          f"flight, bursts of {args.burst} read only at the end; {args.clock} time stamps")
    print(f"{'measure':34} {'python':>12} {'c++':>12} {'ratio':>7}")
    rows = [
        ("frames/s pipelined", "pipelined", "frames_per_s"),
        ("client cpu ms/frame pipelined", "pipelined", "cpu_ms_per_frame"),
        ("frames/s burst", "burst", "frames_per_s"),
        ("client cpu ms/frame burst", "burst", "cpu_ms_per_frame"),
        ("client peak RSS kB (burst)", "burst", "peak_rss_kb"),
        ("time stamp rtt median us", "clock", "rtt_median_us"),
        ("time stamp rtt min us", "clock", "rtt_min_us"),
    ]
    for label, name, key in rows:
        p, c = med(name, "py", key), med(name, "cpp", key)
        print(f"{label:34} {p:12.2f} {c:12.2f} {p / c if c else float('nan'):7.2f}")
    print(f"plughost peak RSS over the run: {server_peak} kB")
    print(f"RESULT python_frames_pipelined ours={med('pipelined', 'py', 'frames_per_s'):.2f} "
          f"baseline={med('pipelined', 'cpp', 'frames_per_s'):.2f} unit=frames/s goal=ratio>=0.8")
    print(f"RESULT python_frames_burst ours={med('burst', 'py', 'frames_per_s'):.2f} "
          f"baseline={med('burst', 'cpp', 'frames_per_s'):.2f} unit=frames/s goal=ratio>=0.8")
    print(f"RESULT python_cpu_per_frame ours={med('pipelined', 'py', 'cpu_ms_per_frame'):.3f} "
          f"baseline={med('pipelined', 'cpp', 'cpu_ms_per_frame'):.3f} unit=ms goal=reported")
    print(f"RESULT python_peak_rss ours={med('burst', 'py', 'peak_rss_kb'):.0f} "
          f"baseline={med('burst', 'cpp', 'peak_rss_kb'):.0f} unit=kB goal=reported")
    print(f"RESULT python_clock_rtt_median ours={med('clock', 'py', 'rtt_median_us'):.1f} "
          f"baseline={med('clock', 'cpp', 'rtt_median_us'):.1f} unit=us goal=ratio<=2")


if __name__ == "__main__":
    main()

"""Shared helpers for the Python client's tests: a real plughost with the
headless viewer (PNG snapshots) and the file-follow plug-in on loopback.

The build tells where the programs are: PLUGHOST_EXE, MODULE_DIR, OVCLIENT_EXE,
DVLFOLLOW_EXE (set by CTest). Every wait is bounded and waits for a condition.
"""
from __future__ import annotations

import os
import re
import selectors
import signal
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path
from typing import Callable, Dict, List, Optional

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "clients" / "python"))

WAIT = 20.0  # bound of every wait, seconds
CANVAS = (64, 48)


def program(name: str) -> str:
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} is not set (run through ctest)")
    return path


def wait_for(condition: Callable[[], bool], what: str, bound: float = WAIT) -> None:
    """Polls the condition until it holds; fails the test after the bound."""
    until = time.monotonic() + bound
    while not condition():
        if time.monotonic() > until:
            pytest.fail(f"waited {bound:.0f} s in vain for {what}")
        time.sleep(0.005)


def stop_process(proc: subprocess.Popen, sig: int = signal.SIGTERM) -> Optional[int]:
    """Signals a running child (pid checked > 0) and reaps it, SIGKILL as a last resort."""
    if proc.poll() is None and proc.pid > 0:
        os.kill(proc.pid, sig)
        try:
            return proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            if proc.pid > 0:
                os.kill(proc.pid, signal.SIGKILL)
            proc.wait(WAIT)
            return None
    return proc.returncode


class Plughost:
    """plughost serving ov_handler and dvl_handler on 127.0.0.1, started and
    waited for until it prints "ready"; ports are read from its output."""

    def __init__(self, tmp: Path, image: str = "127.0.0.1:0", files: str = "127.0.0.1:0"):
        self.tmp = tmp
        self.snapshots = tmp / "snap"
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update(ORVANE_BACKEND="headless", ORVANE_CANVAS="%dx%d" % CANVAS,
                        ORVANE_SNAPSHOT_DIR=str(self.snapshots), XDG_STATE_HOME=str(tmp / "state"),
                        HOME=str(tmp / "home"))
        self.log = tmp / "plughost.log"
        self.proc: Optional[subprocess.Popen] = None
        self.addresses: Dict[str, str] = {}
        self.start(image, files)

    def start(self, image: str, files: str) -> None:
        """Starts it; a port 0 takes a free port."""
        argv = [program("PLUGHOST_EXE"), "--module-dir", program("MODULE_DIR"),
                "--listen", f"ov_handler={image}", "--listen", f"dvl_handler={files}"]
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=log, env=self.env,
                                         stdin=subprocess.DEVNULL)
        text = self._read_until_ready()
        self.proc.stdout.close()
        self.addresses = dict((name, addr) for addr, name in
                              re.findall(r"^listening on (\S+) \((\w+)\)$", text, re.M))
        if "ov_handler" not in self.addresses or "dvl_handler" not in self.addresses:
            self.stop()
            pytest.fail(f"plughost did not report ready; it printed {text!r}\n{self.log_text()}")

    def _read_until_ready(self) -> str:
        text = b""
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        until = time.monotonic() + WAIT
        try:
            while not re.search(rb"(^|\n)ready\n", text):
                left = until - time.monotonic()
                if left <= 0 or not sel.select(left):
                    break
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                text += chunk
        finally:
            sel.close()
        return text.decode(errors="replace")

    @property
    def image(self) -> str:
        return self.addresses["ov_handler"]

    @property
    def files(self) -> str:
        return self.addresses["dvl_handler"]

    def stop(self) -> Optional[int]:
        return stop_process(self.proc) if self.proc is not None else None

    def restart(self) -> None:
        """Stops it and starts it again on the same addresses (a new key, a new viewer)."""
        status = self.stop()
        assert status == 0, f"plughost ended with {status}"
        self.start(self.image, self.files)

    def log_text(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def snapshot(self) -> "Canvas":
        return read_png(self.snapshots / "latest.png")

    def ovclient(self, *args: str) -> subprocess.CompletedProcess:
        argv = [program("OVCLIENT_EXE"), "--connect", self.image, "--timeout", "20", *args]
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=WAIT)


@pytest.fixture
def server(tmp_path: Path, request, monkeypatch):
    """A fresh plughost per test (the key is issued once per server run);
    this process's key files go where the server's environment says."""
    host = Plughost(tmp_path)
    monkeypatch.setenv("XDG_STATE_HOME", host.env["XDG_STATE_HOME"])
    monkeypatch.setenv("HOME", host.env["HOME"])
    yield host
    status = host.stop()
    failed = getattr(request.node, "failed", False)
    if failed or status != 0:
        sys.stderr.write("--- plughost log:\n" + host.log_text())
    assert status == 0, f"plughost ended with status {status}"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" and report.failed:
        item.failed = True


# ---- PNG snapshots (8-bit RGB, as the viewer writes them) -----------------

class Canvas:
    """Pixels of a snapshot: rows of bytes, 3 per pixel."""

    def __init__(self, width: int, height: int, rows: List[bytes]):
        self.width, self.height, self.rows = width, height, rows

    def pixel(self, x: int, y: int) -> int:
        r, g, b = self.rows[y][3 * x:3 * x + 3]
        return (r << 16) | (g << 8) | b

    def array(self):
        import numpy as np
        return np.frombuffer(b"".join(self.rows), np.uint8).reshape(self.height, self.width, 3)


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path: Path) -> Canvas:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is no PNG"
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 2, 0), "not 8-bit RGB without interlace"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3
    rows: List[bytes] = []
    prev = bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b = prev[i]
            c = prev[i - 3] if i >= 3 else 0
            pred = (0, a, b, (a + b) // 2, _paeth(a, b, c))[kind]
            line[i] = (line[i] + pred) & 0xFF
        rows.append(bytes(line))
        prev = line
    return Canvas(width, height, rows)


# ---- files and processes --------------------------------------------------

def replace_file(path: Path, content: bytes) -> None:
    """Puts the new content in place in one rename: a reader never sees it torn."""
    tmp = path.with_name("." + path.name + ".new")
    tmp.write_bytes(content)
    os.rename(tmp, path)


def children_named(pid: int, name: str) -> List[int]:
    """Live children of pid whose command name is `name` (from /proc)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        if comm == name and int(fields[1]) == pid and fields[0] != "Z":
            found.append(int(entry))
    return found

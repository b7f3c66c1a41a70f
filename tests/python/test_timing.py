"""Presentation at a moment (present_at) with the real viewer, and the
experiment loop of docs/python.md run as written."""
from __future__ import annotations

import os
import re
import subprocess
import sys
import time

import numpy as np

import plughost_client as pc
from conftest import HERE, WAIT

ROOT = HERE.parent.parent


def test_pictures_and_fills_wait_for_their_moment(server):
    picture = np.full((8, 8, 3), 200, np.uint8)
    with pc.ImageClient(server.image) as img:
        img.clock(samples=32)
        for n, send in enumerate([
            lambda at: img.show(picture, at=(4, 4), present_at=at),
            lambda at: img.fill("#102030", present_at=at),
            lambda at: img.submit_show(picture, present_at=at).result(),
        ]):
            deadline = time.time() + 0.2
            result = send(deadline)
            assert result in (0, 1003)
            shown, uncertainty = img.presented_at()
            # Never before the moment; late ones are answered 1003 and counted.
            assert shown >= deadline - uncertainty
            assert img.query("frames") == n + 1
        assert img.query("late") <= 3


def test_the_documented_experiment_runs_as_written(server):
    text = (ROOT / "docs" / "python.md").read_text()
    section = text[text.index("## An experiment loop"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    env = dict(os.environ, PYTHONPATH=str(ROOT / "clients" / "python"),
               PLUGHOST_IMAGE=server.image)
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                       timeout=WAIT * 3)
    assert r.returncode == 0, r.stderr
    trials = re.findall(r"^trial \d: result (0|1003), presented [-+]", r.stdout, re.M)
    assert len(trials) == 10, r.stdout

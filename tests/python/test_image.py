"""ImageClient against a real plughost with the headless viewer."""
from __future__ import annotations

import os
import shutil
import stat
import tempfile
import time

import numpy as np
import pytest
from PIL import Image

import plughost_client as pc
from conftest import CANVAS


def pattern(height: int, width: int, seed: int) -> np.ndarray:
    """A picture whose every pixel differs from its neighbours."""
    y, x = np.mgrid[0:height, 0:width]
    return np.stack([(x * 7 + seed) % 256, (y * 13 + seed) % 256, (x * y + seed) % 256],
                    axis=2).astype(np.uint8)


def expected_canvas(fill: int, picture: np.ndarray, x: int, y: int) -> np.ndarray:
    canvas = np.empty((CANVAS[1], CANVAS[0], 3), np.uint8)
    canvas[:] = ((fill >> 16) & 255, (fill >> 8) & 255, fill & 255)
    h = min(picture.shape[0], CANVAS[1] - y)
    w = min(picture.shape[1], CANVAS[0] - x)
    canvas[y:y + h, x:x + w] = picture[:h, :w]
    return canvas


@pytest.mark.parametrize("colour, word", [("#204080", 0x204080), ("0x0A0B0C", 0x0A0B0C),
                                          (0x123456, 0x123456), ((1, 2, 3), 0x010203)])
def test_pictures_land_in_the_snapshot_pixel_for_pixel(server, colour, word):
    picture = pattern(23, 37, word & 255)
    strided = pattern(40, 60, 9)[::2, ::3]  # not contiguous: sent as a copy
    with pc.ImageClient(server.image) as img:
        assert img.fill(colour) == 0
        assert img.show(picture, at=(20, 10)) == 0
        np.testing.assert_array_equal(server.snapshot().array(),
                                      expected_canvas(word, picture, 20, 10))
        # Bytes with a size, clipped at the bottom-right corner.
        assert img.show(picture.tobytes(), size=(37, 23), at=(50, 40)) == 0
        assert img.show(strided, at=(0, 0)) == 0
        grey = pattern(6, 9, 3)[..., 1]
        assert img.show(Image.fromarray(grey), at=(30, 30)) == 0  # PIL, converted to RGB
        want = expected_canvas(word, picture, 20, 10)
        want[40:, 50:] = picture[:8, :14]
        want[:20, :20] = strided
        want[30:36, 30:39] = grey[..., None]
        np.testing.assert_array_equal(server.snapshot().array(), want)
        assert img.query("frames") == 5


def test_queries_and_presentation_moment(server):
    with pc.ImageClient(server.image) as img:
        assert img.presented_at() is None
        assert (img.query("width"), img.query("height"), img.query(2)) == (*CANVAS, CANVAS[1])
        before = time.time()
        assert img.fill(0x00FF00) == 0
        after = time.time()
        t, unc = img.presented_at()
        # Same machine, same clock: the moment lies within the call, within the
        # uncertainty (and the microsecond the viewer's clock reading drops).
        assert before - unc - 1e-6 <= t <= after + unc
        assert img.query("frames") == 1
        assert img.query(77) == 1001  # the viewer's own answer, returned


def test_clock_offset_on_loopback(server):
    with pc.ImageClient(server.image) as img:
        est = img.clock(samples=64)
    assert est.samples == 64 and est.rtt_min_us <= est.rtt_median_us
    # Server and client read the same clock: the true offset 0 lies within
    # the uncertainty, and loopback keeps that below a millisecond.
    assert abs(est.offset_us) <= est.uncertainty_us
    assert abs(est.offset_us) < 1000


def test_pipelined_submissions_are_answered_in_order(server):
    with pc.ImageClient(server.image) as img:
        frames = []
        for i in range(50):
            img.submit_fill(i)
            frames.append(img.submit_query("frames"))
        assert img.pending == 100
        assert [p.result() for p in frames] == list(range(1, 51))
        assert img.pending == 0
        assert server.snapshot().pixel(5, 5) == 49


@pytest.fixture
def long_unix_address():
    """A socket path whose address text is too long for a file name as it
    is: the key file's name ends in a hash, as ovclient makes it."""
    base = tempfile.mkdtemp(prefix="k", dir="/tmp")  # short: socket paths have 107 bytes
    folder = base + "/d" * 44
    os.makedirs(folder)
    address = f"unix:{folder}/s"
    assert len(pc.sanitise_for_file_name(address)) == 200
    yield address
    shutil.rmtree(base)


@pytest.mark.parametrize("first", ["ovclient", "python"])
@pytest.mark.parametrize("long_name", [False, True])
def test_the_key_file_is_shared_with_ovclient(server, first, long_name, request):
    if long_name:
        server.stop()
        server.start(request.getfixturevalue("long_unix_address"), server.files)
    key_file = pc.default_key_file_path(server.image)
    if first == "ovclient":
        r = server.ovclient("fill", "#010101")
        assert r.returncode == 0, r.stderr
        holder = None
    else:
        holder = pc.ImageClient(server.image, hold=True)
        assert holder.holds_key and holder.key_file == key_file
        assert holder.fill(0x010101) == 0
    stored = pc.read_key_file(key_file)
    assert stat.S_IMODE(os.stat(key_file).st_mode) == 0o600
    with pc.ImageClient(server.image) as img:
        assert (img.key, img.holds_key) == (stored, False)
        assert img.fill(0x020202) == 0
    r = server.ovclient("query", "frames")
    assert (r.returncode, r.stdout) == (0, "2\n"), r.stderr
    if holder is not None:
        holder.close()


def test_refused_keys(server, tmp_path):
    stale = tmp_path / "stale-key"
    pc.write_key_file(stale, 12345)
    # 27: the server has issued no key yet; a new one is asked for and stored.
    with pc.ImageClient(server.image, key_file=stale) as holder:
        assert holder.holds_key and holder.key != 12345
        assert pc.read_key_file(stale) == holder.key
        wrong = holder.key % 2147483647 + 1
        for kwargs in ({"key": wrong}, {"hold": True}):
            with pytest.raises(pc.ReplyError) as e:
                pc.ImageClient(server.image, **kwargs)
            assert e.value.code == 26 and "does not match" in e.value.meaning
        pc.write_key_file(stale, wrong)
        with pytest.raises(pc.ReplyError) as e:
            pc.ImageClient(server.image, key_file=stale)
        assert e.value.code == 26
        assert pc.read_key_file(stale) == wrong  # left alone


BAD_PICTURES = [
    (np.zeros((4, 4, 3), np.float32), None, ValueError, "dtype uint8"),
    (np.zeros((4, 4), np.uint8), None, ValueError, "shape"),
    (np.zeros((4, 4, 4), np.uint8), None, ValueError, "shape"),
    (np.zeros((4, 4, 3), np.uint8), (5, 4), ValueError, "does not match"),
    (bytes(12), None, ValueError, "size=(width, height)"),
    (bytes(11), (2, 2), ValueError, "needs 12 RGB bytes"),
    (bytes(3), (30000, 30000), ValueError, "too large"),
    (memoryview(bytes(24))[::2], (2, 2), ValueError, "contiguous"),
    ("pixels", (1, 1), TypeError, "numpy uint8 array"),
]


def test_bad_input_is_refused_before_sending(server):
    with pc.ImageClient(server.image) as img:
        for pixels, size, error, text in BAD_PICTURES:
            with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
                img.show(pixels, size=size)
        picture = np.zeros((1, 1, 3), np.uint8)
        for at in [(-1, 0), (2**31, 0), (0, 2**31), "00"]:
            with pytest.raises(ValueError):
                img.show(picture, at=at)
        for colour in ["204080", "#20408", "#2040GG", 0x1000000, -1, (1, 2, 256)]:
            with pytest.raises(ValueError):
                img.fill(colour)
        with pytest.raises(ValueError):
            img.query("depth")
        with pytest.raises(ValueError, match="within"):
            img.show(picture, present_at=time.time() + 7200)
        assert img.pending == 0 and img.query("frames") == 0  # nothing reached the viewer

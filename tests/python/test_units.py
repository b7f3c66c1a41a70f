"""Addresses and key files without a server: what must match ovclient exactly."""
from __future__ import annotations

import os

import pytest

import plughost_client as pc


@pytest.mark.parametrize("text", ["127.0.0.1:7412", ":7412", "[::1]:7411", "[fe80::1:2]:80",
                                  "unix:/tmp/x.sock", "unix:/tmp/a:b", "example.org:9"])
def test_addresses_round_trip(text):
    assert str(pc.parse_address(text)) == text


@pytest.mark.parametrize("text", ["", "host", "host:", "host:0", "host:65536", "host:99999999",
                                  "host:12a", "host:-1", "host: 1", "::1:7411", "[::1]", "[::1]7411",
                                  "[]:1", "[zz]:1", "[::1:1", "unix:", "ho st:1", "a/b:1",
                                  "unix:/" + "a" * 200])
def test_bad_addresses(text):
    with pytest.raises(pc.AddressError):
        pc.parse_address(text)


@pytest.mark.parametrize("address, name", [
    ("127.0.0.1:7411", "127.0.0.1%3A7411"),
    ("[::1]:7411", "%5B%3A%3A1%5D%3A7411"),
    ("unix:/tmp/ov.sock", "unix%3A%2Ftmp%2Fov.sock"),
])
def test_key_file_names(address, name):
    env = {"XDG_STATE_HOME": "/x/state", "HOME": "/home/u"}
    assert str(pc.default_key_file_path(address, env)) == "/x/state/ovclient/" + name
    for xdg in ("", "relative"):
        home = str(pc.default_key_file_path(address, {"XDG_STATE_HOME": xdg, "HOME": "/home/u"}))
        assert home == "/home/u/.local/state/ovclient/" + name
    with pytest.raises(pc.KeyFileError):
        pc.default_key_file_path(address, {"HOME": "relative"})


@pytest.mark.parametrize("content, key", [(b"7\n", 7), (b"2147483647", 2147483647), (b"", None),
                                          (b"0\n", None), (b"2147483648\n", None), (b"12a\n", None),
                                          (b"1\n\n", None), (b" 1\n", None), (b"1" * 70, None)])
def test_reading_key_files(tmp_path, content, key):
    f = tmp_path / "key"
    f.write_bytes(content)
    if key is None:
        with pytest.raises(pc.KeyFileError, match="holds no key"):
            pc.read_key_file(f)
    else:
        assert pc.read_key_file(f) == key


def test_writing_key_files(tmp_path):
    f = tmp_path / "new" / "dirs" / "key"
    assert pc.read_key_file(f) is None
    pc.write_key_file(f, 42)
    pc.write_key_file(f, 43)  # replaced whole
    assert f.read_bytes() == b"43\n" and oct(f.stat().st_mode & 0o777) == "0o600"
    assert sorted(os.listdir(f.parent)) == ["key"]  # no temporary file left
    os.symlink(f, tmp_path / "link")
    with pytest.raises(pc.KeyFileError, match="cannot open"):
        pc.read_key_file(tmp_path / "link")


def test_an_answer_that_is_late_stays_due(tmp_path):
    """A timeout keeps what arrived of an answer: the stream stays in step."""
    import socket
    import threading

    path = str(tmp_path / "s")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(1)
    step = threading.Semaphore(0)
    problems = []

    def serve():
        conn, _ = listener.accept()
        with conn:
            conn.sendall(b"\0\0\0\0")                     # connected
            if conn.recv(4) != (7).to_bytes(4, "big"):
                problems.append("key")
            conn.sendall(b"\0\0\0\0")                     # admitted
            requests = b""
            while len(requests) < 16:
                requests += conn.recv(16 - len(requests))
            if requests != b"\0\0\0\x01\0\x20\x40\x80\0\0\0\x03\0\0\0\x03":
                problems.append("requests")
            step.acquire()
            conn.sendall(b"\0\0")                         # half the fill's answer
            step.acquire()
            conn.sendall(b"\0\0" + (5).to_bytes(4, "big"))  # its rest, the query's answer
            conn.recv(1)                                  # until the client leaves

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    with pc.ImageClient("unix:" + path, key=7, timeout=5) as img:
        fill, query = img.submit_fill("#204080"), img.submit_query(3)
        with pytest.raises(pc.ServerTimeoutError):
            fill.result(timeout=0.01)
        step.release()
        with pytest.raises(TimeoutError):
            query.result(timeout=0.01)
        assert not fill.done() and img.pending == 2
        step.release()
        assert (query.result(), fill.result(), img.pending) == (5, 0, 0)
    server.join(5)
    listener.close()
    assert problems == []

"""follow and follow_async against a real plughost, and dvlfollow --reconnect."""
from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import threading
from pathlib import Path

import pytest

import plughost_client as pc
from conftest import WAIT, children_named, program, replace_file, stop_process, wait_for


def test_versions_across_append_rename_and_deletion(server, tmp_path):
    f = tmp_path / "watched.txt"
    replace_file(f, b"one\n")
    it = pc.follow(str(f), address=server.files, timeout=WAIT)
    assert next(it) == b"one\n"
    with open(f, "ab") as out:
        out.write(b"two\n")
    assert next(it) == b"one\ntwo\n"
    replace_file(f, b"saved\n")
    assert next(it) == b"saved\n"
    f.unlink()  # no version: the watcher waits for the file to come back
    replace_file(f, b"back\n")
    assert next(it) == b"back\n"
    it.close()


def test_follow_async_two_files_at_once(server, tmp_path):
    files = [tmp_path / "a", tmp_path / "b"]
    for i, f in enumerate(files):
        replace_file(f, b"first %d" % i)

    async def versions(f: Path, count: int, started: asyncio.Event):
        got = []
        async for v in pc.follow_async(f, address=server.files, timeout=WAIT):
            got.append(v)
            started.set()
            if len(got) == count:
                return got

    async def main():
        ready = [asyncio.Event(), asyncio.Event()]
        tasks = [asyncio.create_task(versions(f, 2, e)) for f, e in zip(files, ready)]
        await asyncio.wait_for(asyncio.gather(*(e.wait() for e in ready)), WAIT)
        for i, f in enumerate(files):
            replace_file(f, b"second %d" % i)
        return await asyncio.wait_for(asyncio.gather(*tasks), WAIT)

    assert asyncio.run(main()) == [[b"first 0", b"second 0"], [b"first 1", b"second 1"]]


@pytest.mark.parametrize("reconnect", [False, True])
def test_a_path_that_cannot_be_followed_ends_with_25(server, tmp_path, reconnect):
    with pytest.raises(pc.ReplyError) as e:
        next(pc.follow(str(tmp_path / "no" / "such" / "dir" / "f"), address=server.files,
                       timeout=WAIT, reconnect=reconnect))
    assert e.value.code == 25 and e.value.service == "file"

    async def first():
        async for v in pc.follow_async(str(tmp_path / "no" / "f"), address=server.files,
                                       timeout=WAIT, reconnect=reconnect):
            return v

    with pytest.raises(pc.ReplyError, match="reply code 25"):
        asyncio.run(first())


class AsyncFollower:
    """follow_async driven one version at a time from blocking code."""

    def __init__(self, *args, **kwargs):
        self.loop = asyncio.new_event_loop()
        self.versions = pc.follow_async(*args, **kwargs)

    def __next__(self) -> bytes:
        return self.loop.run_until_complete(self.versions.__anext__())

    def close(self) -> None:
        self.loop.run_until_complete(self.versions.aclose())
        self.loop.close()


@pytest.mark.parametrize("follower", [pc.follow, AsyncFollower])
def test_followers_reconnect_across_server_restarts(server, tmp_path, follower):
    f = tmp_path / "watched"
    mirror = tmp_path / "mirror"
    replace_file(f, b"one")
    dvlfollow = subprocess.Popen(
        [program("DVLFOLLOW_EXE"), "--connect", server.files, "--reconnect", "--output", str(mirror),
         str(f)], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        it = follower(f, address=server.files, timeout=WAIT, reconnect=True)
        assert next(it) == b"one"
        wait_for(lambda: mirror.exists() and mirror.read_bytes() == b"one", "the mirror")

        # Changed while the server is down: both go on with the new version.
        server.stop()
        replace_file(f, b"two")
        server.start(server.image, server.files)
        assert next(it) == b"two"
        wait_for(lambda: mirror.read_bytes() == b"two", "the mirror to heal")

        # Unchanged across a restart: the version is not delivered again.
        server.restart()
        got = []
        reader = threading.Thread(target=lambda: got.append(next(it)), daemon=True)
        reader.start()
        # Both followers are back once the server runs a watcher for each.
        wait_for(lambda: len(children_named(server.proc.pid, "dorvel.exe")) == 2, "two watchers")
        replace_file(f, b"three")
        reader.join(WAIT)
        assert got == [b"three"]
        wait_for(lambda: mirror.read_bytes() == b"three", "the mirror")
        it.close()
    finally:
        status = stop_process(dvlfollow)
        err = dvlfollow.stderr.read().decode()
        dvlfollow.stderr.close()
    assert status == -signal.SIGTERM, err
    assert err.count("reconnecting in") >= 2, err

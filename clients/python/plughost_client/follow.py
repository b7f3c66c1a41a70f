"""Client side of the file-follow service: every version of a file, whole.

Conversation: connect, reply 0; send the path and a NUL; reply 0 once the
watcher runs; then per version a big-endian length and that many bytes; at the
end a closing code (18, 23 or 25) and the close. A closing code looks like a
length: it is told apart by the end of stream that follows it at once.

The protocol steps are generators shared by the blocking and the asyncio
drivers: they yield a byte count to read (the answer is shorter only at the
end of the stream) or bytes to send.
"""
from __future__ import annotations

import asyncio
import logging
import os
import socket
import time
from typing import AsyncIterator, Generator, Iterator, Optional, Union

from . import _net
from ._address import Address, parse_address
from ._errors import (
    FILE,
    ConnectFailedError,
    ConnectRefusedError,
    ConnectTimeoutError,
    PlughostError,
    ProtocolError,
    ReplyError,
    ServerClosedError,
    ServerTimeoutError,
    is_reply_code,
)

log = logging.getLogger("plughost_client")

#: The largest version length the server sends.
MAX_RECORD = 0x7FFFFFFB
_CLOSING_CODES = (18, 23, 25)
_NO_BUFFER = b"\0\0\0\x12"
_FIRST_BACKOFF = 0.1

_Step = Generator[Union[int, bytes], Optional[bytes], bytes]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _code_error(word: int, context: str) -> PlughostError:
    if is_reply_code(word, FILE):
        return ReplyError(word, FILE, context)
    return ProtocolError(f"{context}: unexpected word {word}")


def _start(path: bytes) -> _Step:
    """Connect reply, the path, the watcher's start reply."""
    w = yield 4
    assert w is not None
    if len(w) < 4:
        raise ServerClosedError("the server closed the connection before its first reply")
    word = int.from_bytes(w, "big")
    if word != 0:
        raise _code_error(word, "the server refused the connection")
    yield path + b"\0"
    w = yield 4
    assert w is not None
    if len(w) < 4:
        raise ServerClosedError("the server closed the connection before the watcher started")
    word = int.from_bytes(w, "big")
    if word != 0:
        raise _code_error(word, "the watcher did not start")
    return b""


def _version() -> _Step:
    """One version; the end of the conversation raises."""
    w = yield 4
    assert w is not None
    if not w:
        raise ServerClosedError("the server closed the connection without a reply code")
    if len(w) < 4:
        raise ProtocolError("the server closed the connection inside a length word")
    length = int.from_bytes(w, "big")
    if length > MAX_RECORD:
        raise ProtocolError(f"record length {length} is beyond what the server sends")
    content = yield length
    assert content is not None
    if len(content) == length:
        return content
    # The end of the stream inside the record: a closing code, or a record broken off.
    if not content and length in _CLOSING_CODES:
        raise ReplyError(length, FILE, "the server ended the conversation")
    if len(content) >= 4 and content[-4:] == _NO_BUFFER:
        raise ReplyError(18, FILE, "the server ended the conversation", mid_version=True)
    raise ServerClosedError(f"the server closed the connection after {len(content)} of the "
                            f"{length} bytes of a version")


# ---- blocking driver ------------------------------------------------------

def _read_up_to(sock: socket.socket, n: int, deadline: _net.Deadline) -> bytes:
    buf = bytearray(n)
    got = _net.recv_into(sock, memoryview(buf), deadline)
    if got < n:
        del buf[got:]
    return bytes(buf)


def _drive(step: _Step, sock: socket.socket, deadline: _net.Deadline) -> bytes:
    try:
        want = next(step)
        while True:
            if isinstance(want, int):
                want = step.send(_read_up_to(sock, want, deadline))
            else:
                _net.send_all(sock, [want], deadline)
                want = step.send(None)
    except StopIteration as done:
        return done.value


class _Backoff:
    def __init__(self, most: float):
        self.most = most
        self.next = _FIRST_BACKOFF

    def delay(self) -> float:
        d = self.next
        self.next = min(self.most, self.next * 2)
        return d

    def reset(self) -> None:
        self.next = _FIRST_BACKOFF


def _retryable(e: BaseException, delivered: bool) -> bool:
    """Connection-level failures and the server's buffer/read failures are
    retried; 25 (the watcher ended) only once a version was delivered, so a
    path that cannot be followed fails at once."""
    if isinstance(e, ReplyError):
        return e.code in (18, 23) or (e.code == 25 and delivered)
    if isinstance(e, ProtocolError):
        return False
    return isinstance(e, (ConnectFailedError, ServerClosedError, ServerTimeoutError, OSError))


def _path_bytes(path: PathLike) -> bytes:
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError("the path holds a NUL byte")
    return raw


def _check(timeout: Optional[float], max_backoff: float) -> None:
    if timeout is not None and timeout <= 0:
        raise ValueError("timeout must be positive (or None)")
    if max_backoff < _FIRST_BACKOFF:
        raise ValueError(f"max_backoff must be at least {_FIRST_BACKOFF} s")


def follow(path: PathLike, address: str = "127.0.0.1:7412", timeout: Optional[float] = 10.0,
           reconnect: bool = False, max_backoff: float = 5.0) -> Iterator[bytes]:
    """Every version of the file ``path`` (as the server names it), as bytes.

    The first version is the file's content when the watcher starts, then one
    per change. ``timeout`` bounds the connection and the watcher's start;
    versions are awaited without limit. The iteration ends by raising:
    ReplyError (25: the watcher on the server ended; 23; 18),
    ServerClosedError, ConnectFailedError, ...

    With ``reconnect=True`` a dropped connection or a restarted server is
    reconnected with back-off (0.1 s doubling up to ``max_backoff``) and
    following goes on with the file's current version; a version equal to the
    last one delivered is not delivered again. Retried: failures to connect,
    the connection closed or reset, timeouts, codes 18 and 23, and 25 once a
    version has been delivered. Not retried: a bad address, a protocol error,
    a path that never gave a version and ended with 25.
    """
    addr = parse_address(address)
    raw = _path_bytes(path)
    _check(timeout, max_backoff)
    return _follow(addr, raw, timeout, reconnect, max_backoff)


def _follow(addr: Address, raw: bytes, timeout: Optional[float], reconnect: bool,
            max_backoff: float) -> Iterator[bytes]:
    backoff = _Backoff(max_backoff)
    last: Optional[bytes] = None
    while True:
        fresh = True
        try:
            sock = _net.connect(addr, timeout)
            try:
                if reconnect:
                    _net.set_keepalive(sock)
                _drive(_start(raw), sock, _net.Deadline(timeout))
                forever = _net.Deadline(None)
                while True:
                    version = _drive(_version(), sock, forever)
                    if fresh:
                        backoff.reset()
                    if not (fresh and last is not None and version == last):
                        if reconnect:
                            last = version
                        yield version
                    fresh = False
            finally:
                sock.close()
        except (PlughostError, OSError) as e:
            if not reconnect or not _retryable(e, last is not None):
                raise
            delay = backoff.delay()
            log.warning("following %s: %s; reconnecting in %.1f s", os.fsdecode(raw), e, delay)
            time.sleep(delay)


# ---- asyncio driver -------------------------------------------------------

async def _aconnect(addr: Address, timeout: Optional[float]):
    loop = asyncio.get_running_loop()
    name = str(addr)

    async def attempt():
        if addr.kind == "unix":
            targets = [(socket.AF_UNIX, addr.path)]
        else:
            try:
                infos = await loop.getaddrinfo(addr.host or None, addr.port, family=socket.AF_UNSPEC,
                                               type=socket.SOCK_STREAM, flags=socket.AI_NUMERICSERV)
            except socket.gaierror as e:
                raise ConnectFailedError(f"cannot resolve {addr.host}: {e.strerror}") from None
            targets = [(info[0], info[4]) for info in infos]
        last: Optional[OSError] = None
        for family, sockaddr in targets:
            s = socket.socket(family, socket.SOCK_STREAM)
            s.setblocking(False)
            try:
                await loop.sock_connect(s, sockaddr)
            except OSError as e:
                s.close()
                last = e
                continue
            except BaseException:
                s.close()
                raise
            if family != socket.AF_UNIX:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        assert last is not None
        if isinstance(last, ConnectionRefusedError):
            raise ConnectRefusedError(f"connection refused by {name} (is the server running?)")
        raise ConnectFailedError(f"cannot connect to {name}: {last.strerror or last}")

    try:
        return await asyncio.wait_for(attempt(), timeout)
    except asyncio.TimeoutError:
        raise ConnectTimeoutError(f"cannot connect to {name}: timed out") from None


async def _adrive(step: _Step, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> bytes:
    try:
        want = next(step)
        while True:
            if isinstance(want, int):
                try:
                    data = await reader.readexactly(want)
                except asyncio.IncompleteReadError as e:
                    data = e.partial
                except ConnectionResetError:
                    raise ServerClosedError("the server reset the connection") from None
                want = step.send(data)
            else:
                writer.write(want)
                try:
                    await writer.drain()
                except (BrokenPipeError, ConnectionResetError):
                    raise ServerClosedError("the server closed the connection") from None
                want = step.send(None)
    except StopIteration as done:
        return done.value


def follow_async(path: PathLike, address: str = "127.0.0.1:7412", timeout: Optional[float] = 10.0,
                 reconnect: bool = False, max_backoff: float = 5.0) -> AsyncIterator[bytes]:
    """:func:`follow` for asyncio: ``async for version in follow_async(...)``.

    Several follows run side by side in one event loop.
    """
    addr = parse_address(address)
    raw = _path_bytes(path)
    _check(timeout, max_backoff)
    return _follow_async(addr, raw, timeout, reconnect, max_backoff)


async def _follow_async(addr: Address, raw: bytes, timeout: Optional[float], reconnect: bool,
                        max_backoff: float) -> AsyncIterator[bytes]:
    backoff = _Backoff(max_backoff)
    last: Optional[bytes] = None
    while True:
        fresh = True
        try:
            sock = await _aconnect(addr, timeout)
            if reconnect:
                _net.set_keepalive(sock)
            reader, writer = await asyncio.open_connection(sock=sock, limit=1 << 20)
            try:
                try:
                    await asyncio.wait_for(_adrive(_start(raw), reader, writer), timeout)
                except asyncio.TimeoutError:
                    raise ServerTimeoutError("timed out waiting for the watcher to start") from None
                while True:
                    version = await _adrive(_version(), reader, writer)
                    if fresh:
                        backoff.reset()
                    if not (fresh and last is not None and version == last):
                        if reconnect:
                            last = version
                        yield version
                    fresh = False
            finally:
                writer.close()
        except (PlughostError, OSError) as e:
            if not reconnect or not _retryable(e, last is not None):
                raise
            delay = backoff.delay()
            log.warning("following %s: %s; reconnecting in %.1f s", os.fsdecode(raw), e, delay)
            await asyncio.sleep(delay)

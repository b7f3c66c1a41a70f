"""Connections and blocking I/O with deadlines.

Sockets are non-blocking underneath (Python's socket timeouts): every call
gets the time left until its deadline, so a deadline bounds a whole answer.
"""
from __future__ import annotations

import errno
import select
import socket
import time
from typing import List, Optional, Sequence

from ._address import Address
from ._errors import (
    ConnectFailedError,
    ConnectRefusedError,
    ConnectTimeoutError,
    ServerClosedError,
    ServerTimeoutError,
)

_MAX_PIECES = 1024  # IOV_MAX on Linux


class Deadline:
    """A moment on the monotonic clock, or none (wait for ever)."""

    __slots__ = ("at",)

    def __init__(self, seconds: Optional[float]):
        self.at = None if seconds is None else time.monotonic() + seconds

    def left(self) -> Optional[float]:
        """Seconds left (0 once passed), or None without a limit."""
        if self.at is None:
            return None
        return max(0.0, self.at - time.monotonic())


def _connect_one(family: int, sockaddr, deadline: Deadline) -> socket.socket:
    s = socket.socket(family, socket.SOCK_STREAM)  # close-on-exec: Python's default
    try:
        s.setblocking(False)
        err = s.connect_ex(sockaddr)
        if err in (errno.EINPROGRESS, errno.EAGAIN):
            left = deadline.left()
            p = select.poll()
            p.register(s, select.POLLOUT)
            while True:
                try:
                    ready = p.poll(None if left is None else left * 1000)
                    break
                except InterruptedError:
                    left = deadline.left()
            if not ready:
                raise OSError(errno.ETIMEDOUT, "timed out")
            err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err:
            raise OSError(err, errno.errorcode.get(err, str(err)))
        return s
    except BaseException:
        s.close()
        raise


def connect(address: Address, timeout: Optional[float]) -> socket.socket:
    """Connects within the timeout, trying every resolved address in turn.

    TCP connections get TCP_NODELAY. Raises ConnectRefusedError,
    ConnectTimeoutError or ConnectFailedError.
    """
    deadline = Deadline(timeout)
    name = str(address)
    if address.kind == "unix":
        targets = [(socket.AF_UNIX, address.path)]
    else:
        try:
            infos = socket.getaddrinfo(address.host or None, address.port, socket.AF_UNSPEC,
                                       socket.SOCK_STREAM, 0, socket.AI_NUMERICSERV)
        except socket.gaierror as e:
            raise ConnectFailedError(f"cannot resolve {address.host}: {e.strerror}") from None
        targets = [(info[0], info[4]) for info in infos]
    last: Optional[OSError] = None
    for family, sockaddr in targets:
        try:
            s = _connect_one(family, sockaddr, deadline)
        except OSError as e:
            last = e
            continue
        if family != socket.AF_UNIX:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s
    assert last is not None
    if last.errno == errno.ECONNREFUSED:
        raise ConnectRefusedError(f"connection refused by {name} (is the server running?)")
    if last.errno == errno.ETIMEDOUT:
        raise ConnectTimeoutError(f"cannot connect to {name}: timed out")
    raise ConnectFailedError(f"cannot connect to {name}: {last.strerror or last}")


def set_keepalive(s: socket.socket) -> None:
    """Lets a TCP connection notice a peer that vanished (about 25 s idle)."""
    if s.family == socket.AF_UNIX:
        return
    s.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE, 10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL, 5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPCNT, 3)


def recv_into(s: socket.socket, view: memoryview, deadline: Deadline) -> int:
    """Fills the view until it is full or the peer closed; returns the count.

    Raises ServerTimeoutError or, for a reset, ServerClosedError.
    """
    got = 0
    n = len(view)
    while got < n:
        r = recv_some_into(s, view[got:], deadline)
        if r == 0:
            break
        got += r
    return got


def recv_some_into(s: socket.socket, view: memoryview, deadline: Deadline) -> int:
    """One read of at most len(view) bytes; 0 at end of stream."""
    while True:
        s.settimeout(deadline.left())
        try:
            return s.recv_into(view)
        except InterruptedError:
            continue
        except (socket.timeout, BlockingIOError):  # BlockingIOError: no time left
            raise ServerTimeoutError("timed out waiting for the server") from None
        except ConnectionResetError:
            raise ServerClosedError("the server reset the connection") from None


def send_all(s: socket.socket, pieces: Sequence, deadline: Deadline) -> None:
    """Writes every byte of every piece, in order, in gathering writes.

    The pieces are bytes-like and are sent from where they lie (no joining).
    Raises ServerTimeoutError or ServerClosedError.
    """
    views: List[memoryview] = []
    for p in pieces:
        v = p if isinstance(p, memoryview) else memoryview(p)
        if v.ndim != 1 or v.itemsize != 1:
            v = v.cast("B")
        if len(v):
            views.append(v)
    first = 0
    while first < len(views):
        s.settimeout(deadline.left())
        try:
            done = s.sendmsg(views[first:first + _MAX_PIECES], (), socket.MSG_NOSIGNAL)
        except InterruptedError:
            continue
        except (socket.timeout, BlockingIOError):  # BlockingIOError: no time left
            raise ServerTimeoutError("timed out sending to the server") from None
        except (BrokenPipeError, ConnectionResetError):
            raise ServerClosedError("the server closed the connection") from None
        while first < len(views) and done >= len(views[first]):
            done -= len(views[first])
            first += 1
        if done:
            views[first] = views[first][done:]

"""Client side of the image service: pictures, fills, queries and the clock.

Conversation: connect, reply 0; the key handshake; then requests, every word
32-bit big-endian. Answers to pictures, fills and queries come back in the
order of the requests; a time-stamp answer comes at once, so it may overtake
them: the client therefore waits for every answer still due before it starts
a time-stamp exchange.
"""
from __future__ import annotations

import collections
import logging
import os
import socket
import struct
import time
from pathlib import Path
from typing import Any, Deque, Optional, Tuple, Union

from . import _net
from ._address import parse_address
from ._errors import (
    IMAGE,
    PlughostError,
    ProtocolError,
    ReplyError,
    ScheduleError,
    ServerClosedError,
    ServerTimeoutError,
    is_reply_code,
)
from ._pixels import colour_word, rgb_view
from .clock import ClockEstimate, estimate_clock, nearest_with_low_bits, wall_clock_us
from .keyfile import default_key_file_path, read_key_file, write_key_file

log = logging.getLogger("plughost_client")

_SHOW, _FILL, _TIME_STAMP, _QUERY = 0, 1, 2, 3
_MOMENT = 0xFFFFFFFD  # Word0 -3: present the next picture or fill at a moment
_MAX_COORD = 2147483647

#: Query names and the numbers the viewer knows them by.
QUERIES = {"width": 1, "height": 2, "frames": 3, "onset": 4, "refresh": 5, "late": 6}

#: A clock estimate older than this (seconds) is measured again before it is used.
CLOCK_MAX_AGE = 60.0
#: present_at must lie within this many seconds of now (32 bits of µs span 71 minutes).
PRESENT_AT_RANGE = 1800.0

_HEADER = struct.Struct(">5I")
_STAMP_REQUEST = struct.Struct(">IQ")
_STAMP_ANSWER = struct.Struct(">8s4I")


class Pending:
    """The answer to a request sent without waiting (``submit_show``, ...).

    Answers arrive in the order of the requests; ``result()`` reads every
    answer due before this one.
    """

    __slots__ = ("_client", "_kind", "_value", "_error", "_moment")

    def __init__(self, client: "ImageClient", kind: str, moment: Optional["Pending"] = None):
        self._client = client
        self._kind = kind  # "show", "fill", "query" or "moment"
        self._value: Optional[int] = None
        self._error: Optional[BaseException] = None
        self._moment = moment

    def done(self) -> bool:
        """True once the answer (or the failure) is in."""
        return self._value is not None or self._error is not None

    def result(self, timeout: Optional[float] = None) -> int:
        """The viewer's result: 0 once presented, or its own non-zero answer.

        ``timeout`` bounds the whole wait; None gives each answer still due
        the client's timeout. Raises ServerTimeoutError when it passes (the
        request stays due: call again), ReplyError for a code the server sent
        on its own, ScheduleError when a ``present_at`` moment was refused.
        """
        if not self.done():
            self._client._wait_for(self, timeout)
        if self._error is not None:
            raise self._error
        assert self._value is not None
        m = self._moment
        if m is not None:
            if m._error is not None:
                raise m._error
            if m._value != 0:
                raise ScheduleError(m._value or 0, self._value)
        return self._value

    def _settle(self, word: int) -> None:
        if self._kind in ("show", "fill", "moment") and word != 0 and is_reply_code(word, IMAGE):
            self._error = ReplyError(word, IMAGE, self._kind)
        else:
            self._value = word


class ImageClient:
    """A connection to the image service, admitted with the server's key.

    ``address``: ``host:port``, ``[v6]:port`` or ``unix:/path``. ``timeout``
    (seconds, None for none) bounds the connection and every answer.

    The key is handled as ovclient handles it, in the same key file:

    - ``key=K`` presents K and stores nothing.
    - Otherwise the key file (``key_file=``, or ovclient's file for this
      address) is used: with no key stored, the client asks the server for
      one and stores it; a stored key refused with 27 (the server restarted)
      is replaced by a newly issued one; 26 means someone else holds the key.
    - ``hold=True`` insists on being issued the key (ReplyError 26 when the
      server issued it already), so a long-running script is the holder.

    The client that was issued the key (``holds_key``) keeps it for its
    lifetime: when it closes, the server closes every other client (later
    connections presenting the key are admitted as usual).

    Not safe for use from several threads at once.
    """

    def __init__(self, address: str = "127.0.0.1:7411", key: Optional[int] = None,
                 key_file: Union[str, os.PathLike, None] = None, timeout: Optional[float] = 30.0,
                 hold: bool = False):
        self.address = parse_address(address)
        self.timeout = timeout
        self.holds_key = False
        self.key_file: Optional[Path] = None
        self._sock: Optional[socket.socket] = None
        self._rbuf = bytearray()
        self._due: Deque[Pending] = collections.deque()
        self._broken: Optional[BaseException] = None
        self._clock: Optional[ClockEstimate] = None
        if key is not None and not 1 <= key <= _MAX_COORD:
            raise ValueError(f"a key is a number from 1 to {_MAX_COORD}, not {key}")
        if key is not None and (hold or key_file is not None):
            raise ValueError("key= cannot be combined with hold= or key_file=")
        self.key = self._admit(key, key_file, hold)

    # ---- connection and key --------------------------------------------

    def _deadline(self) -> _net.Deadline:
        return _net.Deadline(self.timeout)

    def _connect(self) -> None:
        self.close()
        self._broken = None
        self._rbuf.clear()
        self._sock = _net.connect(self.address, self.timeout)
        word = self._read_word(self._deadline())
        if word != 0:
            self._fail_code(word, "the server refused the connection")

    def _fail_code(self, word: int, context: str, advice: str = "") -> None:
        self.close()
        if is_reply_code(word, IMAGE):
            raise ReplyError(word, IMAGE, context, advice=advice)
        raise ProtocolError(f"{context}: unexpected word {word}")

    def _present(self, key: int, advice26: str, advice27: str) -> None:
        self._send([struct.pack(">I", key)])
        word = self._read_word(self._deadline())
        if word != 0:
            self._fail_code(word, "the server refused the key",
                            advice26 if word == 26 else advice27 if word == 27 else "")

    def _request_key(self, advice26: str) -> int:
        self._send([b"\0\0\0\0"])
        word = self._read_word(self._deadline())
        if word != 0:
            self._fail_code(word, "the server issued no key", advice26 if word == 26 else "")
        key = self._read_word(self._deadline())
        if not 1 <= key <= _MAX_COORD:
            self.close()
            raise ProtocolError(f"the server issued the impossible key {key}")
        self.holds_key = True
        return key

    def _issue_and_store(self, file: Path) -> int:
        key = self._request_key(
            "the server has already issued its key to another client; get the key from its "
            f"holder and pass it with key= (or store it in {file})")
        try:
            write_key_file(file, key)
            log.info("key %d for %s stored in %s", key, self.address, file)
        except PlughostError as e:
            log.warning("%s; the key %d is not stored", e, key)
        return key

    def _admit(self, key: Optional[int], key_file: Any, hold: bool) -> int:
        self._connect()
        try:
            if key is not None:
                self._present(key, "the key given with key= is not the server's key",
                              "the server has no key yet: connect without key= to be issued one")
                return key
            file = Path(key_file) if key_file is not None else default_key_file_path(self.address)
            self.key_file = file
            if hold:
                return self._issue_and_store(file)
            stored = read_key_file(file)
            if stored is None:
                return self._issue_and_store(file)
            try:
                self._present(stored, f"the key stored in {file} is not the server's key: someone "
                                      "else holds the server's key. Get it from its holder and pass "
                                      "it with key=, or replace the file", "")
                return stored
            except ReplyError as e:
                if e.code != 27:
                    raise
            # 27: the server has issued no key since it started; ask for a new one.
            log.info("the stored key was refused: the server has no key yet (it restarted); "
                     "asking for a new one")
            self._connect()
            return self._issue_and_store(file)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Closes the connection. Answers still due are lost.

        Closing the client that holds the key makes the server close every
        other client.
        """
        if self._sock is not None:
            self._sock.close()
            self._sock = None
            self._break(ServerClosedError("the client was closed"))

    def __enter__(self) -> "ImageClient":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        sock = getattr(self, "_sock", None)
        if sock is not None:
            sock.close()

    # ---- I/O ------------------------------------------------------------

    def _break(self, error: BaseException) -> None:
        """The stream is out of step or gone: every answer still due fails."""
        if self._broken is None:
            self._broken = error
        while self._due:
            self._due.popleft()._error = error
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _usable(self) -> socket.socket:
        if self._sock is None:
            raise ServerClosedError(f"the connection is gone: {self._broken}")
        return self._sock

    def _send(self, pieces: list) -> None:
        sock = self._usable()
        try:
            _net.send_all(sock, pieces, self._deadline())
        except BaseException as e:
            # A request cut off midway leaves the stream out of step.
            self._break(e if isinstance(e, PlughostError) else ServerClosedError(str(e)))
            raise

    def _read_exact(self, n: int, deadline: _net.Deadline) -> bytes:
        """n bytes of the answers; a timeout keeps what arrived for the next call."""
        sock = self._usable()
        buf = self._rbuf
        while len(buf) < n:
            sock.settimeout(deadline.left())
            try:
                chunk = sock.recv(65536)
            except InterruptedError:
                continue
            except (socket.timeout, BlockingIOError):  # BlockingIOError: no time left
                raise ServerTimeoutError("timed out waiting for the server's answer") from None
            except OSError as e:
                err = ServerClosedError(f"the connection failed: {e}")
                self._break(err)
                raise err from None
            if not chunk:
                err = ServerClosedError("the server closed the connection" if not buf else
                                        "the server closed the connection in the middle of an answer")
                self._break(err)
                raise err
            buf += chunk
        data = bytes(buf[:n])
        del buf[:n]
        return data

    def _read_word(self, deadline: _net.Deadline) -> int:
        return int.from_bytes(self._read_exact(4, deadline), "big")

    def _settle_next(self, deadline: _net.Deadline) -> None:
        word = self._read_word(deadline)
        self._due.popleft()._settle(word)

    def _wait_for(self, p: Pending, timeout: Optional[float]) -> None:
        whole = None if timeout is None else _net.Deadline(timeout)
        while not p.done():
            if not self._due:
                raise ServerClosedError(f"the connection is gone: {self._broken}")
            self._settle_next(whole or self._deadline())

    def wait_all(self, timeout: Optional[float] = None) -> None:
        """Waits for every answer still due (see Pending.result for timeout)."""
        whole = None if timeout is None else _net.Deadline(timeout)
        while self._due:
            self._settle_next(whole or self._deadline())

    @property
    def pending(self) -> int:
        """Requests sent whose answers have not been read yet."""
        return len(self._due)

    # ---- requests -------------------------------------------------------

    def _moment_header(self, t: float) -> bytes:
        now = time.time()
        if not abs(t - now) <= PRESENT_AT_RANGE:
            raise ValueError(f"present_at must lie within {PRESENT_AT_RANGE:.0f} s of now; "
                             f"{t:.6f} is {t - now:+.3f} s away")
        est = self._fresh_clock()
        server_us = round(t * 1e6 + est.offset_us)
        return _HEADER.pack(_SHOW, 0, 0, _MOMENT, server_us & 0xFFFFFFFF)

    def _submit(self, kind: str, pieces: list, present_at: Optional[float]) -> Pending:
        moment = None
        if present_at is not None:
            pieces = [self._moment_header(present_at)] + pieces
            moment = Pending(self, "moment")
        self._send(pieces)
        if moment is not None:
            self._due.append(moment)
        p = Pending(self, kind, moment)
        self._due.append(p)
        return p

    def submit_show(self, pixels: Any, at: Tuple[int, int] = (0, 0),
                    size: Optional[Tuple[int, int]] = None,
                    present_at: Optional[float] = None) -> Pending:
        """Sends a picture and returns at once; ``.result()`` gives its answer.

        ``pixels``: numpy uint8 (height, width, 3), a PIL image, or RGB bytes
        with ``size=(width, height)``; sent from where they lie. ``at``: the
        top-left corner, x 0 ... 2147483647, y any 32-bit value (a negative y
        clips the top rows). ``present_at``: seconds since the epoch on the
        local clock; the picture is presented at the first refresh at or after
        that moment (result 1003 when more than one refresh later). The server
        holds every picture queued in memory until the viewer takes it, so keep
        the number in flight bounded.
        """
        width, height, view = rgb_view(pixels, size)
        try:
            if isinstance(at, (str, bytes)):
                raise TypeError
            x, y = (int(v) for v in at)
        except (TypeError, ValueError):
            raise ValueError(f"at must be (x, y), not {at!r}") from None
        if not 0 <= x <= _MAX_COORD:
            raise ValueError(f"x must be 0 to {_MAX_COORD}, not {x} (a negative x would be "
                             "another request)")
        if not -_MAX_COORD - 1 <= y <= _MAX_COORD:
            raise ValueError(f"y must be a 32-bit number, not {y}")
        header = _HEADER.pack(_SHOW, width, height, x, y & 0xFFFFFFFF)
        return self._submit("show", [header, view], present_at)

    def submit_fill(self, colour: Union[int, str, Tuple[int, int, int]],
                    present_at: Optional[float] = None) -> Pending:
        """Sends a fill of the whole screen (0xRRGGBB, "#RRGGBB" or (r, g, b))."""
        word = colour_word(colour)
        return self._submit("fill", [struct.pack(">2I", _FILL, word)], present_at)

    def submit_query(self, what: Union[str, int]) -> Pending:
        """Sends a query; its answer is the value (see :meth:`query`)."""
        if isinstance(what, str):
            if what not in QUERIES:
                raise ValueError(f"query takes {', '.join(QUERIES)} or a number, not {what!r}")
            a = QUERIES[what]
        elif isinstance(what, int) and not isinstance(what, bool) and 0 <= what <= 0xFFFFFFFF:
            a = what
        else:
            raise ValueError(f"query takes {', '.join(QUERIES)} or a number, not {what!r}")
        return self._submit("query", [struct.pack(">3I", _QUERY, a, 0)], None)

    def show(self, pixels: Any, at: Tuple[int, int] = (0, 0), size: Optional[Tuple[int, int]] = None,
             present_at: Optional[float] = None) -> int:
        """Shows a picture and waits: 0 once presented, else the viewer's result.

        Raises ReplyError for a code the server sent on its own (19 ... 29).
        See :meth:`submit_show` for the arguments.
        """
        return self.submit_show(pixels, at, size, present_at).result()

    def fill(self, colour: Union[int, str, Tuple[int, int, int]],
             present_at: Optional[float] = None) -> int:
        """Fills the screen with one colour and waits for the result."""
        return self.submit_fill(colour, present_at).result()

    def query(self, what: Union[str, int]) -> int:
        """Asks the viewer: "width", "height", "frames" (presented since it
        started), "onset" (server µs of the last presentation, low 32 bits),
        "refresh" (refresh period in µs, 0 unknown), "late" (late
        presentations), or a number. The value is returned as it came: a
        viewer that does not know the query answers 1001."""
        return self.submit_query(what).result()

    # ---- clock ----------------------------------------------------------

    def _exchange(self) -> Tuple[int, int, int, int]:
        t0 = wall_clock_us()
        request = _STAMP_REQUEST.pack(_TIME_STAMP, t0)
        self._send([request])
        deadline = self._deadline()
        code = self._read_word(deadline)
        if code != 0:
            if is_reply_code(code, IMAGE):
                raise ReplyError(code, IMAGE, "the time-stamp exchange failed")
            self._break(ProtocolError(f"time-stamp answer: unexpected word {code}"))
            raise self._broken  # type: ignore[misc]
        echo, s1, u1, s2, u2 = _STAMP_ANSWER.unpack(self._read_exact(24, deadline))
        t3 = wall_clock_us()
        if echo != request[4:] or u1 >= 1000000 or u2 >= 1000000:
            self._break(ProtocolError("the time-stamp answer does not carry the bytes sent or "
                                      "holds more than 999999 microseconds"))
            raise self._broken  # type: ignore[misc]
        # The server sends the low 32 bits of its seconds; the local clock tells the rest.
        t1 = nearest_with_low_bits(s1, t0 // 1000000) * 1000000 + u1
        t2 = nearest_with_low_bits(s2, t0 // 1000000) * 1000000 + u2
        return t0, t1, t2, t3

    def clock(self, samples: int = 16) -> ClockEstimate:
        """Measures the server clock's offset from the local clock.

        Waits first for every answer still due (a time-stamp answer would
        overtake them), then makes ``samples`` exchanges. The estimate is kept
        for ``present_at`` and ``presented_at``.
        """
        if samples < 1:
            raise ValueError("clock() needs at least one sample")
        self.wait_all()
        est = estimate_clock([self._exchange() for _ in range(samples)])
        self._clock = est
        return est

    @property
    def clock_estimate(self) -> Optional[ClockEstimate]:
        """The last estimate measured, or None."""
        return self._clock

    def _fresh_clock(self) -> ClockEstimate:
        est = self._clock
        if est is None or time.monotonic() - est.measured_at > CLOCK_MAX_AGE:
            est = self.clock()
        return est

    def presented_at(self) -> Optional[Tuple[float, float]]:
        """When the last picture or fill was presented, on the local clock:
        (seconds since the epoch, ± seconds); None before the first one."""
        low = self.query("onset")
        if low == 0 and self.query("frames") == 0:
            return None
        est = self._fresh_clock()
        reference = wall_clock_us() + round(est.offset_us)
        server_us = nearest_with_low_bits(low, reference)
        return (server_us - est.offset_us) / 1e6, est.uncertainty_us / 1e6

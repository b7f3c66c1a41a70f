"""Exceptions of plughost_client and the server's reply codes in words."""
from __future__ import annotations

from typing import Optional

#: The two services a reply code can come from.
FILE = "file"
IMAGE = "image"

_FILE_CODES = {
    0: "accepted",
    18: "the server has no memory or buffer space for this client (its path, the watcher's "
        "output or the relay)",
    23: "reading the watcher's output failed on the server (the watcher was stopped)",
    25: "the watcher on the server ended",
}

_IMAGE_CODES = {
    0: "success",
    19: "internal failure on the server (memory, queue, buffer or write), or the viewer is "
        "unavailable (state -2)",
    20: "the viewer is unavailable (state -3)",
    21: "the viewer is unavailable (state -4)",
    22: "the viewer exited with status 127 and will not be restarted",
    23: "the viewer could not be started (its argument vector failed, state -1)",
    24: "the viewer's result could not be read",
    25: "the viewer could not be written to",
    26: "the key presented does not match the server's key",
    27: "a key was presented but the server has not issued one yet",
    28: "the server could not read its clock",
    29: "the viewer is unavailable, or it exited with status 0 during the request",
}

_VIEWER_RESULTS = {
    1001: "the viewer rejected the request (result 1001)",
    1002: "the viewer could not hold the picture's pixels (result 1002)",
    1003: "the picture was presented later than one refresh after its moment (result 1003)",
}


def is_reply_code(code: int, service: str) -> bool:
    """True for the words the server sends as reply codes in that service."""
    return code in (_FILE_CODES if service == FILE else _IMAGE_CODES)


def describe_reply(code: int, service: str) -> str:
    """A reply code (or, for the image service, a viewer result) in words."""
    table = _FILE_CODES if service == FILE else _IMAGE_CODES
    if code in table:
        return table[code]
    if service == FILE:
        return f"unknown reply code {code}"
    if code in _VIEWER_RESULTS:
        return _VIEWER_RESULTS[code]
    return (f"the viewer's own result {code} (or the exit status of a viewer that died "
            "during the request)")


class PlughostError(Exception):
    """Base of every error this package raises about the server or its answers."""


class ReplyError(PlughostError):
    """The server answered with a reply code of its own instead of going on.

    ``code`` is the code, ``meaning`` the code in words, ``service`` ``"file"`` or
    ``"image"``. ``mid_version`` is true for a file-follow 18 that arrived in the
    middle of a version (the partial version is dropped).
    """

    def __init__(self, code: int, service: str, context: str = "", mid_version: bool = False,
                 advice: str = ""):
        self.code = code
        self.service = service
        self.meaning = describe_reply(code, service)
        self.mid_version = mid_version
        text = f"reply code {code}: {self.meaning}"
        if context:
            text = f"{context}: {text}"
        if mid_version:
            text += " (in the middle of a version, which was dropped)"
        if advice:
            text += "\n  " + advice
        super().__init__(text)


class ProtocolError(PlughostError):
    """The server sent something the protocol does not allow at that point."""


class ServerClosedError(PlughostError, ConnectionError):
    """The server closed the connection without a reply code (or in mid-answer)."""


class ConnectFailedError(PlughostError, ConnectionError):
    """The connection could not be made (no such host or socket, unreachable, ...)."""


class ConnectRefusedError(ConnectFailedError, ConnectionRefusedError):
    """Nobody listens at the address."""


class ConnectTimeoutError(ConnectFailedError, TimeoutError):
    """The connection was not made within the timeout."""


class ServerTimeoutError(PlughostError, TimeoutError):
    """The server did not answer (or take a request) within the timeout."""


class KeyFileError(PlughostError):
    """The key file cannot be read, holds no key, or cannot be written."""

    def __init__(self, message: str, path: Optional[str] = None):
        super().__init__(message)
        self.path = path


class AddressError(PlughostError, ValueError):
    """The address text is not ``host:port``, ``[v6]:port`` or ``unix:/path``."""


class ScheduleError(PlughostError):
    """The viewer did not accept a presentation moment.

    The picture or fill that followed was still answered: ``result`` holds the
    viewer's answer to the moment (e.g. 1001 from a viewer that does not know the
    request) and ``picture_result`` the answer to the picture, which was then
    presented at once.
    """

    def __init__(self, result: int, picture_result: int):
        self.result = result
        self.picture_result = picture_result
        super().__init__(
            f"the viewer did not accept the presentation moment: result {result} "
            f"({describe_reply(result, IMAGE)}); the picture was presented at once "
            f"with result {picture_result}")

"""Server addresses as plughost's --listen takes them."""
from __future__ import annotations

import os
import socket
from dataclasses import dataclass

from ._errors import AddressError

_SUN_PATH_MAX = 107  # sizeof(sockaddr_un.sun_path) - 1 on Linux
_HOST_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_")


@dataclass(frozen=True)
class Address:
    """A parsed server address: TCP ``host``/``port`` or a Unix socket ``path``.

    ``str(address)`` is the canonical text; it names the key file.
    """

    kind: str  # "tcp" or "unix"
    host: str = ""
    port: int = 0
    path: str = ""

    def __str__(self) -> str:
        if self.kind == "unix":
            return "unix:" + self.path
        if ":" in self.host:
            return f"[{self.host}]:{self.port}"
        return f"{self.host}:{self.port}"


def _bad(text: str, why: str) -> AddressError:
    return AddressError(f'bad address "{text}": {why} (expected host:port, [v6]:port or unix:/path)')


def _port(text: str, port: str) -> int:
    if not port:
        raise _bad(text, "the port is missing")
    if len(port) > 5:
        raise _bad(text, "the port is out of range")
    if not all("0" <= c <= "9" for c in port):
        raise _bad(text, "the port is not a number")
    value = int(port)
    if not 1 <= value <= 65535:
        raise _bad(text, "the port must be 1 to 65535")
    return value


def parse_address(text: str) -> Address:
    """Parses ``host:port``, ``[v6]:port`` or ``unix:/path``.

    An empty host (``":7411"``) means this machine. Port 0 and bare IPv6
    addresses without brackets are refused. Raises :class:`AddressError`.
    """
    if not isinstance(text, str):
        raise AddressError(f"an address is a string, not {type(text).__name__}")
    if text.startswith("unix:"):
        path = text[5:]
        if not path:
            raise _bad(text, "the socket path is empty")
        if "\0" in path:
            raise _bad(text, "the socket path holds a NUL byte")
        if len(os.fsencode(path)) > _SUN_PATH_MAX:
            raise _bad(text, f"the socket path is longer than {_SUN_PATH_MAX} bytes")
        return Address("unix", path=path)
    if text.startswith("["):
        close = text.find("]")
        if close < 0:
            raise _bad(text, "the ']' after the IPv6 address is missing")
        v6 = text[1:close]
        if not v6:
            raise _bad(text, "the IPv6 address is empty")
        try:
            socket.inet_pton(socket.AF_INET6, v6)
        except OSError:
            raise _bad(text, "not an IPv6 address") from None
        rest = text[close + 1:]
        if not rest.startswith(":"):
            raise _bad(text, "':port' must follow the ']'")
        return Address("tcp", host=v6, port=_port(text, rest[1:]))
    colon = text.rfind(":")
    if colon < 0:
        raise _bad(text, "the ':port' is missing")
    host = text[:colon]
    if ":" in host:
        raise _bad(text, "an IPv6 address must stand in brackets")
    if any(c not in _HOST_CHARS for c in host):
        raise _bad(text, "the host holds a character no host name has")
    return Address("tcp", host=host, port=_port(text, text[colon + 1:]))

"""The image service's key file, shared with ovclient: one file per server address.

``$XDG_STATE_HOME/ovclient/<address>`` (or ``~/.local/state/ovclient/<address>``),
the address text with every byte other than letters, digits, ``.``, ``-`` and
``_`` written as ``%XX``; the key in decimal and a line end; mode 0600;
replaced atomically; missing directories created with mode 0700.
"""
from __future__ import annotations

import errno
import os
import tempfile
from pathlib import Path
from typing import Mapping, Optional, Union

from ._address import Address, parse_address
from ._errors import KeyFileError

_SAFE = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_")
_MAX_NAME = 200
_MAX_KEY = 2147483647


def sanitise_for_file_name(text: str) -> str:
    """The address text made safe as one file name (as ovclient makes it)."""
    raw = os.fsencode(text)
    out = "".join(chr(c) if c in _SAFE else f"%{c:02X}" for c in raw)
    if out in (".", ".."):
        out = "%2E" + out[1:]
    if len(out) > _MAX_NAME:
        # FNV-1a over the whole text keeps long names apart.
        h = 1469598103934665603
        for c in raw:
            h = ((h ^ c) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
        out = out[:_MAX_NAME - 17] + f"~{h:016x}"
    return out


def default_key_file_path(address: Union[str, Address],
                          environ: Optional[Mapping[str, str]] = None) -> Path:
    """Where ovclient keeps the key for this address.

    ``$XDG_STATE_HOME/ovclient/<name>``, or ``$HOME/.local/state/ovclient/<name>``
    when XDG_STATE_HOME is unset, empty or relative. Raises KeyFileError when
    neither names an absolute directory.
    """
    env = os.environ if environ is None else environ
    if isinstance(address, str):
        address = parse_address(address)
    xdg = env.get("XDG_STATE_HOME", "")
    home = env.get("HOME", "")
    if xdg and os.path.isabs(xdg):
        base = Path(xdg)
    elif home and os.path.isabs(home):
        base = Path(home) / ".local" / "state"
    else:
        raise KeyFileError("no place for the key file: neither XDG_STATE_HOME nor HOME names an "
                           "absolute directory (pass key_file=)")
    return base / "ovclient" / sanitise_for_file_name(str(address))


def read_key_file(path: Union[str, Path]) -> Optional[int]:
    """The key stored in the file, or None when the file does not exist.

    Raises KeyFileError when it cannot be read or holds no key (a decimal
    number from 1 to 2147483647, optionally followed by a line end).
    """
    path = Path(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise KeyFileError(f"cannot open the key file {path}: {e.strerror}", str(path)) from None
    try:
        data = b""
        while len(data) < 64:
            chunk = os.read(fd, 64 - len(data))
            if not chunk:
                break
            data += chunk
    except OSError as e:
        raise KeyFileError(f"cannot read the key file {path}: {e.strerror}", str(path)) from None
    finally:
        os.close(fd)
    if data.endswith(b"\n"):
        data = data[:-1]
    if not data or len(data) > 10 or not data.isdigit() or not 1 <= int(data) <= _MAX_KEY:
        raise KeyFileError(f"the key file {path} holds no key (a number from 1 to 2147483647)",
                           str(path))
    return int(data)


def write_key_file(path: Union[str, Path], key: int) -> None:
    """Stores the key, replacing the file atomically (mode 0600).

    Missing directories are created with mode 0700. Raises KeyFileError.
    """
    path = Path(path)
    if not 1 <= key <= _MAX_KEY:
        raise ValueError(f"a key is a number from 1 to {_MAX_KEY}, not {key}")
    folder = path.parent
    try:
        os.makedirs(folder, mode=0o700, exist_ok=True)
    except OSError as e:
        raise KeyFileError(f"cannot create the directory {folder}: {e.strerror or e}",
                           str(path)) from None
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + path.name + ".", dir=folder)  # mode 0600
    except OSError as e:
        raise KeyFileError(f"cannot create a file beside {path}: {e.strerror}", str(path)) from None
    try:
        try:
            os.write(fd, f"{key}\n".encode())
            os.fchmod(fd, 0o600)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(tmp, path)
    except OSError as e:
        try:
            os.unlink(tmp)
        except OSError as gone:
            if gone.errno != errno.ENOENT:
                raise
        raise KeyFileError(f"cannot write the key file {path}: {e.strerror}", str(path)) from None

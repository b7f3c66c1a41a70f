"""plughost_client: pictures on plughost's display and files followed from afar.

::

    import plughost_client as pc

    with pc.ImageClient("127.0.0.1:7411") as img:
        img.fill("#204080")
        img.show(pixels, at=(100, 50))          # numpy uint8 (H, W, 3)

    for version in pc.follow("/var/log/syslog", address="127.0.0.1:7412"):
        ...

Standard library only; numpy is used when a numpy array is given.
"""
from ._address import Address, parse_address
from ._errors import (
    AddressError,
    ConnectFailedError,
    ConnectRefusedError,
    ConnectTimeoutError,
    KeyFileError,
    PlughostError,
    ProtocolError,
    ReplyError,
    ScheduleError,
    ServerClosedError,
    ServerTimeoutError,
    describe_reply,
    is_reply_code,
)
from .clock import ClockEstimate, estimate_clock, nearest_with_low_bits
from .follow import follow, follow_async
from .image import QUERIES, ImageClient, Pending
from .keyfile import default_key_file_path, read_key_file, sanitise_for_file_name, write_key_file

__version__ = "0.1.0"

__all__ = [
    "Address", "AddressError", "ClockEstimate", "ConnectFailedError", "ConnectRefusedError",
    "ConnectTimeoutError", "ImageClient", "KeyFileError", "Pending", "PlughostError",
    "ProtocolError", "QUERIES", "ReplyError", "ScheduleError", "ServerClosedError",
    "ServerTimeoutError", "default_key_file_path", "describe_reply", "estimate_clock", "follow",
    "follow_async", "is_reply_code", "nearest_with_low_bits", "parse_address", "read_key_file",
    "sanitise_for_file_name", "write_key_file",
]

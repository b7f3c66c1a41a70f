"""Pictures checked and turned into RGB bytes that can be sent where they lie."""
from __future__ import annotations

from typing import Any, Optional, Tuple

_MAX_REQUEST = 2147483647  # a request's length must fit a signed 32-bit number
_HEADER = 20


def _check_size(width: int, height: int) -> None:
    if width < 0 or height < 0:
        raise ValueError(f"an image cannot be {width} x {height} pixels")
    if width * height * 3 + _HEADER > _MAX_REQUEST:
        raise ValueError(f"an image of {width} x {height} pixels is too large for one request "
                         f"(width x height x 3 + 20 must not exceed {_MAX_REQUEST} bytes)")


def _from_numpy(arr: Any, size: Optional[Tuple[int, int]]) -> Tuple[int, int, memoryview]:
    import numpy as np  # only reached for numpy arrays

    if arr.dtype != np.uint8:
        raise ValueError(f"a numpy picture must have dtype uint8, not {arr.dtype}")
    if arr.ndim != 3 or arr.shape[2] != 3:
        raise ValueError(f"a numpy picture must have the shape (height, width, 3), not {arr.shape}")
    height, width = int(arr.shape[0]), int(arr.shape[1])
    if size is not None and tuple(size) != (width, height):
        raise ValueError(f"size={tuple(size)} does not match the array's {width} x {height} pixels")
    _check_size(width, height)
    if not arr.flags["C_CONTIGUOUS"]:
        arr = np.ascontiguousarray(arr)  # a strided view is copied once
    return width, height, memoryview(arr).cast("B")


def _from_pil(img: Any, size: Optional[Tuple[int, int]]) -> Tuple[int, int, memoryview]:
    width, height = (int(v) for v in img.size)
    if size is not None and tuple(size) != (width, height):
        raise ValueError(f"size={tuple(size)} does not match the image's {width} x {height} pixels")
    _check_size(width, height)
    if img.mode != "RGB":
        img = img.convert("RGB")
    return width, height, memoryview(img.tobytes())


def rgb_view(pixels: Any, size: Optional[Tuple[int, int]] = None) -> Tuple[int, int, memoryview]:
    """(width, height, bytes) of a picture, checked before anything is sent.

    ``pixels`` is a numpy uint8 array of shape (height, width, 3), a PIL image,
    or any bytes-like object of exactly width x height x 3 bytes with
    ``size=(width, height)``. Raises ValueError (TypeError for other objects).
    """
    if hasattr(pixels, "__array_interface__") and hasattr(pixels, "dtype"):
        return _from_numpy(pixels, size)
    if all(hasattr(pixels, a) for a in ("mode", "size", "tobytes", "convert")):
        return _from_pil(pixels, size)
    try:
        view = memoryview(pixels)
    except TypeError:
        raise TypeError("a picture is a numpy uint8 array (height, width, 3), a PIL image or "
                        f"RGB bytes with size=(width, height), not {type(pixels).__name__}") from None
    if size is None:
        raise ValueError("raw RGB bytes need size=(width, height)")
    try:
        width, height = (int(v) for v in size)
    except (TypeError, ValueError):
        raise ValueError(f"size must be (width, height), not {size!r}") from None
    _check_size(width, height)
    if not view.c_contiguous:
        raise ValueError("the RGB bytes must lie in one contiguous buffer")
    if view.nbytes != width * height * 3:
        raise ValueError(f"an image of {width} x {height} pixels needs {width * height * 3} RGB "
                         f"bytes, not {view.nbytes}")
    if view.ndim != 1 or view.itemsize != 1:
        view = view.cast("B")
    return width, height, view


def colour_word(colour: Any) -> int:
    """0xRRGGBB from an int, ``"#RRGGBB"``/``"0xRRGGBB"`` or an (r, g, b) tuple."""
    if isinstance(colour, bool):
        raise TypeError("a colour is 0xRRGGBB, '#RRGGBB' or (r, g, b), not a bool")
    if isinstance(colour, int):
        if not 0 <= colour <= 0xFFFFFF:
            raise ValueError(f"a colour is 0x000000 to 0xFFFFFF, not {colour:#x}")
        return colour
    if isinstance(colour, str):
        text = colour
        if text.startswith("#"):
            digits = text[1:]
        elif text[:2] in ("0x", "0X"):
            digits = text[2:]
        else:
            digits = ""
        if len(digits) == 6 and all(c in "0123456789abcdefABCDEF" for c in digits):
            return int(digits, 16)
        raise ValueError(f'a colour is #RRGGBB or 0xRRGGBB, not "{colour}"')
    if isinstance(colour, tuple) and len(colour) == 3:
        if all(isinstance(c, int) and 0 <= c <= 255 for c in colour):
            return (colour[0] << 16) | (colour[1] << 8) | colour[2]
        raise ValueError(f"an (r, g, b) colour holds three numbers 0 to 255, not {colour}")
    raise TypeError(f"a colour is 0xRRGGBB, '#RRGGBB' or (r, g, b), not {type(colour).__name__}")

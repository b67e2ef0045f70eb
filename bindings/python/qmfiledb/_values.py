"""The byte forms values usually take, as the ``odb`` tool writes them.

Attribute values are plain byte strings; these helpers make and read the
three conventional forms:

* u32: a 32-bit unsigned number, 4 bytes little-endian (what the ``less``,
  ``greater`` and ``equal`` walk criteria compare);
* text: UTF-8 bytes followed by one zero byte (what the ``text`` and
  ``wildcard`` criteria compare);
* UTF-16: the byte-order mark FF FE followed by UTF-16LE units, the form
  names are stored in.
"""

import struct

_U32 = struct.Struct("<I")


def encode_u32(number: int) -> bytes:
    """4 bytes, little-endian."""
    return _U32.pack(number)


def decode_u32(value: bytes) -> int:
    """The number in a 4-byte value; ValueError for any other length."""
    if len(value) != 4:
        raise ValueError("a u32 value is 4 bytes, not %d" % len(value))
    number: int = _U32.unpack(value)[0]
    return number


def encode_text(text: str) -> bytes:
    """UTF-8 bytes and a zero byte."""
    return text.encode("utf-8") + b"\0"


def encode_utf16(text: str) -> bytes:
    """FF FE, then the UTF-16LE units (no terminator)."""
    return b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")


def decode_text(value: bytes) -> str:
    """The text of a value in either text form, cut at the first zero.

    A value that starts with FF FE is UTF-16LE; any other is read as UTF-8,
    with bytes that are not UTF-8 replaced by U+FFFD.
    """
    value = bytes(value)
    if value[:2] == b"\xff\xfe":
        units = value[2:]
        units = units[:len(units) & ~1]
        for at in range(0, len(units), 2):
            if units[at] == 0 and units[at + 1] == 0:
                units = units[:at]
                break
        return units.decode("utf-16-le", "surrogatepass")
    end = value.find(b"\0")
    return (value if end < 0 else value[:end]).decode("utf-8", "replace")

"""Criteria of an object walk's attribute filter.

Each function makes one criterion on one attribute; pass a list of them as
``where=`` to :meth:`qmfiledb.Database.objects`.  By default an object must
pass every criterion; with ``match="any"`` one passing criterion is enough.

Texts and patterns are compared as the library stores text (UTF-8 and a zero
byte, :func:`qmfiledb.encode_text`): ``text`` ignores the case of ASCII
letters, ``wildcard`` understands ``*``, ``?``, ``{abc}``, ``{^abc}`` and
``\\x``.  Numbers are compared with 4-byte values (:func:`qmfiledb.encode_u32`).
"""

from dataclasses import dataclass
from typing import Union

from ._values import encode_text, encode_u32

PRESENT, BYTES, TEXT, LESS, GREATER, EQUAL, WILDCARD, ABSENT = 0, 1, 2, 4, 8, 16, 32, 0x80

BytesLike = Union[bytes, bytearray, memoryview]


@dataclass(frozen=True)
class Criterion:
    """One criterion: the attribute, the library's comparison kind, the value."""

    attribute: int
    kind: int
    value: bytes = b""


def present(attribute: int) -> Criterion:
    """The attribute exists."""
    return Criterion(attribute, PRESENT)


def absent(attribute: int) -> Criterion:
    """The attribute does not exist."""
    return Criterion(attribute, ABSENT)


def equal_bytes(attribute: int, value: BytesLike) -> Criterion:
    """The value is exactly these bytes."""
    return Criterion(attribute, BYTES, bytes(value))


def text(attribute: int, value: str) -> Criterion:
    """The value is this text (UTF-8 and a zero byte), ASCII case ignored."""
    return Criterion(attribute, TEXT, encode_text(value))


def wildcard(attribute: int, pattern: str) -> Criterion:
    """The value (UTF-8 text and a zero byte) matches the pattern."""
    if not pattern:
        raise ValueError("a wildcard pattern is not empty")
    return Criterion(attribute, WILDCARD, encode_text(pattern))


def less(attribute: int, number: int) -> Criterion:
    """The value is a 4-byte number below this one."""
    return Criterion(attribute, LESS, encode_u32(number))


def greater(attribute: int, number: int) -> Criterion:
    """The value is a 4-byte number above this one."""
    return Criterion(attribute, GREATER, encode_u32(number))


def equal(attribute: int, number: int) -> Criterion:
    """The value is a 4-byte number equal to this one."""
    return Criterion(attribute, EQUAL, encode_u32(number))

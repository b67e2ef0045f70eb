"""Exceptions: one class per status the library returns.

Every class derives from :class:`Error`, which carries the status value and
its symbolic name.  Lock waits that ran out of time also derive from the
built-in :class:`TimeoutError`, and a missing attribute from
:class:`KeyError`, so that mapping code and retry loops can catch them the
way they catch any other Python failure.
"""

from typing import Any, Dict, Optional, Tuple, Type


class Error(Exception):
    """A failure reported by the library.

    ``status`` is the 32-bit status value, ``name`` its symbolic name (for
    example ``"ODB_E_LOCK_TIMEOUT"``).
    """

    status: int = 0
    name: str = "ODB_E_UNKNOWN"

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status
        self.message = message

    def __str__(self) -> str:
        return "%s (%s, 0x%08X)" % (self.message, self.name, self.status)

    def __reduce__(self) -> Tuple[Any, ...]:  # errors cross process boundaries in multiprocessing
        return (_rebuild, (self.status, self.message))


class TimedOut(Error, TimeoutError):
    """A lock could not be taken within its time-out; the call may be retried."""


class NoSuchAttribute(Error, KeyError):
    """The attribute does not exist."""


class NoSuchObject(Error, LookupError):
    """The object does not exist in the form asked for."""


_by_status: Dict[int, Type[Error]] = {}


def _define(status: int, name: str, class_name: str, doc: str, base: Type[Error] = Error) -> Type[Error]:
    cls = type(class_name, (base,), {"__doc__": doc, "status": status, "name": name,
                                     "__module__": "qmfiledb"})
    _by_status[status] = cls
    return cls


NoMoreItems = _define(0xDB000001, "ODB_E_NO_MORE_ITEMS", "NoMoreItems", "A walk has delivered its last item.")
NoDatabase = _define(0xDB000002, "ODB_E_NO_DATABASE", "NoDatabase", "The directory holds no database.")
InvalidContext = _define(0xDB000003, "ODB_E_INVALID_CONTEXT", "InvalidContext",
                         "The object or walk is closed, or belongs to another process.")
NameNotIndexed = _define(0xDB000004, "ODB_E_NAME_NOT_INDEXED", "NameNotIndexed", "The name is not in the name index.")
UnsupportedVersion = _define(0xDB000007, "ODB_E_UNSUPPORTED_VERSION", "UnsupportedVersion",
                             "A record file carries an unsupported version.")
DatabaseExists = _define(0xDB000009, "ODB_E_DATABASE_EXISTS", "DatabaseExists", "A database exists there already.")
MarkerWrite = _define(0xDB00000A, "ODB_E_MARKER_WRITE", "MarkerWrite", "The marker file could not be written.")
InvalidDatabase = _define(0xDB00000B, "ODB_E_INVALID_DATABASE", "InvalidDatabase",
                          "The database is closed, or belongs to another process.")
DatabaseInUse = _define(0xDB00000C, "ODB_E_DATABASE_IN_USE", "DatabaseInUse",
                        "Another handle of the database is open.")
ObjectProbe = _define(0xDB000013, "ODB_E_OBJECT_PROBE", "ObjectProbe", "The object directory could not be probed.")
FileAccess = _define(0xDB000014, "ODB_E_FILE_ACCESS", "FileAccess", "A file could not be opened or read.")
FileCreate = _define(0xDB000015, "ODB_E_FILE_CREATE", "FileCreate", "A record file could not be created.")
FileWrite = _define(0xDB000016, "ODB_E_FILE_WRITE", "FileWrite", "A write failed or was short.")
BadHeader = _define(0xDB000017, "ODB_E_BAD_HEADER", "BadHeader", "A record file header is damaged.")
InvalidParameter = _define(0xDB000018, "ODB_E_INVALID_PARAMETER", "InvalidParameter",
                           "An argument was refused, or the name index is off.")
BufferTooSmall = _define(0xDB000020, "ODB_E_BUFFER_TOO_SMALL", "BufferTooSmall", "A buffer was too small.")
IndexLockTimeout = _define(0xDB010000, "ODB_E_INDEX_LOCK_TIMEOUT", "IndexLockTimeout",
                           "A name index file stayed locked past its time-out.", TimedOut)
LockTimeout = _define(0xDB010001, "ODB_E_LOCK_TIMEOUT", "LockTimeout",
                      "A file stayed locked past the lock time-out.", TimedOut)
ObjectLocked = _define(0xDB010002, "ODB_E_OBJECT_LOCK", "ObjectLocked",
                       "The object stayed locked by another holder past the lock time-out.", TimedOut)
NotWritable = _define(0xDB010003, "ODB_E_NOT_WRITABLE", "NotWritable", "The object is not open for writing.")
MakeDirectory = _define(0xDB010004, "ODB_E_MAKE_DIRECTORY", "MakeDirectory", "A directory could not be created.")
ObjectExists = _define(0xDB010008, "ODB_E_OBJECT_EXISTS", "ObjectExists", "An object with that identifier exists.")
_by_status[0xDB010010] = NoSuchObject
NoSuchObject.status, NoSuchObject.name = 0xDB010010, "ODB_E_NO_OBJECT"
NoFreeId = _define(0xDB010012, "ODB_E_NO_FREE_ID", "NoFreeId", "No free identifier is left in the range.")
RemoveMove = _define(0xDB010013, "ODB_E_REMOVE_MOVE", "RemoveMove", "The object directory could not be moved.")
NotRemoved = _define(0xDB010014, "ODB_E_NOT_REMOVED", "NotRemoved", "The object is not removed.")
RestoreMove = _define(0xDB010015, "ODB_E_RESTORE_MOVE", "RestoreMove", "The object could not be moved back.")
_by_status[0xDB020000] = NoSuchAttribute
NoSuchAttribute.status, NoSuchAttribute.name = 0xDB020000, "ODB_E_NO_ATTRIBUTE"
AttributeWrite = _define(0xDB020001, "ODB_E_ATTRIBUTE_WRITE", "AttributeWrite", "An attribute could not be written.")
AttributeRead = _define(0xDB020002, "ODB_E_ATTRIBUTE_READ", "AttributeRead", "An attribute could not be read.")
AttributeSeek = _define(0xDB020003, "ODB_E_ATTRIBUTE_SEEK", "AttributeSeek", "The offset could not be reached.")
WipeFailed = _define(0xDB020004, "ODB_E_WIPE", "WipeFailed", "A file to be wiped was in use.")
OffsetBeyondEnd = _define(0xDB020005, "ODB_E_OFFSET_BEYOND_END", "OffsetBeyondEnd",
                          "The offset lies beyond the end of the value.")
AttributeInUse = _define(0xDB020007, "ODB_E_ATTRIBUTE_IN_USE", "AttributeInUse",
                         "The attribute file is held open by someone else.")
NoMemory = _define(0xE0000001, "ODB_E_NO_MEMORY", "NoMemory", "The library ran out of memory.")


def error_class(status: int) -> Type[Error]:
    """The exception class of a status (:class:`Error` for an unknown one)."""
    return _by_status.get(status, Error)


def status_name(status: int) -> str:
    """The symbolic name of a status, as the C header spells it."""
    if status == 0:
        return "ODB_OK"
    return error_class(status).name if status in _by_status else "ODB_E_UNKNOWN"


def make_error(status: int, message: str) -> Error:
    cls = _by_status.get(status)
    return cls(message) if cls is not None else Error(message, status)


def _rebuild(status: int, message: str) -> Error:
    return make_error(status, message)


for _cls in (Error, TimedOut, NoSuchAttribute, NoSuchObject):
    _cls.__module__ = "qmfiledb"

__all__ = ["Error", "TimedOut"] + sorted({cls.__name__ for cls in _by_status.values()})

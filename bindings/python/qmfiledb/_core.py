"""Databases, objects and walks over the library's handles.

Ownership follows the library's rules: an object or walk must be closed
before the database it came from, so a database keeps a weak list of what
it handed out and closes those first.  Each object and walk has a lock of
its own (the library's contexts must not be used by two threads at once);
calls on the database handle itself may run concurrently, and closing the
database waits until they have returned.

A process started with fork inherits the parent's Python objects but must
not use or release the parent's handles: every handle remembers the fork
generation it was made in, and one from an earlier generation is treated as
closed (and never passed to the library again).
"""

import ctypes
import datetime
import os
import struct
import threading
import weakref
from ctypes import byref, c_uint32, c_void_p, create_string_buffer
from dataclasses import dataclass, field
from typing import (Any, Dict, Iterable, Iterator, List, Mapping, MutableMapping, NoReturn, Optional,
                    Sequence, Set, Tuple, Union)

from . import _errors
from ._errors import make_error
from ._library import EnumCriterion, EnumFilter, SystemTime, load
from ._values import decode_text, encode_utf16
from .where import Criterion

NAME_ATTRIBUTE = 0x08400001
"""The attribute that holds an object's name."""

VERSION = 958
"""The library version this package was written for (ODB_VERSION)."""

_INIT_CREATE, _INIT_QUERY_VERSION = 0x1, 0x2
_MODES = {"r": 0x1, "w": 0x2}
_FORMS = {"live": 0, "removed": 0x20000, "wiped": 0x40000}
_STATES = {"live": 0x1, "removed": 0x2, "wiped": 0x4}
_CHANGED_AFTER, _MATCH = 0x8, 0x10
_MATCH_OR = 0x01000000
_REMOVE_WIPE, _REMOVE_DELETE = 0x1, 0x2
_INFO_TIMES, _INFO_ATTRIBUTE_CHANGES, _INFO_PATH = 0, 3, 4
_NAME_UTF16 = 3
_NO_MORE_ITEMS = 0xDB000001
_FIRST_READ = 256
_ATTRIBUTE_SEEK = 0xDB020003

BytesLike = Union[bytes, bytearray, memoryview]

# Bumped in every child made by fork: handles of an older generation belong
# to the parent.
_generation = [0]
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=lambda: _generation.__setitem__(0, _generation[0] + 1))


def _hex(number: int) -> str:
    return "%08x" % number


def _check(status: int, message: str, *arguments: Any) -> None:
    """Raise the status's exception; the message is formatted on failure only."""
    if status:
        raise make_error(status, message % arguments if arguments else message)


def _from_systemtime(fields: Sequence[int]) -> Optional[datetime.datetime]:
    year, month, _, day, hour, minute, second, millis = fields
    if year == 0:
        return None
    return datetime.datetime(year, month, day, hour, minute, second, millis * 1000, datetime.timezone.utc)


def _to_systemtime(moment: datetime.datetime) -> SystemTime:
    # A naive time is taken as UTC, the clock of everything the library stores.
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc)
    return SystemTime(moment.year, moment.month, (moment.weekday() + 1) % 7, moment.day, moment.hour,
                      moment.minute, moment.second, moment.microsecond // 1000)


def _bytes_value(value: Any) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("attribute values are bytes (see encode_text, encode_utf16, encode_u32), not %s"
                    % type(value).__name__)


class _Gate:
    """Shared use by calls, exclusive use by close: close waits for callers."""

    def __init__(self) -> None:
        self._condition = threading.Condition(threading.Lock())
        self._users = 0
        self._closing = False

    def enter(self) -> bool:
        with self._condition:
            if self._closing:
                return False
            self._users += 1
            return True

    def leave(self) -> None:
        with self._condition:
            self._users -= 1
            if self._users == 0:
                self._condition.notify_all()

    def close(self) -> None:
        with self._condition:
            self._closing = True
            self._condition.wait_for(lambda: self._users == 0)


@dataclass(frozen=True)
class AttributeChange:
    """The latest tracked change of one attribute (Tracking.AttributeChanges)."""

    attribute: int
    deleted: bool
    changed: Optional[datetime.datetime]


@dataclass(frozen=True)
class ObjectInfo:
    """Facts about an object, or about one of its attributes.

    ``path`` is the object directory (or the attribute's ``.DAT`` file);
    ``created``, ``accessed`` and ``modified`` are UTC times of the object's
    lock file (or of the attribute file), None where the library cannot
    report them without waiting: for an object opened for writing, and for
    an attribute kept in the single-file form.  ``size`` is the total length
    of the attribute values (or of the one value); ``changes`` the tracked
    attribute changes, empty unless change tracking is on.
    """

    path: str
    created: Optional[datetime.datetime]
    accessed: Optional[datetime.datetime]
    modified: Optional[datetime.datetime]
    size: int
    changes: List[AttributeChange] = field(default_factory=list)


class Database:
    """An open database: made by :func:`qmfiledb.open`; a context manager.

    Calls on one database may come from several threads at once; each
    object and walk serialises its own calls.  A thread that must wait for
    an object locked by another thread of the same process waits like any
    other process would (see the lock time-out in the README).
    """

    def __init__(self, path: str, handle: int, version: int) -> None:
        self._lib = load()
        self._handle: Optional[int] = handle
        self._generation = _generation[0]
        self._gate = _Gate()
        self._children: "weakref.WeakSet[Any]" = weakref.WeakSet()
        self._children_lock = threading.Lock()
        self._close_lock = threading.Lock()
        self._indexed: Set[int] = set()
        self.path = path
        """The absolute path of the database root."""
        self.version = version
        """The version the library reported (958)."""

    def __repr__(self) -> str:
        return "<qmfiledb.Database %r%s>" % (self.path, "" if self._handle else " closed")

    def __reduce__(self) -> NoReturn:
        raise TypeError("a qmfiledb.Database belongs to the process that opened it; "
                        "pass its path to other processes and open it there")

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        return self._handle is None or self._generation != _generation[0]

    # ---- handle plumbing ---------------------------------------------------

    def _enter(self) -> int:
        if self._generation != _generation[0]:
            raise _errors.InvalidDatabase("database %s was opened by the parent process; open it again here"
                                          % self.path)
        if self._handle is None or not self._gate.enter():
            raise _errors.InvalidDatabase("database %s is closed" % self.path)
        if self._handle is None:
            self._gate.leave()
            raise _errors.InvalidDatabase("database %s is closed" % self.path)
        return self._handle

    def _adopt(self, child: Any) -> None:
        with self._children_lock:
            self._children.add(child)

    def _forget(self, child: Any) -> None:
        with self._children_lock:
            self._children.discard(child)

    def _prepare_name_index(self, cls: int) -> None:
        """Make sure the class's name index exists before this handle can
        change a name in it: before the first object of the class is
        created or opened for writing.

        The library updates the index on every change of a name, but an
        update that finds no valid index switches the index off for the
        whole handle.  A lookup builds a missing or invalid index (and
        rebuilds a stale one) by opening every object of the class for
        reading, so it must come before this handle holds one for writing.
        With the index disabled the lookup returns at once, touching nothing.
        """
        if cls in self._indexed:
            return
        handle = self._enter()
        try:
            found = c_uint32()
            self._lib.ODB_obj_lookup_ex(handle, cls, NAME_ATTRIBUTE, _NAME_UTF16, b"\0\0", 2, byref(found))
        finally:
            self._gate.leave()
        self._indexed.add(cls)

    def close(self) -> None:
        """Close every object and walk still open on it, then the database.

        Waits for calls on the database that are in progress in other threads.
        """
        with self._close_lock:
            handle = self._handle
            if handle is None:
                return
            if self._generation != _generation[0]:
                self._handle = None  # the parent's to release
                return
            # No call starts after this, so no object or walk is added.
            self._gate.close()
            with self._children_lock:
                children = list(self._children)
            for child in children:
                child._release()
            self._handle = None
            _check(self._lib.ODB_close(handle), "cannot close database %s", self.path)

    def destroy(self) -> None:
        """Delete the database from disk (every file is wiped) and close it.

        Objects and walks open on it are closed first.  Fails with
        :class:`DatabaseInUse` while another handle of the database is open,
        here or in another process; the database then stays open.
        """
        handle = self._enter()
        try:
            with self._children_lock:
                children = list(self._children)
            for child in children:
                child._release()
            _check(self._lib.ODB_destroy(handle), "cannot destroy database %s", self.path)
        finally:
            self._gate.leave()
        self.close()

    # ---- objects -----------------------------------------------------------

    def new(self, cls: int, name: Optional[str] = None, attributes: Optional[Mapping[int, BytesLike]] = None,
            id: Optional[int] = None) -> "Object":
        """Create an object of class ``cls``, open for writing.

        The database chooses the identifier, or ``id`` names it (the object
        must not exist in any form: :class:`ObjectExists`).  ``name`` is
        stored as UTF-16, ``attributes`` as given.  Use the result in a
        ``with`` block, or close it: it holds the object's lock.
        """
        # Built now, the index cannot meet the new object locked for writing.
        self._prepare_name_index(cls)
        handle = self._enter()
        try:
            ctx = c_void_p()
            if id is None:
                assigned = c_uint32()
                status = self._lib.ODB_obj_new(handle, cls, byref(assigned), byref(ctx))
                if status:
                    _check(status, "cannot create an object of class %s in %s", _hex(cls), self.path)
                id = assigned.value
            else:
                _check(self._lib.ODB_obj_import(handle, cls, id, byref(ctx)),
                       "cannot create object %s/%s in %s", _hex(cls), _hex(id), self.path)
            # Made inside the call, so that closing the database sees it.
            obj = Object(self, ctx.value, cls, id, "w", "live")  # type: ignore[arg-type]
        finally:
            self._gate.leave()
        try:
            # The object is empty: each value is written once, from byte 0.
            if name is not None:
                obj.write(NAME_ATTRIBUTE, encode_utf16(name))
            for number, value in (attributes or {}).items():
                obj.write(number, value)
        except BaseException:
            obj.close()
            raise
        return obj

    def object(self, cls: int, id: int, mode: str = "r", form: str = "live") -> "Object":
        """Open an existing object: ``mode`` "r" (shared) or "w" (exclusive),
        ``form`` "live", "removed" or "wiped".

        Waits for a conflicting holder up to the lock time-out, then raises
        :class:`ObjectLocked`; an object missing in that form raises
        :class:`NoSuchObject` at once.
        """
        flags = _mode_flags(mode) | _form_flags(form)
        if mode == "w":
            self._prepare_name_index(cls)
        handle = self._enter()
        try:
            ctx = c_void_p()
            status = self._lib.ODB_obj_create_ctx(handle, cls, id, flags, byref(ctx))
            if status:
                _check(status, "cannot open %s object %s/%s in %s", form, _hex(cls), _hex(id), self.path)
            return Object(self, ctx.value, cls, id, mode, form)  # type: ignore[arg-type]
        finally:
            self._gate.leave()

    def lookup(self, cls: int, name: str) -> Optional[int]:
        """The identifier of the live object of class ``cls`` with this name
        (ASCII case ignored), or None.  Needs NameIndex.Enabled=yes
        (:class:`InvalidParameter` otherwise)."""
        encoded = name.encode("utf-16-le", "surrogatepass") + b"\0\0"
        handle = self._enter()
        try:
            found = c_uint32()
            status = self._lib.ODB_obj_lookup_ex(handle, cls, NAME_ATTRIBUTE, _NAME_UTF16, encoded,
                                                 len(encoded), byref(found))
        finally:
            self._gate.leave()
        if status == _NO_MORE_ITEMS:
            return None
        _check(status, "cannot look up %r in class %s of %s", name, _hex(cls), self.path)
        return found.value

    def count(self, cls: int, states: Optional[Iterable[str]] = None) -> int:
        """The number of objects of class ``cls``.

        Without ``states`` the count comes from the name index when it is
        enabled (live objects as the index knows them), else from a walk of
        the live objects; with ``states`` (a set of "live", "removed",
        "wiped") it always comes from a walk.
        """
        flags = 0 if states is None else _state_flags(states)
        handle = self._enter()
        try:
            number = c_uint32()
            _check(self._lib.ODB_obj_count(handle, cls, flags, byref(number)),
                   "cannot count class %s of %s", _hex(cls), self.path)
        finally:
            self._gate.leave()
        return number.value

    def objects(self, cls: int, states: Iterable[str] = ("live",),
                changed_after: Optional[datetime.datetime] = None,
                where: Optional[Sequence[Criterion]] = None, match: str = "all") -> Iterator[int]:
        """Walk the identifiers of class ``cls``: a generator.

        ``states``: which forms to visit.  ``changed_after``: only objects
        changed strictly after this time (a naive time is UTC).  ``where``:
        criteria from :mod:`qmfiledb.where`, all of which must pass, or any
        one with ``match="any"``.  Identifiers come in directory order.

        The walk's handle is released when the loop ends, also early (a
        ``break``, an exception), or when ``close()`` is called on the
        generator.  A failure on one candidate ends the walk with its
        exception.
        """
        flags = _state_flags(states)
        walk_filter = EnumFilter()
        keep: List[Any] = []
        if changed_after is not None:
            flags |= _CHANGED_AFTER
            walk_filter.changed_after = _to_systemtime(changed_after)
        if where is not None:
            if match not in ("all", "any"):
                raise ValueError('match is "all" or "any", not %r' % (match,))
            criteria = (EnumCriterion * max(1, len(where)))()
            for slot, criterion in zip(criteria, where):
                value = create_string_buffer(criterion.value, len(criterion.value) or 1)
                keep.append(value)
                slot.attribute = criterion.attribute
                slot.operation = criterion.kind | (_MATCH_OR if match == "any" else 0)
                slot.value_length = len(criterion.value)
                slot.value = ctypes.cast(value, c_void_p)
            keep.append(criteria)
            flags |= _MATCH
            walk_filter.criteria = criteria
            walk_filter.criteria_count = len(where)
        keep.append(walk_filter)
        handle = self._enter()
        try:
            walk = c_void_p()
            _check(self._lib.ODB_obj_enum_init(handle, cls, flags, byref(walk_filter), byref(walk)),
                   "cannot walk class %s of %s", _hex(cls), self.path)
            return _walk(_Walk(self, walk.value, cls, keep))  # type: ignore[arg-type]
        finally:
            self._gate.leave()

    # ---- identifier ranges -------------------------------------------------

    def _range_call(self, what: str, function: Any, *arguments: int) -> range:
        first, last = c_uint32(), c_uint32()
        handle = self._enter()
        try:
            _check(function(handle, *arguments, byref(first), byref(last)),
                   "cannot %s in %s", what, self.path)
        finally:
            self._gate.leave()
        return range(first.value, last.value + 1)

    def free_ids(self) -> range:
        """The identifiers above every one in use, up to IdAssignment.LastId."""
        return self._range_call("get the free identifiers", self._lib.ODB_get_free_ids)

    def steal_ids(self, count: int) -> range:
        """Take a block off the top of the free identifiers for the caller
        (``count`` + 1 of them when the free range is larger); the database
        stops handing them out."""
        return self._range_call("steal identifiers", self._lib.ODB_steal_ids, count)

    def assign_ids(self, first: int, last: int) -> None:
        """Make ``first``..``last`` (inclusive) the range new identifiers come
        from; every class goes on above its highest identifier in it."""
        handle = self._enter()
        try:
            _check(self._lib.ODB_assign_ids(handle, first, last),
                   "cannot assign identifiers %s-%s in %s", _hex(first), _hex(last), self.path)
        finally:
            self._gate.leave()


def _mode_flags(mode: str) -> int:
    try:
        return _MODES[mode]
    except KeyError:
        raise ValueError('mode is "r" or "w", not %r' % (mode,)) from None


def _form_flags(form: str) -> int:
    try:
        return _FORMS[form]
    except KeyError:
        raise ValueError('form is "live", "removed" or "wiped", not %r' % (form,)) from None


def _state_flags(states: Iterable[str]) -> int:
    if isinstance(states, str):
        states = (states,)
    flags = 0
    for state in states:
        try:
            flags |= _STATES[state]
        except KeyError:
            raise ValueError('states are "live", "removed" and "wiped", not %r' % (state,)) from None
    if not flags:
        raise ValueError("no state to visit")
    return flags


class _Walk:
    """The enumeration handle of one walk and what its filter points to."""

    def __init__(self, db: Database, handle: int, cls: int, keep: List[Any]) -> None:
        self._db = db
        self._lib = db._lib
        self._handle: Optional[int] = handle
        self._generation = _generation[0]
        self._lock = threading.Lock()
        self._keep = keep  # the criteria must outlive the handle
        self.cls = cls
        db._adopt(self)

    def step(self) -> Optional[int]:
        with self._lock:
            if self._handle is None or self._generation != _generation[0]:
                raise _errors.InvalidContext("the walk of class %s is closed" % _hex(self.cls))
            number = c_uint32()
            status = self._lib.ODB_obj_enum_ids(self._handle, byref(number))
        if status == _NO_MORE_ITEMS:
            return None
        _check(status, "cannot walk class %s of %s", _hex(self.cls), self._db.path)
        return int(number.value)

    def _release(self) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is not None and self._generation == _generation[0]:
                self._lib.ODB_obj_enum_close(handle)
                self._db._forget(self)

    def __del__(self) -> None:
        try:
            self._release()
        except Exception:
            pass


def _walk(walk: _Walk) -> Iterator[int]:
    try:
        while True:
            number = walk.step()
            if number is None:
                return
            yield number
    finally:
        walk._release()


class Object(MutableMapping[int, bytes]):
    """An open object: its attributes as a mapping from number to bytes.

    ``obj[n]`` reads a whole value (KeyError, as :class:`NoSuchAttribute`,
    when missing); ``obj[n] = value`` makes the value exactly these bytes;
    ``del obj[n]`` deletes it; iteration gives the attribute numbers.
    :meth:`read` and :meth:`write` work on pieces.  A context manager:
    leaving the block releases the object's lock.
    """

    def __init__(self, db: Database, ctx: int, cls: int, id: int, mode: str, form: str) -> None:
        self._db = db
        self._lib = db._lib
        self._ctx: Optional[int] = ctx
        self._generation = _generation[0]
        self._lock = threading.RLock()
        self.cls = cls
        """The object class."""
        self.id = id
        """The object identifier."""
        self.mode = mode
        """"r" or "w"."""
        self.form = form
        """"live", "removed", "wiped", or "deleted" once removed for good."""
        db._adopt(self)

    # One object is one open handle: compared and hashed by identity, not by
    # its values.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return "<qmfiledb.Object %s/%s %s %s%s>" % (_hex(self.cls), _hex(self.id), self.form, self.mode,
                                                    " closed" if self.closed else "")

    def __reduce__(self) -> NoReturn:
        raise TypeError("a qmfiledb.Object belongs to the process that opened it")

    def __enter__(self) -> "Object":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self._release()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        return self._ctx is None or self._generation != _generation[0]

    def _label(self) -> str:
        return "%s/%s" % (_hex(self.cls), _hex(self.id))

    def _context(self) -> int:
        if self._ctx is None or self._generation != _generation[0]:
            raise _errors.InvalidContext("object %s is closed%s" % (
                self._label(), "" if self._ctx is None else " (opened by the parent process)"))
        return self._ctx

    def _release(self) -> Optional[int]:
        with self._lock:
            ctx, self._ctx = self._ctx, None
            if ctx is not None and self._generation == _generation[0]:
                self._db._forget(self)
                return int(self._lib.ODB_obj_close_ctx(ctx))
        return None

    def close(self) -> None:
        """Release the object (and its lock)."""
        status = self._release()
        if status:
            raise make_error(status, "cannot close object %s" % self._label())

    # ---- values --------------------------------------------------------------

    def _size(self, ctx: int, number: int) -> int:
        """The value's length, -1 when it does not exist."""
        size = c_uint32()
        status = self._lib.ODB_obj_get_attribute(ctx, number, 0, None, byref(size))
        if status == _errors.NoSuchAttribute.status:
            return -1
        _check(status, "cannot read attribute %s of object %s", _hex(number), self._label())
        return size.value

    def _read(self, ctx: int, number: int, offset: int, limit: int) -> bytes:
        get = self._lib.ODB_obj_get_attribute
        # Most values are small: one call with a guessed buffer reads them,
        # and reports the length of a larger one, which is then read whole.
        wanted = _FIRST_READ if limit < 0 else limit
        size = c_uint32()
        while True:
            buffer = create_string_buffer(wanted) if wanted else None
            size.value = wanted
            status = get(ctx, number, offset, buffer, byref(size))
            if status:
                _check(status, "cannot read attribute %s of object %s", _hex(number), self._label())
            if buffer is None:
                return b""
            if size.value <= wanted or limit >= 0:
                return buffer.raw[:min(wanted, size.value)]
            wanted = size.value

    def __getitem__(self, number: int) -> bytes:
        with self._lock:
            return self._read(self._context(), number, 0, -1)

    def __setitem__(self, number: int, value: BytesLike) -> None:
        data = _bytes_value(value)
        with self._lock:
            ctx = self._context()
            # A shorter value written over a longer one would keep the old length.
            if self._size(ctx, number) > len(data):
                _check(self._lib.ODB_obj_set_attribute(ctx, number, 0, None, 0),
                       "cannot replace attribute %s of object %s", _hex(number), self._label())
            status = self._lib.ODB_obj_set_attribute(ctx, number, 0, data, len(data))
            if status:
                _check(status, "cannot write attribute %s of object %s", _hex(number), self._label())

    def __delitem__(self, number: int) -> None:
        with self._lock:
            ctx = self._context()
            if self._size(ctx, number) < 0:
                raise _errors.NoSuchAttribute("object %s has no attribute %s" % (self._label(), _hex(number)))
            _check(self._lib.ODB_obj_set_attribute(ctx, number, 0, None, 0),
                   "cannot delete attribute %s of object %s", _hex(number), self._label())

    def __contains__(self, number: object) -> bool:
        if not isinstance(number, int):
            return False
        with self._lock:
            return self._size(self._context(), number) >= 0

    def sizes(self) -> Dict[int, int]:
        """Every attribute number with the length of its value, in the
        library's order (file order)."""
        with self._lock:
            ctx = self._context()
            found: Dict[int, int] = {}
            number, length = c_uint32(), c_uint32()
            while True:
                status = self._lib.ODB_obj_attribute_enum(ctx, byref(number), byref(length))
                if status == _NO_MORE_ITEMS:
                    return found
                if status:
                    self._lib.ODB_obj_attribute_enum(ctx, None, None)  # end the walk
                    _check(status, "cannot list the attributes of object %s", self._label())
                found[number.value] = length.value

    def __iter__(self) -> Iterator[int]:
        # A snapshot: the library's attribute walk lives in the context and
        # must not be left half-way while the caller changes values.
        return iter(list(self.sizes()))

    def __len__(self) -> int:
        return len(self.sizes())

    def read(self, number: int, offset: int = 0, size: int = -1) -> bytes:
        """Up to ``size`` bytes of the value from ``offset`` (all of the rest
        when ``size`` is negative).  An offset past the end raises
        :class:`OffsetBeyondEnd`."""
        with self._lock:
            ctx = self._context()
            try:
                return self._read(ctx, number, offset, size)
            except _errors.AttributeSeek:
                # The single-file form keeps each value in one record and
                # reads it from its start only.
                if offset == 0 or offset >= 1 << 31:
                    raise
            whole = self._read(ctx, number, 0, -1)
            if offset > len(whole):
                raise _errors.OffsetBeyondEnd("offset %d lies beyond attribute %s of object %s"
                                              % (offset, _hex(number), self._label()))
            return whole[offset:] if size < 0 else whole[offset:offset + size]

    def write(self, number: int, data: BytesLike, offset: int = 0) -> None:
        """Write ``data`` at ``offset`` of the value, as the library does: the
        value is never shortened; in the file-per-attribute form a gap reads
        as zeros, in the single-file form a new value starts at byte 0."""
        data = _bytes_value(data)
        with self._lock:
            status = self._lib.ODB_obj_set_attribute(self._context(), number, offset, data, len(data))
        if status:
            _check(status, "cannot write attribute %s of object %s", _hex(number), self._label())

    @property
    def name(self) -> Optional[str]:
        """The name (attribute 0x08400001) as text, None when it has none;
        assigned names are stored as UTF-16 (FF FE and UTF-16LE)."""
        try:
            return decode_text(self[NAME_ATTRIBUTE])
        except _errors.NoSuchAttribute:
            return None

    @name.setter
    def name(self, name: Optional[str]) -> None:
        if name is None:
            self.pop(NAME_ATTRIBUTE, None)
        else:
            self[NAME_ATTRIBUTE] = encode_utf16(name)

    # ---- life cycle ------------------------------------------------------------

    def change_mode(self, mode: str) -> None:
        """Take the lock in the other mode ("r" or "w").  The old lock is let go
        first, so another holder may come in between."""
        if mode == "w":
            self._db._prepare_name_index(self.cls)
        with self._lock:
            _check(self._lib.ODB_obj_change_mode(self._context(), _mode_flags(mode) | _FORMS.get(self.form, 0)),
                   "cannot change the mode of object %s", self._label())
            self.mode = mode

    def remove(self, wipe: bool = False, delete: bool = False) -> None:
        """Take the object out of the live set (the object must be open for
        writing): removed (restorable), wiped (``wipe``: every file overwritten
        and deleted, the identifier stays taken) or gone (``delete``; the
        object is then closed).  Afterwards the object holds no lock."""
        options = (_REMOVE_WIPE if wipe else 0) | (_REMOVE_DELETE if delete else 0)
        with self._lock:
            _check(self._lib.ODB_obj_remove_ex(self._context(), options),
                   "cannot remove object %s", self._label())
            if delete:
                self.form = "deleted"
                self.close()
            else:
                self.form = "wiped" if wipe else "removed"

    def restore(self) -> None:
        """Bring a removed object back to the live set (open for writing).
        Afterwards the object holds no lock."""
        with self._lock:
            _check(self._lib.ODB_obj_restore(self._context()), "cannot restore object %s", self._label())
            self.form = "live"

    def info(self, attribute: int = 0) -> ObjectInfo:
        """Facts about the object, or about one attribute (see ObjectInfo)."""
        with self._lock:
            ctx = self._context()
            path = self._path(ctx, attribute)
            if attribute:
                size = max(self._size(ctx, attribute), 0)
                # Times of an attribute file; the single-file form has none.
                timed = os.path.isfile(path)
            else:
                size = sum(self.sizes().values())
                # The object's lock file is held without sharing by a writer.
                timed = self.mode == "r"
            times: Tuple[Optional[datetime.datetime], ...] = (None, None, None)
            if timed:
                buffer = create_string_buffer(112)
                length = c_uint32(112)
                _check(self._lib.ODB_obj_get_info(ctx, _INFO_TIMES, attribute, buffer, byref(length)),
                       "cannot read the times of object %s", self._label())
                times = tuple(_from_systemtime(struct.unpack_from("<8H", buffer.raw, at)) for at in (0, 16, 32))
            return ObjectInfo(path, times[0], times[1], times[2], size, self._changes(ctx, attribute))

    def _path(self, ctx: int, attribute: int) -> str:
        buffer = create_string_buffer(512)
        length = c_uint32(512)
        _check(self._lib.ODB_obj_get_info(ctx, _INFO_PATH, attribute, buffer, byref(length)),
               "cannot read the path of object %s", self._label())
        text = buffer.raw.decode("utf-16-le", "surrogatepass")
        return text[:text.find("\0")] if "\0" in text else text

    def _changes(self, ctx: int, attribute: int) -> List[AttributeChange]:
        get_info = self._lib.ODB_obj_get_info
        length = c_uint32(0)
        _check(get_info(ctx, _INFO_ATTRIBUTE_CHANGES, attribute, None, byref(length)),
               "cannot read the changes of object %s", self._label())
        if length.value == 0:
            return []
        buffer = create_string_buffer(length.value)
        _check(get_info(ctx, _INFO_ATTRIBUTE_CHANGES, attribute, buffer, byref(length)),
               "cannot read the changes of object %s", self._label())
        changes = []
        for at in range(0, length.value - length.value % 28, 28):
            number, deleted = struct.unpack_from("<II", buffer.raw, at)
            changed = _from_systemtime(struct.unpack_from("<8H", buffer.raw, at + 8))
            if attribute == 0 or changed is not None:
                changes.append(AttributeChange(number, bool(deleted), changed))
        return changes


# ---- the module's functions ---------------------------------------------------

def _init(path: str, flags: int) -> Tuple[int, int]:
    lib = load()
    version = c_uint32()
    handle = c_void_p()
    encoded = path.encode("utf-16-le", "surrogatepass") + b"\0\0"
    status = lib.ODB_init_w(flags, encoded, byref(version), byref(handle), 0)
    _check(status, "cannot %s database %s", "create" if flags & _INIT_CREATE else "open", path)
    return handle.value or 0, version.value


def _write_settings(path: str, settings: Mapping[str, Union[str, int, bool]]) -> None:
    sections: Dict[str, List[str]] = {}
    for dotted, value in settings.items():
        section, dot, key = dotted.partition(".")
        if not dot or not section or not key:
            raise ValueError("a setting is named SECTION.KEY (Attribs.SingleFile), not %r" % (dotted,))
        if isinstance(value, bool):
            value = "yes" if value else "no"
        sections.setdefault(section, []).append("%s=%s" % (key, value))
    lines = []
    for section, entries in sections.items():
        lines.append("[%s]" % section)
        lines.extend(entries)
    with open(os.path.join(path, "DBCFG.INI"), "w", encoding="utf-8", newline="") as out:
        out.write("\r\n".join(lines) + "\r\n")


def open_database(path: Union[str, "os.PathLike[str]"], create: bool = False,
                  settings: Optional[Mapping[str, Union[str, int, bool]]] = None) -> Database:
    """Open the database at ``path``, or create one there with ``create=True``.

    The path is made absolute first.  Creating refuses a directory that
    holds anything (the library would clear it): a database there raises
    :class:`DatabaseExists`, anything else FileExistsError.  ``settings``
    (creation only) are written to DBCFG.INI, named SECTION.KEY:
    ``{"Attribs.SingleFile": True, "NameIndex.Enabled": True}``.
    """
    root = os.path.abspath(os.fsdecode(os.fspath(path)))
    if not create:
        if settings:
            raise ValueError("settings are written when a database is created")
        return Database(root, *_init(root, 0))
    if os.path.isdir(root) and os.listdir(root):
        try:
            existing = Database(root, *_init(root, 0))
        except _errors.NoDatabase:
            raise FileExistsError("cannot create database %s: the directory is not empty" % root) from None
        existing.close()
        raise _errors.DatabaseExists("cannot create database %s: it exists" % root)
    db = Database(root, *_init(root, _INIT_CREATE))
    if settings:
        # The library reads DBCFG.INI when a database is opened.
        db.close()
        _write_settings(root, settings)
        db = Database(root, *_init(root, 0))
    return db


def destroy(path: Union[str, "os.PathLike[str]"]) -> None:
    """Delete the database at ``path`` (see :meth:`Database.destroy`)."""
    open_database(path).destroy()


def library_version() -> int:
    """The version the loaded library reports (958)."""
    version = c_uint32()
    handle = c_void_p()
    load().ODB_init_w(_INIT_QUERY_VERSION, None, byref(version), byref(handle), 0)
    return version.value

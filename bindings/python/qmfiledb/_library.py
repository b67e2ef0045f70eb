"""Finding and loading the shared library, and the C prototypes.

The library is looked for, in this order:

1. the file named by the environment variable ``QMFILEDB_LIBRARY``;
2. beside the package: in the package directory itself, then where
   ``cmake --install`` put the library relative to the package (recorded in
   ``_install.py`` at install time);
3. where the system installs libraries (the loader's own search).
"""

import ctypes
import os
import sys
import threading
from ctypes import POINTER, Structure, c_uint8, c_uint16, c_uint32, c_void_p
from typing import List, Optional

ENVIRONMENT_VARIABLE = "QMFILEDB_LIBRARY"

if os.name == "nt":
    _NAMES = ["QMFILEDB.dll"]
    # The exports use the Windows calling convention (stdcall on 32-bit).
    _Loader = ctypes.WinDLL  # type: ignore[attr-defined]
elif sys.platform == "darwin":
    _NAMES = ["libqmfiledb.1.dylib", "libqmfiledb.dylib"]
    _Loader = ctypes.CDLL
else:
    _NAMES = ["libqmfiledb.so.1", "libqmfiledb.so"]
    _Loader = ctypes.CDLL


class SystemTime(Structure):
    _fields_ = [(name, c_uint16) for name in
                ("year", "month", "day_of_week", "day", "hour", "minute", "second", "milliseconds")]


class EnumCriterion(Structure):
    _fields_ = [("attribute", c_uint32), ("operation", c_uint32),
                ("value_length", c_uint32), ("value", c_void_p)]


class EnumFilter(Structure):
    _fields_ = [("changed_after", SystemTime), ("criteria", POINTER(EnumCriterion)),
                ("criteria_count", c_uint32), ("reserved", c_uint8 * 256)]


_P = c_void_p
_U = c_uint32
_PU = POINTER(c_uint32)
_PP = POINTER(c_void_p)

_PROTOTYPES = {
    "ODB_init_w": (_U, _P, _PU, _PP, _U),
    "ODB_close": (_P,),
    "ODB_destroy": (_P,),
    "ODB_obj_new": (_P, _U, _PU, _PP),
    "ODB_obj_import": (_P, _U, _U, _PP),
    "ODB_obj_create_ctx": (_P, _U, _U, _U, _PP),
    "ODB_obj_change_mode": (_P, _U),
    "ODB_obj_close_ctx": (_P,),
    "ODB_obj_get_attribute": (_P, _U, _U, _P, _PU),
    "ODB_obj_set_attribute": (_P, _U, _U, _P, _U),
    "ODB_obj_attribute_enum": (_P, _PU, _PU),
    "ODB_obj_enum_init": (_P, _U, _U, POINTER(EnumFilter), _PP),
    "ODB_obj_enum_ids": (_P, _PU),
    "ODB_obj_enum_close": (_P,),
    "ODB_obj_lookup_ex": (_P, _U, _U, _U, _P, _U, _PU),
    "ODB_obj_count": (_P, _U, _U, _PU),
    "ODB_obj_remove_ex": (_P, _U),
    "ODB_obj_restore": (_P,),
    "ODB_obj_get_info": (_P, _U, _U, _P, _PU),
    "ODB_get_free_ids": (_P, _PU, _PU),
    "ODB_steal_ids": (_P, _U, _PU, _PU),
    "ODB_assign_ids": (_P, _U, _U),
}

_loaded: Optional[ctypes.CDLL] = None
_loaded_path: Optional[str] = None
_load_lock = threading.Lock()


def _candidates() -> List[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _NAMES]
    try:
        from . import _install  # type: ignore[attr-defined]  # written by cmake --install
        found.append(os.path.normpath(os.path.join(here, _install.LIBRARY)))
    except ImportError:
        pass
    return found


def load() -> ctypes.CDLL:
    """The loaded library, loading it on first use (OSError when not found)."""
    global _loaded, _loaded_path
    if _loaded is not None:
        return _loaded
    with _load_lock:
        if _loaded is not None:
            return _loaded
        named = os.environ.get(ENVIRONMENT_VARIABLE)
        if named:
            try:
                library, path = _Loader(named), named
            except OSError as failure:
                raise OSError("%s names %s, which does not load: %s"
                              % (ENVIRONMENT_VARIABLE, named, failure)) from None
        else:
            library, path = None, None
            for candidate in _candidates():
                if os.path.isfile(candidate):
                    library, path = _Loader(candidate), candidate
                    break
            for name in _NAMES if library is None else []:
                try:
                    library, path = _Loader(name), name
                    break
                except OSError:
                    continue
            if library is None:
                raise OSError("the qmfiledb library (%s) was not found: set %s to its path, or install it "
                              "where the system finds libraries" % (" or ".join(_NAMES), ENVIRONMENT_VARIABLE))
        for name, arguments in _PROTOTYPES.items():
            function = getattr(library, name)
            function.argtypes = arguments
            function.restype = c_uint32
        _loaded, _loaded_path = library, path
        return library  # type: ignore[no-any-return]


def library_path() -> str:
    """The path (or name) the library was loaded from; loads it if needed."""
    load()
    assert _loaded_path is not None
    return _loaded_path

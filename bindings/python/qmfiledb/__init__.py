"""qmfiledb: a filesystem object database, from Python.

A database is a directory of typed objects; each object has a 32-bit class,
a 32-bit identifier and numbered byte-string attributes.  Several processes
share one database through file sharing modes alone.

    import qmfiledb

    with qmfiledb.open("shop", create=True) as db:
        with db.new(5, name="Blue widget", attributes={0x10: qmfiledb.encode_u32(12)}) as obj:
            number = obj.id
        with db.object(5, number) as obj:
            print(obj.name, qmfiledb.decode_u32(obj[0x10]))

The package calls the C library through ctypes; see ``_library`` for where
it looks for it (``QMFILEDB_LIBRARY`` first).
"""

from . import where
from ._core import (NAME_ATTRIBUTE, VERSION, AttributeChange, Database, Object, ObjectInfo, destroy,
                    library_version)
from ._core import open_database as open
from . import _errors
from ._errors import *  # noqa: F401,F403  (the exception classes)
from ._errors import Error, TimedOut, error_class, status_name
from ._library import ENVIRONMENT_VARIABLE, library_path
from ._values import decode_text, decode_u32, encode_text, encode_u32, encode_utf16

__version__ = "1.0.0"

__all__ = [
    "open", "destroy", "library_version", "library_path", "Database", "Object", "ObjectInfo",
    "AttributeChange", "NAME_ATTRIBUTE", "VERSION", "ENVIRONMENT_VARIABLE", "where",
    "encode_u32", "decode_u32", "encode_text", "encode_utf16", "decode_text",
    "error_class", "status_name",
] + _errors.__all__

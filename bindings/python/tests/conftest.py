"""Fixtures: a fresh database in each storage form, the odb tool, short locks.

The library is the one QMFILEDB_LIBRARY names (the test command points it at
the build tree).  Lock time-outs come from QMFILEDB.INI beside the running
interpreter's executable; the test command runs pytest from a copy of the
interpreter that has one, and the tests that wait for a lock are skipped
without it (they would each wait 30 s).
"""

import os
import sys

import pytest

import qmfiledb

INTERPRETER_DIR = os.path.dirname(os.path.realpath(sys.executable))
SHORT_LOCKS = os.path.isfile(os.path.join(INTERPRETER_DIR, "QMFILEDB.INI"))

needs_short_locks = pytest.mark.skipif(
    not SHORT_LOCKS, reason="no QMFILEDB.INI beside %s: lock waits would take 30 s" % sys.executable)

FORMS = {"file": False, "single": True}


def settings(form, **more):
    values = {"Attribs.SingleFile": FORMS[form], "NameIndex.Enabled": True,
              "Tracking.AttributeChanges": True}
    values.update(more)
    return values


@pytest.fixture(params=sorted(FORMS))
def form(request):
    """The storage form: "file" (a file per attribute) or "single" (ATTRIBS.FDB)."""
    return request.param


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path, form):
    with qmfiledb.open(db_path, create=True, settings=settings(form)) as database:
        yield database


@pytest.fixture
def odb():
    tool = os.environ.get("QMFILEDB_ODB")
    if not tool or not os.path.isfile(tool):
        pytest.skip("QMFILEDB_ODB does not name the odb tool")
    return tool

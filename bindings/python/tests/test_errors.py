"""One exception class per kind of failure, each carrying its status."""

import os

import pytest

import qmfiledb
from conftest import needs_short_locks, settings

CLS = 5


def test_error_carries_status_and_name(tmp_path):
    with pytest.raises(qmfiledb.NoDatabase) as caught:
        qmfiledb.open(tmp_path)
    assert caught.value.status == 0xDB000002 and caught.value.name == "ODB_E_NO_DATABASE"
    assert isinstance(caught.value, qmfiledb.Error)
    assert qmfiledb.status_name(0xDB010002) == "ODB_E_OBJECT_LOCK"
    assert qmfiledb.error_class(0xDB010001) is qmfiledb.LockTimeout


def test_create_refuses_what_exists(db_path, tmp_path):
    qmfiledb.open(db_path, create=True).close()
    with pytest.raises(qmfiledb.DatabaseExists):
        qmfiledb.open(db_path, create=True)
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "keep.txt").write_text("mine")
    with pytest.raises(FileExistsError):
        qmfiledb.open(tmp_path / "other", create=True)
    assert (tmp_path / "other" / "keep.txt").read_text() == "mine"


def test_object_failures(db):
    with db.new(CLS, attributes={0x10: b"v"}) as obj:
        number = obj.id
    with pytest.raises(qmfiledb.NoSuchObject):
        db.object(CLS, number + 1)
    with pytest.raises(qmfiledb.NoSuchObject):
        db.object(CLS, number, form="removed")
    with pytest.raises(qmfiledb.ObjectExists):
        db.new(CLS, id=number)
    with db.object(CLS, number) as obj:
        with pytest.raises(KeyError):
            obj[0x11]
        with pytest.raises(qmfiledb.NotWritable):
            obj[0x10] = b"w"
    with db.object(CLS, number, "w") as obj:
        with pytest.raises(qmfiledb.NotRemoved):
            obj.restore()
        with pytest.raises(TypeError):
            obj[0x10] = "text needs an encoding"


def test_lookup_without_the_index(db_path, form):
    with qmfiledb.open(db_path, create=True, settings=settings(form, **{"NameIndex.Enabled": False})) as db:
        with pytest.raises(qmfiledb.InvalidParameter):
            db.lookup(CLS, "x")


def test_destroy(db_path):
    first = qmfiledb.open(db_path, create=True)
    second = qmfiledb.open(db_path)
    with pytest.raises(qmfiledb.DatabaseInUse):
        first.destroy()
    second.close()
    first.destroy()
    assert first.closed and not os.path.exists(db_path)


@needs_short_locks
def test_lock_time_out_can_be_caught_and_retried(db):
    with db.new(CLS) as holder:
        with pytest.raises(qmfiledb.ObjectLocked) as caught:
            db.object(CLS, holder.id, "w")
        assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, qmfiledb.TimedOut)
    with db.object(CLS, holder.id, "w"):
        pass

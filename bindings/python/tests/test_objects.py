"""The interface end to end, in both storage forms."""

import datetime
import glob
import os

import pytest

import qmfiledb
from qmfiledb import where

CLS = 5


def test_objects_round_trip(db):
    with db.new(CLS, name="Blue widget", attributes={0x10: qmfiledb.encode_u32(12)}) as obj:
        number = obj.id
        obj[0x11] = b"a longer value"
        obj[0x11] = b"short"  # replaces the whole value
        obj[0x12] = b""
    with db.object(CLS, number) as obj:
        assert (obj.cls, obj.id, obj.mode, obj.form) == (CLS, number, "r", "live")
        assert obj.name == "Blue widget"
        assert qmfiledb.decode_u32(obj[0x10]) == 12
        assert obj[0x11] == b"short"
        assert obj[0x12] == b""
        assert sorted(obj) == [0x10, 0x11, 0x12, qmfiledb.NAME_ATTRIBUTE] and len(obj) == 4
        assert 0x11 in obj and 0x13 not in obj
        assert obj.get(0x13) is None
    with db.object(CLS, number, mode="w") as obj:
        del obj[0x11], obj[0x12]
        obj.name = None
        assert dict(obj.items()) == {0x10: qmfiledb.encode_u32(12)}
    assert db.count(CLS, states={"live", "removed"}) == 1


def test_pieces(db):
    with db.new(CLS) as obj:
        obj[0x10] = b"0123456789"
        obj.write(0x10, b"ab", offset=3)
        assert obj[0x10] == b"012ab56789"
        assert obj.read(0x10, 4, 3) == b"b56"
        assert obj.read(0x10, 8) == b"89"
        assert obj.read(0x10, 10) == b""
        with pytest.raises(qmfiledb.OffsetBeyondEnd):
            obj.read(0x10, 11)
        large = bytes(range(256)) * 40
        obj[0x11] = large
        assert obj[0x11] == large and obj.read(0x11, 1000, 300) == large[1000:1300]


def test_lookup_and_life_cycle(db):
    with db.new(CLS, name="Mars") as obj:
        number = obj.id
    assert db.lookup(CLS, "MARS") == number and db.lookup(CLS, "Venus") is None
    with db.object(CLS, number, "w") as obj:
        obj.remove()
        assert obj.form == "removed"
    assert db.lookup(CLS, "mars") is None
    assert list(db.objects(CLS, states={"removed"})) == [number]
    with db.object(CLS, number, "w", form="removed") as obj:
        assert obj.name == "Mars"
        obj.restore()
    assert db.lookup(CLS, "mars") == number
    with db.object(CLS, number, "w") as obj:
        obj.remove(wipe=True)
    with db.object(CLS, number, form="wiped") as obj:
        assert len(obj) == 0
    with db.object(CLS, number, "w", form="wiped") as obj:
        obj.remove(delete=True)
        assert obj.closed
    assert list(db.objects(CLS, states={"live", "removed", "wiped"})) == []


def test_name_changed_in_a_class_without_an_index_is_found(db, db_path):
    with db.new(CLS) as obj:
        number = obj.id
    db.close()
    for index_file in glob.glob(os.path.join(db_path, "%08x" % CLS, "names.*")):
        os.remove(index_file)
    with qmfiledb.open(db_path) as db:
        with db.object(CLS, number, "w") as obj:
            obj.name = "Phobos"
        assert db.lookup(CLS, "phobos") == number


def test_walk_filters(db):
    sizes = {}
    for size in (5, 10, 20):
        with db.new(CLS, attributes={0x10: qmfiledb.encode_u32(size), 0x11: qmfiledb.encode_text("k%d" % size)}) as obj:
            sizes[size] = obj.id
    assert sorted(db.objects(CLS)) == sorted(sizes.values())
    assert sorted(db.objects(CLS, where=[where.greater(0x10, 5), where.less(0x10, 20)])) == [sizes[10]]
    assert sorted(db.objects(CLS, where=[where.equal(0x10, 5), where.text(0x11, "K20")], match="any")) == \
        sorted([sizes[5], sizes[20]])
    assert list(db.objects(CLS, where=[where.wildcard(0x11, "k1*")])) == [sizes[10]]
    assert list(db.objects(CLS, where=[where.absent(0x11)])) == []
    future = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
    assert list(db.objects(CLS, changed_after=future)) == []
    assert len(list(db.objects(CLS, changed_after=datetime.datetime(2000, 1, 1)))) == 3


def test_info_and_ids(db):
    with db.new(CLS, attributes={0x10: b"abc", 0x11: b"de"}) as obj:
        number = obj.id
        assert obj.info().modified is None  # the writer's own lock file
    with db.object(CLS, number) as obj:
        info = obj.info()
        assert info.path.endswith("00000005/00000000/%08x" % number)
        assert info.size == 5 and info.modified is not None
        assert {change.attribute for change in info.changes} == {0x10, 0x11}
        assert obj.info(0x10).size == 3
    assert db.free_ids() == range(number + 1, 0xFFFFFFF1)
    stolen = db.steal_ids(9)
    assert stolen == range(0xFFFFFFF0 - 9, 0xFFFFFFF1)
    db.assign_ids(0x100, 0x1FF)
    with db.new(CLS) as obj:
        assert obj.id == 0x100
    with db.new(CLS, id=7) as obj:
        assert obj.id == 7


def test_walk_closed_when_the_loop_ends_early(db):
    for _ in range(3):
        db.new(CLS).close()
    for _ in db.objects(CLS):
        break
    walks = [child for child in db._children if isinstance(child, qmfiledb._core._Walk)]
    assert walks == []
    walk = db.objects(CLS)
    next(walk)
    walk.close()
    with pytest.raises(StopIteration):
        next(walk)


def test_closing_the_database_closes_what_it_handed_out(db):
    obj = db.new(CLS)
    walk = db.objects(CLS)
    db.close()
    assert obj.closed
    with pytest.raises(qmfiledb.InvalidContext):
        obj[0x10] = b"x"
    with pytest.raises(qmfiledb.InvalidContext):
        next(walk)
    with pytest.raises(qmfiledb.InvalidDatabase):
        db.new(CLS)

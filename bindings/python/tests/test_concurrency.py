"""Threads sharing one database, and processes contending for one object."""

import multiprocessing
import threading

import pytest

import qmfiledb
from conftest import needs_short_locks

CLS = 5


def test_threads_share_one_database(db):
    failures = []

    def work(index):
        try:
            for round in range(20):
                with db.new(CLS, attributes={0x10: qmfiledb.encode_u32(index)}) as obj:
                    obj[0x11] = b"%d" % round
        except Exception as failure:  # reported below
            failures.append(failure)

    threads = [threading.Thread(target=work, args=(index,)) for index in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert db.count(CLS, states={"live"}) == 80
    assert len(list(db.objects(CLS, where=[qmfiledb.where.equal(0x10, 3)]))) == 20


def contend(path, number, results, released):
    """In the child: fail to take the object while the parent holds it, then
    take it once the parent has let go."""
    with qmfiledb.open(path) as db:
        try:
            db.object(CLS, number, "w").close()
            results.put("not locked")
        except qmfiledb.TimedOut as failure:
            results.put(failure.name)
        released.wait()
        try:
            with db.object(CLS, number, "w") as obj:
                obj[0x10] = b"child"
            results.put("written")
        except qmfiledb.Error as failure:
            results.put(failure.name)


@needs_short_locks
@pytest.mark.parametrize("start", ["spawn", "fork"])
def test_two_processes_contend_for_one_object(db, db_path, start):
    context = multiprocessing.get_context(start)
    results, released = context.Queue(), context.Event()
    holder = db.new(CLS)
    child = context.Process(target=contend, args=(db_path, holder.id, results, released))
    child.start()
    try:
        assert results.get(timeout=60) == "ODB_E_OBJECT_LOCK"
        holder.close()
        released.set()
        assert results.get(timeout=60) == "written"
    finally:
        released.set()
        child.join(60)
    assert child.exitcode == 0
    with db.object(CLS, holder.id) as obj:
        assert obj[0x10] == b"child"


def test_forked_child_refuses_inherited_handles(db):
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    obj = db.new(CLS)

    def child():
        outcome = []
        for attempt in (lambda: db.count(CLS), lambda: obj[0x10]):
            try:
                attempt()
                outcome.append("used")
            except qmfiledb.Error as failure:
                outcome.append(failure.name)
        results.put(outcome)

    process = context.Process(target=child)
    process.start()
    assert results.get(timeout=60) == ["ODB_E_INVALID_DATABASE", "ODB_E_INVALID_CONTEXT"]
    process.join(60)
    obj[0x10] = b"parent"  # still the parent's
    obj.close()

"""A database written from Python is read by odb, and the other way round."""

import subprocess

import qmfiledb
from qmfiledb import decode_text, encode_text, encode_u32, encode_utf16

CLS = 5


def run(odb, *arguments):
    return subprocess.run([odb, *arguments], check=True, capture_output=True, text=True).stdout.strip()


def test_python_database_read_by_odb(db, db_path, odb):
    with db.new(CLS, name="Grüße", attributes={0x10: encode_u32(77), 0x11: encode_text("hello")}) as obj:
        number = "%08x" % obj.id
    db.close()
    assert run(odb, "get", "--hex", db_path, "5", number, "10") == "4d000000"
    assert run(odb, "get", "--hex", db_path, "5", number, "name") == encode_utf16("Grüße").hex()
    assert run(odb, "get", db_path, "5", number, "11") == "hello"
    assert run(odb, "lookup", db_path, "5", "GRüßE") == number
    assert number in run(odb, "ls", db_path, "5", "--where", "10=u32:77", "--where", "11~HEL*")
    assert run(odb, "check", db_path).endswith("no problems")


def test_odb_database_read_by_python(db_path, form, odb):
    run(odb, "create", db_path, "Attribs.SingleFile=" + ("yes" if form == "single" else "no"),
        "NameIndex.Enabled=yes")
    number = int(run(odb, "new", db_path, "5", "--name", "Grüße", "--set", "10=u32:77", "--set", "11=hello",
                     "--set", "12=utf16:héllo"), 16)
    with qmfiledb.open(db_path) as db:
        assert db.lookup(CLS, "grüße") == number
        with db.object(CLS, number) as obj:
            assert obj.name == "Grüße"
            assert obj[0x10] == encode_u32(77) and obj[0x11] == encode_text("hello")
            assert obj[0x12] == encode_utf16("héllo") and decode_text(obj[0x12]) == "héllo"

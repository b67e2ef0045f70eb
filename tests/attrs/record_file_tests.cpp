// The record file (ATTRIBS.FDB) checked byte for byte: layout, reuse of
// freed space, compaction, rewrites in place and by moving, and files that
// were cut short or damaged.
#include <gtest/gtest.h>

#include "attrs/record_file.h"
#include "support/attrs_fixture.h"

namespace odb::test {
namespace {

using bytes = std::string;

class RecordFile : public ::testing::Test {
protected:
    temp_dir dir;
    wide_string path = dir / "ATTRIBS.FDB";

    // A new file holding values of these sizes under ids 1, 2, ...; the
    // offsets of the records are returned in order.
    std::vector<uint64_t> build(record_file& file, const std::vector<uint32_t>& sizes) {
        file.create(path.c_str());
        std::vector<uint64_t> offsets;
        uint32_t id = 1;
        for (uint32_t size : sizes) {
            bytes value(size, static_cast<char>(0xA0 + id));
            file.append_record(id++, value.data(), size, nullptr, nullptr);
            offsets.push_back(file.record_offset());
        }
        return offsets;
    }

    // The file's bytes as they are now; the file stays open on the same
    // current record (a writer shares nothing with a reader, so it is
    // closed for the read).
    bytes snapshot(record_file& file) {
        const uint64_t current = file.record_offset();
        file.close();
        const bytes content = read_file(path);
        file.open(path.c_str(), false);
        if (current != 0) file.seek_record(current);
        return content;
    }

    void remove(record_file& file, uint64_t offset) {
        file.seek_record(offset);
        file.delete_record();
    }

    bytes value_of(record_file& file, uint32_t id) {
        EXPECT_TRUE(file.find_first(id, 0)) << "id " << id;
        bytes value(file.record_length(), '\0');
        EXPECT_EQ(file.read_data(value.data(), static_cast<uint32_t>(value.size())), value.size());
        return value;
    }

    // The 28-byte header stored at offset: id, capacity, length.
    static void expect_header(const bytes& content, uint64_t offset, uint32_t id,
                              uint32_t capacity, uint32_t length) {
        const std::size_t at = static_cast<std::size_t>(offset);
        ASSERT_LE(at + 28, content.size());
        EXPECT_EQ(le32(content, at), id) << "at " << offset;
        EXPECT_EQ(le32(content, at + 4), capacity) << "at " << offset;
        EXPECT_EQ(le32(content, at + 8), length) << "at " << offset;
    }
};

TEST_F(RecordFile, OpenAtFindsTheFirstRecordOfAKeyAndDuplicatesGo) {
    record_file file;
    build(file, {4, 4});
    file.append_record(2, "dupe", 4, nullptr, nullptr);  // as a cut-short move leaves it
    file.close();

    ASSERT_TRUE(file.open_at(path.c_str(), false, 1));
    EXPECT_EQ(file.record_id(), 1u);
    ASSERT_TRUE(file.open_at(path.c_str(), false, 2));
    const uint64_t first = file.record_offset();
    file.delete_duplicates();
    EXPECT_EQ(file.record_offset(), first);
    file.write_data_at(1, "X", 1);  // lands in the record that stays
    EXPECT_EQ(value_of(file, 2), bytes("\xA2X\xA2\xA2"));
    EXPECT_FALSE(file.find_next(2, 0));
    EXPECT_FALSE(file.open_at(path.c_str(), true, 3));
}

TEST_F(RecordFile, NewFileAndFirstAppendAreLaidOutExactly) {
    record_file file;
    file.create(path.c_str());
    file.close();
    EXPECT_EQ(read_file(path), bytes("QFDB\x08\x00\x00\x01", 8));
    EXPECT_FALSE(file.open(path.c_str(), false));
    EXPECT_FALSE(file.find_first(match_every_record, 0));
    EXPECT_EQ(file.record_offset(), 0u);

    const uint64_t before = now_filetime();
    file.append_record(1, "hello", 5, nullptr, nullptr);
    const uint64_t after = now_filetime();
    EXPECT_EQ(file.record_offset(), 8u);
    file.close();

    const bytes content = read_file(path);
    ASSERT_EQ(content.size(), 41u);
    EXPECT_EQ(content.substr(0, 8), bytes("QFDB\x08\x00\x00\x01", 8));
    expect_header(content, 8, 1, 5, 5);
    EXPECT_TRUE(std::equal(content.begin() + 20, content.begin() + 28, content.begin() + 28))
        << "created and modified differ";
    const uint64_t stamp = le32(content, 20) | static_cast<uint64_t>(le32(content, 24)) << 32;
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(content.substr(36), "hello");

    // Every operation on a record needs an open file.
    EXPECT_THROW(file.find_first(1, 0), odb_status);
    EXPECT_THROW(file.record_id(), odb_status);
    EXPECT_THROW(file.append_record(2, "x", 1, nullptr, nullptr), odb_status);
}

TEST_F(RecordFile, SearchKeysSelectIdsRangesAndEveryRecord) {
    record_file file;
    const auto offsets = build(file, {1, 1, 1, 1, 1, 1, 1, 1, 1});
    remove(file, offsets[0]);
    auto ids = [&file](uint32_t key, uint32_t key_high) {
        std::vector<uint32_t> found;
        for (bool more = file.find_first(key, key_high); more; more = file.find_next(key, key_high))
            found.push_back(file.record_id());
        return found;
    };
    EXPECT_EQ(ids(5, 0), (std::vector<uint32_t>{5}));
    EXPECT_EQ(ids(3, 7), (std::vector<uint32_t>{3, 4, 5, 6, 7}));
    EXPECT_EQ(ids(9, 7), (std::vector<uint32_t>{9}));
    EXPECT_EQ(ids(0, 0), (std::vector<uint32_t>{0}));
    EXPECT_EQ(ids(1, 0xFFFFFFFEu), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(file.find_first(match_every_record, 0));
    EXPECT_EQ(file.record_id(), 0u) << "the walk of every record stops at a free one";
    EXPECT_FALSE(file.find_first(10, 0));
}

TEST_F(RecordFile, AppendReusesTheFirstFreeRecordThatFits) {
    record_file file;
    // Free areas of 5, 3, 50, 120 and 100 bytes, each kept apart by a
    // record in use so that compaction leaves them as they are.
    const auto offsets = build(file, {5, 1, 3, 1, 50, 1, 120, 1, 100, 1});
    for (int i : {0, 2, 4, 6, 8}) remove(file, offsets[i]);
    const uint64_t size = snapshot(file).size();

    // A small value takes only an area of exactly its size.
    file.append_record(20, "abc", 3, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), offsets[2]);
    file.append_record(21, "abcd", 4, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), size) << "no free area of exactly 4 bytes";

    // A larger one takes the first area big enough: 120 before 100, and
    // with 20 bytes to spare the area is not split.
    bytes hundred(100, 0x5A);
    file.append_record(22, hundred.data(), 100, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), offsets[6]);
    EXPECT_EQ(file.record_capacity(), 120u);
    EXPECT_EQ(file.record_length(), 100u);
    EXPECT_EQ(value_of(file, 22), hundred);
    file.close();

    const bytes content = read_file(path);
    expect_header(content, offsets[2], 20, 3, 3);
    expect_header(content, offsets[6], 22, 120, 100);
    expect_header(content, offsets[8], 0, 100, 0);
}

// An append right after a search places the value as one after no search:
// a walk that saw a free record, or stopped before the end, leaves the
// free space to be found; only a packed file is appended to at its end.
TEST_F(RecordFile, AppendAfterASearchStillFindsTheFreeSpace) {
    record_file file;
    const auto middle = build(file, {10, 5, 20});
    remove(file, middle[1]);
    file.close();
    EXPECT_FALSE(file.open_at(path.c_str(), false, 99));
    file.append_record(4, "abcde", 5, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), middle[1]) << "the free record a miss walked past";

    const auto tail = build(file, {10, 20, 30});
    remove(file, tail[2]);
    file.close();
    EXPECT_TRUE(file.open_at(path.c_str(), false, 1));
    bytes forty(40, 0x11);
    file.append_record(5, forty.data(), 40, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), tail[2]) << "the free tail a found key stopped before";

    build(file, {10, 20});
    file.close();
    const uint64_t size = read_file(path).size();
    EXPECT_FALSE(file.open_at(path.c_str(), false, 99));
    file.append_record(6, "xyz", 3, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), size);
    EXPECT_EQ(value_of(file, 2), bytes(20, static_cast<char>(0xA2)));
    EXPECT_EQ(value_of(file, 6), "xyz");
}

TEST_F(RecordFile, AppendSplitsAFreeAreaWithAtLeast32BytesToSpare) {
    record_file file;
    const auto offsets = build(file, {150, 1});
    remove(file, offsets[0]);
    bytes hundred(100, 0x33);
    file.append_record(7, hundred.data(), 100, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), offsets[0]);
    EXPECT_EQ(file.record_capacity(), 100u);
    file.close();

    const bytes content = read_file(path);
    expect_header(content, offsets[0], 7, 100, 100);
    expect_header(content, offsets[0] + 28 + 100, 0, 22, 0);
    expect_header(content, offsets[1], 2, 1, 1);
    EXPECT_EQ(content.size(), offsets[1] + 28 + 1);
}

TEST_F(RecordFile, CompactionMergesAdjacentFreeRecordsAndCutsTheFreeTail) {
    record_file file;
    const auto offsets = build(file, {10, 20, 5, 30, 40});
    remove(file, offsets[0]);
    remove(file, offsets[1]);
    // Freed records at the end stay until the next append.
    remove(file, offsets[4]);
    remove(file, offsets[3]);
    EXPECT_EQ(snapshot(file).size(), offsets[4] + 28 + 40);

    // 200 bytes fit nowhere: after compaction the value goes where the
    // freed tail began.
    bytes value(200, 0x77);
    file.append_record(9, value.data(), 200, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), offsets[3]);
    file.close();

    const bytes content = read_file(path);
    EXPECT_EQ(content.size(), offsets[3] + 28 + 200);
    // One free record spanning both, headers included; its time stamps are 0.
    expect_header(content, offsets[0], 0, 10 + 28 + 20, 0);
    EXPECT_EQ(content.substr(20, 16), bytes(16, 0));
    expect_header(content, offsets[2], 3, 5, 5);
    expect_header(content, offsets[3], 9, 200, 200);

    record_file reopened;
    EXPECT_TRUE(reopened.open(path.c_str(), true));
    std::vector<uint32_t> ids;
    do ids.push_back(reopened.record_id());
    while (reopened.find_next(match_every_record, 0));
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 3, 9}));
}

TEST_F(RecordFile, ReplaceInPlaceKeepsTheLengthAndMovingKeepsTheCreatedTime) {
    record_file file;
    file.create(path.c_str());
    const FILETIME created = {0x12345678u, 0x01D00000u};
    file.append_record(1, "0123456789", 10, &created, &created);

    // Fewer bytes: the value reads back at its old length, zeros after.
    file.replace_data("abcd", 4);
    EXPECT_EQ(value_of(file, 1), bytes("abcd\0\0\0\0\0\0", 10));
    FILETIME was_created, modified;
    file.record_times(&was_created, &modified);
    EXPECT_EQ(filetime_value(was_created), filetime_value(created));
    EXPECT_GT(filetime_value(modified), filetime_value(created));

    // More bytes than the area holds: the new copy is appended while the
    // old record is still in use (so a failure cannot lose the value), and
    // only then is the old record freed.
    file.replace_data("ABCDEFGHIJKL", 12);
    EXPECT_EQ(file.record_offset(), 8u + 28 + 10);
    EXPECT_EQ(value_of(file, 1), bytes("ABCDEFGHIJKL"));
    file.record_times(&was_created, &modified);
    EXPECT_EQ(filetime_value(was_created), filetime_value(created));
    file.close();

    const bytes content = read_file(path);
    expect_header(content, 8, 0, 10, 0);
    EXPECT_EQ(content.substr(36, 10), bytes(10, 0)) << "freed area zeroed";
    expect_header(content, 46, 1, 12, 12);
}

TEST_F(RecordFile, WriteAtGrowsTheValueAndZeroesTheGap) {
    record_file file;
    file.create(path.c_str());
    const FILETIME created = {0x0BADF00Du, 0x01D00000u};
    file.append_record(1, "0123456789", 10, &created, nullptr);

    // Past the area: the value moves; old bytes, zeros, new bytes.
    file.write_data_at(20, "wxyz", 4);
    bytes expected = bytes("0123456789");
    expected.resize(20, 0);
    expected += "wxyz";
    EXPECT_EQ(value_of(file, 1), expected);
    FILETIME was_created;
    file.record_times(&was_created, nullptr);
    EXPECT_EQ(filetime_value(was_created), filetime_value(created));

    // Within the area, inside the value: bytes change, length stays.
    file.write_data_at(2, "..", 2);
    expected[2] = expected[3] = '.';
    EXPECT_EQ(value_of(file, 1), expected);
}

TEST_F(RecordFile, InPlaceWritesBeyondTheLengthCoverTheBytesWritten) {
    record_file file;
    // Two adjacent freed records merge into one area of 90 + 28 + 2 = 120
    // bytes whose slack still holds the absorbed header, time stamps and
    // all; a 100-byte value takes it whole.
    const auto offsets = build(file, {90, 2, 1});
    remove(file, offsets[0]);
    remove(file, offsets[1]);
    bytes value(100, 0x11);
    file.append_record(5, value.data(), 100, nullptr, nullptr);
    ASSERT_EQ(file.record_offset(), offsets[0]);
    ASSERT_EQ(file.record_capacity(), 120u);
    ASSERT_NE(snapshot(file).substr(offsets[0] + 28 + 100, 10), bytes(10, 0))
        << "no stale bytes to test against";

    // A write at 110 makes the value 114 bytes long; the stale bytes
    // between 100 and 110 read as zeros.
    file.write_data_at(110, "tail", 4);
    EXPECT_EQ(file.record_offset(), offsets[0]) << "within the area: no move";
    bytes expected = value;
    expected.resize(110, 0);
    expected += "tail";
    EXPECT_EQ(value_of(file, 5), expected);

    // A replacement longer than the value but within the area grows it too.
    bytes longer(118, 0x22);
    file.replace_data(longer.data(), 118);
    EXPECT_EQ(value_of(file, 5), longer);
    file.close();
    expect_header(read_file(path), offsets[0], 5, 120, 118);
}

TEST_F(RecordFile, DamagedHeadersAreRefused) {
    struct header_case {
        const char* name;
        bytes content;
        odb_status status;
    };
    const header_case cases[] = {
        {"empty file", {}, ODB_E_BAD_HEADER},
        {"cut short", {'Q', 'F', 'D'}, ODB_E_BAD_HEADER},
        {"wrong magic", {'Q', 'F', 'D', 'X', 8, 0, 0, 1}, ODB_E_BAD_HEADER},
        {"header_size 7", {'Q', 'F', 'D', 'B', 7, 0, 0, 1}, ODB_E_BAD_HEADER},
        {"version 2.0", {'Q', 'F', 'D', 'B', 8, 0, 0, 2}, ODB_E_UNSUPPORTED_VERSION},
    };
    for (const auto& c : cases) {
        write_file(path, c.content);
        record_file file;
        try {
            file.open(path.c_str(), false);
            ADD_FAILURE() << c.name << " opened";
        } catch (odb_status status) {
            EXPECT_EQ(status, c.status) << c.name;
        }
        EXPECT_FALSE(file.is_open()) << c.name;
    }

    // Any minor version passes.
    write_file(path, bytes("QFDB\x08\x00\xFF\x01", 8));
    record_file file;
    EXPECT_FALSE(file.open(path.c_str(), true));
    EXPECT_THROW(record_file().open((dir / "missing.fdb").c_str(), true), odb_status);
}

TEST_F(RecordFile, LargerHeadersAreWalkedFromTheirEnd) {
    // header_size 12: four bytes of header padding, then one record.
    bytes content("QFDB\x0C\x00\x00\x01\xEE\xEE\xEE\xEE", 12);
    put_le32(content, 3);
    put_le32(content, 2);
    put_le32(content, 2);
    content.resize(content.size() + 16, 0);
    content += "ok";
    write_file(path, content);
    {
        record_file file;
        ASSERT_TRUE(file.open(path.c_str(), false));
        EXPECT_EQ(file.record_offset(), 12u);
        EXPECT_EQ(value_of(file, 3), bytes("ok"));
        file.append_record(4, "new", 3, nullptr, nullptr);
        EXPECT_EQ(file.record_offset(), 12u + 28 + 2);
    }

    // A header that claims more room than the file has: a value appended
    // must still be found again.
    write_file(path, bytes("QFDB\x40\x00\x00\x01", 8));
    record_file file;
    EXPECT_FALSE(file.open(path.c_str(), false));
    file.append_record(6, "far", 3, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), 64u);
    EXPECT_EQ(value_of(file, 6), bytes("far"));
}

TEST_F(RecordFile, DamagedTailsEndTheChainAndAreCutByTheNextAppend) {
    const uint64_t good_end = 8 + 28 + 5;
    auto with_tail = [&](const bytes& tail) {
        {
            record_file file;
            file.create(path.c_str());
            file.append_record(1, "hello", 5, nullptr, nullptr);
        }
        bytes content = read_file(path);
        content.insert(content.end(), tail.begin(), tail.end());
        write_file(path, content);
    };
    bytes runs_past_end;
    put_le32(runs_past_end, 2);
    put_le32(runs_past_end, 1000);
    put_le32(runs_past_end, 5);
    runs_past_end.resize(28 + 5, '\x44');
    const bytes tails[] = {bytes(10, '\x55'), runs_past_end};

    for (const bytes& tail : tails) {
        with_tail(tail);
        record_file file;
        ASSERT_TRUE(file.open(path.c_str(), false));
        EXPECT_FALSE(file.find_next(match_every_record, 0)) << "the damaged record is no record";
        EXPECT_FALSE(file.find_first(2, 0));
        file.append_record(3, "abc", 3, nullptr, nullptr);
        EXPECT_EQ(file.record_offset(), good_end);
        file.close();
        EXPECT_EQ(read_file(path).size(), good_end + 28 + 3);
    }

    // The same damage as the first record: the file holds nothing.
    write_file(path, bytes("QFDB\x08\x00\x00\x01\x01\x00\x00\x00\x09", 13));
    record_file file;
    EXPECT_FALSE(file.open(path.c_str(), false));
    file.append_record(1, "x", 1, nullptr, nullptr);
    EXPECT_EQ(file.record_offset(), 8u);
    file.close();
    EXPECT_EQ(read_file(path).size(), 8u + 28 + 1);
}

TEST_F(RecordFile, ALengthAboveTheCapacityIsClamped) {
    bytes content("QFDB\x08\x00\x00\x01", 8);
    put_le32(content, 1);
    put_le32(content, 4);
    put_le32(content, 0xFFFFFFF0u);
    content.resize(content.size() + 16, 0);
    content += "data";
    // A second record after it, which the walk must still reach.
    put_le32(content, 2);
    put_le32(content, 0);
    put_le32(content, 0);
    content.resize(content.size() + 16, 0);
    write_file(path, content);

    record_file file;
    ASSERT_TRUE(file.open(path.c_str(), true));
    ASSERT_TRUE(file.find_first(1, 0));
    EXPECT_EQ(file.record_length(), 4u);
    unsigned char buffer[16] = {};
    EXPECT_EQ(file.read_data(buffer, sizeof buffer), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "data");
    EXPECT_TRUE(file.find_first(2, 0));
}

}  // namespace
}  // namespace odb::test

// Lookup by name (the caller's name rules, folding, what is created) and
// counting a class by index or by walking.
#include <gtest/gtest.h>

#include "names/index_bytes.h"
#include "support/child_process.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

odb_status lookup_wide(walk_db& db, uint32_t cls, const std::u16string& name, uint32_t size,
                       uint32_t* id) {
    return ODB_obj_lookup_ex(db.db(), cls, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16, name.data(), size,
                             id);
}

uint32_t size_of(const std::u16string& name) { return 2 * static_cast<uint32_t>(name.size() + 1); }

TEST(Lookup, DisabledOrRefusedParameters) {
    walk_db off;
    uint32_t id = 0;
    EXPECT_EQ(off.lookup(1, "a", &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(off.class_dir(1)));

    walk_db db(index_on);
    const char name[] = "a";
    EXPECT_EQ(ODB_obj_lookup_ex(nullptr, 1, ODB_NAME_ATTRIBUTE, 2, name, 2, &id),
              ODB_E_INVALID_DATABASE);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, 5, 2, name, 2, &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(db.class_dir(1)));
    const odb_status refused = ODB_E_INVALID_PARAMETER;
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 4, name, 2, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, nullptr, 2, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, name, 0, &id), refused);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, name, 2, nullptr), refused);
    EXPECT_EQ(id, 0u);
}

TEST(Lookup, EmptyClassGetsAnEmptyIndex) {
    walk_db db(index_on);
    uint32_t id = 0;
    EXPECT_EQ(db.lookup(3, "nothing", &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(read_file(db.index_file(3, -1)).size(), 12u);
    for (int b = 0; b < 16; ++b) EXPECT_EQ(read_file(db.index_file(3, b)), bucket(0)) << b;
    EXPECT_FALSE(path_exists(db.index_file(3, 16)));
}

TEST(Lookup, NameSizeRules) {
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);  // builds the index
    db.make(1, 9, {{ODB_NAME_ATTRIBUTE, "abc"}});

    // Narrow names: the last byte of the caller's buffer must be zero.
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, "abc", 4, &id), ODB_OK);
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 2, "abc\0X", 5, &id),
              ODB_E_INVALID_PARAMETER);
    // UTF-16 names: the last whole unit must be zero, so an odd size
    // ignores its final byte.
    const std::u16string abc = u"abc";
    EXPECT_EQ(lookup_wide(db, 1, abc, 9, &id), ODB_OK);
    EXPECT_EQ(lookup_wide(db, 1, abc, 7, &id), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(lookup_wide(db, 1, abc, 1, &id), ODB_E_INVALID_PARAMETER);

    // 256 characters are accepted (and never found: no entry holds them),
    // 257 are not.
    const std::string long256(256, 'n'), long257(257, 'n');
    EXPECT_EQ(db.lookup(1, long256, &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(db.lookup(1, long257, &id), ODB_E_INVALID_PARAMETER);
    const std::u16string wide256(256, u'n'), wide257(257, u'n');
    EXPECT_EQ(lookup_wide(db, 1, wide256, size_of(wide256), &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(lookup_wide(db, 1, wide257, size_of(wide257), &id), ODB_E_INVALID_PARAMETER);
}

TEST(Lookup, FoldsOnlyAToZ) {
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "Ab"}});
    db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "aB"}});
    // U+00C9 stored as UTF-16 after a byte-order mark; U+00E9 is its lower
    // case, and both sum to bucket 9.
    db.make(1, 3, {{ODB_NAME_ATTRIBUTE, std::string("\xFF\xFE\xC9\x00", 4)}});

    const std::string names = read_file(db.index_file(1, 3));
    ASSERT_EQ(names.size(), 88u);
    for (const char* form : {"AB", "ab", "aB"}) {
        EXPECT_EQ(db.lookup(1, form, &id), ODB_OK);
        EXPECT_EQ(id, read_le32(names, 10));  // the first entry in the file wins
    }
    EXPECT_EQ(lookup_wide(db, 1, u"\u00C9", 4, &id), ODB_OK);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(lookup_wide(db, 1, u"\u00E9", 4, &id), ODB_E_NO_MORE_ITEMS);
}

TEST(Lookup, LongBucketsAreScannedWhole) {
    // More entries than one read of the bucket takes in: the match is the
    // last entry, and an update reuses the last free one.
    walk_db db(index_on);
    db.make(1, 5);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    std::string entries;
    for (int i = 0; i < 2000; ++i) entries += free_entry(i % 2 == 0 ? 40 : 42);
    ASSERT_TRUE(write_file(db.index_file(1, 1), bucket(1, entries + entry(40, 77, "a"))));
    EXPECT_EQ(db.lookup(1, "A", &id), ODB_OK);
    EXPECT_EQ(id, 77u);

    odb_obj_ctx* ctx = db.open(1, 5, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "q", 1), ODB_OK);
    ODB_obj_close_ctx(ctx);
    const std::string after = read_file(db.index_file(1, 1));
    ASSERT_EQ(after.size(), 8 + entries.size() + 40);
    EXPECT_EQ(after.substr(0, 8), bucket(2));
    EXPECT_EQ(after.substr(8 + entries.size() - 42, 42), entry(42, 5, "q"));
}

class Count : public ::testing::Test {
protected:
    // Objects 1 ("a") and 2 ("B") indexed; 3 made after the rebuild
    // without a name, so only a walk counts it.
    Count() : db_(index_on) {
        db_.make(1, 1, {{ODB_NAME_ATTRIBUTE, "a"}});
        db_.make(1, 2, {{ODB_NAME_ATTRIBUTE, "B"}});
        db_.reopen();  // the names above switched the index off; start over
        uint32_t id = 0;
        EXPECT_EQ(db_.lookup(1, "a", &id), ODB_OK);
        db_.make(1, 3);
    }
    uint32_t count(uint32_t flags = 0) {
        uint32_t n = 0xDEAD;
        EXPECT_EQ(ODB_obj_count(db_.db(), 1, flags, &n), ODB_OK);
        return n;
    }
    walk_db db_;
};

TEST_F(Count, ByIndexOrByWalking) {
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(count(ODB_ENUM_LIVE), 3u);  // any flags walk the class
    EXPECT_EQ(count(ODB_ENUM_REMOVED), 0u);
    uint32_t n = 0;
    EXPECT_EQ(ODB_obj_count(db_.db(), 1, 0, nullptr), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_obj_count(nullptr, 1, 0, &n), ODB_E_INVALID_DATABASE);

    // An empty class gets an index of empty buckets.
    EXPECT_EQ(ODB_obj_count(db_.db(), 8, 0, &n), ODB_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(read_file(db_.index_file(8, 15)), bucket(0));

    db_.reopen({{"NameIndex", "Enabled", "no"}});
    EXPECT_EQ(count(), 3u);
}

TEST_F(Count, DamagedBuckets) {
    // A wrong magic makes the count walk the class, and the file is left alone.
    const std::string wrong = le32(0x12345678u) + le32(1) + entry(40, 2, "B");
    ASSERT_TRUE(write_file(db_.index_file(1, 2), wrong));
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(read_file(db_.index_file(1, 2)), wrong);

    // A bucket shorter than its header adds nothing and is no reason to walk.
    ASSERT_TRUE(write_file(db_.index_file(1, 2), "\x04\x00[["));
    EXPECT_EQ(count(), 1u);
}

TEST(Lookup, RebuildBlockedByAWriterLeavesNoIndex) {
    walk_db db(index_on);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "one"}});
    db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "two"}});
    db.reopen();  // the names above switched the index off
    auto writer = child_process::start_helper(
        {"hold-object", narrow(db.root()), "1", "2", std::to_string(ODB_MODE_WRITE)});
    ASSERT_EQ(writer->read_line(), "held");

    // The rebuild cannot read object 2: it deletes what it built, the
    // lookup fails and the count walks the class instead.
    uint32_t id = 0, count = 0;
    EXPECT_EQ(db.lookup(1, "one", &id), ODB_E_INVALID_PARAMETER);
    EXPECT_FALSE(path_exists(db.index_file(1, 0)));
    EXPECT_EQ(ODB_obj_count(db.db(), 1, 0, &count), ODB_OK);
    EXPECT_EQ(count, 2u);

    writer->close_input();
    EXPECT_EQ(writer->wait(), 0);
    EXPECT_EQ(db.lookup(1, "two", &id), ODB_OK);
    EXPECT_EQ(id, 2u);
}

}  // namespace

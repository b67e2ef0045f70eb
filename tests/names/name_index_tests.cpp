// The name index files byte for byte: the worked example, entry sizes,
// reuse of free entries, the rebuild, the index's states, the switch-off
// after a failed update, and damaged files.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "names/index_bytes.h"
#include "names/name_index.h"
#include "store/context.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

void set_name(walk_db& db, uint32_t cls, uint32_t id, const std::string& name) {
    odb_obj_ctx* ctx = db.open(cls, id, ODB_MODE_WRITE);
    EXPECT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, name.data(),
                                    static_cast<uint32_t>(name.size())),
              ODB_OK);
    ODB_obj_close_ctx(ctx);
}

TEST(NameIndex, WorkedExampleByRebuildAndByUpdate) {
    walk_db db({{"NameIndex", "Enabled", "no"}});
    db.make(5, 0x201, {{ODB_NAME_ATTRIBUTE, "Ab"}});
    db.reopen(index_on);
    const uint32_t before = odb::seconds_since_1992_now();
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(5, "aB", &id), ODB_OK);  // rebuilds the missing index
    EXPECT_EQ(id, 0x201u);
    const uint32_t after = odb::seconds_since_1992_now();

    const std::string expected = bucket(1, entry(40, 0x201, "Ab"));
    ASSERT_EQ(expected.size(), 48u);
    const std::string header = read_file(db.index_file(5, -1));
    ASSERT_EQ(header.size(), 12u);
    EXPECT_EQ(read_le32(header, 0), 0x5B5B0004u);
    EXPECT_GE(read_le32(header, 4), before);
    EXPECT_LE(read_le32(header, 4), after);
    EXPECT_EQ(read_le32(header, 8), 16u);
    for (int b = 0; b < 16; ++b) {
        const std::string expected_bucket = b == 3 ? expected : bucket(0);
        EXPECT_EQ(read_file(db.index_file(5, b)), expected_bucket) << "bucket " << b;
    }

    // The same entry comes from an update of an existing index.
    ASSERT_EQ(db.lookup(6, "Ab", &id), ODB_E_NO_MORE_ITEMS);
    db.make(6, 0x201, {{ODB_NAME_ATTRIBUTE, "Ab"}});
    EXPECT_EQ(read_file(db.index_file(6, 3)), expected);
}

TEST(NameIndex, EntrySizesFollowMinEntrySize) {
    const std::string a126(126, 'a'), a127(127, 'a'), a130(130, 'a');
    struct row {
        const char* min_entry_size;
        uint32_t two_units;   // entry length for "Ab"
        uint32_t five_units;  // for "Abcde"
    };
    for (const row& r : {row{"4", 16, 20}, row{"127", 262, 262}, row{"200", 262, 262}}) {
        SCOPED_TRACE(r.min_entry_size);
        std::vector<ini_setting> settings = index_on;
        settings.push_back({"NameIndex", "MinEntrySize", r.min_entry_size});
        walk_db db(settings);
        uint32_t id = 0;
        ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
        db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "Ab"}});
        db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "Abcde"}});  // sum 495: bucket 15
        EXPECT_EQ(read_file(db.index_file(1, 3)), bucket(1, entry(r.two_units, 1, "Ab")));
        EXPECT_EQ(read_file(db.index_file(1, 15)), bucket(1, entry(r.five_units, 2, "Abcde")));
        if (r.two_units == 16) continue;

        // 126 units is the longest name an entry holds with its terminator;
        // a longer one is kept cut to 127 units without one, and no lookup
        // finds it. Nothing longer than 262 bytes is written.
        db.make(1, 3, {{ODB_NAME_ATTRIBUTE, a126}});  // 126 * 97: bucket 14
        db.make(1, 4, {{ODB_NAME_ATTRIBUTE, a130}});  // 130 * 97: bucket 2
        EXPECT_EQ(read_file(db.index_file(1, 14)), bucket(1, entry(262, 3, a126)));
        EXPECT_EQ(read_file(db.index_file(1, 2)), bucket(1, entry(262, 4, a127)));
        EXPECT_EQ(db.lookup(1, a126, &id), ODB_OK);
        EXPECT_EQ(id, 3u);
        EXPECT_EQ(db.lookup(1, a130, &id), ODB_E_NO_MORE_ITEMS);
        EXPECT_EQ(db.lookup(1, a127, &id), ODB_E_NO_MORE_ITEMS);
    }
}

TEST(NameIndex, UpdatesReuseTheLastFittingFreeEntry) {
    // One-unit names "a", "q", "1", "!" and the names below all sum to 1
    // modulo 16, so everything here lives in names.001.
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    const wide_string file = db.index_file(1, 1);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "a"}});
    db.make(1, 2, {{ODB_NAME_ATTRIBUTE, "q"}});
    db.make(1, 3, {{ODB_NAME_ATTRIBUTE, "1"}});
    const std::string e1 = entry(40, 1, "a"), e3 = entry(40, 3, "1"), f40 = free_entry(40);
    EXPECT_EQ(read_file(file), bucket(3, e1 + entry(40, 2, "q") + e3));

    for (uint32_t gone : {2u, 1u}) {  // removal frees the entry; the file keeps its size
        odb_obj_ctx* ctx = db.open(1, gone, ODB_MODE_WRITE);
        ASSERT_EQ(ODB_obj_remove(ctx), ODB_OK);
        ODB_obj_close_ctx(ctx);
    }
    EXPECT_EQ(read_file(file), bucket(1, f40 + f40 + e3));
    db.make(1, 4, {{ODB_NAME_ATTRIBUTE, "!"}});  // into the second free entry
    EXPECT_EQ(read_file(file), bucket(2, f40 + entry(40, 4, "!") + e3));

    // A 16-unit name fits no 40-byte entry: the old one is freed and the
    // new one appended (42 bytes).
    const std::string long_name = "b" + std::string(15, 'a');
    set_name(db, 1, 3, long_name);
    const std::string e3_long = entry(42, 3, long_name);
    EXPECT_EQ(read_file(file), bucket(2, f40 + entry(40, 4, "!") + f40 + e3_long));
    // A new name goes to the last free entry that fits, not the one just freed.
    set_name(db, 1, 4, "Q");
    EXPECT_EQ(read_file(file), bucket(2, f40 + f40 + entry(40, 4, "Q") + e3_long));

    // Direct updates of an identifier that has an entry in the bucket:
    // rewritten in place when the name fits (bytes behind the terminator
    // stay), moved when it does not; the count is unchanged either way.
    odb_obj_ctx* ctx = db.open(1, 4, ODB_MODE_WRITE);
    odb::update_name_index(*ctx, 4, widen("00!").c_str(), false);
    odb::update_name_index(*ctx, 4, widen("1").c_str(), false);
    EXPECT_EQ(read_file(file),
              bucket(2, f40 + f40 + entry(40, 4, std::string("1\0!", 3)) + e3_long));
    odb::update_name_index(*ctx, 4, widen(long_name).c_str(), false);
    const std::string e4_long = entry(42, 4, long_name);
    EXPECT_EQ(read_file(file), bucket(2, f40 + f40 + f40 + e3_long + e4_long));
    odb::update_name_index(*ctx, 3, widen(long_name).c_str(), true);
    odb::update_name_index(*ctx, 99, widen("1").c_str(), true);  // no entry: nothing changes
    EXPECT_EQ(read_file(file), bucket(1, f40 + f40 + f40 + free_entry(42) + e4_long));
    ODB_obj_close_ctx(ctx);
    EXPECT_TRUE(odb::name_index_on(*db.db()));
}

TEST(NameIndex, NewObjectsAppendToBucketZeroAndGiveTheirEntryBackWhenNamed) {
    // The empty name hashes to bucket 0; "a" to bucket 1.
    walk_db db(index_on);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "x", &id), ODB_E_NO_MORE_ITEMS);
    const wide_string file = db.index_file(1, 0);
    odb_obj_ctx *first = nullptr, *second = nullptr;
    uint32_t first_id = 0, second_id = 0;
    ASSERT_EQ(ODB_obj_new(db.db(), 1, &first_id, &first), ODB_OK);
    ASSERT_EQ(ODB_obj_new(db.db(), 1, &second_id, &second), ODB_OK);
    EXPECT_EQ(read_file(file), bucket(2, entry(40, first_id, "") + entry(40, second_id, "")));
    // Named, an object gives its entry back: freed in place, or cut off
    // when it is the last.
    for (odb_obj_ctx* ctx : {first, second}) {
        ASSERT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "a", 2), ODB_OK);
        ODB_obj_close_ctx(ctx);
    }
    EXPECT_EQ(read_file(file), bucket(0, free_entry(40)));
    db.make(1, 9, {});  // room to reuse: the scan finds it
    EXPECT_EQ(read_file(file), bucket(1, entry(40, 9, "")));
    EXPECT_EQ(db.lookup(1, "a", &id), ODB_OK);
    uint32_t count = 0;
    ASSERT_EQ(ODB_obj_count(db.db(), 1, 0, &count), ODB_OK);
    EXPECT_EQ(count, 3u);
}

TEST(NameIndex, RebuildHasOneEntryPerLiveObject) {
    walk_db db({{"NameIndex", "Enabled", "no"}});
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "a"}});
    db.make(1, 2);                               // no name: bucket 0, empty name
    db.make(1, 3, {{ODB_NAME_ATTRIBUTE, "B"}});  // 98: bucket 2
    db.make(1, 4, {{ODB_NAME_ATTRIBUTE, "A"}});  // same bucket and name as 1
    db.make(1, 5, {{ODB_NAME_ATTRIBUTE, "q"}});
    odb_obj_ctx* ctx = db.open(1, 5, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);  // not live: not indexed
    ODB_obj_close_ctx(ctx);
    db.reopen(index_on);

    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "a", &id), ODB_OK);
    const std::string ones = read_file(db.index_file(1, 1));
    ASSERT_EQ(ones.size(), 88u);
    EXPECT_EQ(ones.substr(0, 8), bucket(2));
    // Entries come in walk order; the first one answers the lookup.
    const std::string first = ones.substr(8, 40), second = ones.substr(48, 40);
    EXPECT_TRUE((first == entry(40, 1, "a") && second == entry(40, 4, "A")) ||
                (first == entry(40, 4, "A") && second == entry(40, 1, "a")));
    EXPECT_EQ(id, read_le32(first, 2));
    EXPECT_EQ(read_file(db.index_file(1, 0)), bucket(1, entry(40, 2, "")));
    EXPECT_EQ(read_file(db.index_file(1, 2)), bucket(1, entry(40, 3, "B")));
    EXPECT_EQ(db.lookup(1, "q", &id), ODB_E_NO_MORE_ITEMS);

    // A changed HashCount applies at the next rebuild; the buckets beyond
    // it are left behind.
    std::vector<ini_setting> settings = index_on;
    settings.push_back({"NameIndex", "HashCount", "4"});
    db.reopen(settings);
    ASSERT_TRUE(write_file(db.index_file(1, -1), index_header(0, 16, 0)));  // invalid
    ASSERT_EQ(db.lookup(1, "B", &id), ODB_OK);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(read_le32(read_file(db.index_file(1, -1)), 8), 4u);
    EXPECT_EQ(read_file(db.index_file(1, 2)), bucket(1, entry(40, 3, "B")));  // 98 % 4
    EXPECT_EQ(read_file(db.index_file(1, 15)), bucket(0));
}

TEST(NameIndex, InvalidAndStaleIndexesAreRebuilt) {
    // An index that names a ghost: "g" (103, bucket 7) as object 77.
    auto plant_ghost = [](walk_db& db, const std::string& header) {
        ASSERT_TRUE(write_file(db.index_file(1, -1), header));
        ASSERT_TRUE(write_file(db.index_file(1, 7), bucket(1, entry(40, 77, "g"))));
    };
    walk_db db(index_on);  // LifeTime 0: never stale
    db.make(1, 1);
    uint32_t id = 0;
    plant_ghost(db, index_header(0, 16));
    ASSERT_EQ(db.lookup(1, "g", &id), ODB_OK);
    EXPECT_EQ(id, 77u);

    // Zero magic, whatever else the header holds: invalid.
    plant_ghost(db, le32(0) + le32(0xFFFFFFFFu) + le32(16));
    EXPECT_EQ(db.lookup(1, "g", &id), ODB_E_NO_MORE_ITEMS);

    // Built in 1992 with the default LifeTime: stale, and rebuilt even when
    // the lookup itself is refused.
    db.reopen({{"NameIndex", "LifeTime", "1800"}});
    plant_ghost(db, index_header(0, 16));
    EXPECT_EQ(ODB_obj_lookup_ex(db.db(), 1, ODB_NAME_ATTRIBUTE, 7, "g", 2, &id),
              ODB_E_INVALID_PARAMETER);
    EXPECT_GT(read_le32(read_file(db.index_file(1, -1)), 4), 0u);
    EXPECT_EQ(db.lookup(1, "g", &id), ODB_E_NO_MORE_ITEMS);
}

TEST(NameIndex, FailedUpdateSwitchesTheIndexOffForTheHandle) {
    walk_db db(index_on);
    db.make(1, 1, {{ODB_NAME_ATTRIBUTE, "Zed"}});  // no index yet: the update fails
    EXPECT_EQ(read_file(db.index_file(1, -1)), std::string(12, '\0'));
    uint32_t id = 0, count = 0;
    EXPECT_EQ(db.lookup(1, "Zed", &id), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(db.lookup(2, "Zed", &id), ODB_E_INVALID_PARAMETER);  // every class
    EXPECT_EQ(ODB_obj_count(db.db(), 1, 0, &count), ODB_OK);       // by walking
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(path_exists(db.index_file(2, -1)));
    db.reopen();
    EXPECT_EQ(db.lookup(1, "Zed", &id), ODB_OK);
    EXPECT_EQ(id, 1u);
}

TEST(NameIndex, DamagedFilesAreRefusedOrRebuilt) {
    walk_db db(index_on);
    db.make(1, 1);
    db.make(1, 2);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "a", &id), ODB_E_NO_MORE_ITEMS);
    set_name(db, 1, 1, "a");  // bucket 1
    set_name(db, 1, 2, "B");  // bucket 2
    const wide_string header = db.index_file(1, -1), ones = db.index_file(1, 1);

    // A names.dat with a wrong magic or a bucket count it never holds is
    // rebuilt by the next lookup.
    for (const std::string& bad : {index_header(1, 16, 0x5B5B0005u), index_header(1, 0),
                                   index_header(1, 257), std::string("\x04\x00[[", 4)}) {
        ASSERT_TRUE(write_file(header, bad));
        id = 0;
        EXPECT_EQ(db.lookup(1, "a", &id), ODB_OK);
        EXPECT_EQ(id, 1u);
        EXPECT_EQ(read_le32(read_file(header), 8), 16u);
    }

    // A damaged bucket behind a valid header fails the lookup, without
    // looping on an entry length that cannot advance.
    const std::string damaged[] = {
        std::string(5, '\x04'),                              // shorter than a header
        le32(0x5B5B0003u) + le32(1) + entry(40, 1, "a"),     // wrong magic
        bucket(1, le16(0) + le32(1) + std::string(34, 'x')),  // length 0
        bucket(1, le16(7) + le32(1) + std::string(34, 'x')),  // length 7
        bucket(1, entry(264, 1, "a")),                       // length 264
        bucket(1, entry(48, 1, "a")).substr(0, 48),          // runs past the end
    };
    for (const std::string& bad : damaged) {
        ASSERT_TRUE(write_file(ones, bad));
        EXPECT_EQ(db.lookup(1, "a", &id), ODB_E_INVALID_PARAMETER);
        EXPECT_EQ(db.lookup(1, "B", &id), ODB_OK);  // other buckets still answer
    }
    ASSERT_TRUE(write_file(ones, bucket(1, entry(263, 1, "a"))));  // the longest accepted
    id = 0;
    EXPECT_EQ(db.lookup(1, "a", &id), ODB_OK);
    EXPECT_EQ(id, 1u);

    // An update into a damaged bucket resets the index and switches it off.
    ASSERT_TRUE(write_file(ones, bucket(1, le16(0) + le32(1) + le16(0))));
    set_name(db, 1, 2, "q");
    EXPECT_EQ(read_file(header), std::string(12, '\0'));
    EXPECT_FALSE(odb::name_index_on(*db.db()));
}

}  // namespace

// Object walks: which directories count as objects of which kind, how the
// identifier is read back from bucket and slot, the time filter, and the
// one-call convenience form.
#include <gtest/gtest.h>

#include <cstring>

#include "store/context.h"
#include "support/walk_fixture.h"

namespace {

using namespace odb::test;
using ids = std::vector<uint32_t>;

void mkdir(const wide_string& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)); }

TEST(ObjectWalk, EmptyAndMissingClassesEndAtOnce) {
    walk_db db;
    odb_enum_ctx* walk = nullptr;
    uint32_t id = 0;
    ASSERT_EQ(ODB_obj_enum_init(db.db(), 4, 0, nullptr, &walk), ODB_OK);
    EXPECT_EQ(ODB_obj_enum_ids(walk, &id), ODB_E_NO_MORE_ITEMS);  // no class directory

    // A class directory with stray files, an empty bucket and a bucket
    // holding only a file and a directory whose name is not eight long.
    mkdir(db.class_dir(4));
    mkdir(db.path("00000004/00000000"));
    mkdir(db.path("00000004/00000001"));
    mkdir(db.path("00000004/00000001/0000001"));
    ASSERT_TRUE(CreateDirectoryW(db.path("00000004/00000001/00000002.OLD").c_str(), nullptr));
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_import(db.db(), 9, 1, &ctx), ODB_OK);  // another class does not leak in
    ODB_obj_close_ctx(ctx);
    EXPECT_EQ(ODB_obj_enum_ids(walk, &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(ODB_obj_enum_close(walk), ODB_OK);
}

TEST(ObjectWalk, FlagsChooseLiveRemovedAndWiped) {
    walk_db db;
    for (uint32_t id = 1; id <= 4; ++id) db.make(3, id, {{5, "x"}});
    odb_obj_ctx* removed = db.open(3, 3, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(removed, 0), ODB_OK);
    ODB_obj_close_ctx(removed);
    odb_obj_ctx* wiped = db.open(3, 4, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove(wiped), ODB_OK);
    ODB_obj_close_ctx(wiped);

    EXPECT_EQ(db.walk(3, 0), (ids{1, 2}));  // 0 means live
    EXPECT_EQ(db.walk(3, ODB_ENUM_LIVE), (ids{1, 2}));
    EXPECT_EQ(db.walk(3, ODB_ENUM_REMOVED), (ids{3}));
    EXPECT_EQ(db.walk(3, ODB_ENUM_REMOVED | ODB_ENUM_WIPED), (ids{3, 4}));
    EXPECT_EQ(db.walk(3, 0xFFFFFFE7u), (ids{1, 2, 3, 4}));  // unknown bits ignored
    // Filters without a kind visit nothing, even with no filter block.
    EXPECT_EQ(db.walk(3, ODB_ENUM_CHANGED_AFTER), ids{});
    EXPECT_EQ(db.walk(3, ODB_ENUM_MATCH), ids{});
}

TEST(ObjectWalk, IdentifierComesFromBucketAndSlot) {
    walk_db db;
    mkdir(db.class_dir(6));
    mkdir(db.path("00000006/00000003"));
    mkdir(db.path("00000006/00000003/0000001f.RMV"));
    mkdir(db.path("00000006/00000003/0000001e.rmv"));  // suffixes in any case
    mkdir(db.path("00000006/00000003/0000001d.WPE"));
    EXPECT_EQ(db.walk(6, ODB_ENUM_REMOVED | ODB_ENUM_WIPED), (ids{0x61D, 0x61E, 0x61F}));
    EXPECT_EQ(db.walk(6, ODB_ENUM_LIVE), ids{});

    // Identifiers spread over several buckets, each delivered once.
    const ids spread = {0, 1, 511, 512, 513, 1024, 5000, 0x12345, 0xFFFFFFFFu};
    for (uint32_t id : spread) db.make(7, id);
    EXPECT_EQ(db.walk(7, ODB_ENUM_LIVE), spread);
    uint32_t count = 0;
    EXPECT_EQ(ODB_obj_count(db.db(), 7, ODB_ENUM_LIVE, &count), ODB_OK);
    EXPECT_EQ(count, spread.size());
}

TEST(ObjectWalk, EndIsNotStickyAndHandlesAreChecked) {
    walk_db db;
    db.make(2, 10);
    odb_enum_ctx* walk = nullptr;
    uint32_t id = 0;
    ASSERT_EQ(ODB_obj_enum_init(db.db(), 2, ODB_ENUM_LIVE, nullptr, &walk), ODB_OK);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ODB_obj_enum_ids(walk, &id), ODB_OK);
        EXPECT_EQ(id, 10u);
        EXPECT_EQ(ODB_obj_enum_ids(walk, &id), ODB_E_NO_MORE_ITEMS);
    }
    EXPECT_EQ(ODB_obj_enum_ids(walk, nullptr), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_obj_enum_close(walk), ODB_OK);

    EXPECT_EQ(ODB_obj_enum_ids(nullptr, &id), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_enum_close(nullptr), ODB_E_INVALID_CONTEXT);
    odb_enum_ctx* untouched = reinterpret_cast<odb_enum_ctx*>(&id);
    EXPECT_EQ(ODB_obj_enum_init(nullptr, 2, 0, nullptr, &untouched), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(untouched, reinterpret_cast<odb_enum_ctx*>(&id));
    EXPECT_EQ(ODB_obj_enum_init(db.db(), 2, 0, nullptr, nullptr), ODB_E_INVALID_PARAMETER);
}

TEST(ObjectWalk, ConvenienceForm) {
    walk_db db;
    db.make(2, 7);
    db.make(2, 8);
    odb_enum_ctx* walk = nullptr;
    uint32_t id = 0;
    ids seen;
    odb_status status;
    while ((status = ODB_obj_enum(db.db(), &walk, 2, &id)) == ODB_OK) seen.push_back(id);
    EXPECT_EQ(status, ODB_E_NO_MORE_ITEMS);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (ids{7, 8}));
    // The end does not close the handle: the next call starts over.
    EXPECT_EQ(ODB_obj_enum(db.db(), &walk, 2, &id), ODB_OK);
    EXPECT_EQ(ODB_obj_enum(db.db(), &walk, 2, nullptr), ODB_OK);

    // Null handle and null identifier: a handle is made and closed at once;
    // the caller's pointer keeps the freed address.
    walk = nullptr;
    EXPECT_EQ(ODB_obj_enum(db.db(), &walk, 2, nullptr), ODB_OK);
    EXPECT_NE(walk, nullptr);
    EXPECT_EQ(ODB_obj_enum(db.db(), nullptr, 2, &id), ODB_E_INVALID_PARAMETER);
    walk = nullptr;
    EXPECT_EQ(ODB_obj_enum(nullptr, &walk, 2, &id), ODB_E_INVALID_DATABASE);
    EXPECT_EQ(walk, nullptr);
}

TEST(ObjectWalk, TimeFilterPassesOnlyStrictlyLaterLockFiles) {
    walk_db db;
    db.make(5, 1);
    db.make(5, 2);
    // Whole milliseconds, so that the filter's SYSTEMTIME names the lock
    // file's time exactly.
    SYSTEMTIME base = {2021, 3, 0, 14, 15, 9, 26, 535};
    FILETIME older, newer;
    ASSERT_TRUE(SystemTimeToFileTime(&base, &older));
    base.wMilliseconds = 536;
    ASSERT_TRUE(SystemTimeToFileTime(&base, &newer));
    ASSERT_TRUE(set_last_write_time(join(db.object_dir(5, 1), "OBJLOCK.FDB"), older));
    ASSERT_TRUE(set_last_write_time(join(db.object_dir(5, 2), "OBJLOCK.FDB"), newer));

    odb_enum_filter filter = {};
    SYSTEMTIME after = {2021, 3, 0, 14, 15, 9, 26, 535};
    std::memcpy(&filter.changed_after, &after, sizeof after);
    EXPECT_EQ(db.walk(5, ODB_ENUM_LIVE | ODB_ENUM_CHANGED_AFTER, &filter), (ids{2}));
    filter.changed_after.milliseconds = 534;
    EXPECT_EQ(db.walk(5, ODB_ENUM_LIVE | ODB_ENUM_CHANGED_AFTER, &filter), (ids{1, 2}));
    filter.changed_after.month = 13;  // does not convert: nothing passes
    EXPECT_EQ(db.walk(5, ODB_ENUM_LIVE | ODB_ENUM_CHANGED_AFTER, &filter), ids{});

    // Writing through a context moves the time on.
    odb_obj_ctx* ctx = db.open(5, 1, ODB_MODE_WRITE);
    ODB_obj_close_ctx(ctx);
    filter.changed_after.month = 3;
    filter.changed_after.milliseconds = 536;
    EXPECT_EQ(db.walk(5, ODB_ENUM_LIVE | ODB_ENUM_CHANGED_AFTER, &filter), (ids{1}));
}

// A wiped object has no lock file, and so no time of change to pass the
// filter with.
TEST(ObjectWalk, TimeFilterPassesOverAWipedObject) {
    walk_db db;
    db.make(5, 1);
    odb_obj_ctx* ctx = db.open(5, 1, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove(ctx), ODB_OK);  // the wipe takes OBJLOCK.FDB too
    ODB_obj_close_ctx(ctx);
    odb_enum_filter filter = {};
    filter.changed_after = {2000, 1, 0, 1, 0, 0, 0, 0};
    odb_enum_ctx* walk = nullptr;
    uint32_t id = 0;
    ASSERT_EQ(ODB_obj_enum_init(db.db(), 5, ODB_ENUM_WIPED | ODB_ENUM_CHANGED_AFTER, &filter,
                                &walk),
              ODB_OK);
    EXPECT_EQ(ODB_obj_enum_ids(walk, &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(id, 1u);  // the rejected candidate is left in the variable
    ODB_obj_enum_close(walk);
}

}  // namespace

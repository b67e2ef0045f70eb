// Identifier ranges: the free part above every identifier in use, handing
// blocks of it out, and moving every class into a new range.
#include <gtest/gtest.h>

#include "support/file_util.h"
#include "support/walk_fixture.h"

namespace {

using namespace odb::test;

bool ini_has(const walk_db& db, const std::string& line) {
    return read_file(db.path("DBCFG.INI")).find(line) != std::string::npos;
}

TEST(IdRanges, FreeRangeAndStealing) {
    walk_db db;
    uint32_t first = 0, last = 0;
    ASSERT_EQ(ODB_get_free_ids(db.db(), &first, &last), ODB_OK);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(last, 0xFFFFFFF0u);

    for (int i = 0; i < 5; ++i) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_new(db.db(), 2, &id, &ctx), ODB_OK);
        ODB_obj_close_ctx(ctx);
    }
    db.make(3, 9);
    odb_obj_ctx* ctx = db.open(3, 9, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);  // removed objects count as in use
    ODB_obj_close_ctx(ctx);
    ASSERT_EQ(ODB_get_free_ids(db.db(), &first, &last), ODB_OK);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(last, 0xFFFFFFF0u);

    ASSERT_EQ(ODB_steal_ids(db.db(), 0xF, &first, &last), ODB_OK);
    EXPECT_EQ(first, 0xFFFFFFE1u);
    EXPECT_EQ(last, 0xFFFFFFF0u);
    EXPECT_TRUE(ini_has(db, "LastId=ffffffe0"));

    // A count beyond the free span hands over all of it.
    ASSERT_EQ(ODB_steal_ids(db.db(), 0xFFFFFFFFu, &first, &last), ODB_OK);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(last, 0xFFFFFFE0u);
    EXPECT_TRUE(ini_has(db, "LastId=00000009"));

    // Nothing is free now: the steal is refused and writes nothing.
    ASSERT_EQ(ODB_get_free_ids(db.db(), &first, &last), ODB_OK);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(last, 9u);
    const std::string before = read_file(db.path("DBCFG.INI"));
    EXPECT_EQ(ODB_steal_ids(db.db(), 1, &first, &last), ODB_E_NO_FREE_ID);
    EXPECT_EQ(read_file(db.path("DBCFG.INI")), before);

    EXPECT_EQ(ODB_get_free_ids(db.db(), nullptr, &last), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_steal_ids(db.db(), 1, &first, nullptr), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_get_free_ids(nullptr, &first, &last), ODB_E_INVALID_DATABASE);
}

TEST(IdRanges, TopIdentifierInUseLeavesNothingFree) {
    // Importing 0xFFFFFFFF is allowed; one past it must not wrap to 0,
    // whichever class the scan meets first.
    walk_db db;
    db.make(2, 5);
    db.make(4, 0xFFFFFFFFu);
    uint32_t first = 0, last = 0;
    ASSERT_EQ(ODB_get_free_ids(db.db(), &first, &last), ODB_OK);
    EXPECT_GT(first, last);
    EXPECT_EQ(ODB_steal_ids(db.db(), 3, &first, &last), ODB_E_NO_FREE_ID);
    EXPECT_FALSE(ini_has(db, "LastId"));

    ASSERT_EQ(ODB_assign_ids(db.db(), 1, 0xFFFFFFFFu), ODB_OK);
    EXPECT_EQ(read_file(db.path("00000004/OBJID.FDB")), "Next ID=ffffffff");
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    db.reopen();
    EXPECT_EQ(ODB_obj_new(db.db(), 4, &id, &ctx), ODB_E_NO_FREE_ID);
}

TEST(IdRanges, AssignMovesEveryClassIntoTheRange) {
    walk_db db;
    for (uint32_t id : {1u, 150u, 300u}) db.make(7, id);
    db.make(8, 5);
    ASSERT_EQ(ODB_assign_ids(db.db(), 100, 199), ODB_OK);
    EXPECT_EQ(read_file(db.path("00000007/OBJID.FDB")), "Next ID=00000097");
    EXPECT_EQ(read_file(db.path("00000008/OBJID.FDB")), "Next ID=00000064");
    EXPECT_TRUE(ini_has(db, "FirstId=00000064"));
    EXPECT_TRUE(ini_has(db, "LastId=000000c7"));

    db.reopen();
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(db.db(), 7, &id, &ctx), ODB_OK);
    EXPECT_EQ(id, 151u);
    ODB_obj_close_ctx(ctx);
    ASSERT_EQ(ODB_obj_new(db.db(), 9, &id, &ctx), ODB_OK);  // a new class starts at FirstId
    EXPECT_EQ(id, 100u);
    ODB_obj_close_ctx(ctx);
    EXPECT_EQ(ODB_assign_ids(nullptr, 1, 2), ODB_E_INVALID_DATABASE);
}

}  // namespace

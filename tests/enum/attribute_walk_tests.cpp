// Attribute walks in both storage forms: what is listed, how the walk ends
// and starts over, and the ending call.
#include <gtest/gtest.h>

#include "support/file_util.h"
#include "support/walk_fixture.h"

namespace {

using namespace odb::test;

class AttributeWalk : public ::testing::TestWithParam<bool> {
protected:
    AttributeWalk()
        : db_({{"Attribs", "SingleFile", GetParam() ? "yes" : "no"},
               {"Attribs", "AutoConvert", "yes"}}) {}

    bool single_file() const { return GetParam(); }

    // Walks to the end; attribute number -> length, in the order seen.
    std::vector<std::pair<uint32_t, uint32_t>> walk_all(odb_obj_ctx* ctx) {
        std::vector<std::pair<uint32_t, uint32_t>> seen;
        uint32_t number = 0, length = 0;
        odb_status status;
        while ((status = ODB_obj_attribute_enum(ctx, &number, &length)) == ODB_OK &&
               seen.size() < 10)
            seen.emplace_back(number, length);
        EXPECT_EQ(status, ODB_E_NO_MORE_ITEMS);
        if (!single_file()) std::sort(seen.begin(), seen.end());  // directory order
        return seen;
    }

    walk_db db_;
};

TEST_P(AttributeWalk, ListsSkipsEndsAndRestarts) {
    db_.make(1, 1, {{5, "abc"}, {7, "hello"}, {9, "z"}});
    odb_obj_ctx* ctx = db_.open(1, 1, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, 7, 0, nullptr, 0), ODB_OK);  // deleted: skipped

    using list = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(walk_all(ctx), (list{{5, 3}, {9, 1}}));
    EXPECT_EQ(walk_all(ctx), (list{{5, 3}, {9, 1}}));  // the end put the walk back

    // An ending call in the middle: 0 in the single-file form, the end
    // status in the per-attribute form; either way the next call starts over.
    uint32_t first = 0, length = 0;
    ASSERT_EQ(ODB_obj_attribute_enum(ctx, &first, &length), ODB_OK);
    EXPECT_EQ(ODB_obj_attribute_enum(ctx, nullptr, nullptr),
              single_file() ? ODB_OK : ODB_E_NO_MORE_ITEMS);
    uint32_t again = 0;
    ASSERT_EQ(ODB_obj_attribute_enum(ctx, &again, &length), ODB_OK);
    EXPECT_EQ(again, first);
    EXPECT_EQ(ODB_obj_attribute_enum(ctx, &again, nullptr), ODB_E_INVALID_PARAMETER);

    // Closing the context with a walk open ends it with the context.
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_attribute_enum(nullptr, &again, &length), ODB_E_INVALID_CONTEXT);
}

TEST_P(AttributeWalk, EmptyObjectsAndOddFileNames) {
    // ODB_obj_new gives an object an empty ATTRIBS.FDB in the single-file form.
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(db_.db(), 1, &id, &ctx), ODB_OK);
    EXPECT_EQ(path_exists(join(db_.object_dir(1, id), "ATTRIBS.FDB")), single_file());
    uint32_t number = 1, length = 1;
    EXPECT_EQ(ODB_obj_attribute_enum(ctx, &number, &length), ODB_E_NO_MORE_ITEMS);
    // With no walk in progress the ending call opens nothing.
    EXPECT_EQ(ODB_obj_attribute_enum(ctx, nullptr, nullptr),
              single_file() ? ODB_OK : ODB_E_NO_MORE_ITEMS);
    ODB_obj_close_ctx(ctx);

    if (single_file()) return;
    // A .dat file whose name is not hexadecimal reports attribute 0.
    ASSERT_TRUE(write_file(join(db_.object_dir(1, id), "notes.dat"), "1234"));
    ctx = db_.open(1, id, ODB_MODE_READ);
    using list = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(walk_all(ctx), (list{{0, 4}}));
    ODB_obj_close_ctx(ctx);
}

INSTANTIATE_TEST_SUITE_P(StorageForms, AttributeWalk, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "SingleFile" : "PerAttribute");
});

}  // namespace

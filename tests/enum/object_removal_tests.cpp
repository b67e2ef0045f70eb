// Removal, wiping, deletion and restore: every transition of an object's
// forms with the files on disk checked after it, the refusals, and the
// name index kept in step.
#include <gtest/gtest.h>

#include <cstdio>

#include "store/context.h"
#include "support/child_process.h"
#include "support/file_util.h"
#include "support/walk_fixture.h"

namespace {

using namespace odb::test;
using names = std::vector<std::string>;

constexpr int restore = -1;

struct transition {
    const char* from;        // "", ".RMV" or ".WPE"
    int operation;           // options of ODB_obj_remove_ex, or restore
    const char* to;          // the form afterwards; nullptr when deleted
    names contents;          // of the object directory afterwards
    uint32_t mode;           // location flags of the context afterwards
};

// Brings object id of class 1 (attribute 5 set) into a form through ctx.
void bring_to(odb_obj_ctx* ctx, const std::string& form) {
    if (form == ".RMV") {
        ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    } else if (form == ".WPE") {
        ASSERT_EQ(ODB_obj_remove(ctx), ODB_OK);
    }
}

TEST(ObjectRemoval, EveryTransitionLeavesTheExpectedFiles) {
    const names kept = {"00000005.DAT", "OBJLOCK.FDB"};
    const uint32_t removed = ODB_MODE_REMOVED, wiped = ODB_MODE_WIPED;
    const transition table[] = {
        {"", 0, ".RMV", kept, removed},
        {"", ODB_REMOVE_WIPE, ".WPE", {}, wiped},
        {"", ODB_REMOVE_DELETE, nullptr, {}, removed},
        {"", ODB_REMOVE_WIPE | ODB_REMOVE_DELETE, nullptr, {}, wiped},
        {".RMV", 0, ".RMV", kept, removed},
        {".RMV", ODB_REMOVE_WIPE, ".WPE", {}, wiped},
        {".RMV", ODB_REMOVE_DELETE, nullptr, {}, removed},
        {".RMV", restore, "", kept, 0},
        // A wiped object moved back to the removed form is locked there
        // again, and a restore then makes it a plain live object.
        {".WPE", 0, ".RMV", {"OBJLOCK.FDB"}, removed | wiped},
        {".WPE", ODB_REMOVE_WIPE, ".WPE", {}, wiped},
        {".WPE", ODB_REMOVE_WIPE | ODB_REMOVE_DELETE, ".WPE", {}, wiped},
        {".WPE", ODB_REMOVE_DELETE, nullptr, {}, wiped | removed},
    };
    walk_db db;
    uint32_t id = 0;
    for (const transition& row : table) {
        ++id;
        SCOPED_TRACE(std::string("from '") + row.from + "' operation " +
                     std::to_string(row.operation));
        db.make(1, id, {{5, "abc"}});
        odb_obj_ctx* ctx = db.open(1, id, ODB_MODE_WRITE);
        bring_to(ctx, row.from);
        if (row.operation == restore) ASSERT_EQ(ODB_obj_restore(ctx), ODB_OK);
        else ASSERT_EQ(ODB_obj_remove_ex(ctx, static_cast<uint32_t>(row.operation)), ODB_OK);

        names expected_bucket;
        for (const std::string& name : list_dir(db.path("00000001/00000000")))
            if (name.compare(0, 8, hex8(id)) == 0) expected_bucket.push_back(name);
        if (row.to == nullptr) {
            EXPECT_EQ(expected_bucket, names{});
        } else {
            EXPECT_EQ(expected_bucket, names{hex8(id) + row.to});
            EXPECT_EQ(list_dir(db.object_dir(1, id, row.to)), row.contents);
        }
        EXPECT_EQ(ctx->mode & (ODB_MODE_REMOVED | ODB_MODE_WIPED), row.mode);
        EXPECT_TRUE(ctx->mode & ODB_MODE_WRITE);
        // Where the contents stay, the context holds the lock there again.
        if (row.to != nullptr && !row.contents.empty()) {
            EXPECT_FALSE(can_open_exclusively(join(db.object_dir(1, id, row.to), "OBJLOCK.FDB")));
        }
        if (row.operation == 0 && std::string(row.from) == ".WPE") {
            ASSERT_EQ(ODB_obj_restore(ctx), ODB_OK);
            EXPECT_EQ(ctx->mode, ODB_MODE_WRITE);
            EXPECT_EQ(list_dir(db.object_dir(1, id)), names{"OBJLOCK.FDB"});
        }
        EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    }
}

TEST(ObjectRemoval, RefusalsLeaveTheObjectAndItsLock) {
    walk_db db;
    db.make(1, 1, {{5, "abc"}});
    odb_obj_ctx* reader = db.open(1, 1, ODB_MODE_READ);
    EXPECT_EQ(ODB_obj_remove_ex(reader, 0), ODB_E_NOT_WRITABLE);
    EXPECT_EQ(ODB_obj_remove(reader), ODB_E_NOT_WRITABLE);
    EXPECT_EQ(ODB_obj_restore(reader), ODB_E_NOT_REMOVED);  // tested before the access
    EXPECT_FALSE(can_open_exclusively(join(db.object_dir(1, 1), "OBJLOCK.FDB")));
    ODB_obj_close_ctx(reader);
    EXPECT_EQ(ODB_obj_remove_ex(nullptr, 0), ODB_E_INVALID_CONTEXT);
    EXPECT_EQ(ODB_obj_restore(nullptr), ODB_E_INVALID_CONTEXT);

    odb_obj_ctx* writer = db.open(1, 1, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(writer, 0), ODB_OK);
    ODB_obj_close_ctx(writer);
    reader = db.open(1, 1, ODB_MODE_READ | ODB_MODE_REMOVED);
    EXPECT_EQ(ODB_obj_restore(reader), ODB_E_NOT_WRITABLE);
    ODB_obj_close_ctx(reader);

    // A live directory of the same identifier blocks the restore: both
    // stay, and the context keeps its lock in the removed form.
    writer = db.open(1, 1, ODB_MODE_WRITE | ODB_MODE_REMOVED);
    ASSERT_TRUE(CreateDirectoryW(db.object_dir(1, 1).c_str(), nullptr));
    EXPECT_EQ(ODB_obj_restore(writer), ODB_E_RESTORE_MOVE);
    EXPECT_EQ(list_dir(db.path("00000001/00000000")), (names{"00000001", "00000001.RMV"}));
    EXPECT_EQ(writer->mode, ODB_MODE_WRITE | ODB_MODE_REMOVED);
    EXPECT_FALSE(can_open_exclusively(join(db.object_dir(1, 1, ".RMV"), "OBJLOCK.FDB")));
    ODB_obj_close_ctx(writer);
}

TEST(ObjectRemoval, OpenFileInsideBlocksTheMove) {
    walk_db db;
    db.make(1, 1, {{5, "abc"}});
    odb_obj_ctx* ctx = db.open(1, 1, ODB_MODE_WRITE);
    const wide_string held = join(db.object_dir(1, 1), "00000005.DAT");
    auto helper = child_process::start_helper({"hold-file", narrow(held), "read", "open-existing"});
    ASSERT_EQ(helper->read_line(), "held");

    const odb_status status = ODB_obj_remove_ex(ctx, 0);
    if (running_under_wine()) {
        // Wine renames a directory even while a file inside it is open, so
        // the refusal cannot be seen there.
        std::printf("note: rename refusal not checked under Wine\n");
    } else {
        EXPECT_EQ(status, ODB_E_REMOVE_MOVE);
        EXPECT_EQ(list_dir(db.path("00000001/00000000")), names{"00000001"});
        EXPECT_EQ(ctx->mode, ODB_MODE_WRITE);
        EXPECT_FALSE(can_open_exclusively(join(db.object_dir(1, 1), "OBJLOCK.FDB")));
    }
    helper->close_input();
    EXPECT_EQ(helper->wait(), 0);
    if (status != ODB_OK) {
        EXPECT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    }
    EXPECT_EQ(list_dir(db.path("00000001/00000000")), names{"00000001.RMV"});
    ODB_obj_close_ctx(ctx);
}

TEST(ObjectRemoval, NameIndexFollowsTheObject) {
    walk_db db({{"NameIndex", "Enabled", "yes"}});
    db.make(1, 1);
    uint32_t id = 0;
    ASSERT_EQ(db.lookup(1, "Alpha", &id), ODB_E_NO_MORE_ITEMS);  // builds the index
    odb_obj_ctx* ctx = db.open(1, 1, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_set_attribute(ctx, ODB_NAME_ATTRIBUTE, 0, "Alpha", 5), ODB_OK);
    ASSERT_EQ(db.lookup(1, "alpha", &id), ODB_OK);
    EXPECT_EQ(id, 1u);

    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    EXPECT_EQ(db.lookup(1, "Alpha", &id), ODB_E_NO_MORE_ITEMS);
    ASSERT_EQ(ODB_obj_restore(ctx), ODB_OK);
    id = 0;
    EXPECT_EQ(db.lookup(1, "Alpha", &id), ODB_OK);
    EXPECT_EQ(id, 1u);
    ASSERT_EQ(ODB_obj_remove(ctx), ODB_OK);
    EXPECT_EQ(db.lookup(1, "Alpha", &id), ODB_E_NO_MORE_ITEMS);
    EXPECT_EQ(ODB_obj_restore(ctx), ODB_E_NOT_REMOVED);
    ODB_obj_close_ctx(ctx);

    // With the index off nothing of it is read or written.
    db.reopen({{"NameIndex", "Enabled", "no"}});
    db.make(2, 1, {{ODB_NAME_ATTRIBUTE, "Beta"}});
    ctx = db.open(2, 1, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    ASSERT_EQ(ODB_obj_restore(ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_FALSE(path_exists(db.index_file(2, -1)));
}

}  // namespace

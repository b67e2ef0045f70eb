// Object contexts and the object lock: the forms a mode names, the lock
// each mode takes, and how contexts meet in one process and across two.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/handle.h"
#ifndef _WIN32
#include <errno.h>

#include "platform/posix/fault_injection.h"
#endif
#include "store/context.h"
#include "support/child_process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/mount_point.h"

namespace {

using namespace odb::test;

class ObjectContext : public ::testing::Test {
protected:
    // A live object of class 5, closed.
    uint32_t make_object() {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        EXPECT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
        ODB_obj_close_ctx(ctx);
        return id;
    }
    ctx_ptr open(uint32_t id, uint32_t mode, odb_status expected = ODB_OK) {
        odb_obj_ctx* ctx = untouched;
        EXPECT_EQ(ODB_obj_create_ctx(scratch.db(), 5, id, mode, &ctx), expected) << std::hex << mode;
        if (expected != ODB_OK) {
            EXPECT_EQ(ctx, nullptr);
        }
        return ctx_ptr(expected == ODB_OK ? ctx : nullptr);
    }
    wide_string lock_file(uint32_t id, const char* suffix = "") const {
        return join(scratch.object_dir(5, id, suffix), "OBJLOCK.FDB");
    }
    std::vector<std::string> hold(uint32_t id, uint32_t mode) {
        return {"hold-object", narrow(scratch.root()), "5", std::to_string(id), std::to_string(mode)};
    }

    odb_obj_ctx* const untouched = reinterpret_cast<odb_obj_ctx*>(0x5678);
    scratch_database scratch;
};

TEST_F(ObjectContext, ModeNamesTheFormOfTheObject) {
    const uint32_t id = make_object();
    // Never used: refused at once, and nothing is created.
    open(77, ODB_MODE_READ, ODB_E_NO_OBJECT);
    open(0x12345, ODB_MODE_WRITE, ODB_E_NO_OBJECT);
    EXPECT_FALSE(path_exists(scratch.bucket_dir(5, 0x12345)));
    open(id, ODB_MODE_READ | ODB_MODE_REMOVED, ODB_E_NO_OBJECT);
    open(id, ODB_MODE_READ | ODB_MODE_WIPED, ODB_E_NO_OBJECT);

    // The object removed by hand: only the removed form opens.
    ASSERT_TRUE(MoveFileW(scratch.object_dir(5, id).c_str(), scratch.object_dir(5, id, ".RMV").c_str()));
    open(id, ODB_MODE_READ, ODB_E_NO_OBJECT);
    ctx_ptr removed = open(id, ODB_MODE_READ | ODB_MODE_REMOVED);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->mode, ODB_MODE_READ | ODB_MODE_REMOVED);
    // A change of mode keeps the removed form without being asked.
    EXPECT_EQ(ODB_obj_change_mode(removed.get(), ODB_MODE_WRITE), ODB_OK);
    EXPECT_EQ(removed->mode, ODB_MODE_WRITE | ODB_MODE_REMOVED);
    open(id, ODB_MODE_READ | ODB_MODE_REMOVED, ODB_E_OBJECT_LOCK);

    // Wiped: the flag is not carried over by a change of mode.
    removed.reset();
    ASSERT_TRUE(MoveFileW(scratch.object_dir(5, id, ".RMV").c_str(), scratch.object_dir(5, id, ".WPE").c_str()));
    ctx_ptr wiped = open(id, ODB_MODE_READ | ODB_MODE_WIPED);
    ASSERT_TRUE(wiped);
    // Without the flag the mode names the live form, which is not there.
    EXPECT_EQ(ODB_obj_change_mode(wiped.get(), ODB_MODE_WRITE), ODB_E_NO_OBJECT);
    EXPECT_EQ(wiped->lock, INVALID_HANDLE_VALUE);
}

TEST_F(ObjectContext, WriteModeExcludesEveryoneAndReadModeOnlyWriters) {
    const uint32_t id = make_object();
    {
        // Both access bits: write mode applies.
        ctx_ptr writer = open(id, ODB_MODE_READ | ODB_MODE_WRITE);
        ASSERT_TRUE(writer);
        EXPECT_EQ(writer->mode, ODB_MODE_READ | ODB_MODE_WRITE);
        open(id, ODB_MODE_READ, ODB_E_OBJECT_LOCK);
        odb::file_handle peek(CreateFileW(lock_file(id).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_FALSE(peek);
    }
    ctx_ptr first = open(id, ODB_MODE_READ);
    ctx_ptr second = open(id, ODB_MODE_READ);
    ASSERT_TRUE(first && second);
    open(id, ODB_MODE_WRITE, ODB_E_OBJECT_LOCK);
    EXPECT_EQ(ODB_obj_change_mode(second.get(), ODB_MODE_WRITE), ODB_E_OBJECT_LOCK);
    // The failed change left the second context holding nothing; the first
    // still reads, and once it goes the second can write.
    EXPECT_EQ(second->lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(first->mode, ODB_MODE_READ);
    first.reset();
    EXPECT_EQ(ODB_obj_change_mode(second.get(), ODB_MODE_WRITE), ODB_OK);
    EXPECT_EQ(second->mode, ODB_MODE_WRITE);
    second.reset();
    EXPECT_EQ(read_file(lock_file(id)), "\x01");
}

TEST_F(ObjectContext, ChangeToTheHeldModeDoesNothing) {
    const uint32_t id = make_object();
    ctx_ptr writer = open(id, ODB_MODE_WRITE);
    ASSERT_TRUE(writer);
    const HANDLE held = writer->lock;
    WIN32_FIND_DATAW before, after;
    FindClose(FindFirstFileW(lock_file(id).c_str(), &before));
    // Let the file system's clock move on, so a write would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ODB_obj_change_mode(writer.get(), ODB_MODE_WRITE), ODB_OK);
    FindClose(FindFirstFileW(lock_file(id).c_str(), &after));
    EXPECT_EQ(writer->lock, held);
    EXPECT_EQ(before.ftLastWriteTime.dwLowDateTime, after.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(before.ftLastWriteTime.dwHighDateTime, after.ftLastWriteTime.dwHighDateTime);

    // A mode with neither access bit is refused and the lock stays held.
    EXPECT_EQ(ODB_obj_change_mode(writer.get(), ODB_MODE_REMOVED), ODB_E_OBJECT_LOCK);
    EXPECT_EQ(ODB_obj_change_mode(writer.get(), 0), ODB_E_OBJECT_LOCK);
    EXPECT_EQ(writer->lock, held);
    EXPECT_EQ(writer->mode, ODB_MODE_WRITE);
    open(id, ODB_MODE_READ, ODB_E_OBJECT_LOCK);
}

TEST_F(ObjectContext, ModeZeroTakesNoLock) {
    // An object directory made by hand has no lock file yet.
    scratch.make_object_dir(5, 9);
    ctx_ptr unlocked = open(9, 0);
    ASSERT_TRUE(unlocked);
    EXPECT_EQ(unlocked->lock, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(path_exists(lock_file(9)));
    EXPECT_EQ(ODB_obj_change_mode(unlocked.get(), 0), ODB_OK);
    EXPECT_FALSE(path_exists(lock_file(9)));
    {
        // Neither blocks a writer nor is blocked by one.
        ctx_ptr writer = open(9, ODB_MODE_WRITE);
        EXPECT_TRUE(writer);
        EXPECT_TRUE(open(9, 0));
    }
    EXPECT_EQ(ODB_obj_change_mode(unlocked.get(), ODB_MODE_READ), ODB_OK);
    EXPECT_NE(unlocked->lock, INVALID_HANDLE_VALUE);
    open(9, ODB_MODE_WRITE, ODB_E_OBJECT_LOCK);
}

TEST_F(ObjectContext, LocksHoldAcrossProcesses) {
    const uint32_t id = make_object();

    // Readers in two processes coexist; a writer here waits and fails.
    auto reader = child_process::start_helper(hold(id, ODB_MODE_READ));
    ASSERT_EQ(reader->read_line(), "held");
    ctx_ptr local_reader = open(id, ODB_MODE_READ);
    EXPECT_TRUE(local_reader);
    open(id, ODB_MODE_WRITE, ODB_E_OBJECT_LOCK);
    reader->write_line("release");
    EXPECT_EQ(reader->wait(), 0);

    // A writer there fails while a reader here holds the object.
    auto writer = child_process::start_helper(hold(id, ODB_MODE_WRITE));
    EXPECT_EQ(writer->read_line(), "error db010002");
    EXPECT_EQ(writer->wait(), 0);
    local_reader.reset();

    // A writer there holds it; once it has closed, a writer here gets it.
    writer = child_process::start_helper(hold(id, ODB_MODE_WRITE));
    ASSERT_EQ(writer->read_line(), "held");
    open(id, ODB_MODE_READ, ODB_E_OBJECT_LOCK);
    writer->write_line("release");
    EXPECT_EQ(writer->wait(), 0);
    EXPECT_TRUE(open(id, ODB_MODE_WRITE));
}

#ifndef _WIN32
// A lock whose descriptor the file system has failed, as a file server that
// restarted and forgot its locks fails it, lets no change through until a
// change of mode takes the lock anew.
TEST_F(ObjectContext, BrokenLockLetsNoChangeThrough) {
    const uint32_t id = make_object();
    ctx_ptr writer = open(id, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_set_attribute(writer.get(), 1, 0, "old", 3), ODB_OK);
    odb::fault::plan broken;
    broken.entry = "ConfirmLockHeldW";
    broken.at = 1;
    broken.error = odb::fault::error_from_errno(EBADFD);
    {
        odb::fault::scope armed(broken);
        EXPECT_EQ(ODB_obj_set_attribute(writer.get(), 1, 0, "new", 3), ODB_E_OBJECT_LOCK);
    }
    EXPECT_EQ(writer->lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ODB_obj_set_attribute(writer.get(), 1, 0, "new", 3), ODB_E_NOT_WRITABLE);
    {
        ctx_ptr reader = open(id, ODB_MODE_READ);
        char value[8] = {};
        uint32_t size = sizeof value;
        EXPECT_EQ(ODB_obj_get_attribute(reader.get(), 1, 0, value, &size), ODB_OK);
        EXPECT_EQ(std::string(value, size), "old");
    }
    ASSERT_EQ(ODB_obj_change_mode(writer.get(), ODB_MODE_WRITE), ODB_OK);
    {
        odb::fault::scope armed(broken);
        EXPECT_EQ(ODB_obj_remove_ex(writer.get(), 0), ODB_E_OBJECT_LOCK);
    }
    EXPECT_TRUE(path_exists(scratch.object_dir(5, id)));
}
#endif

// A database on a file system that refuses writes: writers are told so at
// once, with the status of a file that cannot be opened, not of a lock;
// readers are served.
TEST(ReadOnlyDatabase, WritersAreRefusedAtOnceAndReadersServed) {
    temp_dir dir;
    const wide_string root = dir / "volume";
    ASSERT_TRUE(make_dir(root));
    scoped_mount volume(root);
    if (!volume.mounted()) GTEST_SKIP() << volume.why();
    const uint32_t id = create_database_with_object(root, 5);
    ASSERT_NE(id, 0u);
    if (!volume.make_read_only()) GTEST_SKIP() << volume.why();

    database_ptr db = open_database(root);
    ASSERT_TRUE(db);
    odb_obj_ctx* ctx = nullptr;
    uint32_t new_id = 0;
    EXPECT_EQ(ODB_obj_new(db.get(), 5, &new_id, &ctx), ODB_E_FILE_ACCESS);
    EXPECT_EQ(ODB_obj_create_ctx(db.get(), 5, id, ODB_MODE_WRITE, &ctx), ODB_E_FILE_ACCESS);
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), 5, id, ODB_MODE_READ, &ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
}

}  // namespace

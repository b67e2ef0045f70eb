// A child made by fork() without exec keeps none of the layer's handles, as
// a child process on Windows never has them: whatever the child does, the
// parent's close releases the lock. Native only (Windows has no fork).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "platform/handle.h"
#include "platform/process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/forked_child.h"
#include "support/open_forms.h"
#include "support/temp_dir.h"

namespace {

using namespace odb::test;
using odb::file_handle;
using odb::find_handle;

std::string unless_invalid(const char* call) {
    DWORD error = GetLastError();
    return error == ERROR_INVALID_HANDLE ? std::string()
                                         : std::string(call) + ": error " + std::to_string(error);
}

TEST(Forks, ChildHasNoneOfTheParentsHandles) {
    temp_dir dir;
    const wide_string file = dir / "held.dat";
    ASSERT_TRUE(write_file(file, "contents"));
    file_handle held(open_in_form(file.c_str(), *find_open_form("exclusive")));
    ASSERT_TRUE(held.valid());
    WIN32_FIND_DATAW data;
    find_handle search(FindFirstFileW((dir / "*").c_str(), &data));
    ASSERT_TRUE(search.valid());
    ASSERT_TRUE(FindNextFileW(search.get(), &data));  // the last handle this thread looked up
    const uint32_t generation = odb::platform::process_generation();

    forked_child child([&]() -> std::string {
        char byte;
        DWORD got = 0;
        if (odb::platform::process_generation() == generation) return "same generation";
        if (ReadFile(held.get(), &byte, 1, &got, nullptr)) return "read an inherited handle";
        if (auto e = unless_invalid("ReadFile"); !e.empty()) return e;
        if (FindNextFileW(search.get(), &data)) return "searched with an inherited handle";
        if (auto e = unless_invalid("FindNextFileW"); !e.empty()) return e;
        if (CloseHandle(held.get())) return "closed an inherited handle";
        if (auto e = unless_invalid("CloseHandle"); !e.empty()) return e;
        // The layer works on in the child, and the parent's lock holds there.
        if (file_handle(open_in_form(file.c_str(), *find_open_form("read"))).valid() ||
            GetLastError() != ERROR_SHARING_VIOLATION)
            return "open of the parent's file: error " + std::to_string(GetLastError());
        return "ok";
    });
    EXPECT_EQ(child.answer(), "ok");
    EXPECT_EQ(odb::platform::process_generation(), generation);

    // The child sleeps on; our close alone lets the next opener in.
    held.reset();
    EXPECT_TRUE(file_handle(open_in_form(file.c_str(), *find_open_form("exclusive"))).valid());
    EXPECT_EQ(child.finish(), 0);
}

TEST(Forks, ClosingAContextReleasesTheObjectWhileAForkedChildSleeps) {
    scratch_database scratch;
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
    forked_child child([] { return std::string("asleep"); });
    ASSERT_EQ(child.answer(), "asleep");

    ASSERT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
    ctx = nullptr;
    EXPECT_EQ(ODB_obj_create_ctx(scratch.db(), 5, id, ODB_MODE_WRITE, &ctx), ODB_OK);
    if (ctx != nullptr) ODB_obj_close_ctx(ctx);
    EXPECT_EQ(child.finish(), 0);
}

// The child's copies of the parent's database and context records are
// refused, not used: the child holds none of the locks they stand for.
TEST(Forks, ChildRefusesTheParentsDatabaseAndContexts) {
    scratch_database scratch;
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
    forked_child child([&]() -> std::string {
        if (ODB_obj_set_attribute(ctx, 0x10, 0, "x", 1) != ODB_E_INVALID_DATABASE) return "context used";
        uint32_t other = 0;
        odb_obj_ctx* fresh = nullptr;
        if (ODB_obj_new(scratch.db(), 5, &other, &fresh) != ODB_E_INVALID_DATABASE) return "database used";
        return "ok";
    });
    EXPECT_EQ(child.answer(), "ok");
    EXPECT_EQ(child.finish(), 0);
    EXPECT_EQ(ODB_obj_set_attribute(ctx, 0x10, 0, "y", 1), ODB_OK);
    ASSERT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
}

}  // namespace

#endif

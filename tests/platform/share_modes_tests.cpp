// Share modes are the engine's locks, so they are tested as locks: every
// pair of the three open forms, within one process and between two, and
// what a refused open, a delete or a rename of an open file leaves behind.
// The same expectations hold for KERNEL32 (the cross build under Wine) and
// for our POSIX layer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/extensions.h"
#include "platform/handle.h"
#include "support/child_process.h"
#include "support/file_util.h"
#include "support/open_forms.h"
#include "support/open_race.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include "platform/posix/fault_injection.h"
#endif

namespace {

using namespace odb::test;
using odb::file_handle;

struct share_case {
    const char* held;
    const char* asked;
    bool admitted;
};

// Only readers go together; a handle with write access admits nobody, and
// is admitted by nobody, even when it lets others read.
const share_case share_matrix[] = {
    {"read", "read", true},       {"read", "write", false},      {"read", "exclusive", false},
    {"write", "read", false},     {"write", "write", false},     {"write", "exclusive", false},
    {"exclusive", "read", false}, {"exclusive", "write", false}, {"exclusive", "exclusive", false},
};

const open_form& form(const char* name) { return *find_open_form(name); }

std::string utf8(const wide_string& path) {
    int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, &out[0], size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::string error_line(DWORD error) { return "error " + std::to_string(error); }

class ShareModes : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(write_file(file, "contents")); }

    // Starts a helper that holds `file` in `form_name` and has reported so.
    std::unique_ptr<child_process> helper_holding(const wide_string& path, const char* form_name) {
        auto helper =
            child_process::start_helper({"hold-file", utf8(path), form_name, "open-existing"});
        EXPECT_EQ(helper->read_line(), "held");
        return helper;
    }

    temp_dir dir;
    wide_string file = dir / "object.dat";
};

TEST_F(ShareModes, TwoHandlesOfOneProcessFollowTheMatrix) {
    for (const auto& c : share_matrix) {
        SCOPED_TRACE(std::string(c.held) + " held, " + c.asked + " asked");
        file_handle first(open_in_form(file.c_str(), form(c.held)));
        ASSERT_TRUE(first.valid());
        file_handle second(open_in_form(file.c_str(), form(c.asked)));
        DWORD error = second.valid() ? ERROR_SUCCESS : GetLastError();
        EXPECT_EQ(error, c.admitted ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION);
    }
}

// A caller that holds the path skips only the path's look-up, never the lock.
TEST_F(ShareModes, OpensOfAHeldPathFollowTheMatrix) {
    for (const auto& c : share_matrix) {
        SCOPED_TRACE(std::string(c.held) + " held, " + c.asked + " asked");
        file_handle first(open_in_form(file.c_str(), form(c.held)));
        ASSERT_TRUE(first.valid());
        file_handle second(CreateFileW(file.c_str(), form(c.asked).access, form(c.asked).share,
                                       nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | odb::platform::FILE_FLAG_PATH_HELD,
                                       nullptr));
        DWORD error = second.valid() ? ERROR_SUCCESS : GetLastError();
        EXPECT_EQ(error, c.admitted ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION);
    }
}

// Under the hold a missing name is the file (its directory is held there);
// without it a missing directory is still told apart.
TEST_F(ShareModes, AMissingFileOfAHeldPathIsFileNotFound) {
    auto error_opening = [](const wide_string& path, DWORD flags) {
        file_handle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr));
        return handle.valid() ? ERROR_SUCCESS : GetLastError();
    };
    EXPECT_EQ(error_opening(dir / "missing.dat", odb::platform::FILE_FLAG_PATH_HELD),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(error_opening(join(dir / "none", "missing.dat"), 0),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(ShareModes, HandlesOfTwoProcessesFollowTheMatrix) {
    for (const auto& held : open_forms) {
        SCOPED_TRACE(std::string("helper holds ") + held.name);
        auto helper = helper_holding(file, held.name);
        for (const auto& c : share_matrix) {
            if (std::string(c.held) != held.name) continue;
            SCOPED_TRACE(std::string("asked ") + c.asked);
            file_handle second(open_in_form(file.c_str(), form(c.asked)));
            DWORD error = second.valid() ? ERROR_SUCCESS : GetLastError();
            EXPECT_EQ(error, c.admitted ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION);
        }
    }
    for (const auto& c : share_matrix) {
        SCOPED_TRACE(std::string("we hold ") + c.held + ", helper asks " + c.asked);
        file_handle first(open_in_form(file.c_str(), form(c.held)));
        ASSERT_TRUE(first.valid());
        auto helper =
            child_process::start_helper({"hold-file", utf8(file), c.asked, "open-existing"});
        EXPECT_EQ(helper->read_line(), c.admitted ? "held" : error_line(ERROR_SHARING_VIOLATION));
    }
}

TEST_F(ShareModes, ClosingTheHolderAdmitsTheNextOpen) {
    file_handle first(open_in_form(file.c_str(), form("exclusive")));
    ASSERT_TRUE(first.valid());
    EXPECT_FALSE(file_handle(open_in_form(file.c_str(), form("read"))).valid());
    first.reset();
    file_handle second(open_in_form(file.c_str(), form("exclusive")));
    EXPECT_TRUE(second.valid());

    // The same when the holder is another process and lets go.
    second.reset();
    auto helper = helper_holding(file, "write");
    EXPECT_FALSE(file_handle(open_in_form(file.c_str(), form("write"))).valid());
    helper->write_line("release");
    EXPECT_EQ(helper->wait(), 0);
    EXPECT_TRUE(file_handle(open_in_form(file.c_str(), form("write"))).valid());
}

TEST_F(ShareModes, RefusedOpenChangesNothing) {
    file_handle reader(open_in_form(file.c_str(), form("read")));
    ASSERT_TRUE(reader.valid());
    for (DWORD disposition : {DWORD(CREATE_ALWAYS), DWORD(OPEN_ALWAYS), DWORD(OPEN_EXISTING)}) {
        SCOPED_TRACE(disposition);
        EXPECT_FALSE(
            file_handle(open_in_form(file.c_str(), form("exclusive"), disposition)).valid());
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    reader.reset();
    EXPECT_EQ(read_file(file), "contents");

    auto helper = helper_holding(file, "read");
    EXPECT_FALSE(file_handle(open_in_form(file.c_str(), form("write"), CREATE_ALWAYS)).valid());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    helper.reset();
    EXPECT_EQ(read_file(file), "contents");
}

TEST_F(ShareModes, OpenFileCanBeNeitherDeletedNorRenamed) {
    const wide_string renamed = dir / "renamed.dat";
    for (const auto& held : open_forms) {
        SCOPED_TRACE(held.name);
        file_handle holder(open_in_form(file.c_str(), held));
        ASSERT_TRUE(holder.valid());
        EXPECT_FALSE(DeleteFileW(file.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_FALSE(MoveFileW(file.c_str(), renamed.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    {
        auto helper = helper_holding(file, "read");
        EXPECT_FALSE(DeleteFileW(file.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    {
        file_handle holder(open_in_form(file.c_str(), form("read")));
        auto helper = child_process::start_helper({"delete-file", utf8(file)});
        EXPECT_EQ(helper->read_line(), error_line(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(read_file(file), "contents");
    EXPECT_FALSE(path_exists(renamed));

    EXPECT_TRUE(MoveFileW(file.c_str(), renamed.c_str()));
    EXPECT_TRUE(DeleteFileW(renamed.c_str()));
    EXPECT_FALSE(path_exists(renamed));
}

TEST_F(ShareModes, DirectoryWithAnOpenFileInsideCannotBeRenamed) {
    if (running_under_wine())
        GTEST_SKIP() << "Wine renames a directory with open files inside; Windows refuses";
    const wide_string tree = dir / "tree", deep = join(tree, "a"), deeper = join(deep, "b");
    const wide_string inner = join(deeper, "inner.dat"), moved = dir / "moved";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(deeper.c_str(), nullptr));
    ASSERT_TRUE(write_file(inner, "x"));
    ASSERT_TRUE(write_file(join(tree, "other.dat"), "y"));

    for (const auto& held : open_forms) {
        SCOPED_TRACE(held.name);
        file_handle holder(open_in_form(inner.c_str(), held));
        ASSERT_TRUE(holder.valid());
        EXPECT_FALSE(MoveFileW(tree.c_str(), moved.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    {
        auto helper = helper_holding(inner, "read");
        EXPECT_FALSE(MoveFileW(tree.c_str(), moved.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        // The refused rename left every file openable by the holder's rules.
        EXPECT_TRUE(file_handle(open_in_form(inner.c_str(), form("read"))).valid());
        EXPECT_TRUE(
            file_handle(open_in_form(join(tree, "other.dat").c_str(), form("exclusive"))).valid());
    }
    EXPECT_TRUE(MoveFileW(tree.c_str(), moved.c_str()));
    EXPECT_EQ(read_file(join(join(join(moved, "a"), "b"), "inner.dat")), "x");
}

TEST_F(ShareModes, DirectoryMoveKeepsTheCallersHoldOfAFileInside) {
    const wide_string tree = dir / "tree", moved = dir / "moved", name = widen("inner.dat");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(write_file(join(tree, name), "x"));
    ASSERT_TRUE(write_file(join(tree, widen("other.dat")), "o"));
    HANDLE kept = open_in_form(join(tree, name).c_str(), form("write"));
    ASSERT_NE(kept, INVALID_HANDLE_VALUE);
    if (!running_under_wine()) {
        // Any other file open inside still refuses the move, and the
        // caller's hold stays where it was.
        file_handle holder(open_in_form(join(tree, widen("other.dat")).c_str(), form("read")));
        EXPECT_FALSE(odb::platform::MoveDirectoryHoldingW(tree.c_str(), moved.c_str(),
                                                          name.c_str(), &kept));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        ASSERT_NE(kept, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(file_handle(open_in_form(join(tree, name).c_str(), form("read"))).valid());
    }
    ASSERT_TRUE(
        odb::platform::MoveDirectoryHoldingW(tree.c_str(), moved.c_str(), name.c_str(), &kept));
    EXPECT_FALSE(path_exists(tree));
    if (kept == INVALID_HANDLE_VALUE) return;  // the caller opens the file itself
    file_handle held(kept);
    EXPECT_FALSE(file_handle(open_in_form(join(moved, name).c_str(), form("read"))).valid());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(held.get(), "yz", 2, &done, nullptr));
    EXPECT_EQ(GetFileSize(held.get(), nullptr), 2u);
    held.reset();
    EXPECT_EQ(read_file(join(moved, name)), "yz");
}

TEST_F(ShareModes, RenameNeverReplacesAnExistingName) {
    const wide_string other = dir / "other.dat", sub = dir / "sub", sub2 = dir / "sub2";
    ASSERT_TRUE(write_file(other, "other"));
    EXPECT_FALSE(MoveFileW(file.c_str(), other.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(read_file(file), "contents");
    EXPECT_EQ(read_file(other), "other");

    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(sub2.c_str(), nullptr));
    EXPECT_FALSE(MoveFileW(sub.c_str(), sub2.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFileW(file.c_str(), sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    EXPECT_FALSE(MoveFileW((dir / "missing.dat").c_str(), (dir / "new.dat").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileW(file.c_str(), join(dir / "no-such-dir", "new.dat").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(ShareModes, ChildProcessesDoNotInheritHandles) {
    file_handle holder(open_in_form(file.c_str(), form("exclusive")));
    ASSERT_TRUE(holder.valid());
    // A helper that is alive (holding something else) while we let go.
    const wide_string unrelated = dir / "unrelated.dat";
    ASSERT_TRUE(write_file(unrelated, ""));
    auto helper = helper_holding(unrelated, "read");
    holder.reset();
    EXPECT_TRUE(file_handle(open_in_form(file.c_str(), form("exclusive"))).valid());
}

#ifndef _WIN32
// What a delete or rename by someone else does in the window between an
// open and its lock; once per arming (its own opens come through here too).
struct open_window {
    wide_string file, aside;
    bool recreate;
    int calls = 0;
};

void move_file_away(void* context) {
    auto& window = *static_cast<open_window*>(context);
    if (window.calls++ != 0) return;
    if (window.recreate) {
        DeleteFileW(window.file.c_str());
        write_file(window.file, "replacement");
    } else {
        MoveFileW(window.file.c_str(), window.aside.c_str());
    }
}

TEST_F(ShareModes, OpenAnswersForTheFileAtThePathWhenItsLockIsTaken) {
    for (bool recreate : {true, false}) {
        SCOPED_TRACE(recreate ? "deleted and re-created" : "renamed away");
        ASSERT_TRUE(write_file(file, "contents"));
        open_window window{file, dir / "aside.dat", recreate};
        odb::fault::plan plan;
        plan.between_open_and_lock = move_file_away;
        plan.hook_context = &window;
        odb::fault::scope armed(plan);
        file_handle opened(open_in_form(file.c_str(), form("exclusive")));
        if (recreate) {
            ASSERT_TRUE(opened.valid());
            EXPECT_EQ(GetFileSize(opened.get(), nullptr), DWORD(sizeof "replacement" - 1));
        } else {
            EXPECT_FALSE(opened.valid());
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        }
    }
}

// Holding the path rules out renames only; a file deleted before the lock is
// still seen as gone (its link count), and the open starts over.
TEST_F(ShareModes, OpenOfAHeldPathStillSeesADeleteBeforeItsLock) {
    open_window window{file, dir / "aside.dat", true};
    odb::fault::plan plan;
    plan.between_open_and_lock = move_file_away;
    plan.hook_context = &window;
    odb::fault::scope armed(plan);
    file_handle opened(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | odb::platform::FILE_FLAG_PATH_HELD,
                                   nullptr));
    ASSERT_TRUE(opened.valid());
    EXPECT_EQ(GetFileSize(opened.get(), nullptr), DWORD(sizeof "replacement" - 1));
}
#endif

// Several racers open one file thousands of times; an exclusive holder
// marks the file while it holds it and counts its hold. A mark seen by
// anyone else, or a lost count, would be two holders at once.
TEST_F(ShareModes, RacingThreadsNeverHoldConflictingHandles) {
    ASSERT_TRUE(write_file(file, std::string(8, '\0')));
    constexpr uint32_t racers = 4, iterations = 400;
    std::vector<open_race_result> results(racers);
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < racers; ++i)
        threads.emplace_back(
            [&, i] { results[i] = run_open_race(file.c_str(), iterations, i + 1); });
    for (auto& thread : threads) thread.join();
    uint32_t exclusive = 0;
    for (const auto& result : results) {
        EXPECT_EQ(result.unexpected_error, 0u);
        EXPECT_EQ(result.overlaps, 0u);
        exclusive += result.exclusive_holds;
    }
    uint32_t inside = 1, counter = 0;
    ASSERT_TRUE(read_race_file(file.c_str(), inside, counter));
    EXPECT_EQ(inside, 0u);
    EXPECT_EQ(counter, exclusive);
    EXPECT_EQ(exclusive, racers * iterations * 3 / 4);
}

TEST_F(ShareModes, RacingProcessesNeverHoldConflictingHandles) {
    ASSERT_TRUE(write_file(file, std::string(8, '\0')));
    constexpr uint32_t racers = 4, iterations = 500;
    std::vector<std::unique_ptr<child_process>> helpers;
    for (uint32_t i = 0; i < racers; ++i) {
        helpers.push_back(child_process::start_helper(
            {"race-open", utf8(file), std::to_string(iterations), std::to_string(i + 1)}));
        ASSERT_EQ(helpers.back()->read_line(), "ready");
    }
    for (auto& helper : helpers) helper->write_line("go");
    for (auto& helper : helpers) {
        std::string tally = helper->read_line();
        EXPECT_EQ(tally, "done " + std::to_string(iterations * 3 / 4) + " " +
                             std::to_string(iterations / 4) + " 0 0");
        EXPECT_EQ(helper->wait(), 0);
    }
    uint32_t inside = 1, counter = 0;
    ASSERT_TRUE(read_race_file(file.c_str(), inside, counter));
    EXPECT_EQ(inside, 0u);
    EXPECT_EQ(counter, racers * iterations * 3 / 4);
}

}  // namespace

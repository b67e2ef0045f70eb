// Opening, reading, writing and positioning files with Win32's answers.
#include <gtest/gtest.h>

#include <string>

#include "platform/extensions.h"
#include "platform/handle.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

namespace {

using namespace odb::test;
using odb::file_handle;

HANDLE open_file(const wide_string& path, DWORD disposition,
                 DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint64_t position_of(HANDLE file) {
    LONG high = 0;
    DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
    return (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low;
}

class Files : public ::testing::Test {
protected:
    temp_dir dir;
    wide_string file = dir / "file.dat";
};

TEST_F(Files, DispositionsCreateOpenAndReportAsWindowsDoes) {
    {
        file_handle created(open_file(file, OPEN_ALWAYS));
        ASSERT_TRUE(created.valid());
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    }
    ASSERT_TRUE(write_file(file, "twelve bytes"));
    {
        SetLastError(12345);
        file_handle opened(open_file(file, OPEN_ALWAYS));
        ASSERT_TRUE(opened.valid());
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(GetFileSize(opened.get(), nullptr), 12u);
    }
    {
        file_handle truncated(open_file(file, CREATE_ALWAYS));
        ASSERT_TRUE(truncated.valid());
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(GetFileSize(truncated.get(), nullptr), 0u);
    }
    {
        const wide_string fresh = dir / "fresh.dat";
        SetLastError(12345);
        file_handle created(open_file(fresh, CREATE_ALWAYS));
        ASSERT_TRUE(created.valid());
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    }
    EXPECT_FALSE(file_handle(open_file(file, CREATE_NEW)).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(file_handle(open_file(dir / "new.dat", CREATE_NEW)).valid());

    EXPECT_FALSE(file_handle(open_file(dir / "missing.dat", OPEN_EXISTING)).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(file_handle(open_file(join(dir / "missing", "file.dat"), OPEN_EXISTING)).valid());
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(file_handle(open_file(join(dir / "missing", "file.dat"), OPEN_ALWAYS)).valid());
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(file_handle(open_file(dir.path(), OPEN_EXISTING, GENERIC_READ)).valid());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Files, ReadsAndWritesWholeCountsUpToTheEnd) {
    file_handle handle(open_file(file, CREATE_NEW));
    ASSERT_TRUE(handle.valid());
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(handle.get(), "0123456789", 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    ASSERT_EQ(SetFilePointer(handle.get(), 4, nullptr, FILE_BEGIN), 4u);
    char buffer[32] = {};
    ASSERT_TRUE(ReadFile(handle.get(), buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(std::string(buffer, done), "456789");
    // At the end a read succeeds with nothing.
    ASSERT_TRUE(ReadFile(handle.get(), buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);

    handle.reset();
    file_handle reader(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(WriteFile(reader.get(), "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(reader.get()));
    EXPECT_EQ(read_file(file), "0123456789");
}

TEST_F(Files, FilePointerHalvesAndNegativeSeeks) {
    file_handle handle(open_file(file, CREATE_NEW));
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(SetFilePointer(handle.get(), 100, nullptr, FILE_BEGIN), 100u);

    // Without a high half the distance is signed: 0x80000000 is negative.
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(handle.get(), static_cast<LONG>(0x80000000u), nullptr, FILE_BEGIN),
              INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(handle.get(), -101, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(position_of(handle.get()), 100u);  // a refused seek does not move

    // With a high half the two make one 64-bit offset.
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(handle.get(), static_cast<LONG>(0x80000000u), &high, FILE_BEGIN),
              0x80000000u);
    EXPECT_EQ(high, 0);
    high = 1;
    EXPECT_EQ(SetFilePointer(handle.get(), 0x10, &high, FILE_BEGIN), 0x10u);
    EXPECT_EQ(high, 1);
    high = -1;
    EXPECT_EQ(SetFilePointer(handle.get(), -0x20, &high, FILE_CURRENT), 0xFFFFFFF0u);
    EXPECT_EQ(high, 0);

    // A low half of all ones is a position, told apart by a last error of 0.
    high = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetFilePointer(handle.get(), -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(high, 0);

    EXPECT_EQ(SetFilePointer(handle.get(), -1, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
}

TEST_F(Files, EndOfFileMovesToThePointerAndSizesHaveTwoHalves) {
    file_handle handle(open_file(file, CREATE_NEW));
    ASSERT_TRUE(handle.valid());
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(handle.get(), "abcdefgh", 8, &done, nullptr));
    EXPECT_EQ(GetFileSize(handle.get(), nullptr), 8u);
    EXPECT_EQ(SetFilePointer(handle.get(), 0, nullptr, FILE_END), 8u);
    ASSERT_EQ(SetFilePointer(handle.get(), 3, nullptr, FILE_BEGIN), 3u);
    ASSERT_TRUE(SetEndOfFile(handle.get()));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(handle.get(), &high), 3u);
    EXPECT_EQ(high, 0u);

    // Sparse extensions to either side of the 32-bit boundary.
    LONG seek_high = 0;
    SetFilePointer(handle.get(), -1, &seek_high, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(handle.get()));
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetFileSize(handle.get(), &high), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(high, 0u);
    seek_high = 1;
    SetFilePointer(handle.get(), 5, &seek_high, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(handle.get()));
    EXPECT_EQ(GetFileSize(handle.get(), &high), 5u);
    EXPECT_EQ(high, 1u);

    ASSERT_EQ(SetFilePointer(handle.get(), 2, nullptr, FILE_BEGIN), 2u);
    ASSERT_TRUE(SetEndOfFile(handle.get()));
    handle.reset();
    EXPECT_EQ(read_file(file), "ab");
}

TEST_F(Files, FileTimesAreUtcTicksSince1601) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME before;
    ASSERT_TRUE(SystemTimeToFileTime(&now, &before));
    file_handle handle(open_file(file, CREATE_NEW));
    ASSERT_TRUE(handle.valid());
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(handle.get(), "x", 1, &done, nullptr));
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(handle.get(), &created, &accessed, &written));
    GetSystemTime(&now);
    FILETIME after;
    ASSERT_TRUE(SystemTimeToFileTime(&now, &after));

    // File systems stamp times from a coarser clock; allow two seconds.
    auto ticks = [](const FILETIME& t) {
        return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const uint64_t slack = 2 * 10000000ull;
    for (const FILETIME* t : {&created, &accessed, &written}) {
        EXPECT_GE(ticks(*t) + slack, ticks(before));
        EXPECT_LE(ticks(*t), ticks(after) + slack);
    }
    EXPECT_TRUE(GetFileTime(handle.get(), nullptr, nullptr, &written));
}

TEST_F(Files, ClosedHandlesAreRefused) {
    HANDLE handle = open_file(file, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(handle, nullptr), 0u);  // this thread's last handle looked up
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_EQ(GetFileSize(handle, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The answer a local file system gives without a call is for a live
// handle only.
TEST_F(Files, LockConfirmationAnswersForOpenHandlesOnly) {
    HANDLE handle = open_file(file, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(odb::platform::ConfirmLockHeldW(handle));
    EXPECT_TRUE(odb::platform::ConfirmLockHeldW(handle));  // from what the first learnt
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(odb::platform::ConfirmLockHeldW(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

#ifndef _WIN32
// Stronger than Windows, which hands closed values out again: a value stays
// refused after its slot serves a later open, and that open is untouched.
TEST_F(Files, StaleAndForeignHandleValuesAreRefused) {
    HANDLE stale = open_file(file, CREATE_NEW);
    ASSERT_TRUE(CloseHandle(stale));
    file_handle reopened(open_file(file, OPEN_EXISTING));
    ASSERT_TRUE(reopened.valid());
    int local = 0;
    for (HANDLE bad : {stale, reinterpret_cast<HANDLE>(&local), reinterpret_cast<HANDLE>(uintptr_t{5000} << 2)}) {
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(bad));
    }
    WIN32_FIND_DATAW data;
    odb::find_handle search(FindFirstFileW((dir / "*").c_str(), &data));
    ASSERT_TRUE(search.valid());
    EXPECT_FALSE(CloseHandle(search.get()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileSize(reopened.get(), nullptr), 0u);
}
#endif

TEST_F(Files, DeleteFileReportsWhatIsMissing) {
    ASSERT_TRUE(write_file(file, "x"));
    EXPECT_TRUE(DeleteFileW(file.c_str()));
    EXPECT_FALSE(path_exists(file));
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileW(join(dir / "missing", "file.dat").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    const wide_string sub = dir / "sub";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_FALSE(DeleteFileW(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace

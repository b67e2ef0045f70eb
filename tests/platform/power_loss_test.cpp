// The power-loss simulator of the POSIX layer: what a cut keeps follows
// the flushes, the choice of loss and the cut's place. POSIX only.
#ifndef _WIN32

#include <gtest/gtest.h>

#include "platform/extensions.h"
#include "platform/handle.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/power_loss.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

namespace {

using namespace odb::test;
using odb::file_handle;

void put(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

TEST(PowerLoss, CutKeepsWhatWasFlushedAndChoosesAmongTheRest) {
    temp_dir dir;
    const wide_string a = dir / "a", b = dir / "b", old = dir / "old", moved = dir / "moved";
    ASSERT_TRUE(write_file(old, "abc"));
    odb::power::start(narrow(dir.path()));
    uint64_t before_flushes = 0;
    {
        odb::fault::scope counting(odb::fault::plan{});
        file_handle fa(CreateFileW(a.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(fa.valid());
        put(fa.get(), "hello");
        before_flushes = odb::fault::counted_calls();
        ASSERT_TRUE(FlushFileBuffers(fa.get()));
        ASSERT_TRUE(odb::platform::FlushDirectoryW(dir.path().c_str()));
        put(fa.get(), " world");
        file_handle fb(CreateFileW(b.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        put(fb.get(), "x");
        ASSERT_TRUE(MoveFileW(old.c_str(), moved.c_str()));
    }
    odb::power::stop();
    EXPECT_EQ(odb::power::recorded_changes(), 6u);  // 2 creates, 3 writes, 1 rename

    odb::power::cut_result result;
    ASSERT_TRUE(odb::power::cut({~0ull, odb::power::loss::everything, 1}, &result));
    EXPECT_EQ(read_file(a), "hello");
    EXPECT_FALSE(path_exists(b));
    EXPECT_EQ(read_file(old), "abc");
    EXPECT_FALSE(path_exists(moved));
    EXPECT_EQ(result.durable, 2u);
    EXPECT_EQ(result.lost, 4u);

    ASSERT_TRUE(odb::power::cut({~0ull, odb::power::loss::nothing, 1}));
    EXPECT_EQ(read_file(a), "hello world");
    EXPECT_EQ(read_file(b), "x");
    EXPECT_EQ(read_file(moved), "abc");
    EXPECT_FALSE(path_exists(old));

    // Cut before the flushes: even the first file's name is lost.
    ASSERT_TRUE(odb::power::cut({before_flushes, odb::power::loss::everything, 1}));
    EXPECT_FALSE(path_exists(a));
    EXPECT_EQ(read_file(old), "abc");
}

TEST(PowerLoss, FlushNeedsAHandleOpenForWriting) {
    temp_dir dir;
    ASSERT_TRUE(write_file(dir / "f", "data"));
    file_handle reading(CreateFileW((dir / "f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(FlushFileBuffers(reading.get()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(odb::platform::FlushDirectoryW((dir / "missing").c_str()));
}

}  // namespace

#endif  // _WIN32

// Object information: the buffer protocol of every class, sizes and paths
// in both storage forms, lock-file times, and paths too long to return.
#include <gtest/gtest.h>

#include <cstring>

#include "support/walk_fixture.h"

namespace {

using namespace odb::test;

class ObjectInfo : public ::testing::TestWithParam<bool> {
protected:
    ObjectInfo()
        : db_({{"Attribs", "SingleFile", GetParam() ? "yes" : "no"},
               {"Attribs", "AutoConvert", "yes"}}) {
        db_.make(1, 2, {{5, "abc"}, {6, "defgh"}});
    }
    bool single_file() const { return GetParam(); }
    walk_db db_;
};

std::string ansi_path(odb_obj_ctx* ctx, uint32_t attribute) {
    char buffer[256];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_PATH_ANSI, attribute, buffer, &length), ODB_OK);
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

wide_string wide_path(odb_obj_ctx* ctx, uint32_t attribute, odb_status expected = ODB_OK) {
    WCHAR buffer[256];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_PATH, attribute, buffer, &length), expected);
    return expected == ODB_OK ? wide_string(buffer) : wide_string();
}

TEST_P(ObjectInfo, BufferProtocol) {
    odb_obj_ctx* ctx = db_.open(1, 2, ODB_MODE_READ);
    const uint32_t sizes[] = {112, 20, 256, 28, 512};
    for (uint32_t info = 0; info <= ODB_INFO_PATH; ++info) {
        uint32_t length = 0;
        EXPECT_EQ(ODB_obj_get_info(ctx, info, 5, nullptr, &length), ODB_OK);
        EXPECT_EQ(length, sizes[info]) << "class " << info;
        unsigned char buffer[600];
        std::memset(buffer, 0xAA, sizeof buffer);
        length = sizes[info] - 1;
        EXPECT_EQ(ODB_obj_get_info(ctx, info, 5, buffer, &length), ODB_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, sizes[info] - 1);  // left as it was
        EXPECT_EQ(buffer[0], 0xAA);
    }
    uint32_t length = 600;
    unsigned char buffer[600];
    EXPECT_EQ(ODB_obj_get_info(ctx, 5, 0, buffer, &length), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_SIZE, 0, buffer, nullptr), ODB_E_INVALID_PARAMETER);
    EXPECT_EQ(ODB_obj_get_info(nullptr, ODB_INFO_SIZE, 0, buffer, &length),
              ODB_E_INVALID_CONTEXT);
    ODB_obj_close_ctx(ctx);
}

TEST_P(ObjectInfo, PathsAndSizes) {
    odb_obj_ctx* ctx = db_.open(1, 2, ODB_MODE_READ);
    const wide_string dir = db_.object_dir(1, 2);
    EXPECT_EQ(narrow(wide_path(ctx, 0)), narrow(dir));
    // The attribute's file path, whether or not such a file exists.
    EXPECT_EQ(ansi_path(ctx, 0x10), narrow(join(dir, "00000010.DAT")));

    unsigned char size[20];
    uint32_t length = sizeof size;
    if (single_file()) {
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_SIZE, 0, size, &length), ODB_E_NO_OBJECT);
    } else {
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_SIZE, 0, size, &length), ODB_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(size), 20), le32(8) + std::string(16, '\0'));
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_SIZE, 6, size, &length), ODB_OK);
        EXPECT_EQ(size[0], 5);
    }
    ODB_obj_close_ctx(ctx);

    ctx = db_.open(1, 2, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    EXPECT_EQ(narrow(wide_path(ctx, 0)), narrow(dir) + ".RMV");
    ODB_obj_close_ctx(ctx);
}

TEST_P(ObjectInfo, LockFileTimes) {
    const wide_string lock = join(db_.object_dir(1, 2), "OBJLOCK.FDB");
    SYSTEMTIME when = {2022, 7, 6, 9, 10, 11, 12, 345};  // a Saturday
    FILETIME written;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &written));
    ASSERT_TRUE(set_last_write_time(lock, written));

    odb_obj_ctx* reader = db_.open(1, 2, ODB_MODE_READ);
    unsigned char times[112];
    uint32_t length = sizeof times;
    ASSERT_EQ(ODB_obj_get_info(reader, ODB_INFO_TIMES, 0, times, &length), ODB_OK);
    SYSTEMTIME reported;
    std::memcpy(&reported, times + 32, sizeof reported);
    EXPECT_EQ(std::memcmp(&reported, &when, sizeof when), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(times) + 48, 64), std::string(64, '\0'));
    if (single_file()) {
        // There is no attribute file to read times from, and waiting
        // would not make one appear.
        EXPECT_EQ(ODB_obj_get_info(reader, ODB_INFO_TIMES, 5, times, &length),
                  ODB_E_NO_ATTRIBUTE);
    }
    ODB_obj_close_ctx(reader);

    // A writer holds its own lock file without sharing.
    odb_obj_ctx* writer = db_.open(1, 2, ODB_MODE_WRITE);
    EXPECT_EQ(ODB_obj_get_info(writer, ODB_INFO_TIMES, 0, times, &length), ODB_E_LOCK_TIMEOUT);
    ODB_obj_close_ctx(writer);
}

INSTANTIATE_TEST_SUITE_P(StorageForms, ObjectInfo, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "SingleFile" : "PerAttribute");
});

TEST(ObjectInfoPaths, TooLongToReturnIsRefused) {
    // The longest root a database accepts: every path below it fits in
    // 260 units, but not every one in the 256 that the info buffers hold.
    walk_db db({}, 215);
    db.make(1, 2);
    odb_obj_ctx* ctx = db.open(1, 2, ODB_MODE_WRITE);
    ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
    EXPECT_EQ(wide_path(ctx, 0).size(), 215u + 31u);
    wide_path(ctx, 5, ODB_E_INVALID_PARAMETER);  // 259 units
    char ansi[256];
    uint32_t length = sizeof ansi;
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_PATH_ANSI, 5, ansi, &length), ODB_E_INVALID_PARAMETER);
    ODB_obj_close_ctx(ctx);
}

TEST(ObjectInfoPaths, AnsiFormLongerThanTheBufferIsRefused) {
    // 200 units, but in an ANSI code page where U+00E9 takes two bytes
    // (UTF-8 on POSIX) the path needs more than 256 bytes.
    walk_db db({}, 200, 0x00E9);
    db.make(1, 2);
    odb_obj_ctx* ctx = db.open(1, 2, ODB_MODE_READ);
    const wide_string dir = wide_path(ctx, 0);
    const int needed =
        WideCharToMultiByte(CP_ACP, 0, dir.c_str(), -1, nullptr, 0, nullptr, nullptr);
    char ansi[256];
    uint32_t length = sizeof ansi;
    const odb_status status = ODB_obj_get_info(ctx, ODB_INFO_PATH_ANSI, 0, ansi, &length);
    if (needed > 256) {
        EXPECT_EQ(status, ODB_E_INVALID_PARAMETER);
    } else {
        EXPECT_EQ(status, ODB_OK);
        EXPECT_EQ(strnlen(ansi, sizeof ansi) + 1, static_cast<std::size_t>(needed));
    }
    ODB_obj_close_ctx(ctx);
}

}  // namespace

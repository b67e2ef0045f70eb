// Where objects live, and reading numbers back from names.
#include <gtest/gtest.h>

#include "store/context.h"
#include "store/object_facts.h"
#include "store/object_path.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

std::string path_of(uint32_t cls, uint32_t id, uint32_t flags, bool bucket_only = false) {
    return narrow(odb::object_path(ODB_W("R"), cls, id, flags, bucket_only).c_str());
}

// "R/a/b/c" with the platform's separator.
std::string expected(std::string path) {
    for (char& c : path)
        if (c == '/') c = static_cast<char>(ODB_PATH_SEPARATOR);
    return path;
}

TEST(ObjectPath, IdentifierSplitsIntoBucketAndSlot) {
    EXPECT_EQ(path_of(0x10, 0x1234, 0), expected("R/00000010/00000009/00000034"));
    EXPECT_EQ(path_of(0x10, 0x1234, ODB_MODE_REMOVED | ODB_MODE_WRITE),
              expected("R/00000010/00000009/00000034.RMV"));
    EXPECT_EQ(path_of(5, 0, 0), expected("R/00000005/00000000/00000000"));
    EXPECT_EQ(path_of(5, 0x1FF, ODB_MODE_READ), expected("R/00000005/00000000/000001ff"));
    EXPECT_EQ(path_of(5, 0x200, 0), expected("R/00000005/00000001/00000000"));
    EXPECT_EQ(path_of(0xFFFFFFFF, 0xFFFFFFFF, ODB_MODE_WIPED),
              expected("R/ffffffff/007fffff/000001ff.WPE"));
    EXPECT_EQ(path_of(5, 0x200, ODB_MODE_REMOVED | ODB_MODE_WIPED), expected("R/00000005/00000001/00000000.RMV"));
    EXPECT_EQ(path_of(5, 0x3FF, ODB_MODE_REMOVED, true), expected("R/00000005/00000001"));
    EXPECT_EQ(narrow(odb::attributes_file_path(ODB_W("R"), 5, 1, ODB_MODE_WIPED).c_str()),
              expected("R/00000005/00000000/00000001.WPE/ATTRIBS.FDB"));
}

// Bucket file names ask for 3 digits; a value may need fewer or more, and
// a path that would pass its capacity raises instead of being cut.
TEST(ObjectPath, HexDigitsArePaddedOrGrowWithinTheCapacity) {
    auto hex = [](uint32_t value, int digits) { return narrow(odb::path_buffer().hex(value, digits).c_str()); };
    EXPECT_EQ(hex(0x5, 3), "005");
    EXPECT_EQ(hex(0x1234, 3), "1234");
    EXPECT_EQ(hex(0, 8), "00000000");
    EXPECT_EQ(narrow(odb::path_buffer(5).hex(0x1234, 3).c_str()), "1234");
    EXPECT_THROW(odb::path_buffer(5).hex(0x12345, 1), odb_status);
    odb::path_buffer name(8);
    name.append("ab.");
    EXPECT_THROW(name.append("DATA1"), odb_status);
    EXPECT_EQ(narrow(name.append("DAT").c_str()), "ab.DAT");
}

// A call that moves its context to another form (a removal, a restore)
// learns the paths of that form, not those it learnt before.
TEST(ObjectFacts, PathsFollowTheContextsForm) {
    scratch_database scratch;
    odb_obj_ctx ctx;
    odb::init_context(ctx, scratch.db(), 0x10, 0x1234);
    odb::object_facts facts(ctx);
    auto text = [](const odb::path_buffer& path) { return narrow(path.c_str()); };
    EXPECT_EQ(text(facts.directory()), narrow(scratch.object_dir(0x10, 0x1234).c_str()));
    ctx.mode = ODB_MODE_REMOVED | ODB_MODE_WRITE;
    EXPECT_EQ(text(facts.record_file_path()),
              narrow(join(scratch.object_dir(0x10, 0x1234, ".RMV"), "ATTRIBS.FDB").c_str()));
}

TEST(ObjectPath, HexNamesAreReadFromTheFirstEightCharacters) {
    EXPECT_EQ(odb::parse_hex_name(ODB_W("0000001f.DAT")), 0x1Fu);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("0000001F.DAT")), 0x1Fu);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("12.DAT")), 0x12u);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("000001ff.RMV")), 0x1FFu);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("ffffffff")), 0xFFFFFFFFu);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("123456789")), 0x12345678u);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("names.dat")), 0u);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("OBJID.FDB")), 0u);
    EXPECT_EQ(odb::parse_hex_name(ODB_W("")), 0u);
}

TEST(ObjectPath, AnyFormOfTheNameMeansTheObjectExists) {
    scratch_database scratch;
    const WCHAR* root = scratch.root().c_str();
    EXPECT_FALSE(odb::object_exists(root, 5, 1));
    // Missing object directory in an existing bucket, and a missing bucket.
    scratch.make_object_dir(5, 2);
    EXPECT_EQ(odb::probe_path(scratch.object_dir(5, 1).c_str()), DWORD(ERROR_FILE_NOT_FOUND));
    const DWORD missing_bucket = odb::probe_path(scratch.object_dir(5, 0x400).c_str());
    EXPECT_TRUE(missing_bucket == ERROR_FILE_NOT_FOUND || missing_bucket == ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(odb::object_exists(root, 5, 2));
    scratch.make_object_dir(5, 3, ".WPE");
    EXPECT_TRUE(odb::object_exists(root, 5, 3));
    scratch.make_object_dir(5, 4, ".RMV");
    EXPECT_TRUE(odb::object_exists(root, 5, 4));
    // A plain file of one of the names takes the identifier as well.
    ASSERT_TRUE(write_file(scratch.object_dir(5, 5, ".RMV"), "not a directory"));
    EXPECT_TRUE(odb::object_exists(root, 5, 5));
    EXPECT_EQ(odb::probe_path(scratch.object_dir(5, 5, ".RMV").c_str()), 0u);
    EXPECT_FALSE(odb::object_exists(root, 5, 6));
    EXPECT_FALSE(odb::object_exists(root, 6, 2));
}

}  // namespace

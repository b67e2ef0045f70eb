// Names and sizes chosen by someone else: directory entries planted in the
// tree, names and values at the edges of every fixed buffer, and bytes that
// would mean something to a format string. Nothing may lead outside the
// database root, write past a buffer, or be reported wrongly.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "reliability/world.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

using test::join;
using test::path_exists;
using test::read_file;
using test::write_file;

std::string object_dir_name(const wide_string& root, uint32_t id, const char* suffix = "") {
    return test::narrow(join(join(join(root, test::hex_name(world_class).c_str()),
                                  test::hex_name(id >> 9).c_str()),
                             (test::hex_name(id & 0x1FF) + suffix).c_str()));
}

wide_string object_dir(const wide_string& root, uint32_t id, const char* suffix = "") {
    return test::widen(object_dir_name(root, id, suffix));
}

uint32_t lookup(odb_database* db, const std::string& name, odb_status* status = nullptr) {
    uint32_t id = 0;
    const odb_status s =
        ODB_obj_lookup_ex(db, world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, name.c_str(),
                          static_cast<uint32_t>(name.size() + 1), &id);
    if (status != nullptr) *status = s;
    return s == ODB_OK ? id : 0;
}

#ifndef _WIN32

// Planted with the system's own calls: our platform layer (like Windows)
// would take the backslashes for separators.
void plant_file(const std::string& directory, const std::string& name) {
    std::ofstream(directory + "/" + name) << "planted";
}
void plant_dir(const std::string& directory, const std::string& name) {
    std::filesystem::create_directory(directory + "/" + name);
}

// A file name may hold a backslash on POSIX, which the library's paths use
// as a separator too: listed and joined to its directory, "..\..\x" would
// name a file two levels up. Wiping, deleting and converting an object
// holding such names (and a link out of the tree) touch nothing outside.
TEST(HostileNames, PlantedEntriesNeverLeadOutOfTheTree) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    const std::string victim = "precious contents";
    ASSERT_TRUE(write_file(dir / "victim.dat", victim));
    ASSERT_TRUE(write_file(join(root, "victim.dat"), victim));
    ASSERT_TRUE(test::make_dir(dir / "outside"));
    ASSERT_TRUE(write_file(join(dir / "outside", "00000001.DAT"), victim));
    const char* escapes[] = {"..\\..\\..\\..\\victim.dat", "..\\..\\..\\victim.dat",
                             "..\\..\\..\\..\\outside"};
    for (uint32_t id : {file_object, unconverted_object, single_object}) {
        for (const char* name : escapes) plant_file(object_dir_name(root, id), name);
        ASSERT_TRUE(test::make_symbolic_link(dir / "outside", join(object_dir(root, id), "link")));
    }

    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    // The attribute walk of the per-attribute form lists only numbers.
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, file_object, ODB_MODE_WRITE, &ctx), ODB_OK);
    uint32_t attribute = 0, length = 0;
    while (ODB_obj_attribute_enum(ctx, &attribute, &length) == ODB_OK)
        EXPECT_TRUE(attribute == 1 || attribute == 2 || attribute == ODB_NAME_ATTRIBUTE) << attribute;
    EXPECT_EQ(ODB_obj_remove(ctx), ODB_OK);  // wipe
    ODB_obj_close_ctx(ctx);
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, single_object, ODB_MODE_WRITE, &ctx), ODB_OK);
    // Files the library cannot name are deleted by their own names.
    EXPECT_EQ(ODB_obj_remove_ex(ctx, ODB_REMOVE_DELETE), ODB_OK);
    EXPECT_FALSE(path_exists(object_dir(root, single_object, ".RMV")));
    ODB_obj_close_ctx(ctx);
    db.reset();
    test::write_settings(root, world_settings(true));
    db.reset(open_world(root));
    ASSERT_TRUE(db);
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, unconverted_object, ODB_MODE_WRITE, &ctx),
              ODB_OK);
    EXPECT_EQ(write_value(ctx, 7, "converted"), ODB_OK);
    ODB_obj_close_ctx(ctx);

    EXPECT_EQ(read_file(dir / "victim.dat"), victim);
    EXPECT_EQ(read_file(join(root, "victim.dat")), victim);
    EXPECT_EQ(read_file(join(dir / "outside", "00000001.DAT"), nullptr), victim);
    EXPECT_FALSE(path_exists(join(object_dir(root, single_object, ".WPE"), "ATTRIBS.FDB")));
    std::string value;
    EXPECT_EQ(read_value(db.get(), unconverted_object, 5, ODB_MODE_READ, value), ODB_OK);
    EXPECT_EQ(value, "echo");
}

// Names with no Win32 form (not UTF-8, or with a backslash; a name of 260
// units does not fit in a POSIX name of 255 bytes) are never listed, yet a
// wipe overwrites and removes them by their own names, a directory of such a name with all it
// holds, and so does a delete and the destruction of the database.
TEST(HostileNames, WipeReachesEntriesTheListingPassesOver) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    const std::string secret = "secret contents that must not survive";
    const std::string object = object_dir_name(root, file_object);
    const std::string unnamed_dir = "dir\xff";
    const char* unlisted[] = {"bad\xff\xfe.dat", "back\\slash"};
    for (const char* name : unlisted) plant_file(object, name);
    plant_dir(object, unnamed_dir);
    plant_file(object + "/" + unnamed_dir, "inner.dat");
    std::ofstream(object + "/" + unlisted[0]) << secret;
    const std::string kept = test::narrow(dir / "second-name");
    std::filesystem::create_hard_link(object + "/" + unlisted[0], kept);
    plant_file(test::narrow(root), "root\xff");

    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, file_object, ODB_MODE_WRITE, &ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_remove(ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_TRUE(std::filesystem::is_empty(object_dir_name(root, file_object, ".WPE")));
    EXPECT_EQ(read_file(test::widen(kept)), std::string(secret.size(), '\0'));

    plant_file(object_dir_name(root, unconverted_object), "bad\xff");
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, unconverted_object, ODB_MODE_WRITE, &ctx),
              ODB_OK);
    EXPECT_EQ(ODB_obj_remove_ex(ctx, ODB_REMOVE_DELETE), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_FALSE(path_exists(object_dir(root, unconverted_object, ".RMV")));

    EXPECT_EQ(ODB_destroy(db.get()), ODB_OK);
    EXPECT_FALSE(path_exists(root));
}

// Class, bucket and object directories are found by listing; whatever is
// planted there, a walk yields only the numbers the names spell.
TEST(HostileNames, WalksYieldOnlyNumbers) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    const std::string class_dir = test::narrow(join(root, test::hex_name(world_class).c_str()));
    const std::string bucket = class_dir + "/00000000";
    for (const char* name : {"0000000g", "..\\00000009", "00000005.RMV.x", "000000051", "-0000001",
                             " 0000001", "0000000\\", "0x000001", "00000008\\..\\..\\x"})
        plant_dir(bucket, name);
    plant_file(bucket, "00000006");
    plant_dir(class_dir, "zzzzzzzz");
    plant_dir(class_dir, "..\\..\\00000007");
    plant_dir(test::narrow(root), "..\\..\\00000007");
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    EXPECT_EQ(list_ids(db.get(), world_class, ODB_ENUM_LIVE),
              (std::vector<uint32_t>{single_object, file_object, unconverted_object}));
    EXPECT_EQ(list_ids(db.get(), world_class, ODB_ENUM_REMOVED),
              (std::vector<uint32_t>{removed_object}));
    uint32_t first = 0, last = 0;
    EXPECT_EQ(ODB_get_free_ids(db.get(), &first, &last), ODB_OK);
    EXPECT_EQ(first, 5u);
}

#endif  // _WIN32

// The 260-unit path: the longest root leaves room for the longest path the
// library builds under it (an attribute file of a removed object); one
// unit more is refused when the database is opened.
TEST(HostileNames, RootLengthAtThePathLimit) {
    test::temp_dir dir;
    const std::size_t longest_root = 260 - 1 - 44;  // what every tail still fits
    for (std::size_t length : {longest_root - 1, longest_root, longest_root + 1}) {
        wide_string root = dir.path();
        // Components of at most 100 units up to the wanted length; the last
        // is the database root, which its creation makes.
        while (root.size() + 1 < length) {
            const std::size_t part = std::min<std::size_t>(100, length - root.size() - 1);
            if (!test::path_exists(root)) {
                ASSERT_TRUE(test::make_dir(root));
            }
            root = join(root, std::string(part, 'p').c_str());
        }
        ASSERT_EQ(root.size(), length);
        uint32_t version = 0;
        odb_database* db = nullptr;
        const odb_status status = ODB_init_w(ODB_INIT_CREATE, test::odb_text(root), &version, &db, 0);
        if (length > longest_root) {
            EXPECT_EQ(status, ODB_E_INVALID_PARAMETER) << length;
            continue;
        }
        ASSERT_EQ(status, ODB_OK) << length;
        // The per-attribute form of a removed object: the longest tail.
        test::write_settings(root, "[Attribs]\nSingleFile=No\n");
        ODB_close(db);
        ASSERT_EQ(ODB_init_w(0, test::odb_text(root), &version, &db, 0), ODB_OK);
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_new(db, 0xFFFFFFF0u, &id, &ctx), ODB_OK);
        ASSERT_EQ(ODB_obj_remove_ex(ctx, 0), ODB_OK);
        ASSERT_EQ(ODB_obj_set_attribute(ctx, 0xFFFFFFFEu, 0, "v", 1), ODB_OK) << length;
        WCHAR path[256];
        uint32_t size = sizeof path;
        EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_PATH, 0xFFFFFFFEu, path, &size),
                  length + 44 < 256 ? ODB_OK : ODB_E_INVALID_PARAMETER);
        ODB_obj_close_ctx(ctx);
        ODB_close(db);
        ASSERT_EQ(ODB_init_w(0, test::odb_text(root), &version, &db, 0), ODB_OK);
        EXPECT_EQ(ODB_destroy(db), ODB_OK);
        EXPECT_EQ(ODB_close(db), ODB_OK);
    }
}

// Names of 256 units fill the caller's 257-unit name buffer; 257 do not
// fit and are refused, in both encodings. An index entry holds 126 units.
TEST(HostileNames, LookupNamesAtTheirLimits) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    for (std::size_t units : {255u, 256u, 257u}) {
        const std::string name(units, 'q');
        odb_status status;
        lookup(db.get(), name, &status);
        EXPECT_EQ(status, units <= 256 ? ODB_E_NO_MORE_ITEMS : ODB_E_INVALID_PARAMETER) << units;
        std::u16string wide(name.begin(), name.end());
        uint32_t id = 0;
        EXPECT_EQ(ODB_obj_lookup_ex(db.get(), world_class, ODB_NAME_ATTRIBUTE, ODB_NAME_UTF16,
                                    wide.c_str(), static_cast<uint32_t>(2 * (units + 1)), &id),
                  units <= 256 ? ODB_E_NO_MORE_ITEMS : ODB_E_INVALID_PARAMETER)
            << units;
    }
    // Stored names of 125 to 127 units, in both storage forms: up to 126
    // are found again, a longer one is kept cut and matches nothing.
    for (uint32_t id : {single_object, file_object}) {
        for (std::size_t units : {125u, 126u, 127u}) {
            const std::string name = std::string(units - 1, 'n') + static_cast<char>('0' + id);
            odb_obj_ctx* ctx = nullptr;
            ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, id, ODB_MODE_WRITE, &ctx), ODB_OK);
            ASSERT_EQ(write_value(ctx, ODB_NAME_ATTRIBUTE, name), ODB_OK);
            ODB_obj_close_ctx(ctx);
            odb_status status;
            EXPECT_EQ(lookup(db.get(), name, &status), units <= 126 ? id : 0u) << units;
        }
    }
}

// The name is read as its first 514 bytes: values of 513 to 515 bytes (and
// a UTF-16 one of that size) come out as at most 256 units, and a rebuilt
// index takes every object.
TEST(HostileNames, NameValuesAroundTheReadLimit) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    std::string utf16 = "\xFF\xFE";
    while (utf16.size() < 515) utf16 += std::string("a\0", 2);
    const std::string values[] = {std::string(513, 'x'), std::string(514, 'y'),
                                  std::string(515, 'z'), utf16};
    uint32_t id = single_object;
    for (const std::string& value : values) {
        odb_obj_ctx* ctx = nullptr;
        ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, id, ODB_MODE_WRITE, &ctx), ODB_OK);
        EXPECT_EQ(write_value(ctx, ODB_NAME_ATTRIBUTE, value), ODB_OK);
        ODB_obj_close_ctx(ctx);
        id = id == single_object ? file_object : single_object;
    }
    ASSERT_TRUE(write_file(join(join(root, test::hex_name(world_class).c_str()), "names.dat"),
                           std::string(12, '\0')));
    uint32_t count = 0;
    EXPECT_EQ(ODB_obj_count(db.get(), world_class, 0, &count), ODB_OK);
    EXPECT_EQ(count, 3u);
}

// Bucket entries of 8 and 263 bytes are read; 7 and 264 are damage, which
// fails that lookup and makes the next one rebuild the index.
TEST(HostileNames, IndexEntryLengthsAtTheirLimits) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    const wide_string class_dir = join(root, test::hex_name(world_class).c_str());
    auto le16 = [](uint32_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
    auto le32 = [&](uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
    // One bucket: every name hashes to bucket 0.
    ASSERT_TRUE(write_file(join(class_dir, "names.dat"), le32(0x5B5B0004) + le32(0) + le32(1)));
    for (uint32_t length : {7u, 8u, 263u, 264u}) {
        // "ab" in an entry of the given length, behind a minimal entry.
        std::string entry = le16(length) + le32(single_object) + std::string("a\0b\0", 4);
        entry.resize(std::max<std::size_t>(length, 8), '\0');
        if (length < 10) entry = le16(length) + le32(single_object) + std::string(2, '\0');
        ASSERT_TRUE(write_file(join(class_dir, "names.000"),
                               le32(0x5B5B0004) + le32(1) + entry.substr(0, std::max(length, 8u))));
        std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
        ASSERT_TRUE(db);
        odb_status status;
        const uint32_t found = lookup(db.get(), "ab", &status);
        if (length == 263) {
            EXPECT_EQ(found, single_object);
        } else if (length == 8) {
            EXPECT_EQ(status, ODB_E_NO_MORE_ITEMS);
        } else {
            EXPECT_EQ(status, ODB_E_INVALID_PARAMETER) << length;
            // Damage is derived data going bad: the next lookup rebuilds.
            EXPECT_EQ(lookup(db.get(), "first", &status), single_object) << length;
        }
        ASSERT_TRUE(write_file(join(class_dir, "names.dat"), le32(0x5B5B0004) + le32(0) + le32(1)));
    }
}

// One object whose record file is damaged for good (cut to nothing, as a
// crash in the middle of its creation once left it) has no name, but does
// not keep the rest of its class out of a rebuilt index.
TEST(HostileNames, ADamagedObjectDoesNotBlockTheIndex) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    ASSERT_TRUE(write_file(join(object_dir(root, single_object), "ATTRIBS.FDB"), ""));
    ASSERT_TRUE(write_file(join(join(root, test::hex_name(world_class).c_str()), "names.dat"),
                           std::string(12, '\0')));
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    EXPECT_EQ(lookup(db.get(), "second"), file_object);
    EXPECT_EQ(lookup(db.get(), "fourth"), unconverted_object);
    std::string value;
    EXPECT_EQ(read_value(db.get(), single_object, 1, ODB_MODE_READ, value), ODB_E_BAD_HEADER);
}

// Bytes that a format string would act on, in every place the library
// reads text from: names, settings, change files. Nothing formats them.
TEST(HostileNames, FormatDirectivesAreJustBytes) {
    test::temp_dir dir;
    const wide_string root = copy_world(dir);
    const std::string evil = "%s%s%n%n%x%99999999d";
    test::write_settings(root, world_settings() + "[" + evil + "]\n" + evil + "=" + evil + "\n" +
                                   "[IdAssignment]\nFirstId=" + evil + "\nLastId=" + evil + "\n");
    std::unique_ptr<odb_database, test::database_closer> db(open_world(root));
    ASSERT_TRUE(db);
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_create_ctx(db.get(), world_class, single_object, ODB_MODE_WRITE, &ctx), ODB_OK);
    EXPECT_EQ(write_value(ctx, ODB_NAME_ATTRIBUTE, evil), ODB_OK);
    const wide_string changes = join(object_dir(root, single_object), "ATTRIBS.STA");
    ASSERT_TRUE(write_file(changes, "[" + evil + "]\r\nAction=" + evil + "\r\nTimeBin=" + evil +
                                        "\r\n" + read_file(changes)));
    unsigned char list[28 * 16];
    uint32_t size = sizeof list;
    EXPECT_EQ(ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, 0, list, &size), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_EQ(lookup(db.get(), evil), single_object);
    uint32_t first = 0, last = 0;
    EXPECT_EQ(ODB_get_free_ids(db.get(), &first, &last), ODB_OK);
    EXPECT_EQ(first, 5u);  // an unreadable setting falls back to its default
}

}  // namespace
}  // namespace odb::reliability

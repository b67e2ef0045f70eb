// Conversion of an object's .DAT files into one ATTRIBS.FDB on its first
// write once SingleFile and AutoConvert are on, and the cases where it must
// give up and leave the object as it was.
#include <gtest/gtest.h>

#include <vector>

#include "attrs/record_file.h"
#include "platform/handle.h"
#include "support/attrs_fixture.h"
#include "support/child_process.h"

namespace odb::test {
namespace {

constexpr uint32_t cls = 0x33;

struct dat_file {
    uint32_t attribute;
    std::string value;
    FILETIME created, modified;
};

class Conversion : public ::testing::Test {
protected:
    Conversion() : db(settings_text({})) {}

    // A per-attribute object holding these values; its context is closed.
    uint32_t object_with(const std::vector<std::pair<uint32_t, std::string>>& values) {
        uint32_t id = 0;
        ctx_ptr ctx = new_object(db.db(), cls, &id);
        EXPECT_TRUE(ctx);
        for (const auto& v : values)
            EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), v.first, 0, v.second.data(),
                                            static_cast<uint32_t>(v.second.size())),
                      ODB_OK);
        return id;
    }

    // The .DAT files of an object in the order the directory listing gives
    // them, with their contents and file times.
    std::vector<dat_file> dat_files(uint32_t id) {
        std::vector<dat_file> files;
        WIN32_FIND_DATAW entry;
        find_handle search(FindFirstFileW(join(db.object_dir(cls, id), "*.dat").c_str(), &entry));
        if (!search) return files;
        do {
            const wide_string path = join(db.object_dir(cls, id), wide_string(entry.cFileName));
            dat_file file = {static_cast<uint32_t>(std::stoul(narrow(entry.cFileName).substr(0, 8), nullptr, 16)),
                             read_file(path), {}, {}};
            file_handle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            EXPECT_TRUE(GetFileTime(handle.get(), &file.created, nullptr, &file.modified));
            files.push_back(file);
        } while (FindNextFileW(search.get(), &entry));
        return files;
    }

    void convert_on_write() { db.reopen(settings_text({true, true, false, false})); }

    odb_status write(uint32_t id, uint32_t attribute, const std::string& data) {
        ctx_ptr ctx = open_object(db.db(), cls, id, ODB_MODE_WRITE);
        if (!ctx) return ODB_E_OBJECT_LOCK;
        return ODB_obj_set_attribute(ctx.get(), attribute, 0, data.data(),
                                     static_cast<uint32_t>(data.size()));
    }

    std::vector<std::string> dat_names(uint32_t id) {
        std::vector<std::string> names;
        for (const std::string& name : list_directory(db.object_dir(cls, id)))
            if (name.size() > 4 && name.substr(name.size() - 4) == ".DAT") names.push_back(name);
        return names;
    }

    scratch_database db;
};

TEST_F(Conversion, MovesEveryValueInListingOrderWithItsFileTimes) {
    const uint32_t id = object_with({{1, "hello"}, {0xa, ""}, {0x20, "twenty"}, {0x08400001, "name"}});
    const std::vector<dat_file> before = dat_files(id);
    ASSERT_EQ(before.size(), 4u);
    convert_on_write();

    ASSERT_EQ(write(id, 0x30, "after"), ODB_OK);
    EXPECT_TRUE(dat_names(id).empty()) << "the old files are wiped";

    record_file attributes;
    ASSERT_TRUE(attributes.open(object_file(db, cls, id, "ATTRIBS.FDB").c_str(), true));
    for (const dat_file& file : before) {
        SCOPED_TRACE(file.attribute);
        ASSERT_NE(attributes.record_id(), 0u);
        EXPECT_EQ(attributes.record_id(), file.attribute);
        std::string value(attributes.record_length(), '\0');
        attributes.read_data(&value[0], attributes.record_length());
        EXPECT_EQ(value, file.value);
        FILETIME created, modified;
        attributes.record_times(&created, &modified);
        EXPECT_EQ(filetime_value(created), filetime_value(file.created));
        EXPECT_EQ(filetime_value(modified), filetime_value(file.modified));
        attributes.find_next(match_every_record, 0);
    }
    EXPECT_EQ(attributes.record_id(), 0x30u) << "the write that converted comes last";
    EXPECT_FALSE(attributes.find_next(match_every_record, 0));
}

TEST_F(Conversion, AnObjectWithoutValuesGetsAnEmptyFileThatTheWriteLandsIn) {
    const uint32_t id = object_with({});
    convert_on_write();
    ASSERT_EQ(write(id, 7, "seven"), ODB_OK);
    ASSERT_EQ(write(id, 8, "eight"), ODB_OK);
    EXPECT_TRUE(dat_names(id).empty());
    const std::string content = read_file(object_file(db, cls, id, "ATTRIBS.FDB"));
    ASSERT_EQ(content.size(), 8u + 2 * (28 + 5));
    EXPECT_EQ(le32(content, 8), 7u);
    EXPECT_EQ(content.substr(36, 5), "seven");
    EXPECT_EQ(le32(content, 41), 8u);
}

// A context learns its object's form afresh in each call: one left without
// a lock still finds a value that a later write converted into ATTRIBS.FDB.
TEST_F(Conversion, AContextSeesAConversionMadeBetweenItsCalls) {
    const uint32_t id = object_with({{1, "one"}});
    convert_on_write();
    ctx_ptr reader = open_object(db.db(), cls, id, ODB_MODE_READ);
    ASSERT_TRUE(reader);
    auto read_one = [&] {
        char buffer[8] = {};
        uint32_t size = sizeof buffer;
        const odb_status status = ODB_obj_get_attribute(reader.get(), 1, 0, buffer, &size);
        return status == ODB_OK ? std::string(buffer, size) : hex_name(status);
    };
    EXPECT_EQ(read_one(), "one");
    {
        // The reader's move to write mode fails while another reader holds
        // on, and leaves it holding no lock.
        ctx_ptr other = open_object(db.db(), cls, id, ODB_MODE_READ);
        EXPECT_EQ(ODB_obj_change_mode(reader.get(), ODB_MODE_WRITE), ODB_E_OBJECT_LOCK);
    }
    ASSERT_EQ(write(id, 2, "two"), ODB_OK);
    EXPECT_TRUE(dat_names(id).empty());
    EXPECT_EQ(read_one(), "one");
}

TEST_F(Conversion, TheConvertingContextUsesTheRecordFileFromThenOn) {
    const uint32_t id = object_with({{1, "one"}});
    convert_on_write();
    ctx_ptr ctx = open_object(db.db(), cls, id, ODB_MODE_WRITE);
    char buffer[8];
    uint32_t size = sizeof buffer;
    ASSERT_EQ(ODB_obj_get_attribute(ctx.get(), 1, 0, buffer, &size), ODB_OK);  // per-attribute form
    ASSERT_EQ(ODB_obj_set_attribute(ctx.get(), 2, 0, "two", 3), ODB_OK);       // converts
    ASSERT_EQ(ODB_obj_set_attribute(ctx.get(), 3, 0, "three", 5), ODB_OK);
    EXPECT_TRUE(dat_names(id).empty());
    size = sizeof buffer;
    ASSERT_EQ(ODB_obj_get_attribute(ctx.get(), 3, 0, buffer, &size), ODB_OK);
    EXPECT_EQ(std::string(buffer, size), "three");
}

TEST_F(Conversion, AValueHeldByAnotherProcessLeavesTheObjectAsItWas) {
    const uint32_t id = object_with({{1, "one"}, {2, "two"}, {3, "three"}});
    convert_on_write();
    {
        auto holder = child_process::start_helper(
            {"hold-file", narrow(attribute_file(db, cls, id, 2)), "write", "open-existing"});
        ASSERT_EQ(holder->read_line(), "held");

        EXPECT_EQ(write(id, 1, "changed"), ODB_OK);
        EXPECT_FALSE(path_exists(object_file(db, cls, id, "ATTRIBS.FDB")));
        EXPECT_EQ(dat_names(id), (std::vector<std::string>{"00000001.DAT", "00000002.DAT", "00000003.DAT"}));
        EXPECT_EQ(read_file(attribute_file(db, cls, id, 1)), "changed");
        holder->close_input();
        EXPECT_EQ(holder->wait(), 0);
    }
    // Once the file is free again, the next write converts.
    EXPECT_EQ(write(id, 4, "four"), ODB_OK);
    EXPECT_TRUE(dat_names(id).empty());
    ctx_ptr ctx = open_object(db.db(), cls, id, ODB_MODE_READ);
    char buffer[16];
    for (const auto& expected : std::vector<std::pair<uint32_t, std::string>>{
             {1, "changed"}, {2, "two"}, {3, "three"}, {4, "four"}}) {
        uint32_t size = sizeof buffer;
        ASSERT_EQ(ODB_obj_get_attribute(ctx.get(), expected.first, 0, buffer, &size), ODB_OK);
        EXPECT_EQ(std::string(buffer, size), expected.second);
    }
}

TEST_F(Conversion, ValuesThatNoRecordCanHoldStopTheConversion) {
    // Files 00000000.DAT and ffffffff.DAT are attributes like any other in
    // the per-attribute form, but 0 marks free records and 0xFFFFFFFF
    // matches every record: converting would lose them.
    for (uint32_t number : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(number);
        db.reopen(settings_text({}));
        const uint32_t id = object_with({{1, "one"}, {number, "unusual"}});
        const std::vector<std::string> names = dat_names(id);
        convert_on_write();
        EXPECT_EQ(write(id, 1, "uno"), ODB_OK);
        EXPECT_FALSE(path_exists(object_file(db, cls, id, "ATTRIBS.FDB")));
        EXPECT_EQ(dat_names(id), names);
        EXPECT_EQ(read_file(attribute_file(db, cls, id, 1)), "uno");
        EXPECT_EQ(read_file(attribute_file(db, cls, id, number)), "unusual");
    }

    // Nor is a file whose name merely begins like an attribute's: taken for
    // that attribute it would add a second record of the same number.
    db.reopen(settings_text({}));
    const uint32_t id = object_with({{1, "one"}});
    ASSERT_TRUE(write_file(object_file(db, cls, id, "00000001 - Copy.DAT"), "copy"));
    convert_on_write();
    EXPECT_EQ(write(id, 2, "two"), ODB_OK);
    EXPECT_FALSE(path_exists(object_file(db, cls, id, "ATTRIBS.FDB")));
    EXPECT_EQ(dat_names(id), (std::vector<std::string>{"00000001 - Copy.DAT", "00000001.DAT", "00000002.DAT"}));
}

}  // namespace
}  // namespace odb::test

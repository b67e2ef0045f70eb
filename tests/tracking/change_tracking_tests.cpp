// Change tracking checked in the files themselves: the byte written through
// the object lock, OBJCHGS.FDB per class, ATTRIBS.STA per object, and the
// change records ODB_obj_get_info hands out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "attrs/record_file.h"
#include "core/clock.h"
#include "support/attrs_fixture.h"
#include "support/child_process.h"

namespace odb::test {
namespace {

constexpr uint32_t cls = 0x44;

odb_status set(odb_obj_ctx* ctx, uint32_t attribute, const std::string& data) {
    return ODB_obj_set_attribute(ctx, attribute, 0, data.data(), static_cast<uint32_t>(data.size()));
}

odb_status erase(odb_obj_ctx* ctx, uint32_t attribute) {
    return ODB_obj_set_attribute(ctx, attribute, 0, nullptr, 0);
}

std::string change_file(const std::vector<std::pair<uint32_t, uint32_t>>& records) {
    std::string content;
    for (const auto& record : records) {
        put_le32(content, record.first);
        put_le32(content, record.second);
    }
    return content;
}

class Tracking : public ::testing::Test {
protected:
    explicit Tracking(const attrs_settings& settings = {false, false, true, true})
        : db(settings_text(settings)) {}

    // A new object with its context closed; single_file gives it an
    // ATTRIBS.FDB.
    uint32_t object(bool single_file = false) {
        uint32_t id = 0;
        ctx_ptr ctx = new_object(db.db(), cls, &id);
        EXPECT_TRUE(ctx);
        if (single_file) {
            record_file attributes;
            attributes.create(object_file(db, cls, id, "ATTRIBS.FDB").c_str());
        }
        return id;
    }

    ctx_ptr writer(uint32_t id) { return open_object(db.db(), cls, id, ODB_MODE_WRITE); }

    wide_string changes() const { return join(db.class_dir(cls), "OBJCHGS.FDB"); }
    wide_string lock_file(uint32_t id) const { return object_file(db, cls, id, "OBJLOCK.FDB"); }
    wide_string sta_file(uint32_t id) const { return object_file(db, cls, id, "ATTRIBS.STA"); }

    odb_status info(odb_obj_ctx* ctx, uint32_t attribute, void* buffer, uint32_t* length) {
        return ODB_obj_get_info(ctx, ODB_INFO_ATTRIBUTE_CHANGES, attribute, buffer, length);
    }

    scratch_database db;
};

class TrackingOff : public Tracking {
protected:
    TrackingOff() : Tracking({false, false, false, false}) {}
};

TEST_F(TrackingOff, AWriteStillAdvancesTheLockFileAndTouchesNoTrackingFile) {
    const uint32_t id = object();
    EXPECT_EQ(read_file(lock_file(id)), "\x01") << "the lock wrote its own byte";
    {
        ctx_ptr ctx = writer(id);
        ASSERT_EQ(set(ctx.get(), 1, "value"), ODB_OK);
    }
    EXPECT_EQ(read_file(lock_file(id)), "\x01\x01");
    {
        // Each holding of the lock starts again at offset 0.
        ctx_ptr ctx = writer(id);
        ASSERT_EQ(set(ctx.get(), 1, "value"), ODB_OK);
        ASSERT_EQ(set(ctx.get(), 2, "value"), ODB_OK);
    }
    EXPECT_EQ(read_file(lock_file(id)), "\x01\x01\x01");
    EXPECT_FALSE(path_exists(changes()));
    EXPECT_FALSE(path_exists(sta_file(id)));
}

TEST_F(Tracking, ObjectChangesKeepOneRecordPerObject) {
    const uint32_t a = object(), b = object();
    const uint32_t before = seconds_since_1992_now();
    {
        ctx_ptr ctx = writer(a);
        ASSERT_EQ(set(ctx.get(), 1, "x"), ODB_OK);
    }
    std::string content = read_file(changes());
    ASSERT_EQ(content.size(), 8u);
    EXPECT_EQ(le32(content, 0), a);
    EXPECT_GE(le32(content, 4), before);
    EXPECT_LE(le32(content, 4), seconds_since_1992_now());

    // Later changes rewrite the object's own record in place.
    ASSERT_TRUE(write_file(changes(), change_file({{a, 1}, {b, 2}})));
    {
        ctx_ptr ctx = writer(a);
        ASSERT_EQ(set(ctx.get(), 2, "y"), ODB_OK);
    }
    content = read_file(changes());
    ASSERT_EQ(content.size(), 16u);
    EXPECT_EQ(le32(content, 0), a);
    EXPECT_GE(le32(content, 4), before);
    EXPECT_EQ(content.substr(8), change_file({{b, 2}}));

    // Bytes after the last whole record are overwritten by the next new one.
    ASSERT_TRUE(write_file(changes(), change_file({{0x77, 5}}) + "\xEE\xEE\xEE\xEE\xEE"));
    {
        ctx_ptr ctx = writer(b);
        ASSERT_EQ(set(ctx.get(), 1, "z"), ODB_OK);
    }
    content = read_file(changes());
    ASSERT_EQ(content.size(), 16u);
    EXPECT_EQ(content.substr(0, 8), change_file({{0x77, 5}}));
    EXPECT_EQ(le32(content, 8), b);
    EXPECT_GE(le32(content, 12), before);
}

TEST_F(Tracking, ObjectChangesAreFoundAcrossManyRecords) {
    const uint32_t a = object(), b = object();
    // More records than one block of the scan, the object's record deep
    // inside: it is rewritten where it is, and nothing else moves.
    std::vector<std::pair<uint32_t, uint32_t>> records;
    for (uint32_t i = 0; i < 1500; ++i) records.push_back({0x1000 + i, i});
    records[700].first = a;
    const std::string planted = change_file(records);
    ASSERT_TRUE(write_file(changes(), planted));
    {
        ctx_ptr ctx = writer(a);
        ASSERT_EQ(set(ctx.get(), 1, "x"), ODB_OK);
    }
    std::string content = read_file(changes());
    ASSERT_EQ(content.size(), planted.size());
    EXPECT_EQ(content.substr(0, 700 * 8 + 4), planted.substr(0, 700 * 8 + 4));
    EXPECT_GE(le32(content, 700 * 8 + 4), 1500u);
    EXPECT_EQ(content.substr(701 * 8), planted.substr(701 * 8));

    {
        ctx_ptr ctx = writer(b);
        ASSERT_EQ(set(ctx.get(), 1, "x"), ODB_OK);
    }
    content = read_file(changes());
    ASSERT_EQ(content.size(), planted.size() + 8);
    EXPECT_EQ(le32(content, planted.size()), b);
}

TEST_F(Tracking, AHeldObjectChangesFileFailsTheWriteButKeepsTheValue) {
    const uint32_t id = object();
    ASSERT_TRUE(write_file(changes(), ""));
    auto holder = child_process::start_helper({"hold-file", narrow(changes()), "exclusive", "open-existing"});
    ASSERT_EQ(holder->read_line(), "held");
    ctx_ptr ctx = writer(id);
    EXPECT_EQ(set(ctx.get(), 1, "stored"), ODB_E_LOCK_TIMEOUT);
    holder->close_input();
    EXPECT_EQ(holder->wait(), 0);
    char buffer[16];
    uint32_t size = sizeof buffer;
    ASSERT_EQ(ODB_obj_get_attribute(ctx.get(), 1, 0, buffer, &size), ODB_OK);
    EXPECT_EQ(std::string(buffer, size), "stored");
}

TEST_F(Tracking, DeletionsAreTrackedDifferentlyByTheTwoForms) {
    const uint32_t per_file = object(false), single = object(true);
    for (uint32_t id : {per_file, single}) {
        ctx_ptr ctx = writer(id);
        ASSERT_EQ(set(ctx.get(), 1, "value"), ODB_OK);
    }
    for (uint32_t id : {per_file, single}) {
        SCOPED_TRACE(id == single ? "single file" : "per attribute");
        // Planted: an old time for the object, a lock file of one byte.
        ASSERT_TRUE(write_file(changes(), change_file({{per_file, 1}, {single, 1}})));
        ASSERT_TRUE(write_file(lock_file(id), "\x01"));
        {
            ctx_ptr ctx = writer(id);
            ASSERT_EQ(erase(ctx.get(), 1), ODB_OK);
            odb_attribute_change_info change = {};
            uint32_t length = sizeof change;
            ASSERT_EQ(info(ctx.get(), 1, &change, &length), ODB_OK);
            EXPECT_EQ(change.deleted, 1u);
        }
        const std::string content = read_file(changes());
        const std::size_t at = id == per_file ? 0 : 8;
        if (id == per_file) {
            EXPECT_EQ(content, change_file({{per_file, 1}, {single, 1}}));
            EXPECT_EQ(read_file(lock_file(id)), "\x01");
        } else {
            EXPECT_GT(le32(content, at + 4), 1u);
            EXPECT_EQ(read_file(lock_file(id)), "\x01\x01");
        }
    }
}

// The lines of an INI file, without their CR LF ends.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

TEST_F(Tracking, AttributeChangesFileHoldsActionTimeAndCheckedBinaryTime) {
    const uint32_t id = object();
    ctx_ptr ctx = writer(id);
    const uint64_t before = now_filetime() / 10000 * 10000;  // TimeBin keeps milliseconds
    ASSERT_EQ(set(ctx.get(), 0x1a, "value"), ODB_OK);
    const uint64_t after = now_filetime();
    std::vector<std::string> lines = lines_of(read_file(sta_file(id)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[0000001a]");
    EXPECT_EQ(lines[1], "Action=Updated");
    ASSERT_EQ(lines[2].substr(0, 5), "Time=");
    ASSERT_EQ(lines[3].substr(0, 8), "TimeBin=");

    // TimeBin: 16 bytes as upper-case hex, then their sum as a checksum.
    const std::string hex = lines[3].substr(8);
    ASSERT_EQ(hex.size(), 34u);
    unsigned char bin[17];
    unsigned sum = 0;
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(hex.substr(2 * i, 2).find_first_not_of("0123456789ABCDEF"), std::string::npos);
        bin[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        if (i < 16) sum += bin[i];
    }
    EXPECT_EQ(bin[16], sum % 256);
    SYSTEMTIME time;
    std::memcpy(&time, bin, sizeof time);
    FILETIME stamp;
    ASSERT_TRUE(SystemTimeToFileTime(&time, &stamp));
    EXPECT_GE(filetime_value(stamp), before);
    EXPECT_LE(filetime_value(stamp), after);

    char text[64];
    std::snprintf(text, sizeof text, "Time=%02d/%02d/%04d %d:%02d:%02d", time.wDay, time.wMonth,
                  time.wYear, time.wHour, time.wMinute, time.wSecond);
    EXPECT_EQ(lines[2], text);

    odb_attribute_change_info change = {};
    uint32_t length = sizeof change;
    ASSERT_EQ(info(ctx.get(), 0x1a, &change, &length), ODB_OK);
    EXPECT_EQ(change.attribute, 0x1au);
    EXPECT_EQ(change.deleted, 0u);
    EXPECT_EQ(std::memcmp(&change.changed, bin, 16), 0);

    // A binary time whose checksum fails is no time at all.
    ctx.reset();
    std::string damaged = read_file(sta_file(id));
    const std::size_t at = damaged.find("TimeBin=") + 8;
    damaged[at] = damaged[at] == '0' ? '1' : '0';
    ASSERT_TRUE(write_file(sta_file(id), damaged));
    ctx = writer(id);
    change = {};
    ASSERT_EQ(info(ctx.get(), 0x1a, &change, &length), ODB_OK);
    EXPECT_EQ(change.changed.year, 0u);
    EXPECT_EQ(change.changed.milliseconds, 0u);

    // A deletion replaces the keys of the same section.
    ASSERT_EQ(erase(ctx.get(), 0x1a), ODB_OK);
    lines = lines_of(read_file(sta_file(id)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[0000001a]");
    EXPECT_EQ(lines[1], "Action=Deleted");
}

TEST_F(Tracking, ChangeListsFillWhatFitsAndOneRecordNeedsRoomForIt) {
    const uint32_t id = object();
    ctx_ptr ctx = writer(id);
    uint32_t length = 0;
    EXPECT_EQ(info(ctx.get(), 0, nullptr, &length), ODB_OK);
    EXPECT_EQ(length, 0u) << "no ATTRIBS.STA yet";
    for (uint32_t attribute : {3u, 5u, 7u}) ASSERT_EQ(set(ctx.get(), attribute, "v"), ODB_OK);

    unsigned char buffer[90];
    length = 27;
    EXPECT_EQ(info(ctx.get(), 0x10, buffer, &length), ODB_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 27u);
    EXPECT_EQ(info(ctx.get(), 0x10, nullptr, &length), ODB_OK);
    EXPECT_EQ(length, 28u);
    // A never-changed attribute: its number, nothing else; the length stays.
    std::memset(buffer, 0xCC, sizeof buffer);
    length = 40;
    EXPECT_EQ(info(ctx.get(), 0x10, buffer, &length), ODB_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(le32(std::string(buffer, buffer + 28), 0), 0x10u);
    EXPECT_EQ(std::string(buffer + 4, buffer + 28), std::string(24, '\0'));
    EXPECT_EQ(buffer[28], 0xCC);

    length = 60;
    EXPECT_EQ(info(ctx.get(), 0, buffer, &length), ODB_OK);
    EXPECT_EQ(length, 56u);
    const std::string two(buffer, buffer + 56);
    EXPECT_EQ(le32(two, 0), 3u);
    EXPECT_EQ(le32(two, 28), 5u);
    length = 0xFFFF;
    EXPECT_EQ(info(ctx.get(), 0, nullptr, &length), ODB_OK);
    EXPECT_EQ(length, 84u);
}

}  // namespace
}  // namespace odb::test

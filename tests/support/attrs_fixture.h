// What the attribute, conversion and change-tracking suites add to the
// database fixture: their settings as DBCFG.INI text, the paths of an
// object's attribute files, little-endian fields and time stamps.
// Free of the test framework, so the helper can use it too.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"
#include "qmfiledb.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/wide.h"

namespace odb::test {

struct attrs_settings {
    bool single_file = false;
    bool auto_convert = false;
    bool attribute_changes = false;
    bool object_changes = false;
};

inline std::string settings_text(const attrs_settings& s) {
    auto yes = [](bool on) { return on ? std::string("yes") : std::string("no"); };
    return "[Attribs]\nSingleFile=" + yes(s.single_file) + "\nAutoConvert=" + yes(s.auto_convert) +
           "\n[Tracking]\nAttributeChanges=" + yes(s.attribute_changes) +
           "\nObjectChanges=" + yes(s.object_changes) + "\n";
}

inline wide_string object_file(const scratch_database& db, uint32_t cls, uint32_t id,
                               const std::string& name) {
    return join(db.object_dir(cls, id), widen(name));
}

// <object>\%08x.DAT
inline wide_string attribute_file(const scratch_database& db, uint32_t cls, uint32_t id,
                                  uint32_t attribute) {
    return object_file(db, cls, id, hex_name(attribute) + ".DAT");
}

// ODB_obj_new; null when it fails.
inline ctx_ptr new_object(odb_database* db, uint32_t cls, uint32_t* id) {
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_new(db, cls, id, &ctx) != ODB_OK) return nullptr;
    return ctx_ptr(ctx);
}

// ODB_obj_create_ctx; null when it fails.
inline ctx_ptr open_object(odb_database* db, uint32_t cls, uint32_t id, uint32_t mode) {
    odb_obj_ctx* ctx = nullptr;
    if (ODB_obj_create_ctx(db, cls, id, mode, &ctx) != ODB_OK) return nullptr;
    return ctx_ptr(ctx);
}

inline uint32_t le32(const std::string& data, std::size_t offset) {
    auto at = [&data](std::size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(data.at(i))); };
    return at(offset) | at(offset + 1) << 8 | at(offset + 2) << 16 | at(offset + 3) << 24;
}

inline void put_le32(std::string& data, uint32_t value) {
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>(value >> (8 * i)));
}

inline uint64_t filetime_value(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline uint64_t now_filetime() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME time = {};
    SystemTimeToFileTime(&now, &time);
    return filetime_value(time);
}

}  // namespace odb::test

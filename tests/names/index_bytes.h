// The name index's file formats spelled out byte by byte, so the tests can
// compare whole files with what they must hold.
#pragma once

#include <string>

#include "support/walk_fixture.h"

namespace odb::test {

inline const std::vector<ini_setting> index_on = {{"NameIndex", "Enabled", "yes"},
                                                  {"NameIndex", "LifeTime", "0"}};

// A name_entry: length, identifier, the name as UTF-16LE (ASCII here, or
// given as raw units), zeros up to the length.
inline std::string entry(uint32_t length, uint32_t id, const std::string& name) {
    std::string out = le16(length) + le32(id);
    for (char c : name) out += le16(static_cast<unsigned char>(c));
    out.resize(length, '\0');
    return out;
}

inline std::string free_entry(uint32_t length) { return entry(length, 0, ""); }

// A bucket file: header with the live entry count, then the entries.
inline std::string bucket(uint32_t count, const std::string& entries = std::string()) {
    return le32(0x5B5B0004u) + le32(count) + entries;
}

// names.dat with this built time and bucket count.
inline std::string index_header(uint32_t built, uint32_t buckets, uint32_t magic = 0x5B5B0004u) {
    return le32(magic) + le32(built) + le32(buckets);
}

inline uint32_t read_le32(const std::string& bytes, std::size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

}  // namespace odb::test

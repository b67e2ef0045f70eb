// The in-memory form of a private-profile (INI) file, as the profile
// functions read and rewrite it.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace odb::posix {

struct profile_entry {
    enum kind_t { pair, bare, comment } kind;  // "key=value", a line without '=', ";..."
    std::u16string key;                        // the whole line for bare and comment
    std::u16string value;
};

struct profile_section {
    bool named;  // false only for the lines before the first header
    std::u16string name;
    std::vector<profile_entry> entries;
};

struct profile_file {
    bool byte_order_mark = false;
    std::vector<profile_section> sections;

    // The first section or entry of that name, ignoring case; null if none.
    profile_section* find_section(const std::u16string& name);
    static profile_entry* find_key(profile_section& section, const std::u16string& key);
};

// Space and control characters, which surround names and values.
inline bool profile_space(char16_t c) { return c <= 0x20; }
std::u16string profile_trim(const std::u16string& text);

// Reads and parses `path`. A missing file reads as an empty profile.
// Returns 0 or an errno.
int load_profile(const std::string& path, profile_file& profile);
// Replaces `path` with the profile's text: written to a temporary file in
// the same directory and renamed over it, so readers see the old file or
// the new one, never part of one. Returns 0 or an errno.
int save_profile(const std::string& path, const profile_file& profile);

}  // namespace odb::posix

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
    // The form the file was found in, and is written back in; a new file is
    // UTF-8 without a mark.
    enum form_t { utf8, utf8_with_mark, utf16le_with_mark } form = utf8;
    std::vector<profile_section> sections;

    // The first section or entry of that name, ignoring case; null if none.
    const profile_section* find_section(const std::u16string& name) const;
    profile_section* find_section(const std::u16string& name);
    static const profile_entry* find_key(const profile_section& section, const std::u16string& key);
    static profile_entry* find_key(profile_section& section, const std::u16string& key);
};

// Space and control characters, which surround names and values.
inline bool profile_space(char16_t c) { return c <= 0x20; }
std::u16string profile_trim(const std::u16string& text);

// An empty profile: what a missing file reads as.
profile_file empty_profile();
// Reads and parses the whole file open at `fd`. Returns 0 or an errno.
int read_profile(int fd, profile_file& profile);
// Puts the profile's text at `path`: written to a temporary file in the
// same directory and renamed to `path`, so no reader ever sees part of a
// file. With `replace`, over the file there (which the caller holds
// exclusively); without it, only where there is none (EEXIST otherwise).
// With `flush`, the new file is on stable storage before the rename and
// the directory's entries after it. Returns 0 or an errno.
int save_profile(const std::string& path, const profile_file& profile, bool replace, bool flush);

}  // namespace odb::posix

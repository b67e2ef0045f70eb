// Attribute values and walk criteria as written on the command line.
//
// A value is TEXT (stored as its UTF-8 bytes and a zero byte, the form the
// library's text and wildcard matches compare), or one of
//   text:TEXT   the same, for text that starts with a prefix word
//   utf16:TEXT  FF FE and UTF-16LE units, the form names are stored in
//   hex:HEX     the bytes given
//   u32:N       a 32-bit number, 4 bytes little-endian
//   file:PATH   the bytes of a file
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "text.h"

namespace odbtool {

extern const char* const value_syntax_help;
extern const char* const where_syntax_help;

bytes parse_value(const std::string& value_text);
// A value for an attribute: text for the name attribute is stored as
// UTF-16, the form names take whichever command writes them.
bytes parse_value_for(uint32_t attribute, const std::string& value_text);
// ATTR=VALUE.
std::pair<uint32_t, bytes> parse_assignment(const std::string& argument);

bytes read_file_bytes(const std::string& path);
void write_file_bytes(const std::string& path, const bytes& value);

// The attribute filter of an object walk.
class criteria {
public:
    // ATTR=VALUE, ATTR~PATTERN, ATTR<N, ATTR>N.
    void where(const std::string& expression);
    void has(const std::string& attribute);
    void lacks(const std::string& attribute);
    // Any criterion passing is enough (every criterion carries ODB_MATCH_OR).
    void any() { any_ = true; }
    bool empty() const { return list_.empty() && names_.empty(); }
    // Criteria the library cannot test: name=TEXT and name~PATTERN compare
    // the text of a name in either stored form (UTF-16 or 8-bit), so odb
    // tests them itself on each object the walk yields.
    bool has_name_criteria() const { return !names_.empty(); }
    std::size_t name_criteria() const { return names_.size(); }
    bool name_passes(const bytes* name_value) const;
    // The filter record; valid while this object lives and is not changed.
    odb_enum_filter filter();

private:
    void add(uint32_t attribute, uint32_t kind, bytes value);
    std::deque<bytes> values_;  // a deque keeps the values where they are
    std::vector<odb_enum_criterion> list_;
    struct name_criterion {
        bool wildcard;
        std::u16string text;
    };
    std::vector<name_criterion> names_;
    bool any_ = false;
};

}  // namespace odbtool

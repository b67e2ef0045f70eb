// Text, numbers and byte strings as the tool reads and prints them.
//
// Classes, identifiers and attribute numbers are written the way the
// database writes them in its directory and file names: eight lower-case
// hexadecimal digits. Counts, offsets and attribute values are decimal
// unless they start with 0x.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qmfiledb.h"

namespace odbtool {

using bytes = std::vector<unsigned char>;

// "%08x".
std::string hex8(uint32_t value);
// A class, identifier or attribute number: hexadecimal, "0x" optional.
// `what` names the argument in the error ("class", "identifier").
uint32_t parse_hex32(const std::string& text, const char* what);
// An attribute number; "name" stands for the name attribute.
uint32_t parse_attribute(const std::string& text);
// A count, offset or 32-bit value: decimal, or hexadecimal after "0x".
uint32_t parse_u32(const std::string& text, const char* what);

// UTF-8 <-> UTF-16. Invalid UTF-8 is refused; unpaired surrogates in UTF-16
// are written as U+FFFD.
std::u16string utf8_to_utf16(const std::string& text);
std::string utf16_to_utf8(const std::u16string& text);

// The text of a value as the library reads names: UTF-16LE after the
// byte-order mark FF FE, otherwise 8-bit characters (each byte widened with
// sign extension, exactly as the name index sees them), cut at the first
// zero unit or byte, at most `max_units` units.
std::u16string value_text_units(const bytes& value, std::size_t max_units = 256);
// The same as UTF-8 for display: UTF-16 values are converted, 8-bit values
// are passed through as their bytes (the tool writes 8-bit text as UTF-8).
std::string value_text(const bytes& value);
// Whether a value reads as text: UTF-16 after its byte-order mark, or UTF-8
// bytes, without control characters but tab and line ends, and with one
// terminating zero at most.
bool looks_like_text(const bytes& value);
// A short readable rendering of a value for listings.
std::string value_preview(const bytes& value, std::size_t limit = 40);

std::string to_hex(const bytes& value);
bytes from_hex(const std::string& text);  // spaces and a leading 0x allowed
std::string to_base64(const bytes& value);
bytes from_base64(const std::string& text);

// The byte forms the tool stores.
bytes text_value(const std::string& utf8);    // the bytes and a zero byte
bytes utf16_value(const std::string& utf8);   // FF FE, then UTF-16LE units
bytes u32_value(uint32_t value);              // 4 bytes, little-endian

// ISO-8601 in UTC: "2026-12-08T22:35:01Z", fractions of a second and a
// date without a time accepted; the Z is optional (UTC is assumed).
odb_systemtime parse_utc_time(const std::string& text);
std::string format_utc_time(const odb_systemtime& time);

// Case-insensitive comparison of ASCII letters.
bool iequals(const std::string& a, const std::string& b);
std::string lower(std::string text);

}  // namespace odbtool

#include "text.h"

#include <cstdio>
#include <cstring>

#include "errors.h"

namespace odbtool {

std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool has_hex_prefix(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Digits only, no sign, no overflow past 32 bits.
bool parse_digits(const std::string& digits, unsigned base, uint32_t& out) {
    if (digits.empty()) return false;
    uint64_t value = 0;
    for (char c : digits) {
        int digit = hex_digit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

uint32_t parse_hex32(const std::string& text, const char* what) {
    uint32_t value = 0;
    std::string digits = has_hex_prefix(text) ? text.substr(2) : text;
    if (digits.size() > 8 || !parse_digits(digits, 16, value))
        throw usage_error(std::string("bad ") + what + " '" + text +
                          "': expected up to 8 hexadecimal digits");
    return value;
}

uint32_t parse_attribute(const std::string& text) {
    if (iequals(text, "name")) return ODB_NAME_ATTRIBUTE;
    return parse_hex32(text, "attribute number");
}

uint32_t parse_u32(const std::string& text, const char* what) {
    uint32_t value = 0;
    bool ok = has_hex_prefix(text) ? parse_digits(text.substr(2), 16, value)
                                   : parse_digits(text, 10, value);
    if (!ok)
        throw usage_error(std::string("bad ") + what + " '" + text +
                          "': expected a number from 0 to 4294967295 (0x prefix for hex)");
    return value;
}

std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    std::size_t i = 0;
    auto bad = [&] { return usage_error("text is not valid UTF-8: '" + text + "'"); };
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else throw bad();
        if (i + static_cast<std::size_t>(extra) >= text.size()) throw bad();
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) throw bad();
            cp = (cp << 6) | (next & 0x3F);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) throw bad();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string utf16_to_utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

bool has_bom(const bytes& value) { return value.size() >= 2 && value[0] == 0xFF && value[1] == 0xFE; }

bool valid_utf8(const std::string& text) {
    try {
        utf8_to_utf16(text);
        return true;
    } catch (const usage_error&) {
        return false;
    }
}

}  // namespace

std::u16string value_text_units(const bytes& value, std::size_t max_units) {
    std::u16string out;
    if (has_bom(value)) {
        for (std::size_t i = 2; i + 1 < value.size() && out.size() < max_units; i += 2) {
            char16_t unit = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
            if (unit == 0) break;
            out += unit;
        }
    } else {
        for (std::size_t i = 0; i < value.size() && out.size() < max_units; ++i) {
            if (value[i] == 0) break;
            // Sign extension, as the library widens 8-bit names.
            out += static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(value[i])));
        }
    }
    return out;
}

std::string value_text(const bytes& value) {
    if (has_bom(value)) return utf16_to_utf8(value_text_units(value, value.size()));
    std::string out;
    for (unsigned char c : value) {
        if (c == 0) break;
        out += static_cast<char>(c);
    }
    return out;
}

bool looks_like_text(const bytes& value) {
    if (has_bom(value)) {
        if (value.size() % 2 != 0) return false;
        for (std::size_t i = 2; i < value.size(); i += 2) {
            char16_t unit = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
            if (unit == 0 && i + 2 == value.size()) break;  // one terminator
            if (unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\r') return false;
        }
        return true;
    }
    // Text ends in one zero byte at most; more are the high bytes of a
    // little-endian number.
    std::size_t end = value.size();
    while (end > 0 && value[end - 1] == 0) --end;
    if (end == 0 || value.size() - end > 1) return false;
    std::string body;
    for (std::size_t i = 0; i < end; ++i) {
        unsigned char c = value[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
        body += static_cast<char>(c);
    }
    return valid_utf8(body);
}

std::string value_preview(const bytes& value, std::size_t limit) {
    if (value.empty()) return "(empty)";
    if (looks_like_text(value)) {
        const bool utf16 = has_bom(value);
        std::u16string units = utf16 ? value_text_units(value, value.size())
                                     : utf8_to_utf16(value_text(value));
        const bool cut = units.size() > limit;
        if (cut) {
            units.resize(limit);
            // Never split a surrogate pair.
            if (!units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
        }
        std::string quoted = utf16 ? "utf16 \"" : "\"";
        for (char c : utf16_to_utf8(units)) {
            if (c == '\n') quoted += "\\n";
            else if (c == '\r') quoted += "\\r";
            else if (c == '\t') quoted += "\\t";
            else if (c == '"') quoted += "\\\"";
            else if (c == '\\') quoted += "\\\\";
            else quoted += c;
        }
        return quoted + (cut ? "\"..." : "\"");
    }
    std::string out = "hex ";
    std::size_t shown = value.size() < limit / 2 ? value.size() : limit / 2;
    out += to_hex(bytes(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(shown)));
    if (shown < value.size()) out += "...";
    if (value.size() == 4) {
        uint32_t number = value[0] | (value[1] << 8) | (value[2] << 16) |
                          (static_cast<uint32_t>(value[3]) << 24);
        out += " (u32 " + std::to_string(number) + ")";
    }
    return out;
}

std::string to_hex(const bytes& value) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size() * 2);
    for (unsigned char c : value) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bytes from_hex(const std::string& text) {
    std::string digits;
    std::size_t start = has_hex_prefix(text) ? 2 : 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ':' || c == '\n' || c == '\r' || c == '\t') continue;
        if (hex_digit(c) < 0) throw usage_error("bad hexadecimal value '" + text + "'");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        throw usage_error("bad hexadecimal value '" + text + "': odd number of digits");
    bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(hex_digit(digits[i]) * 16 + hex_digit(digits[i + 1])));
    return out;
}

namespace {
const char base64_digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string to_base64(const bytes& value) {
    std::string out;
    out.reserve((value.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < value.size(); i += 3) {
        uint32_t n = (value[i] << 16) | (value[i + 1] << 8) | value[i + 2];
        out += base64_digits[n >> 18];
        out += base64_digits[(n >> 12) & 63];
        out += base64_digits[(n >> 6) & 63];
        out += base64_digits[n & 63];
    }
    if (i + 1 == value.size()) {
        uint32_t n = value[i] << 16;
        out += base64_digits[n >> 18];
        out += base64_digits[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == value.size()) {
        uint32_t n = (value[i] << 16) | (value[i + 1] << 8);
        out += base64_digits[n >> 18];
        out += base64_digits[(n >> 12) & 63];
        out += base64_digits[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

bytes from_base64(const std::string& text) {
    bytes out;
    uint32_t accumulator = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        if (c == '=') { ++padding; continue; }
        const char* found = c != 0 ? std::strchr(base64_digits, c) : nullptr;
        if (found == nullptr || padding > 0) throw tool_error("bad base64 value");
        accumulator = (accumulator << 6) | static_cast<uint32_t>(found - base64_digits);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((accumulator >> bits) & 0xFF));
        }
    }
    if (padding > 2 || (text.size() % 4) != 0) throw tool_error("bad base64 value");
    return out;
}

bytes text_value(const std::string& utf8) {
    bytes out(utf8.begin(), utf8.end());
    out.push_back(0);
    return out;
}

bytes utf16_value(const std::string& utf8) {
    bytes out = {0xFF, 0xFE};
    for (char16_t unit : utf8_to_utf16(utf8)) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return out;
}

bytes u32_value(uint32_t value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

namespace {

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

// 0 = Sunday, as in SYSTEMTIME.
int day_of_week(int year, int month, int day) {
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

}  // namespace

odb_systemtime parse_utc_time(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    auto bad = [&] {
        return usage_error("bad time '" + text +
                           "': expected ISO-8601 UTC such as 2026-12-08T22:35:00Z");
    };
    std::size_t pos = 0;
    auto number = [&](std::size_t digits) {
        if (pos + digits > text.size()) throw bad();
        int value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            char c = text[pos + i];
            if (c < '0' || c > '9') throw bad();
            value = value * 10 + (c - '0');
        }
        pos += digits;
        return value;
    };
    auto expect = [&](char c) {
        if (pos >= text.size() || text[pos] != c) throw bad();
        ++pos;
    };
    year = number(4);
    expect('-');
    month = number(2);
    expect('-');
    day = number(2);
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == 't' || text[pos] == ' ')) {
        ++pos;
        hour = number(2);
        expect(':');
        minute = number(2);
        if (pos < text.size() && text[pos] == ':') {
            ++pos;
            second = number(2);
            if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
                ++pos;
                int scale = 100;
                std::size_t digits = 0;
                while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
                    millis += (text[pos] - '0') * scale;
                    scale /= 10;
                    ++pos;
                    ++digits;
                }
                if (digits == 0) throw bad();
            }
        }
    }
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) ++pos;
    if (pos != text.size()) throw bad();
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59)
        throw bad();
    odb_systemtime out = {};
    out.year = static_cast<uint16_t>(year);
    out.month = static_cast<uint16_t>(month);
    out.day_of_week = static_cast<uint16_t>(day_of_week(year, month, day));
    out.day = static_cast<uint16_t>(day);
    out.hour = static_cast<uint16_t>(hour);
    out.minute = static_cast<uint16_t>(minute);
    out.second = static_cast<uint16_t>(second);
    out.milliseconds = static_cast<uint16_t>(millis);
    return out;
}

std::string format_utc_time(const odb_systemtime& time) {
    if (time.year == 0) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.milliseconds);
    return text;
}

bool iequals(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace odbtool

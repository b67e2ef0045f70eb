// UTF-8 <-> UTF-16, strictly: the "ANSI code page" of this platform is
// UTF-8, and a string that is not valid in its encoding fails to convert
// (ERROR_NO_UNICODE_TRANSLATION) instead of being patched with U+FFFD, so a
// bad name never silently becomes another name.
#include <cstring>

#include "platform/posix/internal.h"

namespace odb::posix {

std::size_t wide_length(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

bool utf16_to_utf8(const WCHAR* text, std::size_t length, std::string& out) {
    // Paths are nearly always ASCII: that leading run is copied straight
    // into an output sized once (every file call converts its path, so this
    // is on the path of each of them).
    out.resize(length);
    std::size_t ascii = 0;
    for (; ascii < length && static_cast<uint16_t>(text[ascii]) < 0x80; ++ascii)
        out[ascii] = static_cast<char>(text[ascii]);
    if (ascii == length) return true;
    out.resize(ascii);
    for (std::size_t i = ascii; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c >= 0xDC00 || i + 1 == length) return false;
            uint32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool utf8_to_utf16(const char* text, std::size_t length, std::u16string& out) {
    out.clear();
    out.reserve(length);
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        uint32_t c = s[i];
        std::size_t extra;
        uint32_t minimum;
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, c &= 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, encoded surrogates and values past U+10FFFF are
        // not UTF-8.
        if (c < minimum || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return true;
}

bool to_posix_path(LPCWSTR path, std::string& out) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Every file call converts its path, so this is on the path of each of
    // them. One pass finds the length and, from all units ORed together,
    // whether the path is ASCII (nearly every path is); the copy of an ASCII
    // path then has no early exit, so the compiler turns it into a few wide
    // instructions instead of a test and a branch per unit.
    uint16_t units = 0;
    const WCHAR* end = path;
    for (; *end != 0; ++end) units |= static_cast<uint16_t>(*end);
    const std::size_t length = static_cast<std::size_t>(end - path);
    if (length == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (units < 0x80) {
        out.resize(length);
        char* bytes = &out[0];
        for (std::size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(path[i]);
            bytes[i] = c == '\\' ? '/' : c;
        }
        return true;
    }
    if (!utf16_to_utf8(path, length, out)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    for (char& c : out)
        if (c == '\\') c = '/';
    return true;
}

}  // namespace odb::posix

namespace {

bool known_code_page(UINT code_page) { return code_page == CP_ACP || code_page == CP_UTF8; }

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD /*flags*/, LPCSTR text, int length, LPWSTR wide,
                        int wide_length) {
    using namespace odb::posix;
    if (!admit_call()) return 0;
    if (!known_code_page(code_page) || text == nullptr || length == 0 || length < -1 ||
        wide_length < 0 || (wide == nullptr && wide_length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t count = length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
    std::u16string converted;
    if (!utf8_to_utf16(text, count, converted)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (wide_length == 0) return static_cast<int>(converted.size());
    if (converted.size() > static_cast<std::size_t>(wide_length)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wide, converted.data(), converted.size() * sizeof(WCHAR));
    return static_cast<int>(converted.size());
}

int WideCharToMultiByte(UINT code_page, DWORD /*flags*/, LPCWSTR wide, int length, LPSTR text,
                        int text_length, LPCSTR default_char, BOOL* used_default) {
    using namespace odb::posix;
    if (!admit_call()) return 0;
    // UTF-8 has no default character to fall back on; Windows refuses the
    // arguments for CP_UTF8 and we, for CP_ACP, simply never use one.
    if (!known_code_page(code_page) || wide == nullptr || length == 0 || length < -1 ||
        text_length < 0 || (text == nullptr && text_length != 0) ||
        (code_page == CP_UTF8 && (default_char != nullptr || used_default != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (used_default != nullptr) *used_default = FALSE;
    std::size_t count =
        length == -1 ? odb::posix::wide_length(wide) + 1 : static_cast<std::size_t>(length);
    std::string converted;
    if (!utf16_to_utf8(wide, count, converted)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (text_length == 0) return static_cast<int>(converted.size());
    if (converted.size() > static_cast<std::size_t>(text_length)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(text, converted.data(), converted.size());
    return static_cast<int>(converted.size());
}

// Wide strings in the platform's WCHAR, for tests that build the same on
// Windows (wchar_t) and POSIX (char16_t).
#pragma once

#include <string>

#include "platform/win32.h"

namespace odb::test {

using wide_string = std::basic_string<WCHAR>;

// ASCII only: test names and messages are ASCII.
inline wide_string widen(const std::string& text) { return wide_string(text.begin(), text.end()); }

inline std::string narrow(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}
inline std::string narrow(const wide_string& text) { return narrow(text.c_str()); }

// a + separator + b.
inline wide_string join(const wide_string& a, const wide_string& b) {
    return a + ODB_PATH_SEPARATOR + b;
}
inline wide_string join(const wide_string& a, const char* b) { return join(a, widen(b)); }

}  // namespace odb::test

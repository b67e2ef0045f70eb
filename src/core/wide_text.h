// Small routines over zero-terminated UTF-16 strings of the platform's
// wide character type, and the "%08x" number reading the file names use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace odb {

inline std::size_t wide_length(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// Folds only the 26 letters A to Z; no locale takes part.
inline uint32_t fold_ascii(uint32_t unit) {
    return (unit >= 'A' && unit <= 'Z') ? unit + ('a' - 'A') : unit;
}

// Equal ignoring the case of A to Z.
inline bool equal_ignoring_ascii_case(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (fold_ascii(*a) != fold_ascii(*b)) return false;
        if (*a == 0) return true;
    }
}

// Reads a number the way scanf's "%08x" does: leading white space, an
// optional sign and "0x" prefix, hexadecimal digits of either case, at most
// eight characters in all. False when no digit could be read.
template <class Char>
bool scan_hex8(const Char* text, uint32_t& value) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' ||
           *text == '\v')
        ++text;
    int width = 8;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
        --width;
    }
    if (width >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text += 2;
        width -= 2;
    }
    uint32_t result = 0;
    int digits = 0;
    for (; width > 0; --width, ++text) {
        uint32_t unit = static_cast<uint32_t>(*text);
        uint32_t digit;
        if (unit >= '0' && unit <= '9') digit = unit - '0';
        else if (unit >= 'a' && unit <= 'f') digit = unit - 'a' + 10;
        else if (unit >= 'A' && unit <= 'F') digit = unit - 'A' + 10;
        else break;
        result = (result << 4) | digit;
        ++digits;
    }
    if (digits == 0) return false;
    value = negative ? 0u - result : result;
    return true;
}

}  // namespace odb

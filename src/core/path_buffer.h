// A path of at most 260 UTF-16 units, terminator included, built piece by
// piece. Every path the library forms goes through here, so no path can be
// written past its buffer: one that does not fit raises
// ODB_E_INVALID_PARAMETER instead.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "platform/win32.h"

namespace odb {

constexpr std::size_t path_capacity = 260;

class path_buffer {
public:
    // The capacity counts the terminator; it is at most path_capacity.
    explicit path_buffer(std::size_t capacity = path_capacity) : capacity_(capacity) {
        text_[0] = 0;
    }
    path_buffer(const WCHAR* text) : capacity_(path_capacity) {  // NOLINT: a copy of a path
        text_[0] = 0;
        append(text);
    }

    const WCHAR* c_str() const { return text_; }
    operator const WCHAR*() const { return text_; }  // NOLINT: passes to Win32 calls
    std::size_t length() const { return length_; }

    path_buffer& append(const WCHAR* text) {
        // Every call builds several paths; copying in one run with one
        // bounds check keeps that cheap.
        std::size_t count = 0;
        while (text[count] != 0) ++count;
        if (length_ + count + 1 > capacity_) raise(ODB_E_INVALID_PARAMETER);
        for (std::size_t i = 0; i < count; ++i) text_[length_ + i] = text[i];
        length_ += count;
        text_[length_] = 0;
        return *this;
    }
    // ASCII text (the file names of disk_format.h), widened unit by unit.
    path_buffer& append(const char* ascii) {
        std::size_t count = 0;
        while (ascii[count] != 0) ++count;
        if (length_ + count + 1 > capacity_) raise(ODB_E_INVALID_PARAMETER);
        for (std::size_t i = 0; i < count; ++i)
            text_[length_ + i] = static_cast<WCHAR>(static_cast<unsigned char>(ascii[i]));
        length_ += count;
        text_[length_] = 0;
        return *this;
    }
    // The platform's separator, then the text.
    path_buffer& component(const WCHAR* text) {
        push(ODB_PATH_SEPARATOR);
        return append(text);
    }
    path_buffer& component(const char* ascii) {
        push(ODB_PATH_SEPARATOR);
        return append(ascii);
    }
    // The platform's separator, then value as "%08x".
    path_buffer& hex_component(uint32_t value) {
        push(ODB_PATH_SEPARATOR);
        return hex(value, 8);
    }
    // value in lower-case hexadecimal, zero-padded to at least digits (at
    // most 8), written from the most significant digit down.
    path_buffer& hex(uint32_t value, int digits) {
        int count = 1;  // the digits value needs
        while (count < 8 && (value >> (4 * count)) != 0) ++count;
        if (count < digits) count = digits;
        if (length_ + static_cast<std::size_t>(count) + 1 > capacity_) raise(ODB_E_INVALID_PARAMETER);
        for (int shift = 4 * (count - 1); shift >= 0; shift -= 4)
            text_[length_++] = static_cast<WCHAR>("0123456789abcdef"[(value >> shift) & 0xF]);
        text_[length_] = 0;
        return *this;
    }
    void truncate(std::size_t length) {
        if (length < length_) {
            length_ = length;
            text_[length_] = 0;
        }
    }

private:
    void push(WCHAR unit) {
        if (length_ + 1 >= capacity_) raise(ODB_E_INVALID_PARAMETER);
        text_[length_++] = unit;
        text_[length_] = 0;
    }

    WCHAR text_[path_capacity];
    std::size_t length_ = 0;
    std::size_t capacity_;
};

}  // namespace odb

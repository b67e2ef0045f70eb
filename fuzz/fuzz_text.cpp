// The two pure readers of stored bytes: attribute_text (a value as text,
// into a buffer of exactly the given capacity, so any write past it is
// caught) and the walk's wildcard matcher (pattern and text split at the
// first zero byte, each in a buffer of exactly its size).
#include <cstring>
#include <memory>

#include "attrs/attribute_io.h"
#include "enum/object_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint32_t capacity = data[0];
    std::unique_ptr<WCHAR[]> out(new WCHAR[capacity == 0 ? 1 : capacity]);
    std::unique_ptr<uint8_t[]> value(new uint8_t[size - 1 == 0 ? 1 : size - 1]);
    std::memcpy(value.get(), data + 1, size - 1);
    odb::attribute_text(value.get(), static_cast<uint32_t>(size - 1), out.get(), capacity);
    if (capacity > 0) {
        // Always terminated within the capacity.
        bool terminated = false;
        for (uint32_t i = 0; i < capacity; ++i) terminated = terminated || out[i] == 0;
        if (!terminated) __builtin_trap();
    }

    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t pattern_size = split != nullptr ? static_cast<size_t>(split - data) : size;
    const size_t text_size = split != nullptr ? size - pattern_size - 1 : 0;
    std::unique_ptr<char[]> pattern(new char[pattern_size + 1]);
    std::unique_ptr<char[]> text(new char[text_size + 1]);
    std::memcpy(pattern.get(), data, pattern_size);
    pattern[pattern_size] = 0;
    if (text_size > 0) std::memcpy(text.get(), split + 1, text_size);
    text[text_size] = 0;
    odb::match_wildcard(pattern.get(), text.get());
    return 0;
}

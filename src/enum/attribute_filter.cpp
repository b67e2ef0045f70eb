// The attribute filter of object walks: each candidate is opened for
// reading and tested against the caller's criteria list.
#include <cstring>
#include <memory>

#include "attrs/attribute_io.h"
#include "core/allocator.h"
#include "core/file_io.h"
#include "enum/object_walk.h"
#include "store/context.h"

namespace odb {

namespace {

bool ends_in_zero(const unsigned char* bytes, uint32_t length) {
    return length > 0 && bytes[length - 1] == 0;
}

bool equal_text_ignoring_case(const unsigned char* a, const unsigned char* b) {
    for (;; ++a, ++b) {
        unsigned char x = *a >= 'A' && *a <= 'Z' ? *a + ('a' - 'A') : *a;
        unsigned char y = *b >= 'A' && *b <= 'Z' ? *b + ('a' - 'A') : *b;
        if (x != y) return false;
        if (x == 0) return true;
    }
}

bool compare(uint32_t kind, const odb_enum_criterion& criterion, const unsigned char* value,
             uint32_t length) {
    const unsigned char* wanted = static_cast<const unsigned char*>(criterion.value);
    const uint32_t wanted_length = criterion.value_length;
    switch (kind) {
    case ODB_MATCH_BYTES:
        return length == wanted_length &&
               (length == 0 || (wanted != nullptr && std::memcmp(value, wanted, length) == 0));
    case ODB_MATCH_TEXT:
        return wanted != nullptr && ends_in_zero(value, length) &&
               ends_in_zero(wanted, wanted_length) && length == wanted_length &&
               equal_text_ignoring_case(value, wanted);
    case ODB_MATCH_LESS:
    case ODB_MATCH_GREATER:
    case ODB_MATCH_EQUAL: {
        if (length != 4 || wanted == nullptr) return false;
        const uint32_t stored = get32(value), limit = get32(wanted);
        if (kind == ODB_MATCH_LESS) return stored < limit;
        if (kind == ODB_MATCH_GREATER) return stored > limit;
        return stored == limit;
    }
    case ODB_MATCH_WILDCARD:
        return wanted != nullptr && ends_in_zero(value, length) &&
               ends_in_zero(wanted, wanted_length) &&
               match_wildcard(reinterpret_cast<const char*>(wanted),
                              reinterpret_cast<const char*>(value));
    default:
        return true;  // any other kind: the attribute exists
    }
}

bool criterion_passes(odb_obj_ctx& candidate, const odb_enum_criterion& criterion) {
    const uint32_t kind = criterion.operation & 0xFFFFFFu;
    if (!attribute_exists(candidate, criterion.attribute)) return kind == ODB_MATCH_ABSENT;
    if (kind == ODB_MATCH_PRESENT) return true;
    if (kind == ODB_MATCH_ABSENT) return false;
    uint32_t length = 0;
    read_attribute(candidate, criterion.attribute, 0, nullptr, length);
    zeroed_buffer value(length);
    uint32_t read = length;
    read_attribute(candidate, criterion.attribute, 0, value.data(), read);
    return compare(kind, criterion, value.data(), read < length ? read : length);
}

}  // namespace

bool match_criteria(const odb_enum_ctx& walk, uint32_t id) noexcept {
    const uint32_t count = walk.filter.criteria_count;
    bool result = count == 0;
    std::unique_ptr<odb_obj_ctx, context_closer> candidate;
    try {
        candidate.reset(create_context(*walk.db, walk.cls, id, walk.open_mode));
    } catch (...) {
        return result;
    }
    if (walk.filter.criteria == nullptr) return result;
    try {
        for (uint32_t i = 0; i < count; ++i) {
            const odb_enum_criterion& criterion = walk.filter.criteria[i];
            const bool passed = criterion_passes(*candidate, criterion);
            if (criterion.operation & ODB_MATCH_OR) {
                if (passed) result = true;
            } else {
                result = passed;
                if (!passed) break;
            }
        }
    } catch (...) {
        // A failed read or allocation ends the evaluation; the result stands.
    }
    return result;
}

}  // namespace odb

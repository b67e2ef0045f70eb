// ATTRIBS.STA, one per object: an INI section per changed attribute
// ("%08x") with Action (Updated/Deleted), Time (readable UTC) and TimeBin
// (the SYSTEMTIME as a checksummed structure).
#include <cstring>

#include "core/allocator.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/wide_text.h"
#include "store/context.h"
#include "store/object_facts.h"
#include "tracking/change_tracking.h"

namespace odb {

namespace {

constexpr uint32_t change_info_size = 28;
constexpr DWORD section_list_units = 31744;

path_buffer changes_file(object_facts& object) { return object.file(disk::attribute_changes_file); }

path_buffer section_name(uint32_t attribute) {
    path_buffer name(9);
    name.hex(attribute, 8);
    return name;
}

// "%02d/%02d/%04d %d:%02d:%02d": day, month, year, hour, minute, second.
void format_change_time(const SYSTEMTIME& time, WCHAR* out) {
    auto put = [&out](unsigned value, int digits) {
        WCHAR reversed[8];
        int count = 0;
        do {
            reversed[count++] = static_cast<WCHAR>('0' + value % 10);
            value /= 10;
        } while (value != 0 || count < digits);
        while (count > 0) *out++ = reversed[--count];
    };
    put(time.wDay, 2);
    *out++ = '/';
    put(time.wMonth, 2);
    *out++ = '/';
    put(time.wYear, 4);
    *out++ = ' ';
    put(time.wHour, 1);
    *out++ = ':';
    put(time.wMinute, 2);
    *out++ = ':';
    put(time.wSecond, 2);
    *out = 0;
}

void fill_change_info(object_facts& object, uint32_t attribute, unsigned char* record) {
    std::memset(record, 0, change_info_size);
    odb_attribute_change_info info = {};
    info.attribute = attribute;
    SYSTEMTIME time = {};
    read_attribute_change(object, attribute, info.deleted, time);
    std::memcpy(&info.changed, &time, sizeof time);
    std::memcpy(record, &info, change_info_size);
}

}  // namespace

void record_attribute_change(object_facts& object, uint32_t attribute, bool deleted) noexcept {
    if (!object.context().db->track_attribute_changes) return;
    try {
        const path_buffer file = changes_file(object);
        const path_buffer section = section_name(attribute);
        SYSTEMTIME now;
        GetSystemTime(&now);
        WCHAR time_text[32];
        format_change_time(now, time_text);
        WritePrivateProfileStringW(section, ODB_W("Action"),
                                   deleted ? ODB_W("Deleted") : ODB_W("Updated"), file);
        WritePrivateProfileStringW(section, ODB_W("Time"), time_text, file);
        // Each write replaces the whole file; the last one, flushed, makes
        // all three durable.
        write_profile_struct(*object.context().db, section, ODB_W("TimeBin"), &now, sizeof now, file);
    } catch (...) {
        // Tracking never fails the change it records.
    }
}

void read_attribute_change(object_facts& object, uint32_t attribute, uint32_t& deleted,
                           SYSTEMTIME& time) noexcept {
    deleted = 0;
    try {
        const path_buffer file = changes_file(object);
        const path_buffer section = section_name(attribute);
        WCHAR action[80] = {};
        GetPrivateProfileStringW(section, ODB_W("Action"), ODB_W(""), action, 80, file);
        // The platform may decode into the buffer before it finds the
        // checksum wrong; a refused value must leave the time zero.
        SYSTEMTIME stored = {};
        if (GetPrivateProfileStructW(section, ODB_W("TimeBin"), &stored, sizeof stored, file))
            time = stored;
        deleted = equal_ignoring_ascii_case(action, ODB_W("deleted")) ? 1 : 0;
    } catch (...) {
    }
}

void list_attribute_changes(object_facts& object, uint32_t attribute, void* buffer,
                            uint32_t& length) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    if (attribute != 0) {
        if (out == nullptr) {
            length = change_info_size;
            return;
        }
        if (length < change_info_size) raise(ODB_E_BUFFER_TOO_SMALL);
        fill_change_info(object, attribute, out);
        return;
    }

    const uint32_t limit = out != nullptr ? length / change_info_size : 0xFFFFFFFFu;
    zeroed_buffer names(section_list_units * sizeof(WCHAR));
    WCHAR* name = reinterpret_cast<WCHAR*>(names.data());
    GetPrivateProfileSectionNamesW(name, section_list_units, changes_file(object));
    uint32_t records = 0;
    for (; *name != 0 && records < limit; name += wide_length(name) + 1) {
        uint32_t number = 0;
        scan_hex8(name, number);
        if (out != nullptr) fill_change_info(object, number, out + records * change_info_size);
        ++records;
    }
    length = records * change_info_size;
}

}  // namespace odb

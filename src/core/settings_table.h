// The settings: their sections, keys, defaults and ranges, stated once for
// the engine and for the programs that edit the settings files (odb
// config). Plain data, no platform types, like disk_format.h.
//
// A new database setting is one row here and one entry in
// database_settings, which odb config lists; the engine reads the row in
// load_database_settings (settings.cpp).
#pragma once

#include <cstdint>

#include "core/disk_format.h"

namespace odb::settings {

enum class value_kind : uint8_t {
    yes_no,   // true exactly for "yes" in any case ("1" and "true" are false)
    integer,  // decimal, read as the private-profile calls read it
    hex_id,   // an identifier, 8 hexadecimal digits
};

struct setting {
    const char* section;
    const char* key;
    value_kind kind;
    uint32_t default_value;  // for yes/no, 1 for yes
    // Integers: a value read keeps its low `bits` bits and is then clamped
    // to minimum..maximum (unsigned comparison).
    uint8_t bits;
    uint32_t minimum, maximum;
    // The largest value worth writing: above it a value reads back but
    // acts as this one (MinEntrySize, below). Equal to maximum elsewhere.
    uint32_t largest_effective;
    const char* meaning;
};

inline constexpr uint32_t any = 0xFFFFFFFFu;

// Readers refuse a name-index entry longer than disk::max_name_entry_length,
// so no entry gives a name more room than this many UTF-16 units (its
// terminator included). MinEntrySize values above it read back clamped to
// 256 but make entries of this room.
inline constexpr uint32_t largest_entry_room =
    (disk::max_name_entry_length - disk::name_entry_overhead) / 2;

// ---- DBCFG.INI, in the root of a database: read at each open.
inline constexpr setting name_index_enabled{
    "NameIndex", "Enabled", value_kind::yes_no, 0, 32, 0, any, any,
    "keep a name index per class (lookups need it)"};
inline constexpr setting index_lock_timeout{
    "NameIndex", "LockTimeout", value_kind::integer, 3000, 32, 0, any, any,
    "how long an index file is waited for, in 1/100 s"};
inline constexpr setting index_lock_sleep{
    "NameIndex", "LockSleep", value_kind::integer, 10, 32, 0, any, any,
    "pause between two tries to open an index file, in ms"};
inline constexpr setting hash_count{
    "NameIndex", "HashCount", value_kind::integer, 16, 32, 1, 256, 256,
    "bucket files of a rebuilt index"};
inline constexpr setting index_lifetime{
    "NameIndex", "LifeTime", value_kind::integer, 1800, 32, 0, any, any,
    "age in seconds after which the index is rebuilt (0: never)"};
inline constexpr setting min_entry_size{
    "NameIndex", "MinEntrySize", value_kind::integer, 16, 16, 1, 256, largest_entry_room,
    "least name room of an index entry, in UTF-16 units"};
inline constexpr setting single_file{
    "Attribs", "SingleFile", value_kind::yes_no, 0, 32, 0, any, any,
    "new objects keep their attributes in one file, ATTRIBS.FDB"};
inline constexpr setting auto_convert{
    "Attribs", "AutoConvert", value_kind::yes_no, 0, 32, 0, any, any,
    "with SingleFile, the first write moves an object's .DAT files into ATTRIBS.FDB"};
inline constexpr setting track_attribute_changes{
    "Tracking", "AttributeChanges", value_kind::yes_no, 0, 32, 0, any, any,
    "record each attribute change in the object's ATTRIBS.STA"};
inline constexpr setting track_object_changes{
    "Tracking", "ObjectChanges", value_kind::yes_no, 0, 32, 0, any, any,
    "record each object change in the class's OBJCHGS.FDB"};
inline constexpr setting durability_flush{
    "Durability", "Flush", value_kind::yes_no, 0, 32, 0, any, any,
    "every write is on stable storage before the call that made it returns"};
// Read from the file at every use, and written by the identifier range calls.
inline constexpr setting first_id{
    "IdAssignment", "FirstId", value_kind::hex_id, 0x00000001u, 32, 0, any, any,
    "first identifier a new class hands out"};
inline constexpr setting last_id{
    "IdAssignment", "LastId", value_kind::hex_id, 0xFFFFFFF0u, 32, 0, any, any,
    "highest identifier the database hands out"};

// In the order `odb config` lists them.
inline constexpr const setting* database_settings[] = {
    &name_index_enabled, &index_lock_timeout, &index_lock_sleep, &hash_count,
    &index_lifetime,     &min_entry_size,     &single_file,      &auto_convert,
    &track_attribute_changes, &track_object_changes, &durability_flush, &first_id, &last_id,
};

// ---- QMFILEDB.INI, beside the program: read once per process.
inline constexpr setting lock_timeout{
    "LockOptions", "Timeout", value_kind::integer, 3000, 32, 0, any, any,
    "how long a locked file is waited for, in 1/100 s"};
inline constexpr setting lock_sleep{
    "LockOptions", "Sleep", value_kind::integer, 10, 32, 0, any, any,
    "pause between two tries to open a locked file, in ms"};

// An integer as read: its low bits kept, then clamped to the range.
constexpr uint32_t clamped(const setting& s, uint32_t value) {
    if (s.bits < 32) value &= (1u << s.bits) - 1;
    return value < s.minimum ? s.minimum : value > s.maximum ? s.maximum : value;
}

}  // namespace odb::settings

// The files of a database and the fixed parts of their formats, stated
// once. Plain constants only, no platform types, so that programs outside
// the engine that read or write these files directly (the fuzzers, the
// benchmarks' floor programs) take them from here too.
#pragma once

#include <cstdint>

namespace odb::disk {

// In the root.
inline constexpr char marker_file[] = "QMFILEDB.FDB";
inline constexpr char marker_text[] = "Quillmar Security System";  // written with its zero byte
inline constexpr uint32_t marker_size = 25;                         // bytes written
inline constexpr uint32_t marker_compared = 24;                     // bytes a reader checks
inline constexpr char settings_file[] = "DBCFG.INI";
inline constexpr char config_lock_file[] = "DBCFG.FDB";
// Beside the executable.
inline constexpr char lock_settings_file[] = "QMFILEDB.INI";

// In a class directory (root\%08x).
inline constexpr char id_file[] = "OBJID.FDB";
inline constexpr char object_changes_file[] = "OBJCHGS.FDB";
inline constexpr char name_index_file[] = "names.dat";
inline constexpr char name_bucket_prefix[] = "names.";  // then the bucket as %03x

// Object directories: class\%08x (identifier >> 9)\%08x (identifier & 0x1FF),
// with one of these suffixes when removed or wiped.
inline constexpr char removed_suffix[] = ".RMV";
inline constexpr char wiped_suffix[] = ".WPE";

// In an object directory.
inline constexpr char object_lock_file[] = "OBJLOCK.FDB";
inline constexpr char record_file_name[] = "ATTRIBS.FDB";
inline constexpr char record_file_temporary[] = "ATTRIBS.NEW";  // built, then renamed
inline constexpr char attribute_changes_file[] = "ATTRIBS.STA";
inline constexpr char attribute_file_suffix[] = ".DAT";         // after the attribute as %08x

// The record file (ATTRIBS.FDB): a file header, then records.
inline constexpr char record_magic[4] = {'Q', 'F', 'D', 'B'};
inline constexpr uint16_t record_version = 0x0100;  // readers accept major version 0 and 1
inline constexpr uint32_t record_file_header_size = 8;
inline constexpr uint32_t record_header_size = 28;

// The identifier file (OBJID.FDB): "Next ID=%08x", no line end.
inline constexpr char next_id_prefix[] = "Next ID=";
inline constexpr uint32_t next_id_size = 16;

// The name index (names.dat and its bucket files).
inline constexpr uint32_t name_index_magic = 0x5B5B0004u;
inline constexpr uint32_t name_index_header_size = 12;
inline constexpr uint32_t name_bucket_header_size = 8;
inline constexpr uint32_t max_name_entry_length = 263;
// An entry is its length u16 and identifier u32, then the name, its
// terminator and at least one more zero unit: a name of n units needs
// name_entry_overhead + 2 * (n + 1) bytes.
inline constexpr uint32_t name_entry_overhead = 8;

// The object change file (OBJCHGS.FDB): identifier, seconds since 1992.
inline constexpr uint32_t object_change_record_size = 8;

}  // namespace odb::disk

// Reading and writing attribute values in both storage forms: one record
// file ATTRIBS.FDB per object (single-file form), or one %08x.DAT file per
// attribute (per-attribute form). Which form an object uses is decided by
// whether ATTRIBS.FDB exists, once per call (object_facts.h).
#pragma once

#include <cstdint>

#include "core/path_buffer.h"
#include "platform/win32.h"
#include "store/object_facts.h"

struct odb_database;
struct odb_obj_ctx;

namespace odb {

// directory\%08x.DAT
path_buffer attribute_file_path(const path_buffer& directory, uint32_t attribute);

// The body of ODB_obj_get_attribute. size is in/out: the buffer's capacity
// in, the value's size from offset on out.
void read_attribute(object_facts& object, uint32_t attribute, uint32_t offset, void* buffer,
                    uint32_t& size);

// The per-attribute branch of read_attribute, which also reports the file's
// time stamps where asked.
void read_attribute_file(object_facts& object, uint32_t attribute, uint32_t offset, void* buffer,
                         uint32_t& size, FILETIME* created, FILETIME* modified);

// The body of ODB_obj_set_attribute without the checks and the name index:
// data null deletes the attribute.
void write_attribute(object_facts& object, uint32_t attribute, uint32_t offset, const void* data,
                     uint32_t size);

bool attribute_exists(object_facts& object, uint32_t attribute);
// The same for a caller that asks nothing else about the object.
bool attribute_exists(odb_obj_ctx& ctx, uint32_t attribute);

// Text of a value: UTF-16LE after a byte-order mark, else 8-bit characters
// widened with sign extension; always terminated within capacity units.
void attribute_text(const void* value, uint32_t size, WCHAR* out, uint32_t capacity);

// The object's name as the name index sees it: the first 514 bytes of the
// name attribute as text of at most 256 units. False when it has none.
bool read_object_name_attribute(object_facts& object, WCHAR* name /* name_units */);

// Gives a new live object of the single-file form its empty ATTRIBS.FDB,
// built under a temporary name so that, even if the process dies, it is
// complete or not there at all. For an object directory just made.
void create_attributes_file(const odb_database& db, uint32_t cls, uint32_t id);

// Moves an object's .DAT files into a new ATTRIBS.FDB; on any failure
// removes what it built. Never raises.
void convert_attribute_storage(object_facts& object) noexcept;

}  // namespace odb

#include "attrs/attribute_io.h"

#include "attrs/record_file.h"
#include "core/database.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/tree_ops.h"
#include "platform/handle.h"
#include "store/context.h"
#include "store/object_facts.h"
#include "store/object_path.h"
#include "tracking/change_tracking.h"

namespace odb {

namespace {

// 0 marks free records and 0xFFFFFFFF matches every record, so neither can
// name an attribute in the single-file form.
bool storable_in_record_file(uint32_t attribute) {
    return attribute != 0 && attribute != 0xFFFFFFFFu;
}

// Files of the per-attribute form are positioned as SetFilePointer without
// a high half positions, with a signed distance: offsets of 2^31 and more
// cannot be reached.
void require_reachable(uint32_t offset) {
    if (offset > 0x7FFFFFFFu) raise(ODB_E_ATTRIBUTE_SEEK);
}

odb_status open_failure(DWORD error, odb_status otherwise) {
    if (error == ERROR_FILE_NOT_FOUND) return ODB_E_NO_ATTRIBUTE;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return ODB_E_ATTRIBUTE_IN_USE;
    return otherwise;
}

// Opens the object's record file at the attribute's first record when the
// object is in the single-file form (`found` tells whether it has the
// record); false, with nothing open, in the per-attribute form. Where the
// form is not known yet the open answers it, in place of a probe first:
// ATTRIBS.FDB not there is the per-attribute form, exactly what the probe
// would have found, and every other failure of the open is the probe's too
// (ODB_E_FILE_ACCESS). An attribute the record file cannot hold asks the
// probe, since no open is made for it.
bool open_record_form(object_facts& object, record_file& attributes, bool read_only,
                      uint32_t attribute, bool& found) {
    found = false;
    bool single = false;
    if (!object.known_form(single)) {
        if (!storable_in_record_file(attribute)) return object.single_file();
        bool missing = false;
        found = attributes.open_at(object.record_file_path(), read_only, attribute,
                                   object.open_flags(), &missing);
        object.record_file_found(!missing);
        return !missing;
    }
    if (single && storable_in_record_file(attribute))
        found = attributes.open_at(object.record_file_path(), read_only, attribute,
                                   object.open_flags());
    return single;
}

// The attribute's value (when buffer is given) and its length from the
// record file opened at it.
void read_record_data(record_file& attributes, void* buffer, uint32_t& size) {
    if (buffer != nullptr) attributes.read_data(buffer, size);
    size = attributes.record_length();
}

void write_record_form(object_facts& object, record_file& attributes, bool found,
                       uint32_t attribute, uint32_t offset, const void* data, uint32_t size) {
    if (!storable_in_record_file(attribute)) raise(ODB_E_INVALID_PARAMETER);
    attributes.flush_for(*object.context().db);
    bool deleted = false;
    if (found) {
        // Readers see the first record of an attribute; a second one must
        // not come to light when the first is deleted or moved.
        attributes.delete_duplicates();
        if (data == nullptr) {
            attributes.delete_record();
            deleted = true;
        } else if (offset != 0) {
            attributes.write_data_at(offset, data, size);
        } else {
            attributes.replace_data(data, size);
        }
    } else if (data != nullptr) {
        // A new value is stored from byte 0, whatever the offset.
        attributes.append_record(attribute, data, size, nullptr, nullptr);
    }
    attributes.flush();
    record_attribute_change(object, attribute, deleted);
    record_object_change(object.context());
}

void write_file_form(object_facts& object, uint32_t attribute, uint32_t offset, const void* data,
                     uint32_t size) {
    const path_buffer path = attribute_file_path(object.directory(), attribute);
    if (data == nullptr) {
        wipe_file(path, object.open_flags());
        flush_parent(*object.context().db, path);
        record_attribute_change(object, attribute, true);
        return;
    }
    // In an object this context made, the file of an attribute it has not
    // written cannot exist: one open creates it. Should it exist all the
    // same, it is opened as any other.
    odb_obj_ctx& ctx = object.context();
    const bool new_file = ctx.made_here && !(ctx.attributes_written & written_bit(attribute));
    file_handle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 new_file ? CREATE_NEW : OPEN_ALWAYS, object.open_flags(),
                                 nullptr));
    if (!file && new_file && GetLastError() == ERROR_FILE_EXISTS)
        file.reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               object.open_flags(), nullptr));
    if (!file) {
        note_failure("open", path, GetLastError());
        raise(open_failure(GetLastError(), ODB_E_ATTRIBUTE_WRITE));
    }
    ctx.attributes_written |= written_bit(attribute);
    // A write that fails must not leave behind the attribute its open has
    // just created, empty or holding part of the value.
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    try {
        require_reachable(offset);
        file_ref(file.get(), path, attribute_file_failures).write_exactly_at(offset, data, size);
    } catch (odb_status) {
        if (created) {
            file.reset();
            DeleteFileW(path);
        }
        throw;
    }
    flush_file(*object.context().db, file.get(), path);
    if (created) flush_parent(*object.context().db, path);
    record_attribute_change(object, attribute, false);
    record_object_change(object.context());
}

}  // namespace

path_buffer attribute_file_path(const path_buffer& directory, uint32_t attribute) {
    path_buffer path = directory;
    path.hex_component(attribute);
    path.append(disk::attribute_file_suffix);
    return path;
}

void read_attribute_file(object_facts& object, uint32_t attribute, uint32_t offset, void* buffer,
                         uint32_t& size, FILETIME* created, FILETIME* modified) {
    const path_buffer path = attribute_file_path(object.directory(), attribute);
    file_handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 object.open_flags(), nullptr));
    if (!file) {
        note_failure("open", path, GetLastError());
        raise(open_failure(GetLastError(), ODB_E_ATTRIBUTE_READ));
    }
    const file_ref value(file.get(), path, attribute_file_failures);
    const uint32_t capacity = size;
    const uint64_t file_size = value.size();
    require_reachable(offset);
    value.seek(offset);
    if (offset > file_size) raise(ODB_E_OFFSET_BEYOND_END);
    // A value's size is 32-bit; a larger file shows as much of it as that can say.
    const uint64_t rest = file_size - offset;
    size = rest > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(rest);
    if (buffer != nullptr) value.read_exactly(buffer, capacity < size ? capacity : size);
    if (created != nullptr || modified != nullptr)
        GetFileTime(file.get(), created, nullptr, modified);
}

void read_attribute(object_facts& object, uint32_t attribute, uint32_t offset, void* buffer,
                    uint32_t& size) {
    if (offset != 0) {
        // No record is read at an offset: the form alone decides.
        if (object.single_file()) raise(ODB_E_ATTRIBUTE_SEEK);
        read_attribute_file(object, attribute, offset, buffer, size, nullptr, nullptr);
        return;
    }
    record_file attributes;
    bool found = false;
    if (!open_record_form(object, attributes, true, attribute, found)) {
        read_attribute_file(object, attribute, offset, buffer, size, nullptr, nullptr);
        return;
    }
    if (!found) raise(ODB_E_NO_ATTRIBUTE);
    read_record_data(attributes, buffer, size);
}

void write_attribute(object_facts& object, uint32_t attribute, uint32_t offset, const void* data,
                     uint32_t size) {
    if (object.context().db->auto_convert && !object.single_file()) {
        convert_attribute_storage(object);
        object.form_changed();
    }
    record_file attributes;
    bool found = false;
    if (open_record_form(object, attributes, false, attribute, found))
        write_record_form(object, attributes, found, attribute, offset, data, size);
    else
        write_file_form(object, attribute, offset, data, size);
}

void create_attributes_file(const odb_database& db, uint32_t cls, uint32_t id) {
    path_buffer temporary = object_path(db.root, cls, id, 0);
    temporary.component(disk::record_file_temporary);
    record_file attributes;
    attributes.flush_for(db);
    // In the directory just made for the object: one open creates it.
    attributes.create(temporary, FILE_ATTRIBUTE_NORMAL, true);
    attributes.publish(temporary, attributes_file_path(db.root, cls, id, 0));
}

bool attribute_exists(object_facts& object, uint32_t attribute) {
    record_file attributes;
    bool found = false;
    if (open_record_form(object, attributes, true, attribute, found)) return found;
    return path_exists(attribute_file_path(object.directory(), attribute), ODB_E_FILE_ACCESS);
}

bool attribute_exists(odb_obj_ctx& ctx, uint32_t attribute) {
    object_facts object(ctx);
    return attribute_exists(object, attribute);
}

void attribute_text(const void* value, uint32_t size, WCHAR* out, uint32_t capacity) {
    for (uint32_t i = 0; i < capacity; ++i) out[i] = 0;
    if (value == nullptr || size == 0 || capacity == 0) return;
    const unsigned char* bytes = static_cast<const unsigned char*>(value);
    uint32_t copied = 0;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        const uint32_t units = size / 2;
        for (uint32_t unit = 1; unit < units && copied < capacity - 1; ++unit) {
            WCHAR code = static_cast<WCHAR>(get16(bytes + 2 * unit));
            if (code == 0) break;
            out[copied++] = code;
        }
    } else {
        for (uint32_t i = 0; i < size && copied < capacity - 1; ++i) {
            if (bytes[i] == 0) break;
            // Sign extension: bytes 0x80 to 0xFF become 0xFF80 to 0xFFFF.
            out[copied++] = static_cast<WCHAR>(static_cast<uint16_t>(static_cast<int8_t>(bytes[i])));
        }
    }
}

bool read_object_name_attribute(object_facts& object, WCHAR* name) {
    for (uint32_t i = 0; i < 257; ++i) name[i] = 0;
    unsigned char value[514] = {};
    uint32_t size = sizeof value;
    // In the single-file form one open of the record file finds the name
    // and reads it.
    record_file attributes;
    bool found = false;
    if (open_record_form(object, attributes, true, ODB_NAME_ATTRIBUTE, found)) {
        if (!found) return false;
        read_record_data(attributes, value, size);
    } else {
        if (!attribute_exists(object, ODB_NAME_ATTRIBUTE)) return false;
        read_attribute_file(object, ODB_NAME_ATTRIBUTE, 0, value, size, nullptr, nullptr);
    }
    attribute_text(value, size < sizeof value ? size : static_cast<uint32_t>(sizeof value), name,
                   257);
    return true;
}

}  // namespace odb

// OBJCHGS.FDB, one per class: 8-byte records (object identifier, seconds
// since 1992 of its latest change), one per object, in the order objects
// first changed; a later change rewrites the object's record in place.
#include <cstring>

#include "core/clock.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/settings.h"
#include "store/context.h"
#include "store/object_path.h"
#include "tracking/change_tracking.h"

namespace odb {

namespace {

constexpr DWORD change_record_size = disk::object_change_record_size;

uint32_t get32(const unsigned char* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// The offset of id's record, or of the first byte after the last whole record.
uint64_t find_change_record(HANDLE file, uint32_t id) {
    const DWORD records = GetFileSize(file, nullptr) / change_record_size;
    // Read in blocks rather than one record per call: the file holds one
    // record for every object of the class that ever changed.
    unsigned char block[512 * change_record_size];
    DWORD index = 0;
    while (index < records) {
        DWORD count = records - index < 512 ? records - index : 512;
        DWORD want = count * change_record_size, read = 0;
        if (!ReadFile(file, block, want, &read, nullptr) || read != want) raise(ODB_E_FILE_ACCESS);
        for (DWORD i = 0; i < count; ++i)
            if (get32(block + i * change_record_size) == id)
                return static_cast<uint64_t>(index + i) * change_record_size;
        index += count;
    }
    return static_cast<uint64_t>(records) * change_record_size;
}

}  // namespace

void record_object_change(odb_obj_ctx& ctx) {
    // The lock file's last-write time is the object's time of last change,
    // whether or not ObjectChanges is on; each byte advances the handle.
    if (ctx.lock != INVALID_HANDLE_VALUE) {
        static const BYTE touched = 0x01;
        DWORD written = 0;
        WriteFile(ctx.lock, &touched, 1, &written, nullptr);
    }
    if (!ctx.db->track_object_changes) return;

    path_buffer path = class_path(ctx.db->root, ctx.cls);
    path.component(disk::object_changes_file);
    file_handle file = open_with_retry(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);

    const uint64_t offset = find_change_record(file.get(), ctx.id);
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(file.get(), static_cast<LONG>(offset), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        raise(ODB_E_FILE_ACCESS);

    const uint32_t id = ctx.id, changed = seconds_since_1992_now();
    unsigned char record[change_record_size];
    for (int i = 0; i < 4; ++i) {
        record[i] = static_cast<unsigned char>(id >> (8 * i));
        record[4 + i] = static_cast<unsigned char>(changed >> (8 * i));
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), record, change_record_size, &written, nullptr) ||
        written != change_record_size)
        raise(ODB_E_FILE_WRITE);
    flush_file(*ctx.db, file.get(), path);
    // The first change of a class creates its OBJCHGS.FDB.
    if (offset == 0) flush_parent(*ctx.db, path);
}

}  // namespace odb

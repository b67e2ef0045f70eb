// OBJCHGS.FDB, one per class: 8-byte records (object identifier, seconds
// since 1992 of its latest change), one per object, in the order objects
// first changed; a later change rewrites the object's record in place.
#include <cstring>

#include "core/clock.h"
#include "core/disk_format.h"
#include "core/durability.h"
#include "core/file_io.h"
#include "core/settings.h"
#include "store/context.h"
#include "store/object_path.h"
#include "tracking/change_tracking.h"

namespace odb {

namespace {

constexpr DWORD change_record_size = disk::object_change_record_size;

// The offset of id's record, or of the first byte after the last whole
// record; reads on from the start, where the file was opened.
uint64_t find_change_record(const file_ref& file, uint32_t id) {
    const uint64_t records = file.size() / change_record_size;
    // Read in blocks rather than one record per call: the file holds one
    // record for every object of the class that ever changed.
    unsigned char block[512 * change_record_size];
    uint64_t index = 0;
    while (index < records) {
        const uint32_t count = records - index < 512 ? static_cast<uint32_t>(records - index) : 512;
        file.read_exactly(block, count * change_record_size);
        for (uint32_t i = 0; i < count; ++i)
            if (get32(block + i * change_record_size) == id)
                return static_cast<uint64_t>(index + i) * change_record_size;
        index += count;
    }
    return records * change_record_size;
}

}  // namespace

void record_object_change(odb_obj_ctx& ctx) {
    // The lock file's last-write time is the object's time of last change,
    // whether or not ObjectChanges is on; each byte advances the handle.
    if (ctx.lock != INVALID_HANDLE_VALUE) touch_file(ctx.lock);
    if (!ctx.db->track_object_changes) return;

    path_buffer path = class_path(ctx.db->root, ctx.cls);
    path.component(disk::object_changes_file);
    const file_handle handle = open_with_retry(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    const file_ref file(handle.get(), path, object_changes_failures);

    const uint64_t offset = find_change_record(file, ctx.id);
    unsigned char record[change_record_size];
    put32(record, ctx.id);
    put32(record + 4, seconds_since_1992_now());
    file.write_exactly_at(offset, record, change_record_size);
    flush_file(*ctx.db, handle.get(), path);
    // The first change of a class creates its OBJCHGS.FDB.
    if (offset == 0) flush_parent(*ctx.db, path);
}

}  // namespace odb

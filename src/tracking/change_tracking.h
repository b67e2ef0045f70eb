// Change tracking: OBJCHGS.FDB per class (the time each object last
// changed) and ATTRIBS.STA per object (each attribute's last change).
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "store/object_facts.h"

struct odb_obj_ctx;

namespace odb {

// After an attribute change: touches the lock file through the context's
// lock, and with ObjectChanges on records the time in OBJCHGS.FDB.
void record_object_change(odb_obj_ctx& ctx);

// After an attribute was written (deleted false) or deleted; never fails.
void record_attribute_change(object_facts& object, uint32_t attribute, bool deleted) noexcept;

// One attribute's last change; never fails. time must be cleared by the caller.
void read_attribute_change(object_facts& object, uint32_t attribute, uint32_t& deleted,
                           SYSTEMTIME& time) noexcept;

// ODB_obj_get_info's ODB_INFO_ATTRIBUTE_CHANGES: one record (attribute not
// 0) or every tracked attribute (0), as 28-byte records.
void list_attribute_changes(object_facts& object, uint32_t attribute, void* buffer,
                            uint32_t& length);

}  // namespace odb

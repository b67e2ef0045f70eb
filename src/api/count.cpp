// ODB_obj_count: from the name index's entry counts when it is on and no
// walk flags are given, otherwise (and whenever the index fails) by walking.
#include <memory>

#include "core/failure_trace.h"
#include "enum/object_walk.h"
#include "names/name_index.h"
#include "store/context.h"

using namespace odb;

namespace {

uint32_t count_by_enumeration(odb_database& db, uint32_t cls, uint32_t flags) {
    std::unique_ptr<odb_enum_ctx, walk_closer> walk(open_walk(db, cls, flags, nullptr));
    uint32_t count = 0, id = 0;
    while (walk_step(*walk, &id) == ODB_OK) ++count;
    return count;
}

}  // namespace

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_count(odb_database* db, uint32_t cls, uint32_t flags,
                                          uint32_t* count) {
    return guarded("ODB_obj_count", [&] {
        odb_database& database = validate_database(db);
        if (count == nullptr) raise(ODB_E_INVALID_PARAMETER);
        if (flags != 0 || !name_index_on(database)) {
            *count = count_by_enumeration(database, cls, flags);
            return;
        }
        odb_obj_ctx ctx;
        init_context(ctx, &database, cls, 0);
        uint32_t result;
        try {
            result = count_by_index(ctx);
        } catch (odb_status) {
            result = count_by_enumeration(database, cls, 0);
        }
        *count = result;
    });
}

}  // extern "C"

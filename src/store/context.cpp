// Opening, re-locking and closing object contexts, and the object lock.
#include "store/context.h"

#include <cstring>

#include "core/allocator.h"
#include "core/disk_format.h"
#include "core/failure_trace.h"
#include "core/file_io.h"
#include "core/retrying_open.h"
#include "platform/extensions.h"
#include "store/object_path.h"

namespace odb {

void init_context(odb_obj_ctx& ctx, odb_database* db, uint32_t cls, uint32_t id) {
    std::memset(&ctx, 0, sizeof ctx);
    ctx.magic = odb_magic;
    ctx.kind = odb_kind_object;
    ctx.db = db;
    ctx.cls = cls;
    ctx.id = id;
    ctx.lock = INVALID_HANDLE_VALUE;
    ctx.attribute_search = INVALID_HANDLE_VALUE;
}

DWORD object_file_flags(const odb_obj_ctx& ctx) {
    return ctx.lock != INVALID_HANDLE_VALUE ? FILE_ATTRIBUTE_NORMAL | platform::FILE_FLAG_PATH_HELD
                                            : FILE_ATTRIBUTE_NORMAL;
}

void release_lock(odb_obj_ctx& ctx) {
    if (ctx.lock != INVALID_HANDLE_VALUE) CloseHandle(ctx.lock);
    ctx.lock = INVALID_HANDLE_VALUE;
    ctx.storage_form = storage_form_unknown;
    ctx.made_here = 0;
    ctx.attributes_written = 0;
}

namespace {

// The lock file's last-write time is the object's time of last change.
// A reader's handle lacks write access and the write does nothing.
void touch_lock(odb_obj_ctx& ctx) { touch_file(ctx.lock); }

}  // namespace

void adopt_lock(odb_obj_ctx& ctx, HANDLE lock, uint32_t mode) {
    if (lock != ctx.lock) release_lock(ctx);
    ctx.lock = lock;
    touch_lock(ctx);
    ctx.mode = mode;
}

void confirm_write_lock(odb_obj_ctx& ctx) {
    if (!(ctx.mode & ODB_MODE_WRITE) || ctx.lock == INVALID_HANDLE_VALUE) return;
    // Where no lock can be lost, the layer answers without asking anything.
    if (platform::ConfirmLockHeldW(ctx.lock)) return;
    const DWORD error = GetLastError();
    path_buffer path = object_path(ctx.db->root, ctx.cls, ctx.id, ctx.mode);
    path.component(disk::object_lock_file);
    note_failure("check the lock", path, error);
    // As after a failed change of mode: no write goes through the context
    // until a change of mode takes the lock again.
    release_lock(ctx);
    ctx.mode &= ~(ODB_MODE_READ | ODB_MODE_WRITE);
    raise(ODB_E_OBJECT_LOCK);
}

namespace {

// set_lock_mode; with `made`, for an object directory the caller has just
// made (see lock_made_object), and *made then tells whether the lock file
// is this context's own.
void change_lock(odb_obj_ctx& ctx, uint32_t mode, bool* made) {
    path_buffer path = object_path(ctx.db->root, ctx.cls, ctx.id, mode);
    path.component(disk::object_lock_file);

    DWORD access, share;
    if (mode & ODB_MODE_WRITE) {
        access = GENERIC_READ | GENERIC_WRITE;
        share = 0;
    } else if (mode & ODB_MODE_READ) {
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
    } else {
        raise(ODB_E_OBJECT_LOCK);
    }

    // The old lock goes before the new one is sought: a change of mode is
    // not atomic, and another context may take the object in between.
    release_lock(ctx);
    try {
        // Only another holder of the lock is waited for: an object directory
        // that is not there (moved or deleted meanwhile) or a lock file that
        // may not be opened is reported at once.
        ctx.lock = open_retrying(path, access, share, OPEN_ALWAYS, process_lock_timing(),
                                 {ODB_E_OBJECT_LOCK, ODB_E_NO_OBJECT, ODB_E_FILE_ACCESS}, made)
                       .release();
    } catch (odb_status) {
        // The context holds no lock now, and its mode word says so: it keeps
        // its location flags but neither access bit, so no write goes
        // through it until a later change of mode succeeds.
        ctx.mode &= ~(ODB_MODE_READ | ODB_MODE_WRITE);
        throw;
    }
    touch_lock(ctx);
    ctx.mode = mode;
}

}  // namespace

void set_lock_mode(odb_obj_ctx& ctx, uint32_t mode) {
    if (mode != ctx.mode) change_lock(ctx, mode, nullptr);
}

void lock_made_object(odb_obj_ctx& ctx) {
    bool made = false;
    change_lock(ctx, ODB_MODE_WRITE, &made);
    // Every writer of an object holds its lock file, and this open made it:
    // no attribute can have been written in the directory.
    ctx.made_here = made ? 1 : 0;
}

namespace {

// Raises ODB_E_NO_OBJECT when the object directory is not there and
// ODB_E_OBJECT_PROBE when that cannot be told.
void require_object_directory(const odb_database& db, uint32_t cls, uint32_t id, uint32_t mode) {
    const path_buffer directory = object_path(db.root, cls, id, mode);
    const DWORD error = probe_path(directory);
    if (error == 0) return;
    note_failure("find", directory, error);
    raise(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ODB_E_NO_OBJECT
                                                                         : ODB_E_OBJECT_PROBE);
}

}  // namespace

odb_obj_ctx* create_context(odb_database& db, uint32_t cls, uint32_t id, uint32_t mode) {
    zeroed_ptr<odb_obj_ctx> ctx = make_zeroed<odb_obj_ctx>();
    init_context(*ctx, &db, cls, id);
    // The directory is looked at only when the lock cannot be had: the open
    // of the lock file inside it succeeds only where it is there, and
    // changes nothing where it is not, so a look first would add nothing.
    // After a failure the look decides what is reported, as it did first.
    if (!(mode & (ODB_MODE_READ | ODB_MODE_WRITE))) require_object_directory(db, cls, id, mode);
    try {
        set_lock_mode(*ctx, mode);
    } catch (odb_status status) {
        if (status == ODB_E_NO_OBJECT || status == ODB_E_FILE_ACCESS)
            require_object_directory(db, cls, id, mode);
        throw;
    }
    return ctx.release();
}

void close_context(odb_obj_ctx* ctx) noexcept {
    release_lock(*ctx);
    // Closing a context also ends an attribute walk still open on it, so no
    // directory search outlives the context that owned it.
    if (ctx->attribute_search != INVALID_HANDLE_VALUE) FindClose(ctx->attribute_search);
    zero_free(ctx, sizeof *ctx);
}

}  // namespace odb

using namespace odb;

extern "C" {

ODB_API odb_status ODB_CALL ODB_obj_create_ctx(odb_database* db, uint32_t cls, uint32_t id,
                                               uint32_t mode, odb_obj_ctx** ctx) {
    return traced("ODB_obj_create_ctx", [&] {
        if (ctx == nullptr) return ODB_E_INVALID_PARAMETER;
        *ctx = nullptr;
        return guarded([&] { *ctx = create_context(validate_database(db), cls, id, mode); });
    });
}

ODB_API odb_status ODB_CALL ODB_obj_change_mode(odb_obj_ctx* ctx, uint32_t mode) {
    return guarded("ODB_obj_change_mode", [&] {
        odb_obj_ctx& context = validate_context(ctx);
        if (context.mode & ODB_MODE_REMOVED) mode |= ODB_MODE_REMOVED;
        set_lock_mode(context, mode);
    });
}

ODB_API odb_status ODB_CALL ODB_obj_close_ctx(odb_obj_ctx* ctx) {
    return guarded("ODB_obj_close_ctx", [&] { close_context(&validate_context(ctx)); });
}

}  // extern "C"

// HANDLE values are pointers to handle_object. They are also entered in a
// registry so that a handle that was closed, never opened, or belongs to the
// other kind is answered with ERROR_INVALID_HANDLE, as KERNEL32 answers it,
// rather than followed into freed memory.
#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "platform/posix/internal.h"

namespace odb::posix {
namespace {

std::mutex registry_mutex;
std::unordered_set<handle_object*>& registry() {
    // Never destroyed: handles may still be closed from static destructors.
    static auto* live = new std::unordered_set<handle_object*>();
    return *live;
}

handle_object* find_locked(HANDLE handle, handle_kind kind) {
    auto* object = static_cast<handle_object*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto& live = registry();
    if (live.find(object) == live.end() || object->kind != kind) return nullptr;
    return object;
}

}  // namespace

file_object::~file_object() {
    if (fd >= 0) ::close(fd);
}

HANDLE register_handle(handle_object* object) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    registry().insert(object);
    return object;
}

handle_object* lookup_handle(HANDLE handle, handle_kind kind) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    handle_object* object = find_locked(handle, kind);
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

handle_object* unregister_handle(HANDLE handle, handle_kind kind) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    handle_object* object = find_locked(handle, kind);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    registry().erase(object);
    return object;
}

}  // namespace odb::posix

// Closing the descriptor ends the open file description and with it the
// share lock it held.
BOOL CloseHandle(HANDLE handle) {
    using namespace odb::posix;
    if (!admit_call()) return FALSE;
    handle_object* object = unregister_handle(handle, handle_kind::file);
    if (object == nullptr) return FALSE;
    delete object;
    return TRUE;
}

// HANDLE values are pointers to handle_object. They are also entered in a
// registry so that a handle that was closed, never opened, or belongs to the
// other kind is answered with ERROR_INVALID_HANDLE, as KERNEL32 answers it,
// rather than followed into freed memory.
//
// FORKS
//
// On Windows a child process never has its parent's handles. A child made
// by fork() without exec has a copy of every descriptor, and a copy keeps
// the open file description, and with it the share lock, alive after the
// parent has closed its handle. So the child closes, at once, every
// descriptor the layer owns (a pthread_atfork child handler): the parent's
// CloseHandle then releases the lock whatever its children do (the
// descriptors the profile functions keep are closed too). The handles
// the child inherited are set aside: they answer ERROR_INVALID_HANDLE there,
// as a handle of another process does on Windows, and CloseHandle of one
// frees its record (still answering ERROR_INVALID_HANDLE).
//
// A call that owns a descriptor not (yet) in the registry, between open()
// and register_handle() or for the length of a delete, rename or profile
// write, holds the descriptor gate shared; a fork takes the gate exclusively
// first, so it waits for such calls to end and no child ever has a
// descriptor the registry does not know.
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/posix/internal.h"
#include "platform/process.h"

namespace odb::posix {
namespace {

std::mutex registry_mutex;

struct handle_registry {
    std::unordered_set<handle_object*> live;
    std::unordered_set<handle_object*> inherited;  // from the parent, in a forked child
};

handle_registry& registry() {
    // Never destroyed: handles may still be closed from static destructors.
    static auto* handles = new handle_registry();
    return *handles;
}

handle_object* find_locked(HANDLE handle, handle_kind kind) {
    auto* object = static_cast<handle_object*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto& live = registry().live;
    if (live.find(object) == live.end() || object->kind != kind) return nullptr;
    return object;
}

// Writers are preferred, so a steady stream of calls cannot hold a fork off.
pthread_rwlock_t descriptor_gate = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
// How deep this thread is in gated calls: only the outermost takes the gate,
// since a nested shared take would wait behind a waiting fork.
thread_local unsigned gate_depth = 0;

std::atomic<uint32_t> generation{0};

// How many handles have left the registry (closed, or set aside in a forked
// child). A handle found live stays live until this moves, so a thread that
// asks again for the handle it found last, as every step of a listing does,
// is answered without the registry's lock and table.
std::atomic<uint64_t> departures{0};
struct last_lookup {
    handle_object* object;
    uint64_t departures;
};
thread_local last_lookup last_found = {nullptr, 0};

void before_fork() {
    pthread_rwlock_wrlock(&descriptor_gate);
    registry_mutex.lock();
}

void after_fork_in_parent() {
    registry_mutex.unlock();
    pthread_rwlock_unlock(&descriptor_gate);
}

void after_fork_in_child() {
    auto& handles = registry();
    for (handle_object* object : handles.live) object->close_descriptors();
    close_cached_profiles_in_child();
    handles.inherited.merge(handles.live);  // moves the nodes; allocates nothing
    handles.live.clear();
    departures.fetch_add(1, std::memory_order_release);
    generation.fetch_add(1, std::memory_order_relaxed);
    registry_mutex.unlock();
    // The gate is made anew: a write lock knows its owner by thread id, and
    // the child's one thread has another id than the parent's that took it.
    pthread_rwlock_t fresh = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    std::memcpy(&descriptor_gate, &fresh, sizeof fresh);
}

// Registered when the layer is loaded, before any handle can exist.
const bool fork_handlers_registered =
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;

}  // namespace

descriptor_scope::descriptor_scope() {
    if (gate_depth++ == 0) pthread_rwlock_rdlock(&descriptor_gate);
}

descriptor_scope::~descriptor_scope() {
    if (--gate_depth == 0) pthread_rwlock_unlock(&descriptor_gate);
}

file_object::~file_object() { file_object::close_descriptors(); }

void file_object::close_descriptors() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

HANDLE register_handle(handle_object* object) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    registry().live.insert(object);
    return object;
}

handle_object* lookup_handle(HANDLE handle, handle_kind kind) {
    if (handle != nullptr && handle == last_found.object &&
        last_found.departures == departures.load(std::memory_order_acquire) &&
        last_found.object->kind == kind)
        return last_found.object;
    std::lock_guard<std::mutex> guard(registry_mutex);
    handle_object* object = find_locked(handle, kind);
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    else last_found = {object, departures.load(std::memory_order_relaxed)};
    return object;
}

handle_object* unregister_handle(HANDLE handle, handle_kind kind) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    handle_object* object = find_locked(handle, kind);
    if (object == nullptr) {
        auto& inherited = registry().inherited;
        auto found = inherited.find(static_cast<handle_object*>(handle));
        if (found != inherited.end() && (*found)->kind == kind) {
            delete *found;  // its descriptors were closed at the fork
            inherited.erase(found);
        }
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    registry().live.erase(object);
    departures.fetch_add(1, std::memory_order_release);
    return object;
}

}  // namespace odb::posix

namespace odb::platform {

uint32_t process_generation() {
    return posix::generation.load(std::memory_order_relaxed);
}

}  // namespace odb::platform

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

// A HANDLE names a slot of the registry and the slot's generation at the
// time the handle was made, so that a handle that was closed, never opened,
// or belongs to the other kind is answered with ERROR_INVALID_HANDLE, as
// KERNEL32 answers it, rather than followed into freed memory. A closed
// handle stays refused when its slot serves a later open: the generation
// has moved on.
//
// Every file call looks its handle up, so a lookup takes no lock and
// allocates nothing: it reads the slot's object and generation (each
// published with release order), and a slot, once made, is never freed.
// Making and closing handles take the registry's mutex. A lookup racing the
// close of the same handle may see either state, as it may on Windows; the
// caller that closes a handle another thread still uses has a bug there too.
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
#include <new>

#include "platform/posix/internal.h"
#include "platform/process.h"

namespace odb::posix {
namespace {

std::mutex registry_mutex;

// Handle values: ((generation << index_bits) | (index + 1)) << 2, so no
// handle is null, INVALID_HANDLE_VALUE or misaligned, and the index part of
// a value that no slot ever had is out of range.
constexpr unsigned index_bits = 20;
constexpr std::size_t chunk_slots = 256;
constexpr std::size_t max_slots = (std::size_t{1} << index_bits) - 1;
constexpr std::size_t max_chunks = (max_slots + chunk_slots - 1) / chunk_slots;
constexpr uintptr_t index_mask = (uintptr_t{1} << index_bits) - 1;

struct slot {
    std::atomic<handle_object*> object{nullptr};  // live; null when free or set aside
    std::atomic<uintptr_t> generation{0};         // moves on at every close
    handle_object* inherited = nullptr;           // from the parent, in a forked child
    std::size_t next_free = 0;                    // 1 + index of the next free slot, or 0
};

struct slot_chunk {
    slot slots[chunk_slots];
};

// Chunks are made as the number of open handles grows and never freed:
// handles may still be closed from static destructors, and a lookup reads
// a chunk without the mutex.
std::atomic<slot_chunk*> chunks[max_chunks];
std::size_t slots_made = 0;  // under registry_mutex, as is the free list
std::size_t first_free = 0;  // 1 + index, or 0

slot* slot_at(std::size_t index) {
    slot_chunk* chunk = chunks[index / chunk_slots].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk->slots[index % chunk_slots];
}

HANDLE handle_value(std::size_t index, uintptr_t generation) {
    return reinterpret_cast<HANDLE>(((generation << index_bits) | (index + 1)) << 2);
}

// The index of the slot a handle value names, and in `generation` the
// generation it carries; false for a value that names no slot.
bool decode(HANDLE handle, std::size_t& index, uintptr_t& generation) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t index_part = (value >> 2) & index_mask;
    if ((value & 3) != 0 || index_part == 0) return false;
    index = index_part - 1;
    generation = value >> (2 + index_bits);
    return true;
}

// A slot's generation as a handle value carries it (the bits above the index).
uintptr_t carried(uintptr_t generation) {
    return (generation << (2 + index_bits)) >> (2 + index_bits);
}

void free_slot(slot& s, std::size_t index) {
    s.object.store(nullptr, std::memory_order_relaxed);
    s.inherited = nullptr;
    s.generation.store(s.generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    s.next_free = first_free;
    first_free = index + 1;
}

// Writers are preferred, so a steady stream of calls cannot hold a fork off.
pthread_rwlock_t descriptor_gate = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
// How deep this thread is in gated calls: only the outermost takes the gate,
// since a nested shared take would wait behind a waiting fork.
thread_local unsigned gate_depth = 0;

std::atomic<uint32_t> fork_generation{0};

void before_fork() {
    pthread_rwlock_wrlock(&descriptor_gate);
    registry_mutex.lock();
}

void after_fork_in_parent() {
    registry_mutex.unlock();
    pthread_rwlock_unlock(&descriptor_gate);
}

void after_fork_in_child() {
    for (std::size_t index = 0; index < slots_made; ++index) {
        slot& s = *slot_at(index);
        handle_object* object = s.object.load(std::memory_order_relaxed);
        if (object == nullptr) continue;
        object->close_descriptors();
        s.inherited = object;
        s.object.store(nullptr, std::memory_order_relaxed);
    }
    close_cached_profiles_in_child();
    fork_generation.fetch_add(1, std::memory_order_relaxed);
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
    std::size_t index;
    if (first_free != 0) {
        index = first_free - 1;
        first_free = slot_at(index)->next_free;
    } else {
        if (slots_made == max_slots) throw std::bad_alloc();
        index = slots_made;
        std::atomic<slot_chunk*>& chunk = chunks[index / chunk_slots];
        if (chunk.load(std::memory_order_relaxed) == nullptr)
            chunk.store(new slot_chunk(), std::memory_order_release);
        ++slots_made;
    }
    slot& s = *slot_at(index);
    s.object.store(object, std::memory_order_release);
    return handle_value(index, s.generation.load(std::memory_order_relaxed));
}

handle_object* lookup_handle(HANDLE handle, handle_kind kind) {
    std::size_t index = 0;
    uintptr_t generation = 0;
    handle_object* object = nullptr;
    if (decode(handle, index, generation)) {
        if (slot* s = slot_at(index)) {
            object = s->object.load(std::memory_order_acquire);
            if (object != nullptr &&
                (carried(s->generation.load(std::memory_order_acquire)) != generation ||
                 object->kind != kind))
                object = nullptr;
        }
    }
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

handle_object* unregister_handle(HANDLE handle, handle_kind kind) {
    std::lock_guard<std::mutex> guard(registry_mutex);
    std::size_t index = 0;
    uintptr_t generation = 0;
    slot* s = decode(handle, index, generation) ? slot_at(index) : nullptr;
    if (s != nullptr && carried(s->generation.load(std::memory_order_relaxed)) == generation) {
        handle_object* object = s->object.load(std::memory_order_relaxed);
        if (object != nullptr && object->kind == kind) {
            free_slot(*s, index);
            return object;
        }
        if (s->inherited != nullptr && s->inherited->kind == kind) {
            delete s->inherited;  // its descriptors were closed at the fork
            free_slot(*s, index);
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

}  // namespace odb::posix

namespace odb::platform {

uint32_t process_generation() {
    return posix::fork_generation.load(std::memory_order_relaxed);
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

// The fault injection behind admit_call(); see fault_injection.h.
#include "platform/posix/fault_injection.h"

#include <errno.h>

#include <cstring>

#include "platform/posix/internal.h"

namespace odb::posix {

std::atomic<bool> fault_armed{false};

namespace {

odb::fault::plan armed_plan;
std::atomic<uint64_t> counted{0};
std::atomic<bool> hit{false};
const char* hit_entry = "";
// A short transfer chosen by admit_armed_call for the ReadFile or WriteFile
// that is running on this thread.
thread_local bool transfer_pending = false;

bool is_transfer(const char* entry) {
    return std::strcmp(entry, "ReadFile") == 0 || std::strcmp(entry, "WriteFile") == 0;
}

}  // namespace

bool admit_armed_call(const char* entry) {
    // Closing a valid handle cannot fail on Windows, and the engine has no
    // answer to a handle that stays open after its close; these are left
    // alone so every other call can be hit.
    if (std::strcmp(entry, "CloseHandle") == 0 || std::strcmp(entry, "FindClose") == 0)
        return true;
    const odb::fault::plan& p = armed_plan;
    if (p.entry != nullptr && std::strcmp(p.entry, entry) != 0) return true;
    const uint64_t number = counted.fetch_add(1, std::memory_order_relaxed) + 1;
    if (p.at == 0 || number != p.at) return true;
    hit_entry = entry;
    hit = true;
    if (p.kind != odb::fault::action::fail && is_transfer(entry)) {
        transfer_pending = true;
        return true;
    }
    SetLastError(p.error);
    return false;
}

void run_armed_open_hook() {
    const odb::fault::plan& p = armed_plan;
    if (p.between_open_and_lock != nullptr) p.between_open_and_lock(p.hook_context);
}

bool cut_armed_transfer(DWORD& count, DWORD& error) {
    if (!transfer_pending) return false;
    transfer_pending = false;
    count /= 2;
    error = armed_plan.error;
    return armed_plan.kind == odb::fault::action::partial_failure;
}

}  // namespace odb::posix

namespace odb::fault {

void arm(const plan& p) {
    posix::fault_armed = false;
    posix::armed_plan = p;
    posix::counted = 0;
    posix::hit = false;
    posix::hit_entry = "";
    posix::transfer_pending = false;
    posix::fault_armed = true;
}

void disarm() { posix::fault_armed = false; }

uint64_t counted_calls() { return posix::counted.load(); }

bool fired() { return posix::hit.load(); }

const char* fired_entry() { return posix::hit_entry; }

DWORD error_from_errno(int error, bool writing) {
    // As ReadFile and WriteFile report EIO; every other errno as the layer does.
    if (error == EIO) return writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
    return posix::error_from_errno(error);
}

}  // namespace odb::fault

// A test-only switch in the POSIX platform layer: makes one chosen call of
// the Win32 subset fail, or transfer fewer bytes than asked, so the tests
// can reach every error path of the engine; and runs a test's hook inside
// an open, between its two steps, so a race there can be played out
// deterministically. Only tests include this header;
// nothing here is exported from the shared library (hidden visibility), and
// while it is off every entry point pays one relaxed atomic load.
//
// The switch is process-wide and meant for one test thread at a time.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace odb::fault {

enum class action {
    fail,            // the call does nothing and fails with `error`
    short_transfer,  // ReadFile/WriteFile move half the bytes and succeed
    partial_failure, // ReadFile/WriteFile move half the bytes, then fail with `error`
};

struct plan {
    // Only calls of this entry point ("CreateFileW", "WriteFile", ...) are
    // counted; null counts every call.
    const char* entry = nullptr;
    // The counted call that is hit, from 1; 0 only counts.
    uint64_t at = 0;
    DWORD error = ERROR_GEN_FAILURE;
    action kind = action::fail;
    // Called, while armed, by every open of a file (CreateFileW, and the
    // profile functions' own) after the file is open and before its share
    // lock is taken: the window in which a delete or rename by someone else
    // can land. Runs on the opening thread; opens it makes call it again.
    void (*between_open_and_lock)(void* context) = nullptr;
    void* hook_context = nullptr;
};

// Starts counting from zero under this plan.
void arm(const plan& p);
// Switches the injection off; the count so far stays readable.
void disarm();
// Calls counted since the last arm().
uint64_t counted_calls();
// Whether the planned call has been hit since the last arm().
bool fired();
// The name of the entry point that was hit ("" before).
const char* fired_entry();

// The Win32 error the layer reports for an errno (EMFILE, EACCES, ENOSPC,
// EIO, ...), so a plan can name the failure as the system would cause it.
DWORD error_from_errno(int error, bool writing = false);

// Owns an armed plan for a scope.
class scope {
public:
    explicit scope(const plan& p) { arm(p); }
    ~scope() { disarm(); }
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;
};

}  // namespace odb::fault

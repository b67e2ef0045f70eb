// RAII owners of Win32 handles: each closes its handle once, and only when
// it is valid, so a thrown status releases exactly what a call had opened.
#pragma once

#include "platform/win32.h"

namespace odb {

// A file handle from CreateFileW; INVALID_HANDLE_VALUE when not open.
class file_handle {
public:
    file_handle() = default;
    explicit file_handle(HANDLE handle) : handle_(handle) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    file_handle(file_handle&& other) noexcept : handle_(other.release()) {}
    file_handle& operator=(file_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~file_handle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A directory search from FindFirstFileW; INVALID_HANDLE_VALUE when not open.
class find_handle {
public:
    find_handle() = default;
    explicit find_handle(HANDLE handle) : handle_(handle) {}
    find_handle(const find_handle&) = delete;
    find_handle& operator=(const find_handle&) = delete;
    ~find_handle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace odb

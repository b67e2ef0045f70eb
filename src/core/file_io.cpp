#include "core/file_io.h"

#include "core/failure_trace.h"

namespace odb {

void file_ref::fail(const char* operation, DWORD error, odb_status status) const {
    note_failure(operation, path_, error);
    raise(status);
}

void file_ref::seek(uint64_t offset) const {
    LONG high = static_cast<LONG>(offset >> 32);
    // A position whose low half is all ones looks like the failure value;
    // only the last error tells them apart, so it is cleared first. Any
    // other position comes back as its own low half, and the failure value
    // is then a failure (clearing the error is a thread-local store on every
    // seek, and the engine seeks before nearly every transfer).
    const DWORD low = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(handle_, static_cast<LONG>(low), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        (low != INVALID_SET_FILE_POINTER || GetLastError() != ERROR_SUCCESS))
        fail("seek", GetLastError(), failures_->position);
}

uint64_t file_ref::size() const {
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = GetFileSize(handle_, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)
        fail("size", GetLastError(), failures_->position);
    return (static_cast<uint64_t>(high) << 32) | low;
}

uint32_t file_ref::read(void* buffer, uint32_t count) const {
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, count, &read, nullptr))
        fail("read", GetLastError(), failures_->read);
    return read;
}

void file_ref::read_exactly(void* buffer, uint32_t count) const {
    if (read(buffer, count) < count) fail("read", ERROR_HANDLE_EOF, failures_->read);
}

void file_ref::write_exactly(const void* buffer, uint32_t count) const {
    DWORD written = 0;
    const BOOL wrote = WriteFile(handle_, buffer, count, &written, nullptr);
    // A short write that reports success ran out of room.
    if (!wrote || written != count)
        fail("write", wrote ? ERROR_HANDLE_DISK_FULL : GetLastError(), failures_->write);
}

void file_ref::cut_at(uint64_t offset) const {
    seek(offset);
    if (!SetEndOfFile(handle_)) fail("truncate", GetLastError(), failures_->write);
}

void touch_file(HANDLE file) noexcept {
    static const BYTE touched = 0x01;
    DWORD written = 0;
    WriteFile(file, &touched, 1, &written, nullptr);
}

}  // namespace odb

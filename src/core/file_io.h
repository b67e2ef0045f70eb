// Reading and writing open files: whole buffers at a position, sizes, and
// the little-endian fields of the on-disk formats. Each kind of file reports
// its failures with its own statuses, stated once in the table below; every
// failure leaves a trace note with the operation, the file and the system's
// reason (failure_trace.h).
//
// The calls made are exactly the ones asked for: a transfer at an offset
// positions first, one at the current position does not (the name index
// scans and the change log read on from where they stand).
#pragma once

#include <cstdint>

#include "core/path_buffer.h"
#include "core/status.h"
#include "platform/handle.h"
#include "platform/win32.h"

namespace odb {

// The statuses one kind of file reports its failures with.
struct file_failures {
    odb_status read;      // a read that fails, or brings fewer bytes than the file must hold
    odb_status write;     // a write that fails, stores fewer bytes than given, or a cut that fails
    odb_status position;  // a position or a size the system cannot give
};

// ATTRIBS.FDB: a value that cannot be read is the attribute's failure.
inline constexpr file_failures record_file_failures = {ODB_E_ATTRIBUTE_READ, ODB_E_FILE_WRITE,
                                                       ODB_E_FILE_ACCESS};
// %08x.DAT: a position that cannot be reached is a bad attribute offset.
inline constexpr file_failures attribute_file_failures = {
    ODB_E_ATTRIBUTE_READ, ODB_E_ATTRIBUTE_WRITE, ODB_E_ATTRIBUTE_SEEK};
// names.dat and its buckets (damage inside them is ODB_E_FILE_ACCESS too).
inline constexpr file_failures name_index_failures = {ODB_E_FILE_ACCESS, ODB_E_FILE_WRITE,
                                                      ODB_E_FILE_ACCESS};
// OBJID.FDB. A counter that cannot be written is a failed write, whatever
// lock its open stands for.
inline constexpr file_failures id_file_failures = {ODB_E_FILE_ACCESS, ODB_E_FILE_WRITE,
                                                   ODB_E_FILE_ACCESS};
// OBJCHGS.FDB.
inline constexpr file_failures object_changes_failures = {ODB_E_FILE_ACCESS, ODB_E_FILE_WRITE,
                                                          ODB_E_FILE_ACCESS};
// QMFILEDB.FDB: a marker that cannot be read is no marker.
inline constexpr file_failures marker_failures = {ODB_E_NO_DATABASE, ODB_E_MARKER_WRITE,
                                                  ODB_E_NO_DATABASE};
// Any file being wiped.
inline constexpr file_failures wiped_file_failures = {ODB_E_WIPE, ODB_E_WIPE, ODB_E_WIPE};

// An open file and its name, owned together, for files whose failures
// must name them.
struct named_file {
    file_handle handle;
    path_buffer path;
};

// An open file as the helpers see it: the handle, the name a failure is
// noted under and the statuses of its kind. Owns nothing; the handle and
// the name must outlive it.
class file_ref {
public:
    file_ref(HANDLE handle, const WCHAR* path, const file_failures& failures)
        : handle_(handle), path_(path), failures_(&failures) {}
    file_ref(const named_file& file, const file_failures& failures)
        : file_ref(file.handle.get(), file.path, failures) {}

    // Positions at offset from the start (both halves of it).
    void seek(uint64_t offset) const;
    uint64_t size() const;
    // Reads at the current position as many bytes as the file holds, up to
    // count; only a failed read raises.
    uint32_t read(void* buffer, uint32_t count) const;
    // Reads count bytes that must be there: a short read raises too.
    void read_exactly(void* buffer, uint32_t count) const;
    // Writes count bytes; a failed or short write raises.
    void write_exactly(const void* buffer, uint32_t count) const;
    // The same, positioned first.
    uint32_t read_at(uint64_t offset, void* buffer, uint32_t count) const {
        seek(offset);
        return read(buffer, count);
    }
    void read_exactly_at(uint64_t offset, void* buffer, uint32_t count) const {
        seek(offset);
        read_exactly(buffer, count);
    }
    void write_exactly_at(uint64_t offset, const void* buffer, uint32_t count) const {
        seek(offset);
        write_exactly(buffer, count);
    }
    // Ends the file at offset.
    void cut_at(uint64_t offset) const;

private:
    [[noreturn]] void fail(const char* operation, DWORD error, odb_status status) const;

    HANDLE handle_;
    const WCHAR* path_;
    const file_failures* failures_;
};

// Writes one byte at the handle's position and lets the outcome be: the
// point is the file's last-write time, and through a handle without write
// access nothing happens, as intended.
void touch_file(HANDLE file) noexcept;

inline void put16(unsigned char* out, uint16_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
}

inline uint16_t get16(const unsigned char* in) {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

inline void put32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint32_t get32(const unsigned char* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace odb

// Floor of workload 3: the value's file opened, written or read with one
// call, closed; in the single-file form through the record header first.
// With floor_durable every write call ends with the fdatasync the library's
// durable mode makes. The storage form is not probed per call: the library
// looks it up once per hold of the object's lock, and the value's context
// holds it for the whole run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "core/disk_format.h"
#include "floor.h"
#include "values.h"

namespace bench::floor {

namespace {
void must(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("floor values: ") + what);
}
constexpr uint32_t value_attribute = 0x20;

// The record file opened and the value's record found; the open's first
// record is not read again when it is the value's.
int open_value_record(const std::string& path, bool write, record& found) {
    int fd = record_open(path, write, &found);
    if (found.offset == 0 || found.id != value_attribute) must(record_find(fd, value_attribute, found), "find");
    return fd;
}
}  // namespace

value_file::value_file(bool single_file, std::size_t bytes, const unsigned char* data)
    : dir_(std::make_unique<scratch_dir>("floor-values")), single_(single_file), bytes_(bytes) {
    object_ = dir_->sub("00000001");
    make_dir(object_);
    records_ = object_ + "/" + odb::disk::record_file_name;
    value_ = object_ + "/" + hex8(value_attribute) + odb::disk::attribute_file_suffix;
    lock_ = ::open((object_ + "/" + odb::disk::object_lock_file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (single_) {
        record_create(records_);
        int fd = record_open(records_, true);
        record_append(fd, value_attribute, data, static_cast<uint32_t>(bytes));
        ::close(fd);
    } else {
        write_whole(data);
    }
}

value_file::~value_file() { ::close(lock_); }

void value_file::write_whole(const unsigned char* data) {
    if (single_) {
        record found;
        int fd = open_value_record(records_, true, found);
        record_replace(fd, found, data, static_cast<uint32_t>(bytes_));
        floor_flush_file(fd);
        must(::write(lock_, "\1", 1) == 1, "lock");
        floor_close(fd);
        return;
    }
    int fd = floor_open(value_.c_str(), O_RDWR | O_CREAT, floor_lock::exclusive);
    must(::write(fd, data, bytes_) == static_cast<ssize_t>(bytes_), "write");
    floor_flush_file(fd);
    must(::write(lock_, "\1", 1) == 1, "lock");
    floor_close(fd);
}

void value_file::read_whole(unsigned char* out) {
    if (single_) {
        record found;
        int fd = open_value_record(records_, false, found);
        must(::pread(fd, out, found.length, static_cast<off_t>(found.offset + odb::disk::record_header_size)) == static_cast<ssize_t>(found.length),
             "read");
        floor_close(fd);
        return;
    }
    int fd = floor_open(value_.c_str(), O_RDONLY, floor_lock::shared);
    struct stat st;
    ::fstat(fd, &st);
    must(::read(fd, out, static_cast<std::size_t>(st.st_size)) == st.st_size, "read");
    floor_close(fd);
}

void value_file::write_pieces(const unsigned char* data) {
    for (std::size_t at = 0; at < bytes_; at += piece_size) {
        if (single_) {
            record found;
            int fd = open_value_record(records_, true, found);
            if (at == 0) {
                // At offset 0 a write replaces the value: the piece, then
                // the rest of the value cleared.
                record_replace(fd, found, data, piece_size);
            } else {
                record_touch(fd, found);  // the header: modified now
                must(::pwrite(fd, data + at, piece_size, static_cast<off_t>(found.offset + odb::disk::record_header_size + at)) == piece_size,
                     "write piece");
            }
            floor_flush_file(fd);
            must(::write(lock_, "\1", 1) == 1, "lock");
            floor_close(fd);
            continue;
        }
        int fd = floor_open(value_.c_str(), O_RDWR | O_CREAT, floor_lock::exclusive);
        must(::pwrite(fd, data + at, piece_size, static_cast<off_t>(at)) == piece_size, "write piece");
        floor_flush_file(fd);
        must(::write(lock_, "\1", 1) == 1, "lock");
        floor_close(fd);
    }
}

void value_file::read_pieces(unsigned char* piece) {
    for (std::size_t at = 0; at < bytes_; at += piece_size) {
        int fd = floor_open(value_.c_str(), O_RDONLY, floor_lock::shared);
        struct stat st;
        ::fstat(fd, &st);
        must(::pread(fd, piece, piece_size, static_cast<off_t>(at)) == piece_size, "read piece");
        floor_close(fd);
    }
}

}  // namespace bench::floor

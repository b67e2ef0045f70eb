// The zeroing allocator every handle, context and value buffer comes from.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

namespace odb {

// Memory cleared to zero; raises ODB_E_NO_MEMORY when exhausted.
void* zero_alloc(std::size_t size);
// Clears the block again before it goes back, so a stale handle's magic is gone.
void zero_free(void* block, std::size_t size) noexcept;

// Test hook: the k-th allocation from now fails (0 switches it off).
void fail_allocation_at(unsigned k) noexcept;
// Test hook: whether the failure asked for has not happened yet (the code
// since made fewer allocations than that).
bool allocation_failure_pending() noexcept;

// Owner of a zeroed block of one record type; the record is cleared and
// freed unless released to the caller.
template <class T>
struct zeroed_deleter {
    void operator()(T* record) const noexcept { zero_free(record, sizeof(T)); }
};
template <class T>
using zeroed_ptr = std::unique_ptr<T, zeroed_deleter<T>>;

template <class T>
zeroed_ptr<T> make_zeroed() {
    return zeroed_ptr<T>(static_cast<T*>(zero_alloc(sizeof(T))));
}

// A zeroed byte buffer of a size known only at run time.
class zeroed_buffer {
public:
    explicit zeroed_buffer(std::size_t size)
        : data_(static_cast<unsigned char*>(zero_alloc(size == 0 ? 1 : size))), size_(size) {}
    zeroed_buffer(const zeroed_buffer&) = delete;
    zeroed_buffer& operator=(const zeroed_buffer&) = delete;
    ~zeroed_buffer() { zero_free(data_, size_ == 0 ? 1 : size_); }

    unsigned char* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* data_;
    std::size_t size_;
};

}  // namespace odb

#include "core/allocator.h"

#include <atomic>
#include <cstdlib>

#include "core/status.h"

namespace odb {

namespace {
std::atomic<unsigned> allocations_until_failure{0};

bool injected_failure() noexcept {
    unsigned remaining = allocations_until_failure.load(std::memory_order_relaxed);
    while (remaining != 0) {
        if (allocations_until_failure.compare_exchange_weak(remaining, remaining - 1))
            return remaining == 1;
    }
    return false;
}
}  // namespace

void* zero_alloc(std::size_t size) {
    void* block = injected_failure() ? nullptr : std::calloc(1, size);
    if (block == nullptr) raise(ODB_E_NO_MEMORY);
    return block;
}

void zero_free(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    std::memset(block, 0, size);
    std::free(block);
}

void fail_allocation_at(unsigned k) noexcept { allocations_until_failure.store(k); }

bool allocation_failure_pending() noexcept { return allocations_until_failure.load() != 0; }

}  // namespace odb

// Workload 4: lock hand-off. One process holds an object for writing,
// another waits for it; the figure is the time from the holder's close to
// the waiter's success.
#pragma once

#include <string>
#include <vector>

namespace bench {

// How the waiter waits.
enum class handoff_side { library, floor_polling, floor_blocking };

// Runs `rounds` hand-offs and returns the latencies in milliseconds. The
// waiter reaches the database through `waiter_dir`, the same directory as
// `dir` (through another mount of a shared volume, for two clients).
std::vector<double> run_handoffs(handoff_side side, const std::string& dir,
                                 const std::string& waiter_dir, int rounds, unsigned sleep_ms);

namespace floor {
// The object lock taken with raw calls: an open-file-description write lock
// on the lock file. `poll_sleep_ms` 0 waits in the kernel (F_OFD_SETLKW);
// otherwise the waiter retries after that sleep, as the library's loop does.
int take_lock(const std::string& path, unsigned poll_sleep_ms);
}  // namespace floor

}  // namespace bench

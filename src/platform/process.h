// Telling a forked child from the process that made a record.
#pragma once

#include <cstdint>

namespace odb::platform {

// A number that changes in every child made by fork() without exec, and
// nowhere else. A child has a copy of its parent's memory but none of its
// platform handles (they are closed in the child at the fork), so a record
// that notes this number when it is made can tell, in a child, that it
// belongs to the parent and must be refused. Windows has no fork: always 0.
#if defined(_WIN32)
inline uint32_t process_generation() { return 0; }
#else
uint32_t process_generation();
#endif

}  // namespace odb::platform

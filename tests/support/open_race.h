// The body of the share-mode race: open one file over and over, mostly
// exclusively and sometimes shared, and check while holding it that nobody
// holds it in a conflicting way. Run by several threads of a test and by
// several helper processes at once.
//
// The file holds two 32-bit words: an "inside" mark that an exclusive holder
// sets while it holds the file, and a counter each exclusive holder
// increments. A holder that finds the mark set has overlapped another; so
// has a lost increment, which the caller finds in the final count.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace odb::test {

struct open_race_result {
    uint32_t exclusive_holds = 0;
    uint32_t shared_holds = 0;
    uint32_t overlaps = 0;
    DWORD unexpected_error = 0;  // an open failing other than by sharing
};

// Every fourth hold is shared. `marker` is written as the inside mark; it
// must be nonzero and should differ between racers.
open_race_result run_open_race(const WCHAR* path, uint32_t iterations, uint32_t marker);

// The two words of a race file; false if it cannot be read.
bool read_race_file(const WCHAR* path, uint32_t& inside, uint32_t& counter);

}  // namespace odb::test

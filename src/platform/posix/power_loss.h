// A test-only power-loss simulator in the POSIX platform layer, beside the
// fault injection (fault_injection.h) and behind the same switch: it
// records what the layer changes in a directory tree, and then replaces
// that tree with what a disk could hold had the power failed after a chosen
// call. Only tests include this header; nothing here is exported.
//
// The model. The tree as it is when recording starts is on stable storage.
// From then on every change the layer makes below the root is recorded in
// order, with the number of the counted call that made it: a write or a
// truncation of a file (by inode), and a change of a directory's entries
// (a file or directory created, removed, or renamed, which is one change
// that is kept or lost whole). A change is durable once a later flush
// covers it: FlushFileBuffers of the same file for its bytes and size,
// platform::FlushDirectoryW of the directory for its entries (of both
// directories for a rename). A cut after call k forgets every change made
// after call k, keeps every durable change, and of the others keeps, per
// file and per directory, none, all, a prefix, or an arbitrary subset
// (disks reorder). The tree is then rebuilt from the starting state with
// the kept changes replayed in their order: a file whose creation was lost
// is gone with everything written to it, a file reached through a lost
// rename keeps its old name, and a write kept to a file stays in it
// wherever its name ended up.
//
// The limits. It is stricter than ext4 or NTFS, whose journals commit
// directory changes in order and whose flush of one file commits every
// earlier directory change with it; a state it builds may be one those
// would not leave, never the reverse. Writes are kept or lost whole, never
// in part, so a torn sector is not played. Only changes made through this
// layer are seen, in this process (the profile functions included;
// platform::WipeUnlistedEntriesW is not recorded, nor anything done by a
// child process); times, modes and owners are not restored. Recording
// needs the fault injection armed to count calls (a plan with no `entry`
// and `at` 0 counts every call); it is process-wide and for one test
// thread, like the fault injection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace odb::power {

// Starts recording changes below `root`, an existing directory whose
// present tree counts as on stable storage. Ends an earlier record.
void start(const std::string& root);
// Stops recording; what was recorded stays for cut().
void stop();

enum class loss {
    everything,  // every change not yet flushed is lost
    nothing,     // none is: the tree as the calls left it (a killed process)
    prefix,      // of each file's and directory's unflushed changes, a prefix stays
    subset,      // each unflushed change stays or goes on its own
    chosen,      // the n-th unflushed change (in the order made) stays if bit n of `keep` is set
};

struct cut_plan {
    uint64_t after_call = 0;  // the counted call after which the power fails
    loss kind = loss::everything;
    uint32_t seed = 1;  // for prefix and subset
    uint64_t keep = 0;  // for chosen
};

struct cut_result {
    // kept + lost is the number of unflushed changes, which `keep` counts.
    uint64_t durable = 0;  // changes kept because a flush covered them
    uint64_t kept = 0;     // unflushed changes kept anyway
    uint64_t lost = 0;     // unflushed changes lost
};

// How many changes made up to `after_call` no flush covers by then.
uint64_t unflushed_changes(uint64_t after_call);

// Replaces the tree below the root with the state the plan describes. The
// caller has closed every handle below the root. False (with errno) when
// the tree could not be rebuilt.
bool cut(const cut_plan& plan, cut_result* result = nullptr);

// Changes recorded since start() (flushes not counted).
uint64_t recorded_changes();

// The counted calls that changed something or flushed, in order, each
// once: a cut between two of them leaves the same tree as a cut after the
// first, so these are the places worth cutting.
std::vector<uint64_t> calls_with_changes();

}  // namespace odb::power

// odb --verbose: the library writes a line for each failing call (the
// QMFILEDB_TRACE variable) to a file of this run's own, and an error the
// tool reports for a failed call carries the line of that failure: which
// call, which file, the system's reason and how long it waited.
#pragma once

#include <string>

#include "qmfiledb.h"

namespace odbtool {

// Must run before the first call into the library, which reads the
// variable once per process. The file is deleted when the program ends.
void start_library_trace();
bool library_trace_started();

// The latest line written since the previous call for a failure with this
// status; empty when there is none (or the trace is off).
std::string take_library_trace(odb_status status);

}  // namespace odbtool

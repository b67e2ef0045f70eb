// The operations the hostile tests run against a copy of the world: one
// scenario per kind of change the library makes, each covering one or a
// few exports, with what it may change. The fault sweep runs each with a
// failure placed at every platform call in turn, the allocation sweep with
// every allocation failing in turn.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "reliability/world.h"

namespace odb::reliability {

// What one run holds: the handles the caller opened before the operation
// (they must survive it) and those the operation handed out.
struct run_state {
    wide_string root;
    const test::temp_dir* dir = nullptr;
    odb_database* db = nullptr;
    std::vector<odb_obj_ctx*> contexts;
    std::vector<odb_enum_ctx*> walks;
    expected_change change;
    // Extra checks once the world is verified (identifier ranges).
    std::function<void(const wide_string& root, bool succeeded, const std::string& trace)> after;
};

struct scenario {
    const char* name;
    bool auto_convert = false;
    // Opens what the caller holds before the operation; runs without faults.
    std::function<void(run_state&)> prepare;
    // The operation under test; its status (the last failing one when it
    // makes several calls).
    std::function<odb_status(run_state&)> act;
};

const std::vector<scenario>& all_scenarios();

// Sets up a copy of the world for a scenario: settings (with `extra`
// settings added), prepare. False (with a test failure) if that did not work.
bool start_run(const scenario& s, const test::temp_dir& dir, run_state& run,
               const std::string& extra_settings = std::string());

// After the operation: every held handle still answers and closes.
void close_run(run_state& run);

// close_run, then the world is verified. `trace` names the run in failures.
void finish_run(run_state& run, odb_status status, const std::string& trace);

// A new object made through a fresh handle takes no identifier in use, and
// one within low..high.
void check_next_id(const wide_string& root, const std::string& trace, uint32_t low = 0,
                   uint32_t high = 0xFFFFFFFFu);

// Whether the long versions of the hostile loops were asked for
// (QMFILEDB_RELIABILITY_FULL=1).
bool full_runs();

}  // namespace odb::reliability

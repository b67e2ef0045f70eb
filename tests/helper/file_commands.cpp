// Commands that hold, delete, rename and race for files from a second
// process, for the share-mode tests.
#include <string>
#include <vector>

#include "helper_commands.h"
#include "helper_io.h"
#include "platform/handle.h"
#include "support/open_forms.h"
#include "support/open_race.h"

namespace {

using args_t = std::vector<std::string>;
using helper::path_argument;
using helper::report;

std::string outcome(BOOL ok) { return ok ? "ok" : "error " + std::to_string(GetLastError()); }

// Opens the file, reports "held" or "error N", and keeps the handle until
// the test says so.
int hold_file(const args_t& args) {
    if (args.size() != 3) return helper::exit_usage;
    const odb::test::open_form* form = odb::test::find_open_form(args[1]);
    DWORD disposition = odb::test::find_disposition(args[2]);
    if (form == nullptr || disposition == 0) return helper::exit_usage;
    odb::file_handle file(
        odb::test::open_in_form(path_argument(args[0]).c_str(), *form, disposition));
    report(file ? "held" : "error " + std::to_string(GetLastError()));
    helper::await_test();
    return helper::exit_ok;
}

int delete_file(const args_t& args) {
    if (args.size() != 1) return helper::exit_usage;
    report(outcome(DeleteFileW(path_argument(args[0]).c_str())));
    return helper::exit_ok;
}

int move_file(const args_t& args) {
    if (args.size() != 2) return helper::exit_usage;
    report(outcome(MoveFileW(path_argument(args[0]).c_str(), path_argument(args[1]).c_str())));
    return helper::exit_ok;
}

// Reports "ready" and waits for the test's go, so that all racers start
// together; races; reports "done EXCLUSIVE SHARED OVERLAPS ERROR".
int race_open(const args_t& args) {
    if (args.size() != 3) return helper::exit_usage;
    uint32_t iterations = static_cast<uint32_t>(std::stoul(args[1]));
    uint32_t marker = static_cast<uint32_t>(std::stoul(args[2]));
    odb::test::wide_string path = path_argument(args[0]);
    report("ready");
    helper::await_test();
    odb::test::open_race_result result = odb::test::run_open_race(path.c_str(), iterations, marker);
    report("done " + std::to_string(result.exclusive_holds) + " " +
           std::to_string(result.shared_holds) + " " + std::to_string(result.overlaps) + " " +
           std::to_string(result.unexpected_error));
    return result.overlaps == 0 && result.unexpected_error == 0 ? helper::exit_ok
                                                                : helper::exit_failed;
}

}  // namespace

ODB_HELPER_COMMAND("hold-file", hold_file,
                   "PATH read|write|exclusive open-existing|open-always|create-always|create-new");
ODB_HELPER_COMMAND("delete-file", delete_file, "PATH");
ODB_HELPER_COMMAND("move-file", move_file, "FROM TO");
ODB_HELPER_COMMAND("race-open", race_open, "PATH ITERATIONS MARKER");

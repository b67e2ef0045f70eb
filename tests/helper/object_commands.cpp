// Commands that hold databases and objects, create objects and time the
// retrying open from a second process, for the core and store suites.
// Statuses are reported as eight lower-case hexadecimal digits.
#include <chrono>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/status.h"
#include "helper_commands.h"
#include "helper_io.h"
#include "platform/handle.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using args_t = std::vector<std::string>;
using helper::path_argument;
using helper::report;
using odb::test::hex_name;
using odb::test::odb_text;

uint32_t number_argument(const std::string& text) {
    return static_cast<uint32_t>(std::stoul(text, nullptr, 0));
}

// Opens the database, reports "held" or "error STATUS", and keeps the handle
// until the test says so.
int hold_database(const args_t& args) {
    if (args.size() != 1) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(path_argument(args[0]), &status);
    report(db ? "held" : "error " + hex_name(status));
    helper::await_test();
    return helper::exit_ok;
}

// Opens a context on the object in MODE, reports "held" or "error STATUS",
// and keeps it until the test says so.
int hold_object(const args_t& args) {
    if (args.size() != 4) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(path_argument(args[0]), &status);
    odb_obj_ctx* ctx = nullptr;
    if (db)
        status = ODB_obj_create_ctx(db.get(), number_argument(args[1]), number_argument(args[2]),
                                    number_argument(args[3]), &ctx);
    odb::test::ctx_ptr held(ctx);
    report(status == ODB_OK ? "held" : "error " + hex_name(status));
    helper::await_test();
    return helper::exit_ok;
}

// Reports "ready", waits for the test's go, creates COUNT objects of the
// class (closing each context at once), reporting "id ID" for each, and ends
// with "done" or "error STATUS".
int create_objects(const args_t& args) {
    if (args.size() != 3) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(path_argument(args[0]), &status);
    if (!db) {
        report("error " + hex_name(status));
        return helper::exit_failed;
    }
    const uint32_t cls = number_argument(args[1]);
    const uint32_t count = number_argument(args[2]);
    report("ready");
    helper::await_test();
    for (uint32_t made = 0; made < count; ++made) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        status = ODB_obj_new(db.get(), cls, &id, &ctx);
        if (status != ODB_OK) {
            report("error " + hex_name(status));
            return helper::exit_failed;
        }
        ODB_obj_close_ctx(ctx);
        report("id " + hex_name(id));
    }
    report("done");
    return helper::exit_ok;
}

// Looks NAME up in the class's name index and reports "id ID" or
// "error STATUS".
int lookup_name(const args_t& args) {
    if (args.size() != 3) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(path_argument(args[0]), &status);
    uint32_t id = 0;
    if (db)
        status = ODB_obj_lookup_ex(db.get(), number_argument(args[1]), ODB_NAME_ATTRIBUTE,
                                   ODB_NAME_ANSI, args[2].c_str(),
                                   static_cast<uint32_t>(args[2].size() + 1), &id);
    report(status == ODB_OK ? "id " + hex_name(id) : "error " + hex_name(status));
    return helper::exit_ok;
}

// Opens PATH exclusively through the retrying open, with this process's
// lock timing, and reports "free|contested STATUS MILLISECONDS": whether a
// first plain open found the file held, the outcome, and the time the
// retrying open took. With STARTED, that file is created once the file was
// found held, so the test knows the retrying open is under way.
int open_with_retry(const args_t& args) {
    if (args.size() != 1 && args.size() != 2) return helper::exit_usage;
    odb::load_lock_settings();
    const odb::test::wide_string path = path_argument(args[0]);
    bool contested;
    {
        odb::file_handle first(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        contested = !first;
    }
    if (contested && args.size() == 2) odb::test::write_file(path_argument(args[1]), "started");
    const auto start = std::chrono::steady_clock::now();
    odb_status status = odb::guarded(
        [&] { odb::open_with_retry(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS); });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    report(std::string(contested ? "contested " : "free ") + hex_name(status) + " " +
           std::to_string(elapsed.count()));
    return helper::exit_ok;
}

}  // namespace

ODB_HELPER_COMMAND("hold-database", hold_database, "ROOT");
ODB_HELPER_COMMAND("hold-object", hold_object, "ROOT CLASS ID MODE");
ODB_HELPER_COMMAND("create-objects", create_objects, "ROOT CLASS COUNT");
ODB_HELPER_COMMAND("lookup-name", lookup_name, "ROOT CLASS NAME");
ODB_HELPER_COMMAND("open-with-retry", open_with_retry, "PATH [STARTED]");

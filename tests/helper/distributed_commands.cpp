// Commands for the distributed suite: a holder that only a kill ends, and
// a creator that, like a patient client, tries again when the class's lock
// stays taken past the time-out (under a saturating load a polling lock
// can starve one contender for a while).
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helper_commands.h"
#include "helper_io.h"
#include "support/database_fixture.h"

namespace {

// Opens a context on the object in MODE, reports "held" or "error STATUS",
// and then holds it until the process is killed.
int hold_object_until_killed(const std::vector<std::string>& args) {
    if (args.size() != 4) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(helper::path_argument(args[0]), &status);
    odb_obj_ctx* ctx = nullptr;
    if (db)
        status = ODB_obj_create_ctx(db.get(), static_cast<uint32_t>(std::stoul(args[1], nullptr, 0)),
                                    static_cast<uint32_t>(std::stoul(args[2], nullptr, 0)),
                                    static_cast<uint32_t>(std::stoul(args[3], nullptr, 0)), &ctx);
    odb::test::ctx_ptr held(ctx);
    helper::report(status == ODB_OK ? "held" : "error " + odb::test::hex_name(status));
    if (status != ODB_OK) return helper::exit_failed;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Reports "ready", waits for the test's go, creates COUNT objects of the
// class, reporting "id ID" for each, and ends with "done RETRIES" or
// "error STATUS"; a lock time-out is retried, not an error.
int create_objects_patiently(const std::vector<std::string>& args) {
    if (args.size() != 3) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(helper::path_argument(args[0]), &status);
    if (!db) {
        helper::report("error " + odb::test::hex_name(status));
        return helper::exit_failed;
    }
    const uint32_t cls = static_cast<uint32_t>(std::stoul(args[1], nullptr, 0));
    const unsigned long count = std::stoul(args[2]);
    helper::report("ready");
    helper::await_test();
    unsigned long retries = 0;
    for (unsigned long made = 0; made < count;) {
        uint32_t id = 0;
        odb_obj_ctx* ctx = nullptr;
        status = ODB_obj_new(db.get(), cls, &id, &ctx);
        if (status == ODB_E_LOCK_TIMEOUT) {
            ++retries;
            continue;
        }
        if (status != ODB_OK) {
            helper::report("error " + odb::test::hex_name(status));
            return helper::exit_failed;
        }
        ODB_obj_close_ctx(ctx);
        helper::report("id " + odb::test::hex_name(id));
        ++made;
    }
    helper::report("done " + std::to_string(retries));
    return helper::exit_ok;
}

// Opens the object for writing and sets attribute 1 to "before", reports
// "held" or "error STATUS", waits for the test's word, then sets it to
// "after" through the same context and reports "write STATUS"; the context
// stays open until the test ends the helper's input.
int hold_and_write(const std::vector<std::string>& args) {
    if (args.size() != 3) return helper::exit_usage;
    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(helper::path_argument(args[0]), &status);
    odb_obj_ctx* ctx = nullptr;
    if (db)
        status = ODB_obj_create_ctx(db.get(), static_cast<uint32_t>(std::stoul(args[1], nullptr, 0)),
                                    static_cast<uint32_t>(std::stoul(args[2], nullptr, 0)),
                                    ODB_MODE_WRITE, &ctx);
    odb::test::ctx_ptr held(ctx);
    if (status == ODB_OK) status = ODB_obj_set_attribute(ctx, 1, 0, "before", 6);
    helper::report(status == ODB_OK ? "held" : "error " + odb::test::hex_name(status));
    if (status != ODB_OK) return helper::exit_failed;
    helper::await_test();
    helper::report("write " + odb::test::hex_name(ODB_obj_set_attribute(ctx, 1, 0, "after", 5)));
    helper::await_test();
    return helper::exit_ok;
}

}  // namespace

ODB_HELPER_COMMAND("hold-and-write", hold_and_write, "ROOT CLASS ID");
ODB_HELPER_COMMAND("create-objects-patiently", create_objects_patiently, "ROOT CLASS COUNT");
ODB_HELPER_COMMAND("hold-object-until-killed", hold_object_until_killed, "ROOT CLASS ID MODE");

// A holder that only a kill ends, for the tests that kill a client on one
// mount and expect its object lock to pass to a client on another.
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

}  // namespace

ODB_HELPER_COMMAND("hold-object-until-killed", hold_object_until_killed, "ROOT CLASS ID MODE");

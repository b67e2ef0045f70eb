// Attribute commands: a second process that keeps rewriting one attribute
// while the test reads it.
#include <string>
#include <vector>

#include "helper_commands.h"
#include "helper_io.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using args_t = std::vector<std::string>;

// Opens the database and the object for writing, stores the value of all
// bytes 'A' and reports "ready"; then rewrites it whole, alternately all
// 'B' and all 'A', until the stop file exists or MAX_WRITES writes were
// made. A write refused because the test holds the file at that moment
// (0xDB020007 per attribute, 0xDB000014 for ATTRIBS.FDB) is counted and
// retried. Reports "done WRITES REFUSED", or "fail STATUS" on any other
// outcome.
int rewrite_attribute(const args_t& args) {
    if (args.size() != 7) return helper::exit_usage;
    const odb::test::wide_string root = helper::path_argument(args[0]);
    const uint32_t cls = static_cast<uint32_t>(std::stoul(args[1], nullptr, 16));
    const uint32_t id = static_cast<uint32_t>(std::stoul(args[2], nullptr, 16));
    const uint32_t attribute = static_cast<uint32_t>(std::stoul(args[3], nullptr, 16));
    const std::size_t size = std::stoul(args[4]);
    const odb::test::wide_string stop = helper::path_argument(args[5]);
    const unsigned long max_writes = std::stoul(args[6]);

    odb_status status = ODB_OK;
    odb::test::database_ptr db = odb::test::open_database(root, &status);
    if (!db) {
        helper::report("fail " + std::to_string(status));
        return helper::exit_failed;
    }
    odb_obj_ctx* raw = nullptr;
    status = ODB_obj_create_ctx(db.get(), cls, id, ODB_MODE_WRITE, &raw);
    odb::test::ctx_ptr ctx(raw);
    const std::string values[2] = {std::string(size, 'A'), std::string(size, 'B')};
    if (status == ODB_OK)
        status = ODB_obj_set_attribute(ctx.get(), attribute, 0, values[0].data(),
                                       static_cast<uint32_t>(size));
    if (status != ODB_OK) {
        helper::report("fail " + std::to_string(status));
        return helper::exit_failed;
    }
    helper::report("ready");

    unsigned long writes = 0, refused = 0;
    while (writes < max_writes && !odb::test::path_exists(stop)) {
        const std::string& value = values[(writes + 1) % 2];
        status = ODB_obj_set_attribute(ctx.get(), attribute, 0, value.data(),
                                       static_cast<uint32_t>(size));
        if (status == ODB_OK) {
            ++writes;
        } else if (status == ODB_E_ATTRIBUTE_IN_USE || status == ODB_E_FILE_ACCESS) {
            ++refused;
        } else {
            helper::report("fail " + std::to_string(status));
            return helper::exit_failed;
        }
    }
    helper::report("done " + std::to_string(writes) + " " + std::to_string(refused));
    return helper::exit_ok;
}

}  // namespace

ODB_HELPER_COMMAND("rewrite-attribute", rewrite_attribute,
                   "ROOT CLASS ID ATTRIBUTE SIZE STOP_FILE MAX_WRITES (numbers in hex but SIZE, MAX_WRITES)");

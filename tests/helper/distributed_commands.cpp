// Commands for the distributed suite: a holder that only a kill ends, and
// creators, claimants of identifier ranges, movers and readers that, like
// patient clients, try again when a lock stays taken past the time-out
// (under a saturating load a polling lock can starve one contender for a
// while).
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helper_commands.h"
#include "helper_io.h"
#include "reliability/workload.h"
#include "support/database_fixture.h"

namespace {

using odb::test::hex_name;

uint32_t number(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 0)); }

// Calls `attempt` until it answers anything but a lock time-out.
template <class Attempt>
odb_status patiently(Attempt attempt) {
    odb_status status;
    while ((status = attempt()) == ODB_E_LOCK_TIMEOUT) {
    }
    return status;
}

// The database at ROOT, reported as "error STATUS" when it cannot be opened.
odb::test::database_ptr open_reporting(const std::string& root) {
    odb_status status = ODB_OK;
    odb::test::database_ptr db;
    patiently([&] {
        db = odb::test::open_database(helper::path_argument(root), &status);
        return status;
    });
    if (!db) helper::report("error " + hex_name(status));
    return db;
}

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

// Reports "ready", waits for the test's go, then ROUNDS times steals a block
// of COUNT identifiers ("range FIRST LAST") and creates an object of the
// class ("id ID"), each until the range is exhausted; ends with "done" or
// "error STATUS".
int claim_ids(const std::vector<std::string>& args) {
    if (args.size() != 4) return helper::exit_usage;
    odb::test::database_ptr db = open_reporting(args[0]);
    if (!db) return helper::exit_failed;
    const uint32_t cls = number(args[1]), count = number(args[2]), rounds = number(args[3]);
    helper::report("ready");
    helper::await_test();
    bool steal = true, create = true;
    for (uint32_t round = 0; round < rounds && (steal || create); ++round) {
        uint32_t first = 0, last = 0, id = 0;
        odb_status status = ODB_E_NO_FREE_ID;
        if (steal) status = patiently([&] { return ODB_steal_ids(db.get(), count, &first, &last); });
        if (status == ODB_OK) helper::report("range " + hex_name(first) + " " + hex_name(last));
        steal = status == ODB_OK;
        if (status == ODB_OK || status == ODB_E_NO_FREE_ID) {
            status = ODB_E_NO_FREE_ID;
            if (create)
                status = patiently([&] {
                    odb_obj_ctx* ctx = nullptr;
                    const odb_status made = ODB_obj_new(db.get(), cls, &id, &ctx);
                    if (made == ODB_OK) ODB_obj_close_ctx(ctx);
                    return made;
                });
            if (status == ODB_OK) helper::report("id " + hex_name(id));
            create = status == ODB_OK;
        }
        if (status != ODB_OK && status != ODB_E_NO_FREE_ID) {
            helper::report("error " + hex_name(status));
            return helper::exit_failed;
        }
    }
    helper::report("done");
    return helper::exit_ok;
}

// Reports "ready", waits for the test's go, then ROUNDS times sets the
// identifier range, taking the given ranges in turn; "done" or "error STATUS".
int assign_ids(const std::vector<std::string>& args) {
    if (args.size() < 4 || args.size() % 2 != 0) return helper::exit_usage;
    odb::test::database_ptr db = open_reporting(args[0]);
    if (!db) return helper::exit_failed;
    const uint32_t rounds = number(args[1]);
    helper::report("ready");
    helper::await_test();
    for (uint32_t round = 0; round < rounds; ++round) {
        const std::size_t pick = 2 + 2 * (round % ((args.size() - 2) / 2));
        const odb_status status = patiently(
            [&] { return ODB_assign_ids(db.get(), number(args[pick]), number(args[pick + 1])); });
        if (status != ODB_OK) {
            helper::report("error " + hex_name(status));
            return helper::exit_failed;
        }
    }
    helper::report("done");
    return helper::exit_ok;
}

// Reports "ready", waits for the test's go, then COUNT times opens the
// database, creates an object of the class ("id ID") and closes it again:
// each open reads the settings anew. "done" or "error STATUS".
int open_and_create(const std::vector<std::string>& args) {
    if (args.size() != 3) return helper::exit_usage;
    const uint32_t cls = number(args[1]), count = number(args[2]);
    helper::report("ready");
    helper::await_test();
    for (uint32_t made = 0; made < count; ++made) {
        odb::test::database_ptr db = open_reporting(args[0]);
        if (!db) return helper::exit_failed;
        uint32_t id = 0;
        const odb_status status = patiently([&] {
            odb_obj_ctx* ctx = nullptr;
            const odb_status created = ODB_obj_new(db.get(), cls, &id, &ctx);
            if (created == ODB_OK) ODB_obj_close_ctx(ctx);
            return created;
        });
        if (status != ODB_OK) {
            helper::report("error " + hex_name(status));
            return helper::exit_failed;
        }
        helper::report("id " + hex_name(id));
    }
    helper::report("done");
    return helper::exit_ok;
}

// Reports "ready", waits for the test's go, then ROUNDS times removes the
// object and restores it, each restore tried until it lands (a reader in
// the removed form holds it back). "done REMOVALS" or "error STATUS".
int remove_and_restore(const std::vector<std::string>& args) {
    if (args.size() != 4) return helper::exit_usage;
    odb::test::database_ptr db = open_reporting(args[0]);
    if (!db) return helper::exit_failed;
    const uint32_t cls = number(args[1]), id = number(args[2]), rounds = number(args[3]);
    helper::report("ready");
    helper::await_test();
    // One step on a context of its own in MODE: its status, or the open's.
    auto step = [&](uint32_t mode, auto act) {
        odb_obj_ctx* ctx = nullptr;
        odb_status status = ODB_obj_create_ctx(db.get(), cls, id, mode, &ctx);
        if (status == ODB_OK) {
            status = act(ctx);
            ODB_obj_close_ctx(ctx);
        }
        return status;
    };
    uint32_t removals = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
        // A reader holding the object refuses the move, or keeps the lock.
        const odb_status removed =
            step(ODB_MODE_WRITE, [](odb_obj_ctx* ctx) { return ODB_obj_remove_ex(ctx, 0); });
        if (removed == ODB_E_REMOVE_MOVE || removed == ODB_E_OBJECT_LOCK) continue;
        if (removed != ODB_OK) {
            helper::report("error " + hex_name(removed));
            return helper::exit_failed;
        }
        ++removals;
        // Readers hold the object back only for a while: a restore that
        // keeps failing means something stays at the live name for good.
        odb_status restored;
        int attempts = 0;
        while (((restored = step(ODB_MODE_WRITE | ODB_MODE_REMOVED,
                                 [](odb_obj_ctx* ctx) { return ODB_obj_restore(ctx); })) ==
                    ODB_E_RESTORE_MOVE ||
                restored == ODB_E_OBJECT_LOCK) &&
               ++attempts < 20000) {
        }
        if (restored != ODB_OK) {
            helper::report("error " + hex_name(restored));
            return helper::exit_failed;
        }
    }
    helper::report("done " + std::to_string(removals));
    return helper::exit_ok;
}

// Reports "ready", waits for the test's go, then ROUNDS times opens the
// live object for reading and reads attribute 1, which must be the
// workload value of TAG and LENGTH whole. An object not there, or held past
// the time-out, is counted. "done READ ABSENT BUSY", "torn" or "error STATUS".
int read_racing(const std::vector<std::string>& args) {
    if (args.size() != 6) return helper::exit_usage;
    odb::test::database_ptr db = open_reporting(args[0]);
    if (!db) return helper::exit_failed;
    const uint32_t cls = number(args[1]), id = number(args[2]), rounds = number(args[3]);
    const std::string expected = odb::reliability::workload_value(number(args[4]), number(args[5]));
    helper::report("ready");
    helper::await_test();
    uint32_t read = 0, absent = 0, busy = 0;
    for (uint32_t round = 0; round < rounds; ++round) {
        odb_obj_ctx* ctx = nullptr;
        odb_status status = ODB_obj_create_ctx(db.get(), cls, id, ODB_MODE_READ, &ctx);
        if (status == ODB_E_NO_OBJECT) ++absent;
        if (status == ODB_E_OBJECT_LOCK) ++busy;
        if (status != ODB_OK) {
            if (status == ODB_E_NO_OBJECT || status == ODB_E_OBJECT_LOCK) continue;
            helper::report("error " + hex_name(status));
            return helper::exit_failed;
        }
        std::string value(expected.size() + 16, '\0');
        uint32_t size = static_cast<uint32_t>(value.size());
        status = ODB_obj_get_attribute(ctx, 1, 0, &value[0], &size);
        ODB_obj_close_ctx(ctx);
        value.resize(size < value.size() ? size : value.size());
        if (status != ODB_OK || value != expected) {
            helper::report(status != ODB_OK ? "error " + hex_name(status) : "torn");
            return helper::exit_failed;
        }
        ++read;
    }
    helper::report("done " + std::to_string(read) + " " + std::to_string(absent) + " " +
                   std::to_string(busy));
    return helper::exit_ok;
}

}  // namespace

ODB_HELPER_COMMAND("claim-ids", claim_ids, "ROOT CLASS COUNT ROUNDS");
ODB_HELPER_COMMAND("assign-ids", assign_ids, "ROOT ROUNDS FIRST LAST [FIRST LAST]...");
ODB_HELPER_COMMAND("open-and-create", open_and_create, "ROOT CLASS COUNT");
ODB_HELPER_COMMAND("remove-and-restore", remove_and_restore, "ROOT CLASS ID ROUNDS");
ODB_HELPER_COMMAND("read-racing", read_racing, "ROOT CLASS ID ROUNDS TAG LENGTH");
ODB_HELPER_COMMAND("hold-and-write", hold_and_write, "ROOT CLASS ID");
ODB_HELPER_COMMAND("create-objects-patiently", create_objects_patiently, "ROOT CLASS COUNT");
ODB_HELPER_COMMAND("hold-object-until-killed", hold_object_until_killed, "ROOT CLASS ID MODE");

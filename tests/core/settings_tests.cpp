// DBCFG.INI as the handle sees it, the identifier range settings, and the
// timing of the retrying open (from helper processes that run beside a
// QMFILEDB.INI of their own).
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "core/database.h"
#include "core/settings.h"
#include "support/child_process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

TEST(DatabaseSettings, DefaultsHoldWithoutASettingsFile) {
    scratch_database scratch;
    const odb_database& db = *scratch.db();
    EXPECT_FALSE(db.name_index_enabled);
    EXPECT_EQ(db.index_lock_timeout, 30000u);
    EXPECT_EQ(db.index_lock_sleep, 10u);
    EXPECT_EQ(db.hash_count, 16u);
    EXPECT_EQ(db.lifetime, 1800u);
    EXPECT_EQ(db.min_entry_size, 16u);
    EXPECT_FALSE(db.single_file);
    EXPECT_FALSE(db.auto_convert);
    EXPECT_FALSE(db.track_attribute_changes);
    EXPECT_FALSE(db.track_object_changes);
    EXPECT_FALSE(db.durable);
    EXPECT_EQ(odb::read_first_id(db), 1u);
    EXPECT_EQ(odb::read_last_id(db), 0xFFFFFFF0u);
}

TEST(DatabaseSettings, ValuesFollowTheirRules) {
    scratch_database scratch(
        "[NameIndex]\nEnabled=YES\nLockTimeout=25\nLockSleep=7\nHashCount=0\nLifeTime=60\n"
        "MinEntrySize=65556\n[Attribs]\nSingleFile=Yes\nAutoConvert=yES\n"
        "[Tracking]\nAttributeChanges=yes\nObjectChanges=true\n[Durability]\nFlush=Yes\n"
        "[IdAssignment]\nFirstId=0000000A\nLastId=zz\n");
    const odb_database* db = scratch.db();
    EXPECT_TRUE(db->name_index_enabled);
    EXPECT_EQ(db->index_lock_timeout, 250u);
    EXPECT_EQ(db->index_lock_sleep, 7u);
    EXPECT_EQ(db->hash_count, 1u);
    EXPECT_EQ(db->lifetime, 60u);
    EXPECT_EQ(db->min_entry_size, 20u);  // the low 16 bits of 65556
    EXPECT_TRUE(db->single_file);
    EXPECT_TRUE(db->auto_convert);
    EXPECT_TRUE(db->track_attribute_changes);
    EXPECT_FALSE(db->track_object_changes);
    EXPECT_TRUE(db->durable);
    EXPECT_EQ(odb::read_first_id(*db), 10u);
    EXPECT_EQ(odb::read_last_id(*db), 0xFFFFFFF0u);

    // Only "yes" is yes; auto convert is read only with the single file.
    scratch.reopen(
        "[NameIndex]\nEnabled=1\nHashCount=1000\nMinEntrySize=300\n"
        "[Attribs]\nSingleFile=No\nAutoConvert=yes\n[Tracking]\nAttributeChanges=on\n"
        "[Durability]\nFlush=1\n[IdAssignment]\nFirstId=zz\nLastId=000001ff\n");
    db = scratch.db();
    EXPECT_FALSE(db->name_index_enabled);
    EXPECT_EQ(db->hash_count, 256u);
    EXPECT_EQ(db->min_entry_size, 256u);
    EXPECT_FALSE(db->single_file);
    EXPECT_FALSE(db->auto_convert);
    EXPECT_FALSE(db->track_attribute_changes);
    EXPECT_FALSE(db->durable);
    EXPECT_EQ(odb::read_first_id(*db), 1u);
    EXPECT_EQ(odb::read_last_id(*db), 0x1FFu);

    scratch.reopen("[NameIndex]\nEnabled=true\nHashCount=1\nMinEntrySize=65536\n");
    EXPECT_FALSE(scratch.db()->name_index_enabled);
    EXPECT_EQ(scratch.db()->hash_count, 1u);
    EXPECT_EQ(scratch.db()->min_entry_size, 1u);  // low 16 bits 0, clamped
}

TEST(DatabaseSettings, IdentifierRangeIsWrittenAsEightLowerCaseDigits) {
    scratch_database scratch("[Attribs]\nSingleFile=yes\n");
    odb::write_first_id(*scratch.db(), 0x100);
    odb::write_last_id(*scratch.db(), 0x1FF);
    const std::string text = read_file(join(scratch.root(), "DBCFG.INI"));
    EXPECT_NE(text.find("FirstId=00000100\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("LastId=000001ff\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SingleFile=yes"), std::string::npos) << text;
    // Read from the file at each use, not from the handle's snapshot.
    EXPECT_EQ(odb::read_first_id(*scratch.db()), 0x100u);
    EXPECT_EQ(odb::read_last_id(*scratch.db()), 0x1FFu);
}

TEST(DatabaseSettings, EachHandleKeepsTheSettingsOfItsOpen) {
    scratch_database scratch;
    database_ptr before = scratch.second_handle();
    write_settings(scratch.root(), "[Attribs]\nSingleFile=yes\n");
    database_ptr after = scratch.second_handle();
    EXPECT_FALSE(scratch.db()->single_file);
    EXPECT_FALSE(before->single_file);
    EXPECT_TRUE(after->single_file);

    // The handles create objects in the form each one saw.
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    ASSERT_EQ(ODB_obj_new(before.get(), 5, &id, &ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_FALSE(path_exists(join(scratch.object_dir(5, id), "ATTRIBS.FDB")));
    ASSERT_EQ(ODB_obj_new(after.get(), 5, &id, &ctx), ODB_OK);
    ODB_obj_close_ctx(ctx);
    EXPECT_TRUE(path_exists(join(scratch.object_dir(5, id), "ATTRIBS.FDB")));
}

// The names and sizes below a directory, one per line (sizes left out for
// ATTRIBS.STA, whose readable times vary in length).
void describe_tree(const wide_string& path, const std::string& prefix, std::string& out) {
    for (const std::string& name : list_directory(path)) {
        const wide_string child = join(path, name.c_str());
        HANDLE file = CreateFileW(child.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            describe_tree(child, prefix + name + "/", out);
            continue;
        }
        out += prefix + name;
        if (name != "ATTRIBS.STA") out += " " + std::to_string(GetFileSize(file, nullptr));
        out += "\n";
        CloseHandle(file);
    }
}

// What a run of writing calls leaves in a database with these extra settings.
std::string stored_after_writes(const std::string& extra) {
    scratch_database scratch("[NameIndex]\nEnabled=Yes\n[Attribs]\nSingleFile=Yes\n"
                             "[Tracking]\nAttributeChanges=Yes\nObjectChanges=Yes\n" + extra);
    odb_database* db = scratch.db();
    uint32_t id = 0, first = 0, last = 0;
    EXPECT_EQ(ODB_obj_count(db, 5, 0, &id), ODB_OK);  // builds the index
    const std::string grown(300, 'g');
    for (int i = 0; i < 3; ++i) {
        odb_obj_ctx* raw = nullptr;
        EXPECT_EQ(ODB_obj_new(db, 5, &id, &raw), ODB_OK);
        ctx_ptr ctx(raw);
        EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), 1, 0, "value", 5), ODB_OK);
        EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), 1, 0, grown.data(), 300), ODB_OK);
        EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), ODB_NAME_ATTRIBUTE, 0, "name", 5), ODB_OK);
        EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), 2, 0, "gone", 4), ODB_OK);
        EXPECT_EQ(ODB_obj_set_attribute(ctx.get(), 2, 0, nullptr, 0), ODB_OK);
        const uint32_t removal = i == 1 ? 0 : ODB_REMOVE_DELETE;
        if (i > 0) {
            EXPECT_EQ(ODB_obj_remove_ex(ctx.get(), removal), ODB_OK) << i;
        }
    }
    EXPECT_EQ(ODB_steal_ids(db, 10, &first, &last), ODB_OK);
    std::string out = std::to_string(first) + "-" + std::to_string(last) + "\n";
    EXPECT_EQ(ODB_obj_lookup_ex(db, 5, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "name", 5, &id), ODB_OK);
    out += "name: " + std::to_string(id) + "\n";
    describe_tree(scratch.root(), "", out);
    return out;
}

// The durable mode changes when the bytes reach the disk, never which bytes.
TEST(DatabaseSettings, DurableModeStoresWhatTheDefaultStores) {
    const std::string plain = stored_after_writes("");
    const std::string durable = stored_after_writes("[Durability]\nFlush=Yes\n");
    // DBCFG.INI differs by the setting itself.
    auto without_settings = [](std::string text) {
        const std::size_t at = text.find("DBCFG.INI ");
        return text.erase(at, text.find('\n', at) - at);
    };
    EXPECT_EQ(without_settings(durable), without_settings(plain));
}

// "free|contested STATUS MILLISECONDS" from the helper's open-with-retry.
struct retry_report {
    std::string form;
    std::string status;
    long elapsed = -1;
};

retry_report parse_retry(const std::string& line) {
    retry_report report;
    std::istringstream in(line);
    in >> report.form >> report.status >> report.elapsed;
    return report;
}

TEST(RetryingOpen, FreeFileIsOpenedWithoutSleeping) {
    temp_dir dir;
    // A sleep of ten seconds would show in the time taken.
    relocated_helper opener(3000, 10000);
    std::string output;
    ASSERT_EQ(opener.run({"open-with-retry", narrow(dir / "free.lck")}, &output), 0);
    retry_report report = parse_retry(output);
    EXPECT_EQ(report.form, "free");
    EXPECT_EQ(report.status, "00000000");
    EXPECT_GE(report.elapsed, 0);
    EXPECT_LT(report.elapsed, 10000);
}

TEST(RetryingOpen, ZeroTimeoutMakesOneAttemptAndSleepsOnce) {
    temp_dir dir;
    const std::string file = narrow(dir / "held.lck");
    auto holder = child_process::start_helper({"hold-file", file, "exclusive", "open-always"});
    ASSERT_EQ(holder->read_line(), "held");

    relocated_helper opener(0, 1000);
    std::string output;
    ASSERT_EQ(opener.run({"open-with-retry", file}, &output), 0);
    retry_report report = parse_retry(output);
    EXPECT_EQ(report.form, "contested");
    EXPECT_EQ(report.status, "db010001");
    EXPECT_GE(report.elapsed, 990);  // one sleep, allowing for a coarse clock
    EXPECT_LT(report.elapsed, 2000);  // and only one
    holder->write_line("release");
    EXPECT_EQ(holder->wait(), 0);
}

TEST(RetryingOpen, OpenSucceedsOnceTheHolderLetsGo) {
    temp_dir dir;
    const std::string file = narrow(dir / "held.lck");
    const wide_string started = dir / "started";
    auto holder = child_process::start_helper({"hold-file", file, "exclusive", "open-always"});
    ASSERT_EQ(holder->read_line(), "held");

    // A time-out of a minute: the release comes long before.
    relocated_helper opener(6000, 5);
    std::string output;
    int exit_code = -1;
    std::thread open([&] { exit_code = opener.run({"open-with-retry", file, narrow(started)}, &output); });
    // The opener has found the file held and is retrying: let it go.
    bool signalled = await_file(started);
    holder->write_line("release");
    EXPECT_EQ(holder->wait(), 0);
    open.join();
    ASSERT_TRUE(signalled);
    EXPECT_EQ(exit_code, 0);
    retry_report report = parse_retry(output);
    EXPECT_EQ(report.form, "contested");
    EXPECT_EQ(report.status, "00000000");
}

TEST(RetryingOpen, TimeoutCountsHundredthsOfASecond) {
    temp_dir dir;
    const std::string file = narrow(dir / "held.lck");
    const wide_string started = dir / "started";
    auto holder = child_process::start_helper({"hold-file", file, "exclusive", "open-always"});
    ASSERT_EQ(holder->read_line(), "held");

    // Timeout=20 is 200 ms. The holder lets go some 80 ms after the opener
    // has begun to retry: an opener that read 20 ms has given up by then,
    // and cannot succeed later, since it tries no more once its time is up.
    relocated_helper opener(20, 2);
    std::string output;
    int exit_code = -1;
    std::thread open([&] { exit_code = opener.run({"open-with-retry", file, narrow(started)}, &output); });
    bool signalled = await_file(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    holder->write_line("release");
    EXPECT_EQ(holder->wait(), 0);
    open.join();
    ASSERT_TRUE(signalled);
    EXPECT_EQ(exit_code, 0);
    retry_report report = parse_retry(output);
    EXPECT_EQ(report.form, "contested");
    // A machine slow enough to hold the release back past 200 ms makes the
    // opener time out; it must then have waited the whole 200 ms (less a
    // coarse clock's tick).
    if (report.status != "00000000") {
        EXPECT_EQ(report.status, "db010001");
        EXPECT_GE(report.elapsed, 180) << "gave up before its time-out";
    }
}

// Only another holder is waited for: a file whose directory does not exist
// is reported at once, not as a lock, within a time-out of a minute.
TEST(RetryingOpen, FailureThatWaitingCannotClearIsReportedAtOnce) {
    temp_dir dir;
    relocated_helper opener(6000, 10);
    std::string output;
    ASSERT_EQ(opener.run({"open-with-retry", narrow(join(dir / "missing", "x.lck"))}, &output), 0);
    retry_report report = parse_retry(output);
    EXPECT_EQ(report.status, "db000014");
    EXPECT_LT(report.elapsed, 30000);
}

// The first attempt asking to make a file that cannot exist yet: one that
// exists all the same is opened, and waited for, as by the usual open.
TEST(RetryingOpen, AFileAskedForAsNewThatExistsIsOpenedAndWaitedForAsAnyOther) {
    temp_dir dir;
    const wide_string path = dir / "LOCK.FDB";
    const odb::open_failures failures = {ODB_E_OBJECT_LOCK, ODB_E_NO_OBJECT, ODB_E_FILE_ACCESS};
    const odb::lock_timing timing = {30, 10};
    auto open = [&](bool& made) {
        return odb::open_retrying(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS,
                                  timing, failures, &made);
    };
    bool made = false;
    odb::file_handle first = open(made);
    EXPECT_TRUE(first.valid());
    EXPECT_TRUE(made);
    odb_status status = ODB_OK;
    try {
        open(made);
    } catch (odb_status raised) {
        status = raised;
    }
    EXPECT_EQ(status, ODB_E_OBJECT_LOCK);
    first.reset();
    EXPECT_TRUE(open(made).valid());
    EXPECT_FALSE(made);
}

TEST(RetryingOpen, ConfigurationLockHeldExclusivelyStopsAnOpen) {
    scratch_database scratch;
    auto holder = child_process::start_helper(
        {"hold-file", narrow(join(scratch.root(), "DBCFG.FDB")), "exclusive", "open-always"});
    ASSERT_EQ(holder->read_line(), "held");
    uint32_t version = 0;
    odb_database* db = nullptr;
    EXPECT_EQ(ODB_init_w(0, odb_text(scratch.root()), &version, &db, 0), ODB_E_LOCK_TIMEOUT);
    EXPECT_EQ(db, nullptr);
    uint32_t id = 0;
    odb_obj_ctx* ctx = nullptr;
    EXPECT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_E_LOCK_TIMEOUT);
    EXPECT_EQ(ctx, nullptr);
    holder->write_line("release");
    EXPECT_EQ(holder->wait(), 0);
    // A shared holder does not stop either.
    holder = child_process::start_helper(
        {"hold-file", narrow(join(scratch.root(), "DBCFG.FDB")), "read", "open-always"});
    ASSERT_EQ(holder->read_line(), "held");
    EXPECT_TRUE(scratch.second_handle());
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &ctx), ODB_OK);
    EXPECT_EQ(ODB_obj_close_ctx(ctx), ODB_OK);
}

}  // namespace

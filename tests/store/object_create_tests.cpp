// Creating objects: identifiers the database allocates (ODB_obj_new) and
// identifiers the caller brings (ODB_obj_import).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include "platform/posix/fault_injection.h"
#endif
#include "store/context.h"
#include "support/database_fixture.h"
#include "support/file_util.h"

namespace {

using namespace odb::test;

odb_obj_ctx* const untouched = reinterpret_cast<odb_obj_ctx*>(0x5678);

class ObjectCreation : public ::testing::Test {
protected:
    // ODB_obj_new of the class; the context is closed at once.
    uint32_t create(uint32_t cls, odb_status expected = ODB_OK) {
        uint32_t id = 0xABCDABCD;
        odb_obj_ctx* ctx = untouched;
        EXPECT_EQ(ODB_obj_new(scratch.db(), cls, &id, &ctx), expected);
        if (expected == ODB_OK) {
            EXPECT_EQ(ctx->mode, ODB_MODE_WRITE);
            EXPECT_EQ(ctx->id, id);
            ODB_obj_close_ctx(ctx);
        } else {
            EXPECT_EQ(ctx, untouched);
        }
        return id;
    }
    ctx_ptr import(uint32_t cls, uint32_t id, odb_status expected = ODB_OK) {
        odb_obj_ctx* ctx = untouched;
        EXPECT_EQ(ODB_obj_import(scratch.db(), cls, id, &ctx), expected) << std::hex << id;
        if (expected != ODB_OK) {
            EXPECT_EQ(ctx, untouched);
            return nullptr;
        }
        return ctx_ptr(ctx);
    }
    std::string id_file(uint32_t cls) const { return read_file(join(scratch.class_dir(cls), "OBJID.FDB")); }
    void set_id_file(uint32_t cls, const std::string& text) const {
        ASSERT_TRUE(write_file(join(scratch.class_dir(cls), "OBJID.FDB"), text));
    }
    bool has_file(uint32_t cls, uint32_t id, const char* name) const {
        return path_exists(join(scratch.object_dir(cls, id), name));
    }

    scratch_database scratch;
};

TEST_F(ObjectCreation, IdentifiersRiseFromOneAndTheCounterIsSixteenBytes) {
    EXPECT_EQ(create(5), 1u);
    EXPECT_TRUE(has_file(5, 1, "OBJLOCK.FDB"));
    EXPECT_FALSE(has_file(5, 1, "ATTRIBS.FDB"));
    EXPECT_EQ(id_file(5), "Next ID=00000002");
    EXPECT_EQ(create(5), 2u);
    EXPECT_EQ(id_file(5), "Next ID=00000003");
    // Classes count on their own.
    EXPECT_EQ(create(6), 1u);

    // The counter only moves forward: a deleted object's identifier is not
    // handed out again.
    remove_tree(scratch.object_dir(5, 1));
    EXPECT_EQ(create(5), 3u);

    // Every form of an existing object is skipped.
    scratch.make_object_dir(5, 4, ".RMV");
    scratch.make_object_dir(5, 5, ".WPE");
    EXPECT_EQ(create(5), 6u);
    EXPECT_EQ(id_file(5), "Next ID=00000007");

    // A damaged counter restarts at 1 and skips what exists (2, 3, 4, 5, 6).
    set_id_file(5, "garbage");
    EXPECT_EQ(create(5), 1u);
    set_id_file(5, "Next id=00000002");
    EXPECT_EQ(create(5), 7u);
    EXPECT_EQ(id_file(5), "Next ID=00000008");
}

// The space of "Next ID=%08x" matches any run of white space, none
// included, as scanf reads it; the counter is not restarted for it.
TEST_F(ObjectCreation, CounterTextIsReadAsScanfReadsItsPattern) {
    create(5);
    set_id_file(5, "NextID=00000005");
    EXPECT_EQ(create(5), 5u);
    set_id_file(5, "Next\t \r\nID=00000009");
    EXPECT_EQ(create(5), 9u);
}

#ifndef _WIN32
// The counter's read and write are the first of a creation. One that fails
// is a failed file operation, not a lock time-out, and leaves no object.
TEST_F(ObjectCreation, CounterThatCannotBeReadOrWrittenFailsTheCreation) {
    create(5);
    for (const auto& [entry, expected] : {std::pair{"ReadFile", ODB_E_FILE_ACCESS},
                                          std::pair{"WriteFile", ODB_E_FILE_WRITE}}) {
        odb::fault::plan p;
        p.entry = entry;
        p.at = 1;
        p.error = ERROR_WRITE_FAULT;
        odb::fault::scope armed(p);
        create(5, expected);
        EXPECT_TRUE(odb::fault::fired()) << entry;
    }
    EXPECT_FALSE(path_exists(scratch.object_dir(5, 2)));
    EXPECT_EQ(id_file(5), "Next ID=00000002");
}
#endif

TEST_F(ObjectCreation, SettingsChooseTheRangeAndTheAttributeFile) {
    scratch.reopen("[IdAssignment]\nFirstId=00000200\nLastId=00000202\n[Attribs]\nSingleFile=yes\n");
    EXPECT_EQ(create(5), 0x200u);
    EXPECT_TRUE(path_exists(join(join(scratch.class_dir(5), "00000001"), "00000000")));
    EXPECT_EQ(read_file(join(scratch.object_dir(5, 0x200), "ATTRIBS.FDB")), std::string("QFDB\x08\x00\x00\x01", 8));
    EXPECT_EQ(create(5), 0x201u);
    EXPECT_EQ(create(5), 0x202u);
    EXPECT_EQ(id_file(5), "Next ID=00000203");
    // Past LastId: refused, the counter unchanged, nothing created.
    EXPECT_EQ(create(5, ODB_E_NO_FREE_ID), 0xABCDABCDu);
    EXPECT_EQ(id_file(5), "Next ID=00000203");
    EXPECT_EQ(list_directory(scratch.bucket_dir(5, 0x200)),
              (std::vector<std::string>{"00000000", "00000001", "00000002"}));

    // The default LastId keeps the top fifteen identifiers for imports.
    scratch.reopen("");
    set_id_file(5, "Next ID=fffffff0");
    EXPECT_EQ(create(5), 0xFFFFFFF0u);
    EXPECT_EQ(create(5, ODB_E_NO_FREE_ID), 0xABCDABCDu);

    // With the whole range open, the counter wraps past the top.
    scratch.reopen("[IdAssignment]\nLastId=ffffffff\n");
    EXPECT_EQ(create(5), 0xFFFFFFF1u);
    set_id_file(5, "Next ID=ffffffff");
    EXPECT_EQ(create(5), 0xFFFFFFFFu);
    EXPECT_TRUE(path_exists(join(join(scratch.class_dir(5), "007fffff"), "000001ff")));
    EXPECT_EQ(id_file(5), "Next ID=00000000");
}

TEST_F(ObjectCreation, ImportTakesTheCallersIdentifier) {
    scratch.reopen("[Attribs]\nSingleFile=yes\n");
    ctx_ptr imported = import(7, 0x12345);
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->id, 0x12345u);
    EXPECT_EQ(imported->mode, ODB_MODE_WRITE);
    const wide_string dir = join(join(scratch.class_dir(7), "00000091"), "00000145");
    EXPECT_TRUE(path_exists(join(dir, "OBJLOCK.FDB")));
    // No attribute file whatever the setting, and the counter untouched.
    EXPECT_FALSE(path_exists(join(dir, "ATTRIBS.FDB")));
    // So its values go to files of their own.
    EXPECT_EQ(ODB_obj_set_attribute(imported.get(), 0x10, 0, "v", 1), ODB_OK);
    EXPECT_TRUE(path_exists(join(dir, "00000010.DAT")));
    bool exists = false;
    EXPECT_EQ(read_file(join(scratch.class_dir(7), "OBJID.FDB"), &exists), "");
    EXPECT_TRUE(exists);
    EXPECT_EQ(create(7), 1u);
    EXPECT_TRUE(has_file(7, 1, "ATTRIBS.FDB"));

    // Taken in any form: refused. The first context stays usable.
    import(7, 0x12345, ODB_E_OBJECT_EXISTS);
    import(7, 1, ODB_E_OBJECT_EXISTS);
    scratch.make_object_dir(7, 2, ".RMV");
    scratch.make_object_dir(7, 3, ".WPE");
    import(7, 2, ODB_E_OBJECT_EXISTS);
    import(7, 3, ODB_E_OBJECT_EXISTS);
    EXPECT_EQ(ODB_obj_change_mode(imported.get(), ODB_MODE_READ), ODB_OK);
    EXPECT_EQ(ODB_obj_change_mode(imported.get(), ODB_MODE_WRITE), ODB_OK);

    // Identifiers outside the allocation range are fine; ODB_obj_new skips
    // an imported identifier it reaches.
    EXPECT_TRUE(import(7, 0xFFFFFFFF));
    EXPECT_TRUE(import(7, 0));
    EXPECT_TRUE(import(7, 4));
    EXPECT_EQ(create(7), 5u);
}

// Several processes create objects of one class at once: each identifier
// goes to exactly one of them.
TEST(ObjectCreationStress, ConcurrentProcessesGetDistinctIdentifiers) {
    scratch_database scratch;
    const int processes = 4;
    const int per_process = 100;
    // A long lock time-out: a process may wait for the class's allocation
    // lock while the others take turns, and that is no failure.
    relocated_helper creator(3000, 2);
    std::vector<std::string> outputs(processes);
    std::vector<int> exit_codes(processes, -1);
    std::vector<std::thread> runs;
    for (int p = 0; p < processes; ++p)
        runs.emplace_back([&, p] {
            exit_codes[p] = creator.run(
                {"create-objects", narrow(scratch.root()), "5", std::to_string(per_process)}, &outputs[p]);
        });
    for (std::thread& run : runs) run.join();

    std::vector<uint32_t> ids;
    for (int p = 0; p < processes; ++p) {
        EXPECT_EQ(exit_codes[p], 0) << outputs[p];
        std::istringstream lines(outputs[p]);
        std::string word, value;
        while (lines >> word) {
            if (word != "id") continue;
            lines >> value;
            ids.push_back(static_cast<uint32_t>(std::stoul(value, nullptr, 16)));
        }
    }
    std::sort(ids.begin(), ids.end());
    const uint32_t total = processes * per_process;
    ASSERT_EQ(ids.size(), total);
    for (uint32_t i = 0; i < total; ++i) ASSERT_EQ(ids[i], i + 1) << "identifiers must be 1.." << total;
    for (uint32_t id : ids) EXPECT_TRUE(path_exists(scratch.object_dir(5, id))) << id;
    EXPECT_EQ(read_file(join(scratch.class_dir(5), "OBJID.FDB")), "Next ID=" + hex_name(total + 1));
}

}  // namespace

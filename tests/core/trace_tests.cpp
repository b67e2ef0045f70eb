// QMFILEDB_TRACE: a failing export run in the helper writes its one line,
// naming the export, the status, the operation, the file and the reason.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/database_fixture.h"
#include "support/file_util.h"
#include "support/mount_point.h"
#include "support/run_program.h"

namespace odb::test {
namespace {

// The helper's standard error, run with the variable set to `trace`.
std::string helper_errors(const std::string& trace, std::vector<std::string> arguments) {
    setenv("QMFILEDB_TRACE", trace.c_str(), 1);
    arguments.insert(arguments.begin(), helper_executable_path());
    const program_result result = run_program(arguments);
    unsetenv("QMFILEDB_TRACE");
    return result.err;
}

std::string lock_file(const wide_string& object_dir) { return narrow(join(object_dir, "OBJLOCK.FDB")); }

TEST(Trace, LockTimeOutNamesTheFileAndTheWait) {
    scratch_database scratch;
    uint32_t id = 0;
    odb_obj_ctx* raw = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &raw), ODB_OK);
    ctx_ptr held(raw);  // the write lock the helper waits for
    const std::string err = helper_errors(
        "1", {"hold-object", narrow(scratch.root()), "5", std::to_string(id), "2"});
    const std::string expected = "qmfiledb: ODB_obj_create_ctx: ODB_E_OBJECT_LOCK (0xdb010002): open " +
                                 lock_file(scratch.object_dir(5, id)) + ": sharing violation (waited ";
    EXPECT_EQ(err.compare(0, expected.size(), expected), 0) << err;
    EXPECT_EQ(err.substr(err.size() < 3 ? 0 : err.size() - 3), "s)\n") << err;
}

TEST(Trace, PermissionFailureIsNotReportedAsALock) {
    temp_dir dir;
    const wide_string root = dir / "volume";
    ASSERT_TRUE(make_dir(root));
    scoped_mount volume(root);
    if (!volume.mounted()) GTEST_SKIP() << volume.why();
    const uint32_t id = create_database_with_object(root, 5);
    ASSERT_NE(id, 0u);
    if (!volume.make_read_only()) GTEST_SKIP() << volume.why();

    const std::string err =
        helper_errors("1", {"hold-object", narrow(root), "5", std::to_string(id), "2"});
    EXPECT_EQ(err, "qmfiledb: ODB_obj_create_ctx: ODB_E_FILE_ACCESS (0xdb000014): open " +
                       lock_file(join(join(join(root, "00000005"), "00000000"), hex_name(id).c_str())) +
                       ": access denied\n");
}

TEST(Trace, DamagedRecordFileGoesToTheNamedFile) {
    scratch_database scratch;
    uint32_t id = 0;
    odb_obj_ctx* raw = nullptr;
    ASSERT_EQ(ODB_obj_new(scratch.db(), 5, &id, &raw), ODB_OK);
    ODB_obj_close_ctx(raw);
    const wide_string record_file = join(scratch.object_dir(5, id), "ATTRIBS.FDB");
    ASSERT_TRUE(write_file(record_file, "damaged!"));
    const wide_string log = scratch.dir() / "trace.log";

    const std::string err = helper_errors(
        narrow(log), {"rewrite-attribute", narrow(scratch.root()), "5", hex_name(id), "1", "4",
                      narrow(scratch.dir() / "stop"), "1"});
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(log), "qmfiledb: ODB_obj_set_attribute: ODB_E_BAD_HEADER (0xdb000017): read " +
                                  narrow(record_file) + ": not a record file (wrong magic)\n");
}

TEST(Trace, DamagedIndexBucketIsNamed) {
    scratch_database scratch("[NameIndex]\nEnabled=yes\n");
    uint32_t id = 0;
    ASSERT_EQ(ODB_obj_lookup_ex(scratch.db(), 5, ODB_NAME_ATTRIBUTE, ODB_NAME_ANSI, "x", 2, &id),
              ODB_E_NO_MORE_ITEMS);  // builds the index
    for (const std::string& name : list_directory(scratch.class_dir(5))) {
        if (name == "names.dat") continue;
        ASSERT_TRUE(write_file(join(scratch.class_dir(5), name.c_str()), "damaged!"));
    }

    const std::string err = helper_errors("1", {"lookup-name", narrow(scratch.root()), "5", "x"});
    const std::string head = "qmfiledb: ODB_obj_lookup_ex: ODB_E_INVALID_PARAMETER (0xdb000018): read " +
                             narrow(join(scratch.class_dir(5), "names.")),
                      tail = ": not a name index bucket (wrong magic)\n";
    EXPECT_EQ(err.compare(0, head.size(), head), 0) << err;
    EXPECT_TRUE(err.size() > tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0)
        << err;
}

}  // namespace
}  // namespace odb::test
#endif

// The retrying open asked to make a file that cannot exist yet: one that
// exists all the same is opened, and waited for, as by the usual open.
#include <gtest/gtest.h>

#include "core/retrying_open.h"
#include "support/temp_dir.h"

namespace {

using namespace odb;
using namespace odb::test;

TEST(RetryingOpen, AFileAskedForAsNewThatExistsIsOpenedAndWaitedForAsAnyOther) {
    temp_dir dir;
    const wide_string path = dir / "LOCK.FDB";
    const open_failures failures = {ODB_E_OBJECT_LOCK, ODB_E_NO_OBJECT, ODB_E_FILE_ACCESS};
    const lock_timing timing = {30, 10};
    auto open = [&](bool& made) {
        return open_retrying(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, timing,
                             failures, &made);
    };
    bool made = false;
    file_handle first = open(made);
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

}  // namespace

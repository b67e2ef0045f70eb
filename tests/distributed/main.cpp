// The distributed suite needs two mounts of one shared volume, named by
// QMFILEDB_SHARED_MOUNTS ("A:B", as scripts/gluster-up prints them). Without
// them it says why and exits 77, which ctest reports as skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const char* mounts = std::getenv("QMFILEDB_SHARED_MOUNTS");
    if (mounts == nullptr || std::strchr(mounts, ':') == nullptr) {
        std::printf("distributed_tests: skipped: QMFILEDB_SHARED_MOUNTS does not name two mounts "
                    "of one shared volume (scripts/gluster-up makes them)\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

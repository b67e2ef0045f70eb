// Every scenario with a failure placed at each platform call in turn, from
// the first to the last the scenario makes: no crash, a status, every held
// handle usable, and nothing stored before lost (see world.h). POSIX only:
// the failures come from the fault injection of our platform layer.
#ifndef _WIN32

#include <errno.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "platform/posix/fault_injection.h"
#include "reliability/scenarios.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

struct fault_kind {
    const char* label;
    const char* entry;  // null: every call
    DWORD error;
    fault::action kind;
};

// How many calls the scenario makes under this kind's counting.
uint64_t count_calls(const scenario& s, const fault_kind& f) {
    test::temp_dir dir;
    run_state run;
    if (!start_run(s, dir, run)) return 0;
    odb_status status;
    {
        fault::plan p;
        p.entry = f.entry;
        fault::scope counting(p);
        status = s.act(run);
    }
    const uint64_t calls = fault::counted_calls();
    finish_run(run, status, std::string(s.name) + " without faults");
    return calls;
}

// Which calls to hit: every one, or in the default run of a long scenario
// every call up to `dense`, then about `dense` more spread over the rest,
// and always the last. QMFILEDB_RELIABILITY_FULL=1 takes every call.
std::vector<uint64_t> points(uint64_t calls, uint64_t dense) {
    std::vector<uint64_t> ks;
    const bool every = full_runs() || calls <= 2 * dense;
    for (uint64_t k = 1; k <= calls && (every || k <= dense); ++k) ks.push_back(k);
    if (every) return ks;
    const uint64_t stride = (calls - dense) / dense + 1;
    for (uint64_t k = dense + stride; k < calls; k += stride) ks.push_back(k);
    ks.push_back(calls);
    return ks;
}

// Runs every scenario with the k-th counted call hit, for each chosen k.
void sweep(const fault_kind& f, uint64_t& runs, uint64_t dense = 5) {
    for (const scenario& s : all_scenarios()) {
        const uint64_t calls = count_calls(s, f);
        for (uint64_t k : points(calls, dense)) {
            char trace[160];
            std::snprintf(trace, sizeof trace, "%s, %s: call %llu of %llu", s.name, f.label,
                          static_cast<unsigned long long>(k), static_cast<unsigned long long>(calls));
            test::temp_dir dir;
            run_state run;
            if (!start_run(s, dir, run)) return;
            odb_status status;
            std::string hit;
            {
                fault::plan p;
                p.entry = f.entry;
                p.at = k;
                p.error = f.error;
                p.kind = f.kind;
                fault::scope armed(p);
                status = s.act(run);
                hit = fault::fired_entry();
            }
            finish_run(run, status, std::string(trace) + " (" + hit + ")");
            ++runs;
            if (::testing::Test::HasFailure()) return;  // one broken run tells enough
        }
    }
}

TEST(FaultSweep, EveryCallFailsInTurn) {
    uint64_t runs = 0;
    sweep({"any call, access denied", nullptr, ERROR_ACCESS_DENIED, fault::action::fail}, runs, 10);
    std::printf("runs with a failing call: %llu\n", static_cast<unsigned long long>(runs));
}

TEST(FaultSweep, OpensFailAsWhenOutOfHandlesOrRefused) {
    uint64_t runs = 0;
    sweep({"open, EMFILE", "CreateFileW", fault::error_from_errno(EMFILE), fault::action::fail}, runs);
    sweep({"open, sharing", "CreateFileW", ERROR_SHARING_VIOLATION, fault::action::fail}, runs);
    std::printf("runs with a failing open: %llu\n", static_cast<unsigned long long>(runs));
}

TEST(FaultSweep, WritesFailShortOrWithAFullDisk) {
    uint64_t runs = 0;
    sweep({"write, ENOSPC after half", "WriteFile", fault::error_from_errno(ENOSPC, true),
           fault::action::partial_failure},
          runs);
    sweep({"write, EIO", "WriteFile", fault::error_from_errno(EIO, true), fault::action::fail}, runs);
    sweep({"write, short", "WriteFile", ERROR_SUCCESS, fault::action::short_transfer}, runs);
    std::printf("runs with a failing write: %llu\n", static_cast<unsigned long long>(runs));
}

TEST(FaultSweep, ReadsFailOrComeBackShort) {
    uint64_t runs = 0;
    sweep({"read, EIO", "ReadFile", fault::error_from_errno(EIO), fault::action::fail}, runs);
    sweep({"read, short", "ReadFile", ERROR_SUCCESS, fault::action::short_transfer}, runs);
    std::printf("runs with a failing read: %llu\n", static_cast<unsigned long long>(runs));
}

TEST(FaultSweep, InjectionHitsExactlyTheChosenCall) {
    // The switch itself: the third CreateFileW fails with the chosen error,
    // the others go through, and counting stops when it is off.
    test::temp_dir dir;
    const test::wide_string file = dir / "f";
    fault::plan p;
    p.entry = "CreateFileW";
    p.at = 3;
    p.error = fault::error_from_errno(EMFILE);
    {
        fault::scope armed(p);
        for (int i = 1; i <= 4; ++i) {
            HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_EQ(h == INVALID_HANDLE_VALUE, i == 3) << i;
            if (h == INVALID_HANDLE_VALUE) EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_OPEN_FILES));
            else CloseHandle(h);
        }
        EXPECT_EQ(fault::counted_calls(), 4u);  // CloseHandle is never counted
        EXPECT_TRUE(fault::fired());
    }
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fault::counted_calls(), 4u);
    // A partial write moves half and fails; a short one moves half and succeeds.
    p.entry = "WriteFile";
    p.at = 1;
    p.error = fault::error_from_errno(ENOSPC, true);
    p.kind = fault::action::partial_failure;
    DWORD written = 0;
    {
        fault::scope armed(p);
        EXPECT_FALSE(WriteFile(h, "abcdefgh", 8, &written, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
        EXPECT_EQ(written, 4u);
    }
    p.kind = fault::action::short_transfer;
    {
        fault::scope armed(p);
        EXPECT_TRUE(WriteFile(h, "ijkl", 4, &written, nullptr));
        EXPECT_EQ(written, 2u);
    }
    CloseHandle(h);
}

}  // namespace
}  // namespace odb::reliability

#endif  // _WIN32

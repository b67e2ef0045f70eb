// Every scenario with the power cut after each platform call in turn, and
// at random calls with random subsets of the unflushed changes kept (see
// platform/posix/power_loss.h), then the database opened afresh. With
// Durability.Flush on, nothing a call reported done is lost; off, the
// database still opens and `odb check --repair` mends it, and what was lost
// is tallied. POSIX only: the cuts come from our platform layer.
#ifndef _WIN32

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

#include "platform/posix/fault_injection.h"
#include "platform/posix/power_loss.h"
#include "reliability/scenarios.h"
#include "support/file_util.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace odb::reliability {
namespace {

const char durable_settings[] = "[Durability]\nFlush=Yes\n";

std::string odb_tool() {
#ifdef QMFILEDB_ODB_TOOL
    return QMFILEDB_ODB_TOOL;
#else
    return std::string();
#endif
}

// What the cuts of one mode found.
struct tally {
    uint64_t cuts = 0;
    uint64_t lost_after_success = 0;  // cuts after a reported success that lost part of it
    uint64_t needed_repair = 0;       // cuts after which odb check found a problem
    uint64_t unrepaired = 0;          // ... and --repair could not mend all of it
    std::map<std::string, uint64_t> losses;  // scenario: what verify_world missed
};

// The places to cut: after each call that changed or flushed something (a
// cut anywhere else equals one of these), and once the call has returned.
// At each, every choice of the unflushed changes to keep while they are
// few (as the durable mode keeps them); in the default mode, where they
// are many, random subsets and prefixes of them at random places.
std::vector<power::cut_plan> cut_plans(uint64_t returned, std::mt19937& random) {
    std::vector<power::cut_plan> plans;
    std::vector<uint64_t> calls = power::calls_with_changes();
    calls.push_back(returned);
    const uint64_t few = full_runs() ? 8 : 3;
    for (uint64_t k : calls) {
        plans.push_back({k, power::loss::everything, 0, 0});
        const uint64_t unflushed = power::unflushed_changes(k);
        if (unflushed <= few)
            for (uint64_t keep = 1; keep < (uint64_t(1) << unflushed); ++keep)
                plans.push_back({k, power::loss::chosen, 0, keep});
    }
    const int randomised = full_runs() ? 100 : 6;
    for (int i = 0; i < randomised; ++i)
        plans.push_back({calls[random() % calls.size()],
                         i % 2 == 0 ? power::loss::subset : power::loss::prefix,
                         static_cast<uint32_t>(random()), 0});
    return plans;
}

void check_cut(const scenario& s, run_state& run, bool durable, bool completed, bool repair,
               tally& t, const std::string& trace) {
    SCOPED_TRACE(trace);
    odb_status status = ODB_OK;
    odb_database* db = open_world(run.root, &status);
    ASSERT_NE(db, nullptr) << "the database does not open: " << status_text(status);
    ODB_close(db);
    const std::string tool = odb_tool(), root = test::narrow(run.root);
    if (!tool.empty() && repair) {
        const test::program_result check = test::run_program({tool, "check", "--repair", root});
        if (check.out.find("no problems") == std::string::npos) ++t.needed_repair;
        if (check.exit_code != 0) {
            ++t.unrepaired;
            const std::size_t at = check.out.find("not repaired: ");
            std::string line = check.out.substr(at, check.out.find('\n', at) - at);
            const std::size_t db = line.find(root);
            if (db != std::string::npos) line.replace(db, root.size(), "DB");
            ++t.losses[std::string(s.name) + ": " + line];
        }
        // A call cut short may leave what a killed process leaves (a value
        // moved but its old copy not yet freed), which the library reads
        // past; a completed one leaves nothing to mend.
        if (durable && completed) {
            EXPECT_NE(check.out.find("no problems"), std::string::npos)
                << "problems after a completed call:\n" << check.out;
        }
    }
    // A call cut short may also leave the name index behind its objects, as
    // a killed one does; the index is derived, and rebuilt by its next use
    // once invalid. After a completed call it must be right as it stands.
    if (!(durable && completed))
        test::write_file(test::join(test::join(run.root, test::hex_name(world_class).c_str()),
                                    "names.dat"),
                         std::string(12, '\0'));
    if (durable) {
        // The checks' own writes need no flushes: the state is already cut.
        WritePrivateProfileStringW(u"Durability", nullptr, nullptr,
                                   test::join(run.root, "DBCFG.INI").c_str());
        verify_world(run.root, run.change, completed, trace);
        if (completed && run.after) run.after(run.root, true, trace);
        else check_next_id(run.root, trace);
        return;
    }
    // The default mode promises nothing across a power cut: record what
    // the checks of the durable mode would have found.
    ::testing::TestPartResultArray found;
    {
        ::testing::ScopedFakeTestPartResultReporter capture(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &found);
        verify_world(run.root, run.change, completed, trace);
        if (completed && run.after) run.after(run.root, true, trace);
    }
    if (found.size() > 0 && completed) ++t.lost_after_success;
    for (int i = 0; i < found.size(); ++i) {
        // The explanation a check gives comes last.
        std::string message = found.GetTestPartResult(i).message();
        message = message.substr(0, message.find("\nGoogle Test trace:"));
        while (!message.empty() && message.back() == '\n') message.pop_back();
        message = message.substr(message.rfind('\n') + 1);
        ++t.losses[std::string(s.name) + ": " + message];
    }
}

// The simulator stands for the disk, and every cut rebuilds the tree: in
// memory (/dev/shm) that costs a fraction of what it costs on a disk.
class memory_temp_dirs {
public:
    memory_temp_dirs() {
        const char* old = std::getenv("TMPDIR");
        if (old != nullptr) saved_ = old;
        had_ = old != nullptr;
        if (test::path_exists(test::widen("/dev/shm"))) ::setenv("TMPDIR", "/dev/shm", 1);
    }
    ~memory_temp_dirs() {
        if (had_) ::setenv("TMPDIR", saved_.c_str(), 1);
        else ::unsetenv("TMPDIR");
    }

private:
    std::string saved_;
    bool had_ = false;
};

void cut_every_scenario(bool durable, tally& t) {
    memory_temp_dirs in_memory;
    std::mt19937 random(20261209);
    for (const scenario& s : all_scenarios()) {
        test::temp_dir dir;
        run_state run;
        if (!start_run(s, dir, run, durable ? durable_settings : "")) return;
        power::start(test::narrow(dir.path()));
        odb_status status;
        uint64_t calls;
        {
            fault::scope counting(fault::plan{});
            status = s.act(run);
            calls = fault::counted_calls();
        }
        power::stop();
        close_run(run);
        if (power::recorded_changes() == 0) continue;  // the scenario writes nothing
        const std::vector<power::cut_plan> plans = cut_plans(calls, random);
        for (std::size_t i = 0; i < plans.size(); ++i) {
            const power::cut_plan& plan = plans[i];
            power::cut_result result;
            ASSERT_TRUE(power::cut(plan, &result)) << s.name;
            char trace[240];
            std::snprintf(trace, sizeof trace, "%s, cut after call %llu of %llu (%d, seed %u, "
                          "keep %llx): %llu durable, %llu kept, %llu lost", s.name,
                          static_cast<unsigned long long>(plan.after_call),
                          static_cast<unsigned long long>(calls), static_cast<int>(plan.kind),
                          plan.seed, static_cast<unsigned long long>(plan.keep),
                          static_cast<unsigned long long>(result.durable),
                          static_cast<unsigned long long>(result.kept),
                          static_cast<unsigned long long>(result.lost));
            // The tool runs as a process of its own: in the default run
            // after every eighth cut and the last.
            const bool repair = full_runs() || i % 8 == 0 || plan.after_call == calls;
            check_cut(s, run, durable, status == ODB_OK && plan.after_call >= calls, repair, t,
                      trace);
            ++t.cuts;
            if (::testing::Test::HasFailure()) return;  // one broken cut tells enough
        }
    }
}

TEST(PowerCuts, DurableModeLosesNothingReportedDone) {
    tally t;
    cut_every_scenario(true, t);
    std::printf("cuts with Durability.Flush=Yes: %llu, needing repair: %llu\n",
                static_cast<unsigned long long>(t.cuts),
                static_cast<unsigned long long>(t.needed_repair));
}

TEST(PowerCuts, DefaultModeOpensAndIsRepaired) {
    tally t;
    cut_every_scenario(false, t);
    std::printf("cuts in the default mode: %llu, losing a reported success: %llu, needing "
                "repair: %llu, beyond repair: %llu; what was lost:\n",
                static_cast<unsigned long long>(t.cuts),
                static_cast<unsigned long long>(t.lost_after_success),
                static_cast<unsigned long long>(t.needed_repair),
                static_cast<unsigned long long>(t.unrepaired));
    for (const auto& [what, count] : t.losses)
        std::printf("  %4llu x %s\n", static_cast<unsigned long long>(count), what.c_str());
}

}  // namespace
}  // namespace odb::reliability

#endif  // _WIN32

// cpushare: on one processor the five counts fall as the nice increment
// rises, also when started at a negative nice value; a refused nice is
// reported by each child; a refused fork leaves no process behind.
#include "runner.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

using namespace std::chrono_literals;

namespace
{

// Processes of the group that are still alive (zombies excluded).
std::set<pid_t> live_members(pid_t group)
{
    std::set<pid_t> alive;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t p = std::stoi(name);
        const char state = runner::process_state(p);
        if (getpgid(p) == group && state != 'Z' && state != '\0') {
            alive.insert(p);
        }
    }
    return alive;
}

// One run pinned to one processor: five lines, the nice column 0 to 20, the
// counts falling strictly as the nice increment rises, the parent reaping
// all and ending with 0.
void check_shares(int start_nice)
{
    SCOPED_TRACE("started at nice " + std::to_string(start_nice));
    runner::Options o;
    o.argv = {runner::program("cpushare")};
    o.cpu = runner::allowed_cpus().front(); // the last may hold a FIFO 99 hog
    o.nice = start_nice;
    o.timeout = 40s;
    const auto r = runner::run(o);
    ASSERT_EQ(r.setup_error, "");
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "") << r.describe();
    ASSERT_EQ(r.out_lines.size(), 5u) << r.describe();

    std::map<int, long> count_by_nice; // the nice column: 0, 5, 10, 15, 20
    std::set<pid_t> children;
    for (const auto &line : r.out_lines) {
        long pid = 0, count = 0;
        int nice = -1;
        ASSERT_EQ(std::sscanf(line.text.c_str(), "Child %ld (nice %d) Counter = %ld", &pid, &nice,
                              &count),
                  3)
            << line.text;
        // Re-printed with the program's format, the line must come back
        // byte for byte (widths 2 and 10, right-aligned).
        char again[128];
        std::snprintf(again, sizeof again, "Child %ld (nice %2d) Counter = %10ld", pid, nice,
                      count);
        EXPECT_EQ(line.text, again);
        EXPECT_NE(pid, r.pid) << "the parent never prints";
        children.insert(static_cast<pid_t>(pid));
        count_by_nice[nice] = count;
        // Printed on the stop signal, 1 + 5 seconds after the start.
        EXPECT_GT(line.at.count(), 5.5) << line.text;
        EXPECT_LT(line.at.count(), 20.0) << line.text;
    }
    EXPECT_EQ(children.size(), 5u) << r.describe();
    ASSERT_EQ(count_by_nice.size(), 5u) << r.describe();
    int expected_nice = 0;
    long previous = 0;
    for (const auto &[nice, count] : count_by_nice) {
        EXPECT_EQ(nice, expected_nice);
        EXPECT_GT(count, 0) << "nice " << nice << " never counted";
        if (nice > 0) {
            EXPECT_LT(count, previous) << "nice " << nice << "\n" << r.describe();
        }
        previous = count;
        expected_nice += 5;
    }
}

TEST(CpushareLab, NiceWeightsShareOneProcessor)
{
    check_shares(0);
}

// Started at nice -5, nice() returns negative values that are not errors.
TEST(CpushareLab, StartedAtANegativeNiceStillCounts)
{
    SUITE_NEED(lacks_lower_nice);
    check_shares(-5);
}

// nice() may return -1 as a value; a real failure sets errno. Refused here
// by a seccomp rule on setpriority: each child says so and ends, the parent
// still signals, reaps them and ends with 0.
TEST(Cpushare, RefusedNiceIsReportedByEveryChild)
{
    runner::Options o;
    o.argv = {runner::program("cpushare")};
    o.nice = 0;
    o.syscall_rules = {{SYS_setpriority, runner::fail_with(EPERM)}};
    o.timeout = 40s;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot install a seccomp rule here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    std::string five;
    for (int i = 0; i < 5; ++i) {
        five += "nice: Operation not permitted\n";
    }
    EXPECT_EQ(r.err, five) << r.describe();
    EXPECT_EQ(r.out, "") << r.describe();
}

// A refused fork ends the children already created before the program
// itself ends with "fork" and status 1: none is left paused forever.
void check_refused_fork(runner::Options o)
{
    o.argv = {runner::program("cpushare")};
    o.timeout = 40s;
    runner::Session s(o);
    ASSERT_EQ(s.result().setup_error, "") << s.result().describe();
    ASSERT_TRUE(s.wait_until([](const runner::Result &r) { return r.ended_at.count() > 0; }, 20s))
        << s.result().describe();
    // Looked at before the runner cleans up the group.
    EXPECT_EQ(live_members(s.pid()), std::set<pid_t>{}) << "left behind";
    const auto &r = s.finish();
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n") << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_LT(r.ended_at.count(), 5.0) << "before the start signal is due";
}

TEST(Cpushare, RefusedFirstForkLeavesNoProcessBehind)
{
    SUITE_NEED(lacks_seccomp);
    runner::Options o;
    o.fork_errno = EAGAIN;
    check_refused_fork(o);
}

// A uid of its own with room for three processes: the program and two
// children; the third fork is refused.
TEST(Cpushare, RefusedThirdForkLeavesNoProcessBehind)
{
    SUITE_NEED(lacks_uid_switch);
    runner::Options o;
    o.uid = runner::spare_uid();
    o.rlimits = {{RLIMIT_NPROC, 3}};
    check_refused_fork(o);
}

} // namespace

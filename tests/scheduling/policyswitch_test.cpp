// policyswitch: the child's switch to FIFO granted (started under OTHER or
// under RR) or refused without real-time privilege, the quantum line against
// this kernel's, and a refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <regex>
#include <string>

namespace
{

std::string parent_lines(const timespec &quantum);

const std::string quantum_prefix = "Voici les la valeur du quantum de la politique SCHED_RR, ";

// The quantum line's numbers, where they are not compared, as "#": the line
// must still have its shape.
std::string mask_quantum(const std::string &out)
{
    static const std::regex line(quantum_prefix + "[0-9]+ seconde, [0-9]+ nanosecondes\n");
    return std::regex_replace(out, line, quantum_prefix + "# seconde, # nanosecondes\n");
}

// The parent's block; without a quantum, the quantum line is masked.
std::string parent_block(const std::optional<timespec> &given)
{
    const timespec quantum = given.value_or(timespec{});
    std::string block = parent_lines(quantum);
    return given ? block : mask_quantum(block);
}

std::string parent_lines(const timespec &quantum)
{
    return "Voici les priorités min et max de la politique SCHED_FIFO, " +
           std::to_string(sched_get_priority_min(SCHED_FIFO)) + ", " +
           std::to_string(sched_get_priority_max(SCHED_FIFO)) +
           "\n"
           "Voici les priorités min et max de la politique SCHED_RR, " +
           std::to_string(sched_get_priority_min(SCHED_RR)) + ", " +
           std::to_string(sched_get_priority_max(SCHED_RR)) + "\n" + quantum_prefix +
           std::to_string(quantum.tv_sec) + " seconde, " + std::to_string(quantum.tv_nsec) +
           " nanosecondes\n";
}

std::string child_block(const std::string &before, const std::string &after)
{
    return "je suis le fils, ma priorité d’ordonnancement est: 0\n"
           "je suis le fils, ma politique d’ordonnancement est " +
           before +
           "\n"
           "je suis le fils, ma priorité d’ordonnancement est: 10\n"
           "je suis le fils, ma nouvelle politique d’ordonnancement est " +
           after + "\n";
}

// On pipes each process writes its whole output when it exits, so the two
// blocks come in either order but are never mixed. `masked`: the quantum
// line is checked for its shape only.
void expect_blocks(const runner::Result &r, const std::string &parent, const std::string &child,
                   bool masked)
{
    const std::string out = masked ? mask_quantum(r.out) : r.out;
    EXPECT_TRUE(out == parent + child || out == child + parent) << "expected the blocks\n"
                                                                << parent << "and\n"
                                                                << child << r.describe();
}

// The round-robin quantum, from the kernel's setting in milliseconds.
timespec rr_quantum()
{
    const auto text = runner::read_file("/proc/sys/kernel/sched_rr_timeslice_ms");
    const long ms = text ? std::stol(*text) : 0;
    return timespec{ms / 1000, (ms % 1000) * 1000000};
}

// The parent asks for the quantum of its own PID. Under SCHED_OTHER the
// kernel's answer is not a fixed setting: before Linux 6.6 it is the fair
// scheduler's current slice, which varies with the load, so only the line's
// shape is checked (nullopt).
std::optional<timespec> other_quantum()
{
    return std::nullopt;
}

TEST(PolicyswitchLab, ChildIsGrantedFifoWithRealTimePrivilege)
{
    SUITE_NEED(lacks_realtime);
    struct Case {
        const char *name;
        bool round_robin; // start the program under SCHED_RR 1 (inherited by the child)
        std::string before;
        std::optional<timespec> quantum;
    };
    for (const Case &c : {Case{"started under OTHER", false, "SCHED_OTHER", other_quantum()},
                          Case{"started under RR", true, "SCHED_RR", rr_quantum()}}) {
        SCOPED_TRACE(c.name);
        runner::Options o;
        o.argv = {runner::program("policyswitch")};
        o.nice = 0;
        if (c.round_robin) {
            o.policy = std::pair{SCHED_RR, 1};
        }
        const auto r = runner::run(o);
        ASSERT_EQ(r.setup_error, "");
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.err, "") << r.describe();
        expect_blocks(r, parent_block(c.quantum), child_block(c.before, "SCHED_FIFO"), !c.quantum);
    }
}

TEST(Policyswitch, WithoutRealTimePrivilegeOnlyTheNiceChangeTakes)
{
    runner::Options o;
    o.argv = {runner::program("policyswitch")};
    o.nice = 0;
    o.drop_rt_privilege = true;
    const auto r = runner::run(o);
    ASSERT_EQ(r.setup_error, "") << r.describe();
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "pb setsceduler: Operation not permitted\n") << r.describe();
    expect_blocks(r, parent_block(other_quantum()), child_block("SCHED_OTHER", "SCHED_OTHER"),
                  true);
}

TEST(Policyswitch, RefusedForkIsReported)
{
    runner::Options o;
    o.argv = {runner::program("policyswitch")};
    o.fork_errno = EAGAIN;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n") << r.describe();
    EXPECT_EQ(r.out, "") << r.describe();
}

} // namespace

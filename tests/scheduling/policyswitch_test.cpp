// policyswitch: the child's switch to FIFO granted (started under OTHER or
// under RR) or refused without real-time privilege, the quantum line against
// this kernel's, and a refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <ctime>
#include <string>

namespace
{

std::string parent_block(const timespec &quantum)
{
    return "Voici les priorités min et max de la politique SCHED_FIFO, " +
           std::to_string(sched_get_priority_min(SCHED_FIFO)) + ", " +
           std::to_string(sched_get_priority_max(SCHED_FIFO)) +
           "\n"
           "Voici les priorités min et max de la politique SCHED_RR, " +
           std::to_string(sched_get_priority_min(SCHED_RR)) + ", " +
           std::to_string(sched_get_priority_max(SCHED_RR)) +
           "\n"
           "Voici les la valeur du quantum de la politique SCHED_RR, " +
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
// blocks come in either order but are never mixed.
void expect_blocks(const runner::Result &r, const std::string &parent, const std::string &child)
{
    EXPECT_TRUE(r.out == parent + child || r.out == child + parent) << "expected the blocks\n"
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

// What the kernel answers for a time-sharing process (this test): the
// parent asks for its own PID, so that is what it prints when not under RR.
timespec other_quantum()
{
    timespec t{};
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the test itself should be time-sharing";
    EXPECT_EQ(sched_rr_get_interval(0, &t), 0);
    return t;
}

TEST(PolicyswitchLab, ChildIsGrantedFifoWithRealTimePrivilege)
{
    if (!runner::is_root()) {
        GTEST_SKIP() << "needs real-time privilege (root)";
    }
    struct Case {
        const char *name;
        bool round_robin; // start the program under SCHED_RR 1 (inherited by the child)
        std::string before;
        timespec quantum;
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
        expect_blocks(r, parent_block(c.quantum), child_block(c.before, "SCHED_FIFO"));
    }
}

TEST(Policyswitch, WithoutRealTimePrivilegeOnlyTheNiceChangeTakes)
{
    runner::Options o;
    o.argv = {runner::program("policyswitch")};
    o.nice = 0;
    o.drop_rt_privilege = true;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot drop real-time privilege here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "pb setsceduler: Operation not permitted\n") << r.describe();
    expect_blocks(r, parent_block(other_quantum()), child_block("SCHED_OTHER", "SCHED_OTHER"));
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

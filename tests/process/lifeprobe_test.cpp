// lifeprobe: the four state readings (running, sleeping, zombie, absent),
// the wait for a typed line, stdio buffering across fork, a refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <memory>
#include <string>

using namespace std::chrono_literals;

namespace
{

std::string before_fork(pid_t pid)
{
    return "PID = " + std::to_string(pid) +
           "\n"
           "Expected state = Running \n"
           "State:\tR (running)\n";
}

const std::string sleeping = "State:\tS (sleeping)\n";
const std::string running = "State:\tR (running)\n";

// The child's block, with the state line it read of its parent.
std::string child_block(const std::string &parent_state = sleeping)
{
    return "Child: reading my parent state...\n"
           "Expected state = Sleeping \n" +
           parent_state + "Child: exit() \n";
}

const std::string parent_block = "Parent: reading my child state...\n"
                                 "Expected state = Zombie \n"
                                 "State:\tZ (zombie)\n"
                                 "Parent: reading my child exit code...\n"
                                 "State of my child...\n"
                                 "Expected state = absent\n"
                                 "absent\n"
                                 "Waiting for input\n";

// The child reads its parent's state while the parent sleeps. Left to the
// scheduler, a busy machine can show the parent still runnable in the
// instant between fork() and sleep(): the state line is a snapshot. Where
// real-time scheduling is allowed, the runs put the program on one processor
// under the FIFO policy, so the parent runs until it sleeps before its child
// runs at all; elsewhere the child may catch its parent running.
bool parent_sleeps_first()
{
    return !runner::lacks_realtime();
}

runner::Options probe_options()
{
    runner::Options o;
    o.argv = {runner::program("lifeprobe")};
    o.cpu = runner::allowed_cpus().front(); // the last may hold a FIFO 99 hog
    if (parent_sleeps_first()) {
        o.policy = std::pair{SCHED_FIFO, 1};
    }
    return o;
}

// Whether `out` is `expected(state)` for a state the child may have read.
template <typename Expected> bool matches(const std::string &out, Expected expected)
{
    return out == expected(sleeping) || (!parent_sleeps_first() && out == expected(running));
}

TEST(LifeprobeLab, OnATerminalShowsTheFourStatesThenWaitsForALine)
{
    runner::Options o = probe_options();
    o.terminal = true;
    // Without real-time scheduling the child can, now and then, read its
    // parent before the parent's sleep: a few runs show the sleeping parent.
    const int tries = parent_sleeps_first() ? 1 : 4;
    std::unique_ptr<runner::Session> session;
    for (int run = 0; run < tries; ++run) {
        session = std::make_unique<runner::Session>(o);
        ASSERT_TRUE(session->wait_for_output("Waiting for input\n", 15s))
            << session->result().describe();
        if (session->result().out.find(sleeping) != std::string::npos) {
            break;
        }
    }
    runner::Session &s = *session;
    // Line-buffered on a terminal: every line once, the child's first.
    EXPECT_EQ(s.result().out, before_fork(s.pid()) + child_block() + parent_block)
        << s.result().describe();
    // The parent's lines come after its 5-second sleep, the child's at once.
    const auto &lines = s.result().out_lines;
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_LT(lines[6].at.count(), 3.0) << "child's last line";
    EXPECT_GT(lines[7].at.count(), 4.5) << "parent's first line after the fork";

    // Still there, blocked on the terminal, until a line is typed. More
    // than 4 characters: one read of 4 bytes, and the program ends anyway.
    EXPECT_FALSE(s.wait_until([](const runner::Result &r) { return r.exited; }, 500ms));
    EXPECT_EQ(runner::process_state(s.pid()), 'S');
    s.send("abcdefgh\n");
    const auto &r = s.finish();
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, before_fork(r.pid) + child_block() + parent_block) << "nothing after the read";
}

// With standard output on a pipe nothing is flushed before fork, so the
// three lines written before it are in both processes' buffers: the child
// writes its copy when it exits, the parent its own at the end.
TEST(Lifeprobe, RedirectedOutputRepeatsThePreForkLines)
{
    struct Case {
        const char *name;
        std::optional<std::string> input;
    };
    for (const Case &c :
         {Case{"input at end of file", std::string{}}, Case{"input closed", std::nullopt}}) {
        SCOPED_TRACE(c.name);
        runner::Options o = probe_options();
        o.input = c.input;
        const auto r = runner::run(o);
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_TRUE(matches(r.out, [&](const std::string &state) {
            return before_fork(r.pid) + child_block(state) + before_fork(r.pid) + parent_block;
        })) << r.describe();
        EXPECT_EQ(r.err, "");
        // The 5-second sleep, then no wait for input that cannot come.
        EXPECT_GT(r.ended_at.count(), 4.5) << r.describe();
        EXPECT_LT(r.ended_at.count(), 9.0) << r.describe();
    }
}

TEST(Lifeprobe, RefusedForkIsReportedAndNeitherBranchRuns)
{
    runner::Options o;
    o.argv = {runner::program("lifeprobe")};
    o.fork_errno = EAGAIN;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "fork (): Resource temporarily unavailable\n") << r.describe();
    // Only what was written before the fork, flushed once by exit().
    EXPECT_EQ(r.out, before_fork(r.pid)) << r.describe();
    EXPECT_LT(r.ended_at.count(), 3.0);
}

} // namespace

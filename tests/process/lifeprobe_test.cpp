// lifeprobe: the four state readings (running, sleeping, zombie, absent),
// the wait for a typed line, stdio buffering across fork, a refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
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

const std::string child_block = "Child: reading my parent state...\n"
                                "Expected state = Sleeping \n"
                                "State:\tS (sleeping)\n"
                                "Child: exit() \n";

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
// instant between fork() and sleep(): the state line is a snapshot. The runs
// that check it put the program on one processor under the FIFO policy (as
// root), so the parent runs until it sleeps before its child runs at all.
runner::Options probe_options()
{
    runner::Options o;
    o.argv = {runner::program("lifeprobe")};
    o.cpu = 0;
    if (runner::is_root()) {
        o.policy = std::pair{SCHED_FIFO, 1};
    }
    return o;
}

TEST(LifeprobeLab, OnATerminalShowsTheFourStatesThenWaitsForALine)
{
    runner::Options o = probe_options();
    o.terminal = true;
    runner::Session s(o);

    ASSERT_TRUE(s.wait_for_output("Waiting for input\n", 15s)) << s.result().describe();
    // Line-buffered on a terminal: every line once, the child's first.
    EXPECT_EQ(s.result().out, before_fork(s.pid()) + child_block + parent_block)
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
    EXPECT_EQ(r.out, before_fork(r.pid) + child_block + parent_block) << "nothing after the read";
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
        EXPECT_EQ(r.out, before_fork(r.pid) + child_block + before_fork(r.pid) + parent_block)
            << r.describe();
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

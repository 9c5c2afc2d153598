// orphanwatch: the child's parent PID changes from its parent's to the
// adopter's once the parent has ended at about 2 s, while the child keeps
// printing; a refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// The test is a child subreaper, so it adopts the orphan: the adopter's
// PID is the test's own, whatever the machine's init.
TEST(OrphanwatchLab, TheChildIsAdoptedOnceItsParentEnds)
{
    runner::become_subreaper();
    const std::string adopter = std::to_string(getpid());
    struct Case {
        const char *name;
        bool terminal;
    };
    // On pipes each process's lines leave at its exit; on a terminal each
    // line leaves at once. There the program, not a shell, leads the
    // terminal's session, and the end of a session leader hangs up its
    // foreground group: the orphan must ignore SIGHUP to outlive its
    // parent, as it does under a shell.
    for (const Case &c : {Case{"on pipes", false}, Case{"on a terminal", true}}) {
        SCOPED_TRACE(c.name);
        runner::Options o;
        o.argv = {runner::program("orphanwatch")};
        o.terminal = c.terminal;
        if (c.terminal) {
            o.ignore_signals = {SIGHUP};
        }
        const auto r = runner::run(o);
        ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_FALSE(r.timed_out) << r.describe();
        EXPECT_EQ(r.err, "");

        const std::string parent = std::to_string(r.pid);
        std::vector<runner::Line> child_lines;
        std::vector<std::string> parent_lines;
        double parent_end_line_at = -1;
        for (const auto &line : r.out_lines) {
            if (line.text.rfind("Child : my parent is ", 0) == 0) {
                child_lines.push_back(line);
            } else {
                parent_lines.push_back(line.text);
                if (line.text == "Parent : terminating") {
                    parent_end_line_at = line.at.count();
                }
            }
        }
        EXPECT_EQ(parent_lines, (std::vector<std::string>{"Parent : my PID is " + parent,
                                                          "Parent : terminating"}))
            << r.describe();
        ASSERT_EQ(child_lines.size(), 5u) << r.describe();
        for (size_t i : {0u, 1u}) {
            EXPECT_EQ(child_lines[i].text, "Child : my parent is " + parent) << r.describe();
        }
        EXPECT_TRUE(child_lines[2].text == "Child : my parent is " + parent ||
                    child_lines[2].text == "Child : my parent is " + adopter)
            << r.describe();
        for (size_t i : {3u, 4u}) {
            EXPECT_EQ(child_lines[i].text, "Child : my parent is " + adopter) << r.describe();
        }

        // The parent ends at about 2 s; the child's output stays open until
        // it ends, about 3 s later.
        EXPECT_GE(r.ended_at.count(), 1.9) << r.describe();
        EXPECT_LT(r.ended_at.count(), 3.5) << r.describe();
        EXPECT_GE(r.finished_at.count() - r.ended_at.count(), 1.5) << r.describe();
        EXPECT_GE(r.finished_at.count(), 3.9) << r.describe();
        if (c.terminal) {
            // Line by line: the parent's farewell at about 2 s, the last
            // two child lines after the parent has ended, a second apart.
            EXPECT_GE(parent_end_line_at, 1.9) << r.describe();
            EXPECT_LT(child_lines[1].at.count(), parent_end_line_at) << r.describe();
            EXPECT_GT(child_lines[3].at.count(), r.ended_at.count()) << r.describe();
            EXPECT_GE(child_lines[4].at.count() - child_lines[3].at.count(), 0.8) << r.describe();
        }
    }
}

TEST(Orphanwatch, RefusedForkIsReportedAndNeitherBranchRuns)
{
    runner::Options o;
    o.argv = {runner::program("orphanwatch")};
    o.fork_errno = ENOMEM;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "error during fork()\n") << r.describe();
    EXPECT_EQ(r.out, "") << r.describe();
    EXPECT_LT(r.ended_at.count(), 1.5) << r.describe();
}

} // namespace

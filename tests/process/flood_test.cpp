// childflood, twinflood: on a terminal both lines appear, each whole; a
// Ctrl-C typed on the terminal ends every process of the group; childflood
// whose child alone is killed ends with status 0; refused forks.
#include "runner.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{

const std::string child_line = "je suis le fils";
const std::string parent_line = "je suis le père";

// PIDs of the processes in a process group, zombies included.
std::vector<pid_t> group_members(pid_t group)
{
    std::vector<pid_t> members;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            const pid_t p = std::stoi(name);
            if (getpgid(p) == group) {
                members.push_back(p);
            }
        }
    }
    return members;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// Start on a terminal, wait for both lines; returns the child's PID.
pid_t start_and_find_child(runner::Session &s)
{
    const bool both = s.wait_until(
        [](const runner::Result &r) {
            return r.out.find(child_line + "\n") != std::string::npos &&
                   r.out.find(parent_line + "\n") != std::string::npos;
        },
        10s);
    EXPECT_TRUE(both) << s.result().describe().substr(0, 2000);
    std::vector<pid_t> others;
    for (pid_t p : group_members(s.pid())) {
        if (p != s.pid()) {
            others.push_back(p);
        }
    }
    EXPECT_EQ(others.size(), 1u) << "one child in the program's group";
    return both && others.size() == 1 ? others[0] : -1;
}

struct FloodCase {
    const char *program;
    bool parent_repeats; // twinflood's parent prints forever, childflood's once
};

class FloodLab : public ::testing::TestWithParam<FloodCase>
{
};

void PrintTo(const FloodCase &c, std::ostream *os)
{
    *os << c.program;
}

// SIGINT from the terminal reaches the whole foreground group: parent and
// child end by it, and nothing of the group is left. The test adopts the
// child if it outlives its parent, so it can reap it and see why it ended.
TEST_P(FloodLab, CtrlCOnTheTerminalEndsBothProcesses)
{
    const FloodCase &c = GetParam();
    runner::become_subreaper();
    runner::Options o;
    o.argv = {runner::program(c.program)};
    o.terminal = true;
    o.timeout = 30s;
    runner::Session s(o);
    const pid_t child = start_and_find_child(s);
    ASSERT_GT(child, 0);
    EXPECT_NE(runner::process_state(s.pid()), 'Z');
    EXPECT_NE(runner::process_state(child), 'Z');

    // Both keep going: more of the child's lines (and of twinflood's
    // parent's) come; childflood's parent has said its line once.
    const size_t children_so_far = count(s.result().out, child_line + "\n");
    EXPECT_TRUE(s.wait_until(
        [&](const runner::Result &r) {
            return count(r.out, child_line + "\n") > children_so_far + 10 &&
                   (!c.parent_repeats || count(r.out, parent_line + "\n") >= 2);
        },
        10s));
    if (!c.parent_repeats) {
        EXPECT_EQ(count(s.result().out, parent_line + "\n"), 1u);
    }
    // Line-buffered on a terminal: every complete line is one whole line.
    for (const auto &line : s.result().out_lines) {
        ASSERT_TRUE(line.text == child_line || line.text == parent_line)
            << "mixed line: \"" << line.text << "\"";
    }

    s.send("\x03");
    ASSERT_TRUE(
        s.wait_until([](const runner::Result &r) { return r.exited || r.signal != 0; }, 10s));
    EXPECT_EQ(s.result().signal, SIGINT) << "parent " << (s.result().exited ? "exited" : "killed");

    // The group empties: the child is gone, reaped by its parent or, once
    // orphaned, by the test; if it is ours, it too ended by SIGINT.
    const auto deadline = runner::Clock::now() + 10s;
    std::vector<pid_t> left;
    do {
        int status;
        pid_t p;
        while ((p = waitpid(-s.pid(), &status, WNOHANG)) > 0) {
            EXPECT_EQ(p, child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)
                << "child status " << status;
        }
        left = group_members(s.pid());
        if (left.empty()) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    } while (runner::Clock::now() < deadline);
    EXPECT_TRUE(left.empty()) << left.size() << " process(es) of the group left, first "
                              << left.front() << " state " << runner::process_state(left.front());
    EXPECT_FALSE(s.finish().timed_out);
}

INSTANTIATE_TEST_SUITE_P(
    Both, FloodLab, ::testing::Values(FloodCase{"childflood", false}, FloodCase{"twinflood", true}),
    [](const auto &param_info) { return std::string(param_info.param.program); });

// Killing only the child (from another terminal) ends the parent's wait:
// it ends with status 0, having reaped the child.
TEST(Childflood, KillingOnlyTheChildEndsTheParentWithStatusZero)
{
    runner::Options o;
    o.argv = {runner::program("childflood")};
    o.terminal = true;
    o.timeout = 30s;
    runner::Session s(o);
    const pid_t child = start_and_find_child(s);
    ASSERT_GT(child, 0);
    ASSERT_EQ(kill(child, SIGTERM), 0);
    ASSERT_TRUE(
        s.wait_until([](const runner::Result &r) { return r.exited || r.signal != 0; }, 10s));
    const auto &r = s.finish();
    EXPECT_TRUE(r.exited && r.exit_code == 0)
        << (r.exited ? "exit status " + std::to_string(r.exit_code)
                     : std::string("signal ") + strsignal(r.signal));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(runner::process_state(child), '\0') << "the child was reaped";
}

TEST(Flood, RefusedForkIsReportedAndNeitherBranchRuns)
{
    for (const char *program : {"childflood", "twinflood"}) {
        SCOPED_TRACE(program);
        runner::Options o;
        o.argv = {runner::program(program)};
        o.fork_errno = EAGAIN;
        const auto r = runner::run(o);
        if (!r.setup_error.empty()) {
            GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
        }
        EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
        EXPECT_EQ(r.err, std::string("fork: ") + std::strerror(EAGAIN) + "\n") << r.describe();
        EXPECT_EQ(r.out, "") << r.describe();
    }
}

} // namespace

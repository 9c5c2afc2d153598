// parentchild, reapcode, spawnretry: the identities the two processes
// print agree with each other and with the PIDs the runner sees; how
// reapcode reports its child's end; spawnretry's retry while fork is
// refused for lack of process slots; refused forks.
#include "runner.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// Index of the one line equal to prefix + a number, with that number; the
// index is -1 when there is no such line or several.
struct Found {
    long index = -1;
    long value = 0;
};

Found find_number_line(const std::vector<std::string> &lines, const std::string &prefix,
                       const std::string &suffix = "")
{
    Found found;
    int matches = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        if (l.size() <= prefix.size() + suffix.size() || l.compare(0, prefix.size(), prefix) != 0 ||
            l.compare(l.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string digits =
            l.substr(prefix.size(), l.size() - prefix.size() - suffix.size());
        if (!std::regex_match(digits, std::regex("-?[0-9]+"))) {
            continue;
        }
        ++matches;
        found = {static_cast<long>(i), std::stol(digits)};
    }
    return matches == 1 ? found : Found{};
}

const std::string child_first = "je suis le fils; mon pid est ";
const std::string child_second = "pid de mon père, ";
const std::string parent_first = "je suis le père; mon pid est ";
const std::string parent_second = "pid de mon fils, ";
const std::string dead_line = "je suis le père; le pid de mon fils mort est ";
const std::string code_line = "je suis le père; le code retour de mon fils est ";
const std::string eighteen_blanks(18, ' ');

// The four identity lines of parentchild and reapcode, each process's in
// its own order; the child's PID is returned.
long check_identities(const runner::Result &r, const std::vector<std::string> &lines)
{
    const Found cf = find_number_line(lines, child_first);
    const Found cs = find_number_line(lines, child_second);
    const Found pf = find_number_line(lines, parent_first);
    const Found ps = find_number_line(lines, parent_second);
    EXPECT_TRUE(cf.index >= 0 && cs.index >= 0 && pf.index >= 0 && ps.index >= 0) << r.describe();
    EXPECT_LT(cf.index, cs.index) << r.describe();
    EXPECT_LT(pf.index, ps.index) << r.describe();
    EXPECT_EQ(pf.value, r.pid) << "the parent is the program started";
    EXPECT_EQ(cs.value, pf.value) << "child's parent = parent's own PID\n" << r.describe();
    EXPECT_EQ(ps.value, cf.value) << "parent's child = child's own PID\n" << r.describe();
    EXPECT_NE(cf.value, r.pid) << r.describe();
    EXPECT_GT(cf.value, 0) << r.describe();
    return cf.value;
}

struct IdentityCase {
    const char *program;
    bool terminal;
};

void PrintTo(const IdentityCase &c, std::ostream *os)
{
    *os << c.program << (c.terminal ? " on a terminal" : " on pipes");
}

class Identities : public ::testing::TestWithParam<IdentityCase>
{
};

// On pipes each process's lines leave when it exits (the child's first,
// since the parent waits for it); on a terminal each line leaves at once.
TEST_P(Identities, ChildAndParentNameEachOther)
{
    const IdentityCase &c = GetParam();
    runner::Options o;
    o.argv = {runner::program(c.program)};
    o.terminal = c.terminal;
    const auto r = runner::run(o);
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "");
    const auto lines = runner::split_lines(r.out);
    const long child = check_identities(r, lines);

    if (std::string(c.program) == "parentchild") {
        EXPECT_EQ(lines.size(), 4u) << r.describe();
        return;
    }
    // reapcode: the wait's two lines come last, after everything the child
    // printed, and the exit code is followed by eighteen blanks.
    ASSERT_EQ(lines.size(), 6u) << r.describe();
    EXPECT_EQ(lines[4], dead_line + std::to_string(child)) << r.describe();
    EXPECT_EQ(lines[5], code_line + "0" + eighteen_blanks) << r.describe();
    EXPECT_EQ(r.out.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(Both, Identities,
                         ::testing::Values(IdentityCase{"parentchild", false},
                                           IdentityCase{"parentchild", true},
                                           IdentityCase{"reapcode", false},
                                           IdentityCase{"reapcode", true}),
                         [](const auto &param_info) {
                             return std::string(param_info.param.program) +
                                    (param_info.param.terminal ? "OnATerminal" : "OnPipes");
                         });

// The child is killed by the kernel at its getppid() call, a call the
// parent never makes: the parent still names the dead child, but there is
// no exit code to report.
TEST(Reapcode, ChildEndedBySignalGivesNoExitCodeLine)
{
    runner::Options o;
    o.argv = {runner::program("reapcode")};
    o.terminal = true; // the child's first line leaves before it dies
    o.syscall_rules = {{SYS_getppid, runner::kill_process()}};
    o.rlimits = {{RLIMIT_CORE, 0}};
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot install a seccomp rule here: " << r.setup_error;
    }
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    const auto lines = runner::split_lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.describe();
    const Found cf = find_number_line(lines, child_first);
    const Found pf = find_number_line(lines, parent_first);
    ASSERT_GE(cf.index, 0) << r.describe();
    EXPECT_EQ(pf.value, r.pid) << r.describe();
    EXPECT_EQ(find_number_line(lines, parent_second).value, cf.value) << r.describe();
    EXPECT_EQ(lines[3], dead_line + std::to_string(cf.value)) << r.describe();
    EXPECT_EQ(r.out.find(code_line), std::string::npos) << r.describe();
}

// With SIGCHLD ignored the kernel reaps the child itself: wait() blocks
// until the child is gone, then fails. No child returned, so no status word
// to read and no exit code to print.
TEST(Reapcode, FailedWaitPrintsMinusOneAndNoExitCode)
{
    runner::Options o;
    o.argv = {runner::program("reapcode")};
    o.ignore_signals = {SIGCHLD};
    const auto r = runner::run(o);
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    const auto lines = runner::split_lines(r.out);
    check_identities(r, lines);
    ASSERT_EQ(lines.size(), 5u) << r.describe();
    EXPECT_EQ(lines[4], dead_line + "-1") << r.describe();
}

TEST(Spawnretry, ChildAndParentNameEachOther)
{
    for (bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "on a terminal" : "on pipes");
        runner::Options o;
        o.argv = {runner::program("spawnretry")};
        o.terminal = terminal;
        const auto r = runner::run(o);
        ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.err, "");
        const std::string p = std::to_string(r.pid);
        const std::regex child("Child:  PID=([0-9]+), PPID=" + p);
        const std::regex parent("Parent: PID=" + p + ", PPID=" + std::to_string(getpid()) +
                                ", child=([0-9]+)");
        const auto lines = runner::split_lines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.describe();
        std::smatch c, m;
        const bool child_first_line = std::regex_match(lines[0], c, child);
        const std::string &other = child_first_line ? lines[1] : lines[0];
        if (!child_first_line) {
            ASSERT_TRUE(std::regex_match(lines[1], c, child)) << r.describe();
        }
        ASSERT_TRUE(std::regex_match(other, m, parent)) << r.describe();
        EXPECT_EQ(c[1].str(), m[1].str()) << "child's PID = parent's child=\n" << r.describe();
    }
}

// Kills and reaps a process of the test when the test ends, however it ends.
struct Reaped {
    pid_t pid;
    ~Reaped()
    {
        if (pid > 0) {
            (void)kill(pid, SIGKILL);
            (void)waitpid(pid, nullptr, 0);
        }
    }
};

// The per-user process limit counts every process of the real uid. Under a
// uid of its own, with a limit of 2 and a blocker of that uid holding the
// other slot, the program's fork is refused with EAGAIN until the test
// kills and reaps the blocker.
TEST(SpawnretryLab, ForkRefusedForLackOfProcessSlotsIsRetriedUntilOneFrees)
{
    SUITE_NEED(lacks_uid_switch);
    const uid_t uid = runner::spare_uid(); // used by nothing else
    const pid_t test = getpid();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    Reaped blocker{fork()};
    ASSERT_GE(blocker.pid, 0);
    if (blocker.pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
            _exit(1);
        }
        // Dies with the test, however the test ends (set after the uid
        // change, which clears it).
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test) {
            _exit(1);
        }
        (void)!write(ready[1], "x", 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the blocker could not take the uid";
    close(ready[0]);

    runner::Options o;
    o.argv = {runner::program("spawnretry")};
    o.uid = uid;
    o.rlimits = {{RLIMIT_NPROC, 2}};
    o.timeout = 30s;
    runner::Session s(o);
    if (!s.result().setup_error.empty()) {
        GTEST_SKIP() << "cannot run under another uid here: " << s.result().setup_error;
    }
    // Spinning in the retry loop: alive, running, nothing printed.
    EXPECT_FALSE(s.wait_until(
        [](const runner::Result &r) {
            return r.exited || r.signal != 0 || !r.out.empty() || !r.err.empty();
        },
        1500ms))
        << s.result().describe();
    EXPECT_EQ(runner::process_state(s.pid()), 'R');

    // Free the slot: a process's slot is released when it is reaped.
    ASSERT_EQ(kill(blocker.pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(blocker.pid, nullptr, 0), blocker.pid);
    blocker.pid = -1;

    const auto &r = s.finish();
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_FALSE(r.timed_out) << r.describe();
    EXPECT_EQ(r.err, "") << r.describe();
    const std::string p = std::to_string(r.pid);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)Child:  PID=[0-9]+, PPID=" + p + "\n")))
        << r.describe();
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)Parent: PID=" + p +
                                                    ", PPID=[0-9]+, "
                                                    "child=[0-9]+\n")))
        << r.describe();
}

// The same retry without privilege: every fork is refused with EAGAIN, so
// the program retries without end: alive, running, silent, until killed.
TEST(SpawnretryLab, ForkRefusedWithEagainIsRetriedWithoutEnd)
{
    SUITE_NEED(lacks_seccomp);
    runner::Options o;
    o.argv = {runner::program("spawnretry")};
    o.fork_errno = EAGAIN;
    runner::Session s(o);
    ASSERT_EQ(s.result().setup_error, "") << s.result().describe();
    EXPECT_FALSE(s.wait_until(
        [](const runner::Result &r) {
            return r.exited || r.signal != 0 || !r.out.empty() || !r.err.empty();
        },
        1200ms))
        << s.result().describe();
    EXPECT_EQ(runner::process_state(s.pid()), 'R') << "retrying, not sleeping";
    s.signal_group(SIGKILL);
    const auto &r = s.finish();
    EXPECT_EQ(r.signal, SIGKILL) << "it was still retrying when killed\n" << r.describe();
    EXPECT_EQ(r.out + r.err, "") << r.describe();
}

// A refused fork: reported, status 1, nothing from either branch.
TEST(RefusedFork, IsReportedAndNeitherBranchRuns)
{
    struct Case {
        const char *program;
        int error;
        std::string message;
    };
    const Case cases[] = {
        {"parentchild", EAGAIN, std::string("fork: ") + std::strerror(EAGAIN) + "\n"},
        {"reapcode", ENOMEM, std::string("fork: ") + std::strerror(ENOMEM) + "\n"},
        // Only EAGAIN is retried; other errors are final, given by number.
        {"spawnretry", ENOMEM, "unable to fork(), errno=" + std::to_string(ENOMEM) + "\n"},
        {"spawnretry", EPERM, "unable to fork(), errno=" + std::to_string(EPERM) + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.program) + " refused with " + strerrorname_np(c.error));
        runner::Options o;
        o.argv = {runner::program(c.program)};
        o.fork_errno = c.error;
        const auto r = runner::run(o);
        if (!r.setup_error.empty()) {
            GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
        }
        EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
        EXPECT_EQ(r.err, c.message) << r.describe();
        EXPECT_EQ(r.out, "") << r.describe();
    }
}

} // namespace

// policyof: the policy names against what chrt reports for real processes
// (PID 1, this test, sleepers started under each policy), the shapes of
// argument that parse or not, and the program's own name as argument 0.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// A `sleep` started through chrt with these options. chrt sets the policy
// and then execs sleep, so once the process is called "sleep" the policy is
// in place. The session kills it at the end of the test.
std::unique_ptr<runner::Session> start_sleeper(const std::vector<std::string> &chrt_options)
{
    runner::Options o;
    o.argv = {"/usr/bin/chrt"};
    o.argv.insert(o.argv.end(), chrt_options.begin(), chrt_options.end());
    o.argv.insert(o.argv.end(), {"/usr/bin/sleep", "300"});
    o.timeout = 100s; // killed at the end of the test
    auto s = std::make_unique<runner::Session>(o);
    const std::string comm = "/proc/" + std::to_string(s->pid()) + "/comm";
    const auto deadline = runner::Clock::now() + 10s;
    while (runner::read_file(comm).value_or("") != "sleep\n" && runner::Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(runner::read_file(comm).value_or(""), "sleep\n")
        << "sleeper did not start: " << s->result().describe();
    return s;
}

// The policy as `chrt -p` names it: "OTHER" from
// "pid 1's current scheduling policy: SCHED_OTHER|SCHED_RESET_ON_FORK".
std::string chrt_policy(pid_t pid)
{
    runner::Options o;
    o.argv = {"/usr/bin/chrt", "-p", std::to_string(pid)};
    o.env = {"LC_ALL=C"}; // the English text is parsed
    const auto r = runner::run(o);
    const std::string key = "scheduling policy: SCHED_";
    const auto at = r.out.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << r.describe();
        return "";
    }
    const auto from = at + key.size();
    return r.out.substr(from, r.out.find_first_of("|\n", from) - from);
}

std::string pid_max()
{
    return runner::split_lines(runner::read_file("/proc/sys/kernel/pid_max").value_or("")).at(0);
}

TEST(PolicyofLab, AgreesWithChrtOnRealProcesses)
{
    struct Case {
        std::vector<std::string> chrt_options;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"-o", "0"}, "OTHER"},
        {{"-f", "1"}, "FIFO"},
        {{"-r", "1"}, "RR"},
        {{"-b", "0"}, "???"},
        {{"-i", "0"}, "???"},
        // The reset-on-fork flag is added to the policy number the kernel
        // returns; the policy is still round-robin.
        {{"-R", "-r", "1"}, "RR"},
        {{"-R", "-o", "0"}, "OTHER"},
    };
    std::vector<std::unique_ptr<runner::Session>> sleepers;
    std::vector<pid_t> pids = {1, getpid()};
    std::vector<std::string> expected = {"", ""}; // from chrt only
    for (const auto &c : cases) {
        const bool real_time = c.expected == "FIFO" || c.expected == "RR";
        if (real_time && runner::lacks_realtime()) {
            // Without the privilege only the time-sharing policies are shown.
            std::string options;
            for (const auto &option : c.chrt_options) {
                options += " " + option;
            }
            std::printf("no real-time privilege: no sleeper under chrt%s\n", options.c_str());
            continue;
        }
        sleepers.push_back(start_sleeper(c.chrt_options));
        pids.push_back(sleepers.back()->pid());
        expected.push_back(c.expected);
    }

    std::vector<std::string> argv = {runner::program("policyof")};
    for (pid_t pid : pids) {
        argv.push_back(std::to_string(pid));
    }
    const auto r = runner::run(argv);
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "");
    const auto lines = runner::split_lines(r.out);
    ASSERT_EQ(lines.size(), pids.size() + 1) << r.describe();
    EXPECT_EQ(lines[0], argv[0] + " : Invalide");
    for (size_t i = 0; i < pids.size(); ++i) {
        std::string name = chrt_policy(pids[i]);
        if (name != "OTHER" && name != "FIFO" && name != "RR") {
            name = "???"; // BATCH, IDLE, DEADLINE
        }
        SCOPED_TRACE("pid " + std::to_string(pids[i]) + ", chrt says " + name);
        if (!expected[i].empty()) {
            EXPECT_EQ(name, expected[i]) << "the sleeper's policy as chrt reports it";
        }
        EXPECT_EQ(lines[i + 1], std::to_string(pids[i]) + " : " + name);
    }
}

// The target is a sleeper under SCHED_IDLE, a policy anyone may take and
// the program names "???": its answer differs from the program's own
// ("OTHER") and from a failed query ("Invalide").
TEST(Policyof, ArgumentShapes)
{
    const auto idle = start_sleeper({"-i", "0"});
    const std::string pid = std::to_string(idle->pid());
    const std::string none = pid_max(); // PIDs stay below pid_max
    struct Case {
        std::string arg;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"0", "OTHER"}, // the program itself
        {pid, "???"},
        {pid + "abc", "???"}, // trailing characters ignored
        {"  " + pid, "???"},  // leading blanks skipped
        {"+" + pid, "???"},
        {none, "Invalide"}, // no such process
        {"-1", "Invalide"},
        {"-" + pid, "Invalide"},
        {"abc", "Invalide"},
        {"", "Invalide"},
        {"-", "Invalide"},
        {"x" + pid, "Invalide"},
        // Out of the int range: no number, not a number cut down to 0 or 1.
        {"4294967296", "Invalide"},
        {"-4294967295", "Invalide"},
        {"2147483648", "Invalide"},
        {"99999999999999999999999", "Invalide"},
    };
    std::vector<std::string> argv = {runner::program("policyof")};
    std::string expected = argv[0] + " : Invalide\n";
    for (const auto &c : cases) {
        argv.push_back(c.arg);
        expected += c.arg + " : " + c.expected + "\n";
    }
    const auto r = runner::run(argv);
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.out, expected) << r.describe();
    EXPECT_EQ(r.err, "");
}

// Element 0 of argv is examined like the others: with no arguments the one
// line is about the program's own name, which is a PID if it reads as one.
TEST(Policyof, ItsOwnNameIsTheFirstArgument)
{
    const auto idle = start_sleeper({"-i", "0"});
    const std::string pid = std::to_string(idle->pid());
    for (const auto &[name, expected] :
         std::vector<std::pair<std::string, std::string>>{{"policyof", "policyof : Invalide\n"},
                                                          {"0", "0 : OTHER\n"},
                                                          {pid, pid + " : ???\n"}}) {
        runner::Options o;
        o.argv = {runner::program("policyof")};
        o.argv0 = name;
        const auto r = runner::run(o);
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out, expected) << r.describe();
        EXPECT_EQ(r.err, "");
    }
}

} // namespace

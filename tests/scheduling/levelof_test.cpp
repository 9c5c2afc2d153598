// levelof: the usage text for every bad command line, queries by class (the
// first letter in any case), failed queries reported with the identifier's
// text, and real processes read as ps reads them, nice -1 included.
#include "runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{

std::string usage(const std::string &name)
{
    return "Syntax : " + name +
           " <class> <ident> \n"
           "   <class> = P (PID)\n"
           "             G (PGID)\n"
           "             U (UID)\n";
}

std::string pid_max()
{
    return runner::split_lines(runner::read_file("/proc/sys/kernel/pid_max").value_or("")).at(0);
}

// A uid of its own for this test process, so that per-user queries see only
// the processes started here.
uid_t private_uid()
{
    return runner::spare_uid();
}

struct Query {
    std::vector<std::string> args;
    int nice; // the program's own nice value
    std::string err;
};

// Runs each query at its nice value, under `uid` when given.
void check_queries(const std::vector<Query> &cases, std::optional<uid_t> uid)
{
    for (const auto &c : cases) {
        runner::Options o;
        o.argv = {runner::program("levelof")};
        o.argv.insert(o.argv.end(), c.args.begin(), c.args.end());
        o.nice = c.nice;
        o.uid = uid;
        const auto r = runner::run(o);
        SCOPED_TRACE(r.command + " at nice " + std::to_string(c.nice));
        ASSERT_EQ(r.setup_error, "") << r.describe();
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.err, c.err) << r.describe();
        EXPECT_EQ(r.out, "");
    }
}

TEST(Levelof, UsageForEveryBadCommandLine)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"P"},
        {"P", "0", "0"},
        {"X", "0"},
        {"", "0"},
        {"1", "0"},
        {"P", "abc"},
        {"P", ""},
        {"P", "-"},
        {"P", "x12"},
        // Out of the int range: no number, not one cut down to 0.
        {"P", "4294967296"},
        {"U", "2147483648"},
        {"G", "99999999999999999999999"},
    };
    for (const auto &args : cases) {
        runner::Options o;
        o.argv = {runner::program("levelof")};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        const auto r = runner::run(o);
        SCOPED_TRACE(r.command);
        EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
        EXPECT_EQ(r.err, usage(o.argv[0])) << r.describe();
        EXPECT_EQ(r.out, "");
    }
}

TEST(Levelof, QueriesByClassAndIdentifier)
{
    const std::string none = pid_max(); // PIDs stay below pid_max
    check_queries(
        {
            {{"p", "0"}, 0, "0 : 0\n"},
            {{"P", "0"}, 7, "0 : 7\n"},
            {{"process", "0"}, 3, "0 : 3\n"},
            {{"pgid", "0"}, 5, "0 : 5\n"}, // 'p': the process, whatever follows
            {{"g", "0"}, 5, "0 : 5\n"},    // alone in its group
            {{"Group", "0"}, 19, "0 : 19\n"},
            {{"P", "  +0"}, 2, "0 : 2\n"}, // leading blanks, a sign
            // Failed queries: perror with the identifier's text, status 0.
            {{"P", none}, 0, none + ": No such process\n"},
            {{"p", none + "xyz"}, 0, none + "xyz: No such process\n"},
            {{"P", "-5"}, 0, "-5: No such process\n"},
            {{"G", none}, 0, none + ": No such process\n"},
            {{"u", "3999999"}, 0, "3999999: No such process\n"},
        },
        std::nullopt);
}

// Under a uid of its own the program is its user's only process, so a
// per-user query reads its own nice value.
TEST(Levelof, QueriesForAUserOfItsOwn)
{
    SUITE_NEED(lacks_uid_switch);
    const std::string uid = std::to_string(private_uid());
    check_queries(
        {
            {{"u", "0"}, 4, "0 : 4\n"},
            {{"User", uid}, 6, uid + " : 6\n"},
            {{"U", uid + "abc"}, 6, uid + " : 6\n"}, // characters after the number ignored
        },
        private_uid());
}

// What ps shows in its NI column for a process.
int ps_nice(pid_t pid)
{
    runner::Options o;
    o.argv = {"/usr/bin/ps", "-o", "ni=", "-p", std::to_string(pid)};
    o.env = {"LC_ALL=C"};
    const auto r = runner::run(o);
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    return std::stoi(r.out);
}

TEST(LevelofLab, ReadsRealProcessesAsPsDoes)
{
    // PID 1 (nice -10 on some machines), and sleepers at nice -1 (a valid
    // answer that looks like getpriority's error value) and 19. Each
    // sleeper is alone in a group of its own.
    std::vector<std::unique_ptr<runner::Session>> sleepers;
    std::vector<pid_t> pids = {1};
    std::vector<int> nices = {-1, 19};
    if (const auto why = runner::lacks_lower_nice()) {
        std::printf("no sleeper at nice -1: %s\n", why->c_str());
        nices = {19};
    }
    for (int nice : nices) {
        runner::Options o;
        o.argv = {"/usr/bin/sleep", "300"};
        o.nice = nice;
        o.timeout = 100s; // killed at the end of the test
        sleepers.push_back(std::make_unique<runner::Session>(o));
        ASSERT_EQ(sleepers.back()->result().setup_error, "");
        pids.push_back(sleepers.back()->pid());
    }
    for (size_t i = 0; i < nices.size(); ++i) {
        EXPECT_EQ(ps_nice(pids[i + 1]), nices[i]);
    }

    for (size_t i = 0; i < pids.size(); ++i) {
        const std::string id = std::to_string(pids[i]);
        const std::string expected = id + " : " + std::to_string(ps_nice(pids[i])) + "\n";
        std::vector<std::vector<std::string>> queries = {{"P", id}, {"p", id + "abc"}};
        if (i > 0) {
            queries.push_back({"G", id});
        }
        for (const auto &q : queries) {
            const auto r = runner::run({runner::program("levelof"), q[0], q[1]});
            SCOPED_TRACE(r.command);
            EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
            EXPECT_EQ(r.err, expected) << r.describe();
            EXPECT_EQ(r.out, "");
        }
    }
}

} // namespace

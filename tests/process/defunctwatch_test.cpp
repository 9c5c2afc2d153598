// defunctwatch: six ps listings of the one child, alive before its
// farewell line and defunct after it; status 0 whatever ps does; a
// refused fork.
#include "runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace
{

std::vector<std::string> fields(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string f;
    while (in >> f) {
        out.push_back(f);
    }
    return out;
}

// One ps listing: its row's PID and STAT columns, and whether it was printed
// after the child's farewell line.
struct Listing {
    std::string pid;
    std::string stat;
    std::string line;
    bool after_farewell;
};

bool have_ps()
{
    return access("/usr/bin/ps", X_OK) == 0 || access("/bin/ps", X_OK) == 0;
}

TEST(DefunctwatchLab, SixListingsShowTheChildAliveThenDefunct)
{
    if (!have_ps()) {
        GTEST_SKIP() << "ps (procps) is not installed";
    }
    runner::Options o;
    o.argv = {runner::program("defunctwatch")};
    o.timeout = 40s;
    o.env = {"LC_ALL=C"}; // ps's header and columns are parsed
    const auto r = runner::run(o);
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "") << r.describe();

    // Split the output into the farewell line and listings (a header
    // starting with PID, then one row per process).
    const std::regex farewell("Le processus fils ([0-9]+) se termine");
    std::string child;
    double farewell_at = -1;
    std::vector<Listing> listings;
    size_t stat_col = 0; // PID is the first column
    bool in_listing = false;
    for (const auto &line : r.out_lines) {
        std::smatch m;
        if (std::regex_match(line.text, m, farewell)) {
            EXPECT_TRUE(child.empty()) << "a second farewell line\n" << r.describe();
            child = m[1];
            farewell_at = line.at.count();
            in_listing = false;
            continue;
        }
        const auto f = fields(line.text);
        if (!f.empty() && f[0] == "PID") {
            stat_col = 0;
            for (size_t i = 0; i < f.size(); ++i) {
                if (f[i] == "STAT") {
                    stat_col = i;
                }
            }
            ASSERT_NE(stat_col, 0u) << "no STAT column in " << line.text;
            in_listing = true;
            listings.push_back({"", "", "", !child.empty()});
            continue;
        }
        ASSERT_TRUE(in_listing && listings.back().pid.empty() && f.size() > stat_col)
            << "unexpected line: " << line.text << "\n"
            << r.describe();
        listings.back().pid = f[0];
        listings.back().stat = f[stat_col];
        listings.back().line = line.text;
    }
    ASSERT_FALSE(child.empty()) << "no farewell line\n" << r.describe();

    ASSERT_EQ(listings.size(), 6u) << r.describe();
    size_t before = 0;
    for (const auto &l : listings) {
        EXPECT_EQ(l.pid, child) << "each listing is of the child alone\n" << r.describe();
        if (!l.after_farewell) {
            ++before;
            EXPECT_NE(l.stat[0], 'Z') << "defunct before its farewell: " << l.line;
        }
    }
    // The child ends at about 2 s, the listings start at about 0, 1, 2...
    EXPECT_GE(farewell_at, 1.9) << r.describe();
    EXPECT_LT(farewell_at, 4.0) << r.describe();
    EXPECT_GE(before, 1u) << r.describe();
    EXPECT_LE(before, 4u) << r.describe();
    // Every listing after the farewell shows the zombie, except perhaps the
    // first: ps may have read the child's state just before it ended.
    for (size_t i = before + 1; i < listings.size(); ++i) {
        EXPECT_EQ(listings[i].stat[0], 'Z') << listings[i].line << "\n" << r.describe();
        EXPECT_NE(listings[i].line.find("<defunct>"), std::string::npos) << listings[i].line;
    }
    EXPECT_EQ(listings.back().stat[0], 'Z') << r.describe();
    // Five 1-second sleeps between the six runs.
    EXPECT_GE(r.ended_at.count(), 4.9) << r.describe();
}

// The shell reports each missing ps; the program ignores the results and
// still ends with 0. PATH names an empty directory.
TEST(Defunctwatch, StatusIsZeroEvenWhenPsCannotBeFound)
{
    runner::TempDir empty;
    runner::Options o;
    o.argv = {runner::program("defunctwatch")};
    o.env = {"PATH=" + empty.path()};
    o.timeout = 40s;
    const auto r = runner::run(o);
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    ASSERT_EQ(r.err_lines.size(), 6u) << r.describe();
    for (const auto &line : r.err_lines) {
        EXPECT_NE(line.text.find("ps"), std::string::npos) << r.describe();
        EXPECT_NE(line.text.find("not found"), std::string::npos) << r.describe();
    }
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Le processus fils [0-9]+ se termine\n")))
        << r.describe();
    EXPECT_GE(r.ended_at.count(), 4.9) << r.describe();
}

TEST(Defunctwatch, RefusedForkIsReportedAndNeitherBranchRuns)
{
    runner::Options o;
    o.argv = {runner::program("defunctwatch")};
    o.fork_errno = EAGAIN;
    const auto r = runner::run(o);
    if (!r.setup_error.empty()) {
        GTEST_SKIP() << "cannot refuse fork here: " << r.setup_error;
    }
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "echec fork()\n") << r.describe();
    EXPECT_EQ(r.out, "") << r.describe();
    EXPECT_LT(r.ended_at.count(), 1.5) << "no sleep, no ps\n" << r.describe();
}

} // namespace

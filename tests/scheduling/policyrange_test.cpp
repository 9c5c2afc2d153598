// policyrange: the three ranges, in order, as this kernel gives them (read
// here from chrt -m, the system's own report).
#include "runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

namespace
{

TEST(Policyrange, PrintsTheKernelsRangesForFifoRrOther)
{
    const auto m = runner::run({"/usr/bin/chrt", "-m"});
    ASSERT_TRUE(m.exited && m.exit_code == 0) << m.describe();
    // "SCHED_FIFO min/max priority\t: 1/99"
    std::map<std::string, std::pair<int, int>> range;
    for (const auto &line : runner::split_lines(m.out)) {
        char name[32];
        int min, max;
        if (std::sscanf(line.c_str(), "SCHED_%31s min/max priority : %d/%d", name, &min, &max) ==
            3) {
            range[name] = {min, max};
        }
    }
    ASSERT_EQ(range.count("FIFO") + range.count("RR") + range.count("OTHER"), 3u) << m.describe();

    std::string expected;
    for (const char *name : {"FIFO", "RR", "OTHER"}) {
        const auto [min, max] = range[name];
        EXPECT_LE(min, max) << name;
        expected += std::string("Scheduling ") + name + " :\n  " + std::to_string(min) +
                    " <= prio <= " + std::to_string(max) + "\n";
    }
    const auto r = runner::run({runner::program("policyrange")});
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.out, expected) << r.describe();
    EXPECT_EQ(r.err, "");
}

} // namespace

// proctimeline over cpushare pinned to the first allowed processor: the
// five children's shares of the processor follow the nice weights.
#include "pinned.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using recording::Recorded;
using recording::Row;

namespace
{

// cpushare pinned: over the counting window, the five children's shares of
// the processor time are the kernel's nice weights, within 1.5 points.
TEST(ProctimelineShareLab, CpushareSharesFollowTheNiceWeights)
{
    const Recorded run = recording::record_pinned("cpushare", runner::allowed_cpus().front(), 60s);
    ASSERT_TRUE(run.result.exited && run.result.exit_code == 0) << run.describe();
    ASSERT_EQ(run.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(run.rows);

    // The counting children by their nice value (20 is held at 19).
    const std::map<int, double> weight = {{0, 1024}, {5, 335}, {10, 110}, {15, 36}, {19, 15}};
    std::map<int, const std::vector<Row> *> child_by_nice;
    for (const auto &[pid, track] : tracks) {
        if (track.front().ppid == run.command) {
            child_by_nice[track.back().nice] = &track;
        }
    }
    ASSERT_EQ(child_by_nice.size(), 5u) << run.describe();
    ASSERT_EQ(child_by_nice.begin()->first, 0) << run.describe();
    ASSERT_EQ(child_by_nice.rbegin()->first, 19) << run.describe();

    // The window: from shortly after all five run to shortly before the
    // first one stops.
    double started = 0, stopped = 1e9;
    for (const auto &[nice, track] : child_by_nice) {
        const auto running =
            std::find_if(track->begin(), track->end(), [](const Row &r) { return r.state == 'R'; });
        ASSERT_NE(running, track->end()) << "nice " << nice << " never ran\n" << run.describe();
        started = std::max(started, running->t);
        double last_alive = 0;
        for (const Row &r : *track) {
            if (r.state != 'Z') {
                last_alive = r.t;
            }
        }
        stopped = std::min(stopped, last_alive);
    }
    const double from = started + 0.3, to = stopped - 0.2;
    ASSERT_GT(to - from, 3.0) << "counting window " << from << " to " << to << "\n"
                              << run.describe();

    std::map<int, double> used;
    double total = 0, total_weight = 0;
    for (const auto &[nice, track] : child_by_nice) {
        used[nice] = recording::cpu_at(*track, to) - recording::cpu_at(*track, from);
        total += used[nice];
        total_weight += weight.at(nice);
    }
    ASSERT_GT(total, 0.5) << "the children hardly ran\n" << run.describe();
    for (const auto &[nice, seconds] : used) {
        const double share = 100 * seconds / total;
        const double expected = 100 * weight.at(nice) / total_weight;
        EXPECT_NEAR(share, expected, 1.5)
            << "nice " << nice << ", window " << from << " to " << to << " s\n"
            << run.describe();
    }
}

} // namespace

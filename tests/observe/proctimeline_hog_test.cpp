// proctimeline over fifohog pinned to the last allowed processor, with the
// recorder on another: FIFO 99 holds the processor until the alarm.
#include "pinned.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using recording::Recorded;
using recording::Row;

namespace
{

// fifohog pinned, with real-time privilege: FIFO at 99, its processor full
// for about 20 s, ended by SIGALRM (status 142).
TEST(ProctimelineHogLab, FifohogHoldsItsProcessorUntilTheAlarm)
{
    SUITE_NEED(lacks_realtime);
    SUITE_NEED(lacks_second_cpu);
    const Recorded run = recording::record_pinned("fifohog", runner::last_cpu(), 60s);
    ASSERT_TRUE(run.result.exited && run.result.exit_code == 142) << run.describe();
    ASSERT_EQ(run.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(run.rows);
    ASSERT_EQ(tracks.size(), 1u) << "fifohog forks nothing\n" << run.describe();
    const auto &track = tracks.begin()->second;

    // Under FIFO 99 from a moment after exec to the end.
    const auto fifo =
        std::find_if(track.begin(), track.end(), [](const Row &r) { return r.policy == "FIFO"; });
    ASSERT_NE(fifo, track.end()) << run.describe();
    EXPECT_LT(fifo->t, 2.0) << run.describe();
    for (auto it = fifo; it != track.end(); ++it) {
        ASSERT_EQ(it->policy, "FIFO") << it->t << " s\n" << run.describe();
        ASSERT_EQ(it->rtprio, 99) << it->t << " s\n" << run.describe();
    }
    const Row &last = track.back();
    EXPECT_EQ(last.command, "fifohog");
    EXPECT_GT(last.t, 19.0) << run.describe();
    EXPECT_LT(last.t, 25.0) << run.describe();
    // Its processor full: processor time close to the time elapsed (real-time
    // throttling keeps back 5 %, and the host of a virtual machine may take
    // some more from the guest).
    const double busy = (last.cpu - fifo->cpu) / (last.t - fifo->t);
    EXPECT_GT(busy, 0.8) << run.describe();
    EXPECT_LE(busy, 1.02) << run.describe();
}

} // namespace

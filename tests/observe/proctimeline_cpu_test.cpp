// proctimeline over the processor-bound lessons, each pinned to one
// processor while the recorder runs on another where there is one:
// cpushare's five shares follow the nice weights, fifohog holds its
// processor at FIFO 99 until its alarm.
#include "recording.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using recording::Row;

namespace
{

struct Recorded {
    runner::Result result;
    std::vector<Row> rows;
    std::vector<std::string> problems;
    pid_t command = -1;

    std::string describe() const
    {
        std::string s = result.describe().substr(0, 3000);
        for (const auto &p : problems) {
            s += "csv: " + p + "\n";
        }
        for (const auto &[pid, track] : recording::by_pid(rows)) {
            s += std::to_string(pid) + " " + track.back().command + " nice " +
                 std::to_string(track.back().nice) + ": " + recording::describe(track) + " cpu " +
                 std::to_string(track.back().cpu) + " s\n";
        }
        return s;
    }
};

// proctimeline -c <csv> -- taskset -c <last cpu> <program>, the recorder
// itself kept off that processor when another one is allowed.
Recorded record_pinned(const std::string &program, std::chrono::milliseconds timeout)
{
    runner::TempDir dir;
    const std::string csv = dir / "samples.csv";
    const int hog_cpu = runner::last_cpu();
    runner::Options o;
    o.argv = {runner::program("proctimeline"), "-c", csv, "--", "taskset", "-c",
              std::to_string(hog_cpu)};
    for (const auto &word : recording::lesson(program)) {
        o.argv.push_back(word);
    }
    o.env = {"LC_ALL=C"};
    o.timeout = timeout;
    const auto cpus = runner::allowed_cpus();
    if (cpus.size() > 1) {
        o.cpu = cpus.front();
    }
    Recorded run;
    run.result = runner::run(o);
    run.rows = recording::parse_csv(runner::read_file(csv).value_or(""), run.problems);
    for (const Row &r : run.rows) {
        if (r.ppid == run.result.pid) {
            run.command = r.pid;
            break;
        }
    }
    if (run.command > 0) {
        EXPECT_EQ(recording::kill_leftovers(run.rows, run.command), std::vector<pid_t>{})
            << "processes of the job outlived the recorder";
    }
    return run;
}

// Processor time of a process at time t: its last sample at or before t.
double cpu_at(const std::vector<Row> &track, double t)
{
    double cpu = 0;
    for (const Row &r : track) {
        if (r.t <= t) {
            cpu = r.cpu;
        }
    }
    return cpu;
}

// cpushare pinned: over the counting window, the five children's shares of
// the processor time are the kernel's nice weights, within 1.5 points.
TEST(ProctimelineCpuLab, CpushareSharesFollowTheNiceWeights)
{
    const Recorded run = record_pinned("cpushare", 60s);
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
        used[nice] = cpu_at(*track, to) - cpu_at(*track, from);
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

// fifohog pinned, with real-time privilege: FIFO at 99, its processor full
// for about 20 s, ended by SIGALRM (status 142).
TEST(ProctimelineCpuLab, FifohogHoldsItsProcessorUntilTheAlarm)
{
    SUITE_NEED(lacks_realtime);
    SUITE_NEED(lacks_second_cpu);
    const Recorded run = record_pinned("fifohog", 60s);
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
    // throttling may keep back 5 %).
    const double busy = (last.cpu - fifo->cpu) / (last.t - fifo->t);
    EXPECT_GT(busy, 0.9) << run.describe();
    EXPECT_LE(busy, 1.02) << run.describe();
}

} // namespace

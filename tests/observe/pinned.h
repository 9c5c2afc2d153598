// Recording a processor-bound lesson pinned to one processor, with the
// recorder on another where there is one.
#pragma once

#include "recording.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace recording
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

// proctimeline -c <csv> -- taskset -c <cpu> <program>, the recorder itself
// kept off that processor when another one is allowed.
inline Recorded record_pinned(const std::string &program, int lesson_cpu,
                              std::chrono::milliseconds timeout)
{
    runner::TempDir dir;
    const std::string csv = dir / "samples.csv";
    runner::Options o;
    o.argv = {runner::program("proctimeline"), "-c", csv, "--", "taskset", "-c",
              std::to_string(lesson_cpu)};
    for (const auto &word : recording::lesson(program)) {
        o.argv.push_back(word);
    }
    o.env = {"LC_ALL=C"};
    o.timeout = timeout;
    for (int cpu : runner::allowed_cpus()) {
        if (cpu != lesson_cpu) {
            o.cpu = cpu;
            break;
        }
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
inline double cpu_at(const std::vector<Row> &track, double t)
{
    double cpu = 0;
    for (const Row &r : track) {
        if (r.t <= t) {
            cpu = r.cpu;
        }
    }
    return cpu;
}

} // namespace recording

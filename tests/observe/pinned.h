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
    collect(run, csv);
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

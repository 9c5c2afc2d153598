// Reading what proctimeline recorded: the CSV samples, grouped per process,
// and a check that nothing of the watched job outlived the test.
#pragma once

#include "runner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace recording
{

// A lesson program as the command to record. Built with the sanitizers, a
// program forks a leak checker as it exits, a process the lesson does not
// have: leak checking is turned off for the lesson (not for the recorder).
inline std::vector<std::string> lesson(const std::string &name)
{
#ifdef SUITE_SANITIZE
    return {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", runner::program(name)};
#else
    return {runner::program(name)};
#endif
}

inline const std::string csv_header = "time,pid,ppid,pgid,state,policy,rtprio,nice,cpu,command";

struct Row {
    double t = 0;
    pid_t pid = 0, ppid = 0, pgid = 0;
    char state = '?';
    std::string policy;
    int rtprio = 0, nice = 0;
    double cpu = 0;
    std::string command;
};

// Parses the CSV; every problem found is added to `problems`.
inline std::vector<Row> parse_csv(const std::string &text, std::vector<std::string> &problems)
{
    std::vector<Row> rows;
    const auto lines = runner::split_lines(text);
    if (lines.empty() || lines[0] != csv_header) {
        problems.push_back("header is not \"" + csv_header + "\"");
        return rows;
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f;
        std::stringstream line(lines[i]);
        for (std::string field; std::getline(line, field, ',');) {
            f.push_back(field);
        }
        if (f.size() != 10 || f[4].size() != 1) {
            problems.push_back("line " + std::to_string(i + 1) + ": \"" + lines[i] + "\"");
            continue;
        }
        try {
            Row r;
            r.t = std::stod(f[0]);
            r.pid = std::stoi(f[1]);
            r.ppid = std::stoi(f[2]);
            r.pgid = std::stoi(f[3]);
            r.state = f[4][0];
            r.policy = f[5];
            r.rtprio = std::stoi(f[6]);
            r.nice = std::stoi(f[7]);
            r.cpu = std::stod(f[8]);
            r.command = f[9];
            rows.push_back(r);
        } catch (const std::exception &) {
            problems.push_back("line " + std::to_string(i + 1) + ": \"" + lines[i] + "\"");
        }
    }
    return rows;
}

// The samples of each process, in time order.
inline std::map<pid_t, std::vector<Row>> by_pid(const std::vector<Row> &rows)
{
    std::map<pid_t, std::vector<Row>> tracks;
    for (const Row &r : rows) {
        tracks[r.pid].push_back(r);
    }
    return tracks;
}

// The share of a process's samples within [from, to] that show `state`.
inline double share_in_state(const std::vector<Row> &track, char state, double from, double to)
{
    int all = 0, in_state = 0;
    for (const Row &r : track) {
        if (r.t >= from && r.t <= to) {
            ++all;
            in_state += r.state == state ? 1 : 0;
        }
    }
    return all == 0 ? 0.0 : static_cast<double>(in_state) / all;
}

// A short account of a process's samples for failure messages: runs of
// states with their start times.
inline std::string describe(const std::vector<Row> &track)
{
    std::ostringstream s;
    char last = 0;
    pid_t parent = 0;
    for (const Row &r : track) {
        if (r.state != last || r.ppid != parent) {
            s << r.t << "s:" << r.state << "(ppid " << r.ppid << ") ";
            last = r.state;
            parent = r.ppid;
        }
    }
    return s.str();
}

// Processes of the recording still alive in the job's group after the run:
// each one is a fault of the recorder or the test. They are killed (the
// runner only ends the recorder's own group) and returned.
inline std::vector<pid_t> kill_leftovers(const std::vector<Row> &rows, pid_t job_group)
{
    std::vector<pid_t> left;
    for (const auto &[pid, track] : by_pid(rows)) {
        const char state = runner::process_state(pid);
        if (state != '\0' && state != 'Z' && getpgid(pid) == job_group) {
            kill(pid, SIGKILL);
            left.push_back(pid);
        }
    }
    return left;
}

// One run of the recorder: what the runner saw, the rows read back from its
// CSV (and any problem with them), and the command's PID (its parent is the
// recorder).
struct Recorded {
    runner::Result result;
    std::vector<Row> rows;
    std::vector<std::string> problems;
    pid_t command = -1;

    std::string describe() const
    {
        std::string s = result.describe().substr(0, 4000);
        for (const auto &p : problems) {
            s += "csv: " + p + "\n";
        }
        for (const auto &[pid, track] : by_pid(rows)) {
            s += std::to_string(pid) + " " + track.back().command + " nice " +
                 std::to_string(track.back().nice) + ": " + recording::describe(track) + " cpu " +
                 std::to_string(track.back().cpu) + " s\n";
        }
        return s;
    }
};

// The rows read back from the CSV, the command found, and any process of the
// job still alive killed (and reported as a failure).
inline void collect(Recorded &rec, const std::string &csv_path)
{
    rec.rows = parse_csv(runner::read_file(csv_path).value_or(""), rec.problems);
    for (const Row &r : rec.rows) {
        if (r.ppid == rec.result.pid) {
            rec.command = r.pid;
            break;
        }
    }
    if (rec.command > 0) {
        EXPECT_EQ(kill_leftovers(rec.rows, rec.command), std::vector<pid_t>{})
            << "processes of the job outlived the recorder";
    }
}

} // namespace recording

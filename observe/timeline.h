// What was recorded: every look at every watched process, and what follows
// from the looks for each process (when it was first and last seen, when its
// parent changed, when it became a zombie, when it ended or was reaped, and
// the processor time it used).
#pragma once

#include "sampler.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace timeline
{

struct Sample {
    double t = 0; // seconds since the command was started
    sampler::Fact fact;
};

struct ParentChange {
    double t = 0; // first look that showed the new parent
    pid_t from = 0;
    pid_t to = 0;
};

struct Process {
    pid_t pid = 0;
    std::vector<std::size_t> samples; // indexes into Timeline::samples(), in time order
    double first_seen = 0;
    double last_seen = 0;
    pid_t first_parent = 0;
    pid_t last_parent = 0;
    std::vector<ParentChange> parent_changes;
    std::optional<double> zombie_at;      // first look that showed it a zombie
    std::optional<double> gone_at;        // first look that no longer found it
    bool reaped = false;                  // it was a zombie before it went: its parent reaped it
    std::int64_t cpu_ns = 0;              // processor time at the last look
    std::string command;                  // the last name seen while alive
    int policy = 0, rtprio = 0, nice = 0; // the last seen while alive
};

class Timeline
{
  public:
    // One look at time t: the facts of every watched process found.
    // Processes seen before and missing from this look are gone from t on.
    void add_look(double t, const std::vector<sampler::Fact> &facts);
    // The command was reaped by the recorder at time t.
    void command_reaped(pid_t pid, double t);
    // Recording ended at t.
    void finish(double t);

    const std::vector<Sample> &samples() const
    {
        return samples_;
    }
    // In order of first appearance.
    const std::vector<Process> &processes() const
    {
        return processes_;
    }
    // Processes seen at the last look, and whether each is a zombie.
    std::vector<const Process *> alive() const;
    const Sample &last_sample(const Process &p) const
    {
        return samples_[p.samples.back()];
    }

    double start() const
    {
        return 0;
    }
    double end() const
    {
        return end_;
    }
    std::size_t looks() const
    {
        return looks_;
    }
    // Processor time of all processes together.
    std::int64_t total_cpu_ns() const;

  private:
    std::vector<Sample> samples_;
    std::vector<Process> processes_;
    std::vector<std::size_t> current_; // indexes into processes_ of those seen at the last look
    double end_ = 0;
    std::size_t looks_ = 0;
};

} // namespace timeline

#include "timeline.h"

#include <algorithm>
#include <cstring>

namespace timeline
{

void Timeline::add_look(double t, const std::vector<sampler::Fact> &facts)
{
    ++looks_;
    end_ = t;
    std::vector<std::size_t> now;
    now.reserve(facts.size());
    for (const sampler::Fact &f : facts) {
        // The process seen at the last look under this PID, if any. The
        // sampler drops a reused PID first, so a match is the same process.
        auto it = std::find_if(current_.begin(), current_.end(),
                               [&](std::size_t i) { return processes_[i].pid == f.pid; });
        std::size_t index;
        if (it != current_.end()) {
            index = *it;
        } else {
            index = processes_.size();
            Process p;
            p.pid = f.pid;
            p.first_seen = t;
            p.first_parent = f.ppid;
            p.last_parent = f.ppid;
            processes_.push_back(p);
        }
        Process &p = processes_[index];
        now.push_back(index);

        Sample s{t, f};
        // Processor time never goes back; a tick-based reading taken when
        // the nanosecond one was not available might.
        s.fact.cpu_ns = std::max(s.fact.cpu_ns, p.cpu_ns);
        p.cpu_ns = s.fact.cpu_ns;
        if (f.ppid != p.last_parent) {
            p.parent_changes.push_back({t, p.last_parent, f.ppid});
            p.last_parent = f.ppid;
        }
        if (f.state == 'Z') {
            if (!p.zombie_at) {
                p.zombie_at = t;
            }
        } else {
            p.command = f.command.data();
            p.policy = f.policy;
            p.rtprio = f.rtprio;
            p.nice = f.nice;
        }
        if (p.command.empty()) {
            p.command = f.command.data();
        }
        p.last_seen = t;
        p.samples.push_back(samples_.size());
        samples_.push_back(s);
    }
    for (std::size_t i : current_) {
        if (std::find(now.begin(), now.end(), i) == now.end()) {
            Process &p = processes_[i];
            if (!p.gone_at) {
                p.gone_at = t;
                p.reaped = p.zombie_at.has_value();
            }
        }
    }
    current_ = std::move(now);
}

void Timeline::command_reaped(pid_t pid, double t)
{
    for (std::size_t i : current_) {
        Process &p = processes_[i];
        if (p.pid == pid && !p.gone_at) {
            // Seen as a zombie or not, the recorder has just reaped it.
            p.gone_at = t;
            p.reaped = true;
            if (!p.zombie_at) {
                p.zombie_at = t;
            }
        }
    }
    std::erase_if(current_, [&](std::size_t i) { return processes_[i].pid == pid; });
}

void Timeline::finish(double t)
{
    end_ = std::max(end_, t);
}

std::vector<const Process *> Timeline::alive() const
{
    std::vector<const Process *> list;
    for (std::size_t i : current_) {
        list.push_back(&processes_[i]);
    }
    return list;
}

std::int64_t Timeline::total_cpu_ns() const
{
    std::int64_t total = 0;
    for (const Process &p : processes_) {
        total += p.cpu_ns;
    }
    return total;
}

} // namespace timeline

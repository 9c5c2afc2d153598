// Process facts come from libproc2, which reads /proc/<pid>/stat and status
// for just the PIDs asked for. Three things are read by hand: the last PID
// handed out (/proc/loadavg) and the list of PIDs, since the kernel need not
// offer a list of a process's children, and the processor time in
// nanoseconds from /proc/<pid>/schedstat, where libproc2 gives clock ticks
// only.
#include "sampler.h"

#include <libproc2/pids.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sampler
{
namespace
{

enum pids_item items[] = {PIDS_ID_PID,      PIDS_ID_PPID,     PIDS_ID_PGRP, PIDS_STATE,
                          PIDS_SCHED_CLASS, PIDS_PRIORITY_RT, PIDS_NICE,    PIDS_CMD,
                          PIDS_TICS_ALL,    PIDS_TICS_BEGAN,  PIDS_ID_TGID};
enum rel_item {
    rel_pid,
    rel_ppid,
    rel_pgrp,
    rel_state,
    rel_policy,
    rel_rtprio,
    rel_nice,
    rel_cmd,
    rel_tics,
    rel_began,
    rel_tgid
};

// libproc2 takes at most this many PIDs per select.
constexpr std::size_t select_chunk = 200;
// Up to this many PIDs handed out since the last look are read one by one;
// beyond it, listing /proc is cheaper.
constexpr pid_t probe_limit = 32;

} // namespace

const char *policy_name(int policy)
{
    switch (policy) {
    case 0:
        return "OTHER";
    case 1:
        return "FIFO";
    case 2:
        return "RR";
    case 3:
        return "BATCH";
    case 5:
        return "IDLE";
    case 6:
        return "DEADLINE";
    default:
        return "?";
    }
}

Sampler::Sampler()
{
    if (procps_pids_new(&info_, items, static_cast<int>(std::size(items))) < 0) {
        throw std::runtime_error("libproc2: cannot read processes");
    }
    proc_dir_ = opendir("/proc");
    loadavg_fd_ = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (proc_dir_ == nullptr) {
        procps_pids_unref(&info_);
        throw std::runtime_error("/proc: cannot be listed");
    }
}

Sampler::~Sampler()
{
    for (const auto &[pid, fd] : schedstat_fd_) {
        close(fd);
    }
    if (loadavg_fd_ >= 0) {
        close(loadavg_fd_);
    }
    closedir(static_cast<DIR *>(proc_dir_));
    procps_pids_unref(&info_);
}

std::vector<pid_t> Sampler::list_pids()
{
    DIR *dir = static_cast<DIR *>(proc_dir_);
    rewinddir(dir);
    std::vector<pid_t> pids;
    pids.reserve(present_.size() + 16);
    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (*name < '1' || *name > '9') {
            continue;
        }
        pid_t pid = 0;
        for (; *name >= '0' && *name <= '9'; ++name) {
            pid = pid * 10 + (*name - '0');
        }
        if (*name == '\0') {
            pids.push_back(pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// The last field of /proc/loadavg; 0 when it cannot be read.
pid_t Sampler::last_pid()
{
    char text[128];
    const ssize_t n = loadavg_fd_ < 0 ? -1 : pread(loadavg_fd_, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    const char *field = std::strrchr(text, ' ');
    return field != nullptr ? static_cast<pid_t>(std::atol(field + 1)) : 0;
}

std::vector<pid_t> Sampler::new_pids()
{
    const pid_t last = last_pid();
    std::vector<pid_t> fresh;
    if (last > 0 && last == last_pid_) {
        return fresh; // no process created since the last look
    }
    if (last_pid_ > 0 && last > last_pid_ && last - last_pid_ <= probe_limit) {
        // Some of these may be threads or already gone: reading sorts it out.
        for (pid_t pid = last_pid_ + 1; pid <= last; ++pid) {
            fresh.push_back(pid);
        }
    } else {
        std::vector<pid_t> now = list_pids();
        std::set_difference(now.begin(), now.end(), present_.begin(), present_.end(),
                            std::back_inserter(fresh));
        present_ = std::move(now);
    }
    last_pid_ = last;
    return fresh;
}

void Sampler::baseline()
{
    last_pid_ = last_pid();
    present_ = list_pids();
}

void Sampler::watch(pid_t job)
{
    job_ = job;
    // Its start time is learnt at the first look.
    watched_[job] = 0;
}

bool Sampler::read_schedstat(pid_t pid, std::int64_t &ns)
{
    auto it = schedstat_fd_.find(pid);
    if (it == schedstat_fd_.end()) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        it = schedstat_fd_.emplace(pid, fd).first;
    }
    // The file is regenerated at each read from its start: the descriptor
    // is kept for the life of the process, saving an open per look.
    char text[96];
    const ssize_t n = pread(it->second, text, sizeof text - 1, 0);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text) {
        return false;
    }
    ns = static_cast<std::int64_t>(value);
    return true;
}

void Sampler::forget(pid_t pid)
{
    watched_.erase(pid);
    last_fact_.erase(pid);
    if (auto it = schedstat_fd_.find(pid); it != schedstat_fd_.end()) {
        close(it->second);
        schedstat_fd_.erase(it);
    }
}

std::vector<Fact> Sampler::read(const std::vector<pid_t> &pids,
                                std::vector<unsigned long long> &started)
{
    static const long ns_per_tick = 1000000000L / sysconf(_SC_CLK_TCK);
    std::vector<Fact> facts;
    started.clear();
    for (std::size_t from = 0; from < pids.size(); from += select_chunk) {
        std::vector<unsigned> these(
            pids.begin() + static_cast<long>(from),
            pids.begin() + static_cast<long>(std::min(pids.size(), from + select_chunk)));
        const pids_fetch *fetch = procps_pids_select(
            info_, these.data(), static_cast<int>(these.size()), PIDS_SELECT_PID);
        if (fetch == nullptr) {
            continue;
        }
        for (int i = 0; i < fetch->counts->total; ++i) {
            const pids_stack *stack = fetch->stacks[i];
            if (PIDS_VAL(rel_tgid, s_int, stack, info_) != PIDS_VAL(rel_pid, s_int, stack, info_)) {
                continue; // a thread of some process, not a process
            }
            Fact f;
            f.pid = PIDS_VAL(rel_pid, s_int, stack, info_);
            f.ppid = PIDS_VAL(rel_ppid, s_int, stack, info_);
            f.pgid = PIDS_VAL(rel_pgrp, s_int, stack, info_);
            f.state = static_cast<char>(PIDS_VAL(rel_state, s_ch, stack, info_));
            f.policy = PIDS_VAL(rel_policy, s_int, stack, info_);
            f.rtprio = PIDS_VAL(rel_rtprio, s_int, stack, info_);
            f.nice = PIDS_VAL(rel_nice, s_int, stack, info_);
            const char *cmd = PIDS_VAL(rel_cmd, str, stack, info_);
            std::strncpy(f.command.data(), cmd != nullptr ? cmd : "?", f.command.size() - 1);
            f.cpu_ns =
                static_cast<std::int64_t>(PIDS_VAL(rel_tics, ull_int, stack, info_)) * ns_per_tick;
            facts.push_back(f);
            started.push_back(PIDS_VAL(rel_began, ull_int, stack, info_));
        }
    }
    return facts;
}

std::vector<Fact> Sampler::look()
{
    const std::vector<pid_t> fresh = new_pids();

    // Which watched processes libproc2 must read again: all of them now and
    // then, else only those that ran since the last look (or whose
    // processor time cannot be read: gone, or no schedstat).
    const bool read_all =
        read_all_next_ || !fresh.empty() || ++looks_since_full_ >= full_every || coarse_cpu_;
    if (read_all) {
        looks_since_full_ = 0;
    }
    read_all_next_ = false;
    std::vector<pid_t> wanted;
    std::vector<Fact> unchanged;
    wanted.reserve(watched_.size() + fresh.size());
    for (const auto &[pid, began] : watched_) {
        const auto last = last_fact_.find(pid);
        std::int64_t ns = 0;
        if (!read_all && last != last_fact_.end() && read_schedstat(pid, ns) &&
            ns == last->second.cpu_ns) {
            unchanged.push_back(last->second);
        } else {
            wanted.push_back(pid);
        }
    }
    for (pid_t pid : fresh) {
        if (!watched_.contains(pid)) {
            wanted.push_back(pid);
        }
    }
    std::vector<unsigned long long> started;
    std::vector<Fact> facts = read(wanted, started);

    // Watched processes no longer there are forgotten; a watched PID now
    // held by a process that started later was reused: the old one is gone
    // and the new one is judged like any newcomer.
    std::set<pid_t> seen;
    std::vector<bool> keep(facts.size(), false);
    for (std::size_t i = 0; i < facts.size(); ++i) {
        seen.insert(facts[i].pid);
        auto it = watched_.find(facts[i].pid);
        if (it != watched_.end()) {
            if (it->second == 0 || it->second == started[i]) {
                it->second = started[i];
                keep[i] = true;
            } else {
                forget(facts[i].pid);
            }
        }
    }
    for (const Fact &f : unchanged) {
        seen.insert(f.pid);
    }
    for (auto it = watched_.begin(); it != watched_.end();) {
        const pid_t pid = (it++)->first;
        if (!seen.contains(pid)) {
            forget(pid);
            read_all_next_ = true; // its parent, its children may change now
        }
    }
    // Newcomers join when their parent is watched or they are in the job's
    // group. A parent may itself be a newcomer of this look: repeat until
    // nothing more joins.
    for (bool joined = true; joined;) {
        joined = false;
        for (std::size_t i = 0; i < facts.size(); ++i) {
            if (!keep[i] && (facts[i].pgid == job_ || watched_.contains(facts[i].ppid))) {
                watched_[facts[i].pid] = started[i];
                keep[i] = true;
                joined = true;
            }
        }
    }

    std::vector<Fact> result;
    for (std::size_t i = 0; i < facts.size(); ++i) {
        if (!keep[i]) {
            continue;
        }
        Fact f = facts[i];
        std::int64_t ns = 0;
        if (read_schedstat(f.pid, ns)) {
            f.cpu_ns = ns;
        } else {
            coarse_cpu_ = true;
        }
        const auto last = last_fact_.find(f.pid);
        if (last == last_fact_.end() || last->second.state != f.state ||
            last->second.ppid != f.ppid) {
            read_all_next_ = true; // a process ended, stopped, was adopted...
        }
        last_fact_[f.pid] = f;
        result.push_back(f);
    }
    result.insert(result.end(), unchanged.begin(), unchanged.end());
    std::sort(result.begin(), result.end(),
              [](const Fact &a, const Fact &b) { return a.pid < b.pid; });
    return result;
}

} // namespace sampler

// Finding the processes of a job and reading what the kernel says of them.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

struct pids_info;

namespace sampler
{

// What one look at one process shows.
struct Fact {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgid = 0;
    char state = '?';               // the kernel's letter: R S D Z T t I X ...
    int policy = 0;                 // SCHED_OTHER, SCHED_FIFO...
    int rtprio = 0;                 // real-time priority, 0 under the time-sharing policies
    int nice = 0;                   // nice value
    std::int64_t cpu_ns = 0;        // processor time used, user and system
    std::array<char, 16> command{}; // the kernel's name for it, NUL-terminated
};

// Watches one job: the command and every descendant, found as they appear.
//
// Each look finds the PIDs created since the previous look; each new one is
// read once to learn its parent and group. It joins the watched set when its
// parent is watched or it is in the job's process group. A watched process
// stays watched whoever its parent becomes, until it leaves /proc. Only
// watched and new processes are read.
//
// New PIDs are found cheaply: the kernel hands out PIDs in increasing order
// and /proc/loadavg ends with the last one given. When it has not moved, no
// process was created; when it moved a little, only the PIDs in between can
// be new. Only when it moved far, or wrapped around, is /proc listed and
// compared with the previous listing.
//
// A process that is born and ends, or is born and orphaned, between two
// looks is not seen.
//
// libproc2 reads two files of /proc per process (status, to tell a process
// from a thread, and stat), the costliest part of a look. A watched process
// whose processor time (from schedstat, read at every look anyway) has not
// moved since the last look has not run, so its state cannot have changed:
// its last facts stand. Everything is read again when a process appears or
// ends, after any change of state or parent, and at least every
// `full_every` looks, so that what other processes do to a sleeping one (a
// new nice value or policy, a new parent) shows within that many looks.
class Sampler
{
  public:
    Sampler();
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

    // The processes present now are not part of the job (call before the
    // command starts); `job` is then watched from the first look.
    void baseline();
    void watch(pid_t job);

    // One look: the facts of every watched process still present.
    std::vector<Fact> look();

    static constexpr int full_every = 10;

    // Whether the clock-tick fallback had to be used for processor time.
    bool coarse_cpu() const
    {
        return coarse_cpu_;
    }

  private:
    std::vector<pid_t> list_pids();
    pid_t last_pid();
    std::vector<pid_t> new_pids();
    std::vector<Fact> read(const std::vector<pid_t> &pids,
                           std::vector<unsigned long long> &started);
    bool read_schedstat(pid_t pid, std::int64_t &ns);
    void forget(pid_t pid);

    pids_info *info_ = nullptr;
    void *proc_dir_ = nullptr; // DIR *
    pid_t job_ = -1;
    int loadavg_fd_ = -1;
    pid_t last_pid_ = 0;         // the last PID handed out, at the last look
    std::vector<pid_t> present_; // sorted, at the last full listing
    // Watched PIDs and their start time (to tell a reused PID apart).
    std::map<pid_t, unsigned long long> watched_;
    std::map<pid_t, int> schedstat_fd_;
    std::map<pid_t, Fact> last_fact_; // as libproc2 last read it, cpu_ns from schedstat
    int looks_since_full_ = 0;
    bool read_all_next_ = true;
    bool coarse_cpu_ = false;
};

// Name of a scheduling policy: OTHER, FIFO, RR, BATCH, IDLE, DEADLINE.
const char *policy_name(int policy);

} // namespace sampler

// The process runner shared by the black-box tests.
//
// A test starts a built program as a separate process, on pipes or on a
// pseudo-terminal, feeds or closes its standard input, and collects what a
// user would see: the bytes on standard output and standard error, when each
// output line arrived, and how the process ended. The program runs in a
// process group of its own; a timeout, and the end of every run, kill that
// whole group, so nothing a test starts outlives it.
//
// Steps taken in the child before exec make the hard cases reproducible:
// every signal reset to its default action and the mask cleared (then the
// options below applied), fork refused with a chosen errno, real-time
// privilege dropped, a private mount namespace with bind mounts, a chroot,
// CPU pinning, a nice value, another uid, resource limits. Descriptors 3 and
// up are closed at exec.
//
// Nothing outlives the test binary: each program gets SIGKILL when the test
// binary dies (its parent-death signal), and a guard process, started with
// the first run, kills every process group the runner started and removes
// every temporary folder it made once the test binary is gone, however it
// ended (CTest's timeout, Ctrl-C, a crash).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace runner
{

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Absolute path of a built program: <build dir>/bin/<name>.
std::string program(const std::string &name);

struct Options {
    // argv; argv[0] is the program's path (see program()).
    std::vector<std::string> argv;
    // What argv[0] shows as, when it should differ from the path executed.
    std::optional<std::string> argv0;

    // Standard input: these bytes, then end of file unless keep_input_open
    // (for a Session that sends more later); nullopt closes descriptor 0.
    // On a terminal the bytes are typed at start and the terminal stays.
    std::optional<std::string> input = std::string{};
    bool keep_input_open = false;

    // Run on a pseudo-terminal (forkpty): standard input, output and error
    // are all the terminal, and everything arrives in `out`.
    bool terminal = false;
    // Terminal settings: the line end is written as "\n" (no "\r" added) so
    // output compares byte for byte, and typed input is not echoed unless
    // `echo`. Ctrl-C (send "\x03") still interrupts the foreground group.
    bool echo = false;

    // The whole process group is killed after this long (keep it well under
    // CTest's timeout of the test, so that the runner reports the run).
    std::chrono::milliseconds timeout{15000};

    // Working directory for the program. With `uid` and no cwd, the program
    // runs in a fresh temporary folder owned by that uid.
    std::string cwd;
    // Environment entries, NAME=value: each replaces the inherited entry of
    // that name, or is added. LC_ALL=C is added unless given here: the
    // texts of system tools (ps, chrt, readelf, the shell) are compared in
    // their untranslated form, whatever the locale of the one who runs the
    // suite; the lessons set no locale and are not affected.
    std::vector<std::string> env;

    // --- steps in the child before exec, in this order ---
    // Signals to leave ignored / blocked after the reset to defaults.
    std::vector<int> ignore_signals;
    std::vector<int> block_signals;
    // Private mount namespace with these bind mounts (source, target).
    // Without the privilege for one, a user namespace (the caller's uid and
    // gid mapped to themselves) gives the mount namespace instead.
    std::vector<std::pair<std::string, std::string>> bind_mounts;
    // chroot into this directory (then chdir "/"); argv[0] is then a path
    // inside it.
    std::string chroot_dir;
    // Pin to one CPU (an id from allowed_cpus()).
    std::optional<int> cpu;
    // Nice value to start at (setpriority).
    std::optional<int> nice;
    // Scheduling policy and static priority to start under (needs the
    // privilege for the real-time policies).
    std::optional<std::pair<int, int>> policy;
    // Resource limits (soft = hard = value).
    std::vector<std::pair<int, rlim_t>> rlimits;
    // Drop real-time privilege: RLIMIT_RTPRIO 0 (which alone refuses a
    // process without CAP_SYS_NICE) and, where the process could regain it at
    // exec, CAP_SYS_NICE out of the bounding set, so that even root is
    // refused a real-time policy.
    bool drop_rt_privilege = false;
    // Switch to this uid (and gid) with no supplementary groups. The program
    // is executed from a descriptor opened before the switch, so the build
    // folder need not be reachable by that uid.
    std::optional<uid_t> uid;
    // Refuse fork (clone, clone3, fork, vfork) with this errno, by a
    // seccomp filter. Exec and everything else still work.
    int fork_errno = 0;
    // Further seccomp rules: system call number and the filter's action
    // (fail_with(errno), kill_process()). Inherited across fork and exec.
    std::vector<std::pair<long, unsigned>> syscall_rules;
    // Anything else, run last before exec (must be async-signal-safe in
    // spirit: no locks, no allocation needed by the parent's threads).
    std::function<void()> pre_exec;

    // A program that cannot be executed fails the test, unless the test
    // expects exactly that (then see Result::exec_error).
    bool exec_may_fail = false;
};

// Actions for Options::syscall_rules.
unsigned fail_with(int error);
unsigned kill_process();

struct Line {
    std::string text; // without the line end
    Seconds at;       // since the start of the run
};

struct Result {
    std::string command; // the argv, for failure messages
    std::string out;     // standard output (with a terminal: all of it)
    std::string err;     // standard error (empty with a terminal)
    std::vector<Line> out_lines;
    std::vector<Line> err_lines;
    pid_t pid = -1;         // the program's PID
    bool exited = false;    // ended through exit
    int exit_code = -1;     // when exited
    int signal = 0;         // the ending signal, when killed
    bool timed_out = false; // the runner had to kill the group
    Seconds ended_at{};     // when the program itself ended
    Seconds finished_at{};  // when all output was closed
    // An optional step before exec that failed (for instance "unshare:
    // Operation not permitted"): the program never ran. A test that asked
    // for the step may skip for it.
    std::string setup_error;
    // The program itself could not be executed ("execve: Permission
    // denied"): a failure of the test unless Options::exec_may_fail.
    std::string exec_error;

    // A readable account of the run, for failure messages.
    std::string describe() const;
};

// A running program. Output is collected as it arrives while a member
// waits; the destructor kills and reaps whatever is left of the group.
class Session
{
  public:
    explicit Session(const Options &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    pid_t pid() const
    {
        return result_.pid;
    }
    // Bytes collected so far, and the full result once finished.
    const Result &result() const
    {
        return result_;
    }

    // Write bytes to standard input (or type them on the terminal).
    void send(const std::string &bytes);
    // Close standard input (pipes only).
    void close_input();

    // Collect output until `done` holds on the result so far, or the time
    // runs out. Returns whether `done` held.
    bool wait_until(const std::function<bool(const Result &)> &done,
                    std::chrono::milliseconds limit);
    // Shorthand: wait until standard output contains `text`.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds limit);

    // Send a signal to the program's whole process group.
    void signal_group(int sig);

    // Wait for the program to end and its output to close (or the timeout),
    // then kill and reap the rest of its group. Returns the result.
    const Result &finish();

  private:
    void pump(int wait_ms);
    void reap_group();

    Options options_;
    Result result_;
    Clock::time_point start_;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    int pidfd_ = -1;
    bool out_open_ = false;
    bool err_open_ = false;
    bool reaped_ = false;
    bool finished_ = false;
    std::string out_partial_, err_partial_;
    std::string own_cwd_; // the temporary working folder made for a uid
};

// Start, wait for the end, collect.
Result run(const Options &options);
// Shorthand for a plain run with arguments and input.
Result run(const std::vector<std::string> &argv, std::optional<std::string> input = std::string{});

// Capability probes. Each asks for what a test needs (in a throwaway child
// where the attempt would change the test process) and returns nothing when
// it is there, or the reason a test that needs it must skip. Results are
// cached per test binary.
std::optional<std::string> lacks_realtime();        // SCHED_FIFO/RR may be set
std::optional<std::string> lacks_lower_nice();      // nice may go below 0
std::optional<std::string> lacks_uid_switch();      // setuid to another uid
std::optional<std::string> lacks_mount_namespace(); // unshare(CLONE_NEWNS) + bind mount
std::optional<std::string> lacks_chroot();          // chroot(2)
std::optional<std::string> lacks_seccomp();         // a seccomp filter may be installed
std::optional<std::string> lacks_second_cpu();      // two processors in the allowed set

// Skip the current test, naming the reason, unless a probe passes:
//   SUITE_NEED(lacks_realtime);
#define SUITE_NEED(probe)                                                                          \
    do {                                                                                           \
        if (const auto suite_need_why_ = ::runner::probe()) {                                      \
            GTEST_SKIP() << *suite_need_why_;                                                      \
        }                                                                                          \
    } while (0)

// Small helpers for tests.
// The processors the test may run on, in ascending order (ids need not start
// at 0 or be contiguous).
std::vector<int> allowed_cpus();
// The highest allowed processor id (where the CPU-bound tests are pinned).
int last_cpu();
// A system tool by name: the first executable file of that name in $PATH,
// then in the usual system folders; empty when the machine has none.
std::string tool(const std::string &name);
// A uid of no account on this machine, different for each test binary.
uid_t spare_uid();
// The "State:" letter of /proc/<pid>/status ('\0' when absent).
char process_state(pid_t pid);
// The scheduling policy of a process, as sched_getscheduler returns it.
int policy_of(pid_t pid);
// Make the calling (test) process a child subreaper, so that orphans of the
// programs it starts are adopted, and reaped, by it.
void become_subreaper();
// A fresh temporary directory, removed with its content by the destructor
// (or by the guard, if the test binary dies first).
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const
    {
        return path_;
    }
    std::string operator/(const std::string &name) const
    {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};
// Whole file content, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string &path);
// Split into lines (line ends removed; a last piece without a line end is
// kept).
std::vector<std::string> split_lines(const std::string &text);

} // namespace runner

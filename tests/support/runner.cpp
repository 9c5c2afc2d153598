#include "runner.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#ifndef BIN_DIR
#error "BIN_DIR must name the directory of the built programs"
#endif

extern char **environ;

namespace runner
{

namespace
{

Seconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<Seconds>(Clock::now() - start);
}

// In the child after fork: report a failed step through the status pipe
// and leave. The parent reads the message and records it as setup_error
// (an optional step, marked 'S') or exec_error (the program itself, 'E').
[[noreturn]] void child_fail(int status_fd, const char *step, char kind = 'S')
{
    char message[256];
    int n = std::snprintf(message, sizeof message, "%c%s: %s", kind, step, std::strerror(errno));
    if (n > 0) {
        (void)!write(status_fd, message, static_cast<size_t>(n));
    }
    _exit(126);
}

// The guard: a process of its own session that outlives the test binary by
// a moment. The runner tells it, one line at a time, which process groups it
// started ("+g PGID", "-g PGID") and which temporary folders it made
// ("+d PATH", "-d PATH"). When the pipe reaches end of file the test binary
// is gone, however it ended: the guard kills the groups still listed and
// removes the folders, then leaves.
int guard_fd = -1;
pid_t guard_pid = -1;
std::mutex guard_mutex;

// At a normal exit of the test binary the guard is told to finish while the
// binary can still reap it.
struct GuardReaper {
    ~GuardReaper()
    {
        if (guard_fd >= 0) {
            close(guard_fd);
            guard_fd = -1;
            while (waitpid(guard_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
} guard_reaper;

[[noreturn]] void guard_main(int fd)
{
    std::set<pid_t> groups;
    std::set<std::string> dirs;
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.size() < 4) {
                continue;
            }
            const std::string arg = line.substr(3);
            if (line.compare(0, 3, "+g ") == 0) {
                groups.insert(static_cast<pid_t>(std::stol(arg)));
            } else if (line.compare(0, 3, "-g ") == 0) {
                groups.erase(static_cast<pid_t>(std::stol(arg)));
            } else if (line.compare(0, 3, "+d ") == 0) {
                dirs.insert(arg);
            } else if (line.compare(0, 3, "-d ") == 0) {
                dirs.erase(arg);
            }
        }
    }
    for (pid_t group : groups) {
        kill(-group, SIGKILL);
    }
    for (const auto &dir : dirs) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    _exit(0);
}

void tell_guard(const std::string &line)
{
    const std::lock_guard<std::mutex> lock(guard_mutex);
    if (guard_fd < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            // Its own session: a signal to the test's group or session
            // (Ctrl-C, CTest killing the tree) leaves it to do its work.
            setsid();
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, STDIN_FILENO);
                dup2(null, STDOUT_FILENO); // CTest waits for the output to close
                dup2(null, STDERR_FILENO);
            }
            for (int sig = 1; sig < NSIG; ++sig) {
                if (sig != SIGKILL && sig != SIGSTOP) {
                    std::signal(sig, SIG_IGN);
                }
            }
            const int keep = fds[0];
            syscall(SYS_close_range, 3, static_cast<unsigned>(keep) - 1, 0);
            syscall(SYS_close_range, static_cast<unsigned>(keep) + 1, ~0U, 0);
            guard_main(keep);
        }
        close(fds[0]);
        if (pid < 0) {
            close(fds[1]);
            return;
        }
        guard_fd = fds[1];
        guard_pid = pid;
    }
    const std::string message = line + "\n";
    (void)!write(guard_fd, message.data(), message.size());
}

// Called in the child just before exec: the child's parent is the test.
void die_with_parent(int status_fd, pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) {
        child_fail(status_fd, "prctl(PR_SET_PDEATHSIG)");
    }
    if (getppid() != parent) {
        _exit(126); // the test is already gone
    }
}

// A CAP_SYS_NICE the process would hold after exec: in the bounding set
// while the process is root.
bool could_regain_sys_nice()
{
    return geteuid() == 0 && prctl(PR_CAPBSET_READ, CAP_SYS_NICE, 0, 0, 0) == 1;
}

bool write_text(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const size_t n = std::strlen(text);
    const bool ok = write(fd, text, n) == static_cast<ssize_t>(n);
    close(fd);
    return ok;
}

// A private mount namespace; without the privilege, inside a user namespace
// that maps the caller's uid and gid to themselves. Returns the failing step
// or nullptr.
const char *private_mount_namespace()
{
    if (unshare(CLONE_NEWNS) != 0) {
        if (errno != EPERM) {
            return "unshare(CLONE_NEWNS)";
        }
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return "unshare(CLONE_NEWUSER|CLONE_NEWNS)";
        }
        char map[64];
        std::snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
        if (!write_text("/proc/self/uid_map", map)) {
            return "write /proc/self/uid_map";
        }
        (void)write_text("/proc/self/setgroups", "deny\n");
        std::snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
        if (!write_text("/proc/self/gid_map", map)) {
            return "write /proc/self/gid_map";
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return "mount --make-rprivate /";
    }
    return nullptr;
}

void install_seccomp(int status_fd, const std::vector<std::pair<long, unsigned>> &rules)
{
    // Load the architecture; anything but x86-64 is left alone. Then one
    // comparison per rule: equal jumps to that rule's return statement.
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    const size_t n = rules.size();
    for (size_t i = 0; i < n; ++i) {
        // After this jump come the remaining n-1-i jumps, then the allow,
        // then the returns in rule order.
        const auto offset = static_cast<unsigned char>((n - 1 - i) + 1 + i);
        prog.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(rules[i].first), offset, 0));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    for (const auto &rule : rules) {
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, rule.second));
    }
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(prog.size());
    fprog.filter = prog.data();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        child_fail(status_fd, "prctl(PR_SET_NO_NEW_PRIVS)");
    }
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0) {
        child_fail(status_fd, "seccomp");
    }
}

// The program to execute, as a descriptor (failure: the program's own).
int open_program(int status_fd, const Options &o)
{
    const int fd = open(o.argv.at(0).c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        child_fail(status_fd, "execve", 'E');
    }
    return fd;
}

// Everything the child does between fork and exec.
[[noreturn]] void child_setup(const Options &o, int status_fd, pid_t parent, char *const *argv,
                              char *const *envp)
{
    // Default action for every signal and an empty mask: a runner started
    // from a background job inherits SIGINT and SIGQUIT ignored.
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            std::signal(sig, SIG_DFL);
        }
    }
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);

    if (o.terminal) {
        termios tio{};
        if (tcgetattr(STDIN_FILENO, &tio) == 0) {
            tio.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
            if (!o.echo) {
                tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
            }
            tcsetattr(STDIN_FILENO, TCSANOW, &tio);
        }
    }
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
        child_fail(status_fd, "chdir");
    }
    // Where a mount may hide its path (a folder bound over /home, where the
    // checkout lies) or another uid may not reach it (a 0700 checkout), the
    // program is executed from a descriptor opened now. (A "#!" script
    // cannot run that way, its descriptor being closed at exec; elsewhere
    // the path is executed as usual.)
    const bool by_descriptor = !o.bind_mounts.empty() || o.uid.has_value();
    int exe_fd = by_descriptor && o.chroot_dir.empty() ? open_program(status_fd, o) : -1;
    if (!o.bind_mounts.empty()) {
        if (const char *step = private_mount_namespace()) {
            child_fail(status_fd, step);
        }
        for (const auto &[source, target] : o.bind_mounts) {
            if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                child_fail(status_fd, "bind mount");
            }
        }
    }
    if (!o.chroot_dir.empty()) {
        if (chroot(o.chroot_dir.c_str()) != 0) {
            child_fail(status_fd, "chroot");
        }
        if (chdir("/") != 0) {
            child_fail(status_fd, "chdir /");
        }
    }
    if (o.cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(*o.cpu, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            child_fail(status_fd, "sched_setaffinity");
        }
    }
    if (o.nice && setpriority(PRIO_PROCESS, 0, *o.nice) != 0) {
        child_fail(status_fd, "setpriority");
    }
    if (o.policy) {
        sched_param param{};
        param.sched_priority = o.policy->second;
        if (sched_setscheduler(0, o.policy->first, &param) != 0) {
            child_fail(status_fd, "sched_setscheduler");
        }
    }
    for (const auto &[resource, value] : o.rlimits) {
        rlimit limit{value, value};
        if (setrlimit(static_cast<__rlimit_resource>(resource), &limit) != 0) {
            child_fail(status_fd, "setrlimit");
        }
    }
    if (o.drop_rt_privilege) {
        rlimit none{0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &none) != 0) {
            child_fail(status_fd, "setrlimit(RLIMIT_RTPRIO)");
        }
        // Dropping from the bounding set needs CAP_SETPCAP. Without it the
        // limit above is enough, unless the process is root with
        // CAP_SYS_NICE still in its bounding set (and stays root).
        (void)prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        if (prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0) != 0 && could_regain_sys_nice() &&
            !(o.uid && *o.uid != 0)) {
            child_fail(status_fd, "prctl(PR_CAPBSET_DROP, CAP_SYS_NICE)");
        }
    }
    if (by_descriptor && exe_fd < 0) { // inside the chroot
        exe_fd = open_program(status_fd, o);
    }
    if (o.uid) {
        if (setgroups(0, nullptr) != 0) {
            child_fail(status_fd, "setgroups");
        }
        if (setgid(static_cast<gid_t>(*o.uid)) != 0) {
            child_fail(status_fd, "setgid");
        }
        if (setuid(*o.uid) != 0) {
            child_fail(status_fd, "setuid");
        }
    }
    // After the uid change, which clears it; before the seccomp rules,
    // which may forbid getppid.
    die_with_parent(status_fd, parent);
    std::vector<std::pair<long, unsigned>> rules = o.syscall_rules;
    if (o.fork_errno != 0) {
        for (long nr : {long{SYS_clone}, long{SYS_clone3}, long{SYS_fork}, long{SYS_vfork}}) {
            rules.emplace_back(nr, fail_with(o.fork_errno));
        }
    }
    if (!rules.empty()) {
        install_seccomp(status_fd, rules);
    }
    if (o.pre_exec) {
        o.pre_exec();
    }
    for (int sig : o.ignore_signals) {
        std::signal(sig, SIG_IGN);
    }
    if (!o.block_signals.empty()) {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int sig : o.block_signals) {
            sigaddset(&blocked, sig);
        }
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
    }
    // Descriptors the test holds (pipes of other runs, the guard's pipe)
    // are not the program's business: close them all at exec.
    if (syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 1024; ++fd) {
            const int flags = fcntl(fd, F_GETFD);
            if (flags >= 0) {
                fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
        }
    }
    if (exe_fd >= 0) {
        syscall(SYS_execveat, exe_fd, "", argv, envp, AT_EMPTY_PATH);
    } else {
        execve(o.argv.at(0).c_str(), argv, envp);
    }
    child_fail(status_fd, "execve", 'E');
}

std::string quote(const std::string &s)
{
    std::string q = "\"";
    for (char c : s) {
        switch (c) {
        case '"':
            q += "\\\"";
            break;
        case '\\':
            q += "\\\\";
            break;
        case '\n':
            q += "\\n";
            break;
        case '\r':
            q += "\\r";
            break;
        case '\t':
            q += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                q += hex;
            } else {
                q += c;
            }
        }
    }
    return q + "\"";
}

void add_bytes(std::string &all, std::string &partial, std::vector<Line> &lines, const char *data,
               size_t n, Seconds at)
{
    all.append(data, n);
    partial.append(data, n);
    size_t pos;
    while ((pos = partial.find('\n')) != std::string::npos) {
        lines.push_back({partial.substr(0, pos), at});
        partial.erase(0, pos + 1);
    }
}

} // namespace

unsigned fail_with(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA);
}

unsigned kill_process()
{
    return SECCOMP_RET_KILL_PROCESS;
}

std::string program(const std::string &name)
{
    return std::string(BIN_DIR) + "/" + name;
}

std::string Result::describe() const
{
    std::ostringstream s;
    s << "ran: " << command << "\n";
    if (!setup_error.empty()) {
        s << "setup failed before exec: " << setup_error << "\n";
    }
    if (!exec_error.empty()) {
        s << "could not execute: " << exec_error << "\n";
    }
    if (timed_out) {
        s << "TIMED OUT (process group killed)\n";
    }
    if (exited) {
        s << "exit status " << exit_code;
    } else if (signal != 0) {
        s << "killed by signal " << signal << " (" << strsignal(signal) << ")";
    } else {
        s << "not ended";
    }
    s << ", ended at " << ended_at.count() << " s, output closed at " << finished_at.count()
      << " s\n";
    s << "stdout " << quote(out) << "\n";
    s << "stderr " << quote(err) << "\n";
    return s.str();
}

Session::Session(const Options &options) : options_(options)
{
    if (options_.argv.empty()) {
        throw std::invalid_argument("runner: empty argv");
    }
    // A program that has closed its input must not kill the test with
    // SIGPIPE when the test writes to it; the write fails with EPIPE.
    static const bool sigpipe_ignored = (std::signal(SIGPIPE, SIG_IGN), true);
    (void)sigpipe_ignored;
    if (options_.uid && options_.cwd.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "suite-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr ||
            chown(pattern.c_str(), *options_.uid, static_cast<gid_t>(*options_.uid)) != 0) {
            throw std::runtime_error("runner: cannot make a working folder for uid " +
                                     std::to_string(*options_.uid));
        }
        own_cwd_ = pattern;
        tell_guard("+d " + own_cwd_);
        options_.cwd = own_cwd_;
    }
    for (const auto &a : options_.argv) {
        result_.command += (result_.command.empty() ? "" : " ") + quote(a);
    }
    if (options_.terminal) {
        result_.command += " (on a terminal)";
    }

    // argv and envp are built before fork: the child only uses them.
    std::vector<std::string> args = options_.argv;
    if (options_.argv0) {
        args[0] = *options_.argv0;
    }
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> own_env = options_.env;
    if (std::none_of(own_env.begin(), own_env.end(),
                     [](const std::string &e) { return e.rfind("LC_ALL=", 0) == 0; })) {
        own_env.push_back("LC_ALL=C");
    }
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &own : own_env) {
            replaced = replaced || own.rfind(name, 0) == 0;
        }
        if (!replaced) {
            env_strings.push_back(entry);
        }
    }
    for (const auto &e : own_env) {
        env_strings.push_back(e);
    }
    std::vector<char *> envp;
    for (auto &e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("runner: pipe2 failed");
    }
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    pid_t pid;
    const pid_t parent = getpid();
    start_ = Clock::now();
    if (options_.terminal) {
        int master = -1;
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid > 0) {
            fcntl(master, F_SETFD, FD_CLOEXEC);
            out_fd_ = master;
            in_fd_ = master;
            out_open_ = true;
        }
    } else {
        if ((options_.input && pipe2(in_pipe, O_CLOEXEC) != 0) || pipe2(out_pipe, O_CLOEXEC) != 0 ||
            pipe2(err_pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("runner: pipe2 failed");
        }
        pid = fork();
        if (pid == 0) {
            // A group (and session) of its own, no terminal. The parent
            // does not touch the group: it waits for the status pipe, which
            // closes only at exec, long after this.
            setsid();
            if (options_.input) {
                dup2(in_pipe[0], STDIN_FILENO);
            } else {
                close(STDIN_FILENO);
            }
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
        } else if (pid > 0) {
            if (options_.input) {
                close(in_pipe[0]);
                in_fd_ = in_pipe[1];
            }
            close(out_pipe[1]);
            close(err_pipe[1]);
            out_fd_ = out_pipe[0];
            err_fd_ = err_pipe[0];
            out_open_ = err_open_ = true;
        }
    }
    if (pid < 0) {
        throw std::runtime_error(std::string("runner: fork failed: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(status_pipe[0]);
        child_setup(options_, status_pipe[1], parent, argv.data(), envp.data());
    }
    close(status_pipe[1]);
    result_.pid = pid;
    tell_guard("+g " + std::to_string(pid));
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    // The status pipe closes on exec; a message on it means a step failed.
    char message[256];
    ssize_t n;
    while ((n = read(status_pipe[0], message, sizeof message)) < 0 && errno == EINTR) {
    }
    close(status_pipe[0]);
    if (n > 0) {
        const std::string text(message + 1, static_cast<size_t>(n - 1));
        if (message[0] == 'E') {
            result_.exec_error = text;
        } else {
            result_.setup_error = text;
        }
        finish();
        if (!result_.exec_error.empty() && !options_.exec_may_fail) {
            ADD_FAILURE() << "the program could not be executed\n" << result_.describe();
        }
        return;
    }
    if (options_.input && !options_.input->empty()) {
        send(*options_.input);
    }
    if (!options_.terminal && !options_.keep_input_open) {
        close_input();
    }
}

Session::~Session()
{
    if (!finished_) {
        signal_group(SIGKILL);
        try {
            finish();
        } catch (...) {
        }
    }
}

void Session::send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size() && in_fd_ >= 0) {
        ssize_t n = write(in_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // the program closed its input: like a user typing too late
        }
        done += static_cast<size_t>(n);
    }
}

void Session::close_input()
{
    if (!options_.terminal && in_fd_ >= 0) {
        close(in_fd_);
        in_fd_ = -1;
    }
}

void Session::pump(int wait_ms)
{
    pollfd fds[3];
    int count = 0;
    int out_index = -1, err_index = -1, pid_index = -1;
    if (out_open_) {
        out_index = count;
        fds[count++] = {out_fd_, POLLIN, 0};
    }
    if (err_open_) {
        err_index = count;
        fds[count++] = {err_fd_, POLLIN, 0};
    }
    if (!reaped_ && pidfd_ >= 0) {
        pid_index = count;
        fds[count++] = {pidfd_, POLLIN, 0};
    }
    // Without a pidfd (an older kernel) the status is polled on every pass.
    const bool poll_status = !reaped_ && pidfd_ < 0;
    if (count == 0) {
        if (!poll_status) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait_ms, 10)));
    } else if (poll(fds, static_cast<nfds_t>(count),
                    poll_status ? std::min(wait_ms, 10) : wait_ms) <= 0) {
        for (auto &fd : fds) {
            fd.revents = 0;
        }
        if (!poll_status) {
            return;
        }
    }
    if (poll_status) {
        pid_index = -2;
    }
    auto drain = [&](int index, int fd, bool &open, std::string &all, std::string &partial,
                     std::vector<Line> &lines) {
        if (index < 0 || fds[index].revents == 0) {
            return;
        }
        char buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            add_bytes(all, partial, lines, buffer, static_cast<size_t>(n), since(start_));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            // End of file; on a terminal, EIO once every slave is closed.
            open = false;
            if (!partial.empty()) {
                lines.push_back({partial, since(start_)});
                partial.clear();
            }
        }
    };
    drain(out_index, out_fd_, out_open_, result_.out, out_partial_, result_.out_lines);
    drain(err_index, err_fd_, err_open_, result_.err, err_partial_, result_.err_lines);
    if (pid_index == -2 || (pid_index >= 0 && fds[pid_index].revents != 0)) {
        int status;
        if (waitpid(result_.pid, &status, WNOHANG) == result_.pid) {
            reaped_ = true;
            result_.ended_at = since(start_);
            if (WIFEXITED(status)) {
                result_.exited = true;
                result_.exit_code = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                result_.signal = WTERMSIG(status);
            }
        }
    }
}

bool Session::wait_until(const std::function<bool(const Result &)> &done,
                         std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done(result_)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (!out_open_ && !err_open_ && reaped_) {
            return done(result_); // nothing more can happen
        }
        pump(static_cast<int>(std::min<long>(left.count(), 50)));
    }
    return true;
}

bool Session::wait_for_output(const std::string &text, std::chrono::milliseconds limit)
{
    return wait_until([&](const Result &r) { return r.out.find(text) != std::string::npos; },
                      limit);
}

void Session::signal_group(int sig)
{
    if (result_.pid > 0) {
        kill(-result_.pid, sig);
    }
}

void Session::reap_group()
{
    // Whatever is left of the group (children still running, orphans
    // adopted by a subreaper test) is killed and, where it is ours, reaped.
    const pid_t group = result_.pid;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (kill(-group, SIGKILL) == 0 && Clock::now() < deadline) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // Zombies that are not ours (their parent is outside the test) stay
        // in the group until their own parent reaps them; don't wait for
        // them once only those are left.
        bool any_alive = false;
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const pid_t p = std::stoi(name);
            if (getpgid(p) == group && process_state(p) != 'Z') {
                any_alive = true;
                break;
            }
            if (getpgid(p) == group && process_state(p) == 'Z') {
                // A zombie is ours only if we can reap it.
                if (waitpid(p, nullptr, WNOHANG) == 0) {
                    any_alive = true;
                    break;
                }
            }
        }
        if (!any_alive) {
            break;
        }
    }
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
}

const Result &Session::finish()
{
    if (finished_) {
        return result_;
    }
    const auto deadline = start_ + options_.timeout;
    while (out_open_ || err_open_ || !reaped_) {
        if (Clock::now() >= deadline) {
            if (!result_.timed_out) {
                result_.timed_out = true;
                signal_group(SIGKILL);
            }
            if (Clock::now() >= deadline + std::chrono::seconds(5)) {
                break; // output held open by something outside the group
            }
        }
        pump(50);
    }
    result_.finished_at = since(start_);
    if (!reaped_) {
        int status;
        if (waitpid(result_.pid, &status, 0) == result_.pid) {
            reaped_ = true;
            result_.ended_at = since(start_);
            if (WIFEXITED(status)) {
                result_.exited = true;
                result_.exit_code = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                result_.signal = WTERMSIG(status);
            }
        }
    }
    reap_group();
    tell_guard("-g " + std::to_string(result_.pid));
    if (!own_cwd_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(own_cwd_, ignored);
        tell_guard("-d " + own_cwd_);
    }
    for (int *fd : {&out_fd_, &err_fd_, &pidfd_}) {
        if (*fd >= 0) {
            close(*fd);
        }
    }
    if (in_fd_ >= 0 && !options_.terminal) {
        close(in_fd_);
    }
    out_fd_ = err_fd_ = in_fd_ = pidfd_ = -1;
    finished_ = true;
    return result_;
}

Result run(const Options &options)
{
    Session session(options);
    return session.finish();
}

Result run(const std::vector<std::string> &argv, std::optional<std::string> input)
{
    Options o;
    o.argv = argv;
    o.input = std::move(input);
    return run(o);
}

namespace
{

// Run `attempt` in a throwaway child (whatever it changes dies with it) and
// report what failed: nothing when it returned nullptr and the child exited
// cleanly, else the failing step with its errno text.
std::optional<std::string> probe_in_child(const std::string &capability, const char *(*attempt)())
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return capability + ": cannot probe (pipe2: " + std::strerror(errno) + ")";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (const char *step = attempt()) {
            char message[256];
            const int n =
                std::snprintf(message, sizeof message, "%s: %s", step, std::strerror(errno));
            if (n > 0) {
                (void)!write(fds[1], message, static_cast<size_t>(n));
            }
            _exit(1);
        }
        _exit(0);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return capability + ": cannot probe (fork: " + std::strerror(errno) + ")";
    }
    char message[256];
    ssize_t n;
    while ((n = read(fds[0], message, sizeof message)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (n > 0) {
        return capability + " (" + std::string(message, static_cast<size_t>(n)) + ")";
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return capability + " (the probe did not finish)";
    }
    return std::nullopt;
}

// One probe per capability, run once per test binary.
const std::optional<std::string> &cached(const std::string &capability, const char *(*attempt)())
{
    static std::map<std::string, std::optional<std::string>> results;
    auto it = results.find(capability);
    if (it == results.end()) {
        it = results.emplace(capability, probe_in_child(capability, attempt)).first;
    }
    return it->second;
}

} // namespace

std::optional<std::string> lacks_realtime()
{
    return cached(
        "needs real-time scheduling (SCHED_FIFO at the top priority)", []() -> const char * {
            sched_param param{};
            param.sched_priority = sched_get_priority_max(SCHED_FIFO);
            return sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? nullptr : "sched_setscheduler";
        });
}

std::optional<std::string> lacks_lower_nice()
{
    return cached("needs to lower the nice value", []() -> const char * {
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, 0);
        const int lower = now > -20 ? now - 1 : -20;
        return setpriority(PRIO_PROCESS, 0, lower) == 0 ? nullptr : "setpriority";
    });
}

std::optional<std::string> lacks_uid_switch()
{
    return cached("needs to switch to another uid", []() -> const char * {
        const uid_t uid = spare_uid();
        if (setgroups(0, nullptr) != 0) {
            return "setgroups";
        }
        if (setgid(static_cast<gid_t>(uid)) != 0) {
            return "setgid";
        }
        return setuid(uid) == 0 ? nullptr : "setuid";
    });
}

std::optional<std::string> lacks_mount_namespace()
{
    return cached("needs a private mount namespace", []() -> const char * {
        if (const char *step = private_mount_namespace()) {
            return step;
        }
        return mount("/tmp", "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0 ? nullptr
                                                                              : "bind mount";
    });
}

std::optional<std::string> lacks_chroot()
{
    return cached("needs chroot",
                  []() -> const char * { return chroot("/") == 0 ? nullptr : "chroot"; });
}

std::optional<std::string> lacks_seccomp()
{
    return cached("needs seccomp filters", []() -> const char * {
        sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        sock_fprog fprog{};
        fprog.len = 1;
        fprog.filter = &allow;
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
            return "prctl(PR_SET_NO_NEW_PRIVS)";
        }
        return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) == 0 ? nullptr : "seccomp";
    });
}

std::optional<std::string> lacks_second_cpu()
{
    const auto cpus = allowed_cpus();
    if (cpus.size() >= 2) {
        return std::nullopt;
    }
    return "needs a second processor (only " + std::to_string(cpus.size()) +
           " in this process's allowed set)";
}

std::vector<int> allowed_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return {0};
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            cpus.push_back(cpu);
        }
    }
    return cpus;
}

int last_cpu()
{
    return allowed_cpus().back();
}

std::string tool(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/bin:/bin:/usr/sbin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

uid_t spare_uid()
{
    return static_cast<uid_t>(3000000 + getpid());
}

char process_state(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("State:", 0) == 0) {
            const size_t pos = line.find_first_not_of(" \t", 6);
            return pos == std::string::npos ? '\0' : line[pos];
        }
    }
    return '\0';
}

int policy_of(pid_t pid)
{
    return sched_getscheduler(pid);
}

void become_subreaper()
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        throw std::runtime_error("runner: PR_SET_CHILD_SUBREAPER failed");
    }
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "suite-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("runner: mkdtemp failed");
    }
    path_ = pattern;
    tell_guard("+d " + path_);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    // A test may leave folders it cannot enter (mode 0300): open them first.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         !ignored && it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
    tell_guard("-d " + path_);
}

std::optional<std::string> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0, pos;
    while ((pos = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

} // namespace runner

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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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
// and leave. The parent reads the message and records it as setup_error.
[[noreturn]] void child_fail(int status_fd, const char *step)
{
    char message[256];
    int n = std::snprintf(message, sizeof message, "%s: %s", step, std::strerror(errno));
    if (n > 0) {
        (void)!write(status_fd, message, static_cast<size_t>(n));
    }
    _exit(126);
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

// Everything the child does between fork and exec.
[[noreturn]] void child_setup(const Options &o, int status_fd, char *const *argv, char *const *envp)
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
    if (!o.bind_mounts.empty()) {
        if (unshare(CLONE_NEWNS) != 0) {
            child_fail(status_fd, "unshare(CLONE_NEWNS)");
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            child_fail(status_fd, "mount --make-rprivate /");
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
        if (prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0) != 0) {
            child_fail(status_fd, "prctl(PR_CAPBSET_DROP, CAP_SYS_NICE)");
        }
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
    execve(o.argv.at(0).c_str(), argv, envp);
    child_fail(status_fd, "execve");
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
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &own : options_.env) {
            replaced = replaced || own.rfind(name, 0) == 0;
        }
        if (!replaced) {
            env_strings.push_back(entry);
        }
    }
    for (const auto &e : options_.env) {
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
            setsid(); // a group (and session) of its own, no terminal
            if (options_.input) {
                dup2(in_pipe[0], STDIN_FILENO);
            } else {
                close(STDIN_FILENO);
            }
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
        } else if (pid > 0) {
            setpgid(pid, pid); // harmless if the child did it first
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
        child_setup(options_, status_pipe[1], argv.data(), envp.data());
    }
    close(status_pipe[1]);
    result_.pid = pid;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    // The status pipe closes on exec; a message on it means a step failed.
    char message[256];
    ssize_t n;
    while ((n = read(status_pipe[0], message, sizeof message)) < 0 && errno == EINTR) {
    }
    close(status_pipe[0]);
    if (n > 0) {
        result_.setup_error.assign(message, static_cast<size_t>(n));
        finish();
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
    if (count == 0) {
        return;
    }
    if (poll(fds, static_cast<nfds_t>(count), wait_ms) <= 0) {
        if (!reaped_ && pidfd_ < 0) {
            pid_index = -2; // no pidfd: fall back to polling the status
        } else {
            return;
        }
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

bool is_root()
{
    return geteuid() == 0;
}

int cpu_count()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 1;
    }
    return CPU_COUNT(&set);
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
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
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

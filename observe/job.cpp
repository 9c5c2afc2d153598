// The command runs as a shell runs a foreground job: a process group of its
// own, given the terminal when there is one, so that Ctrl-C and typed input
// reach the job and not the recorder. Without a terminal the recorder passes
// the interrupting signals it receives on to the job itself.
#include "job.h"

#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

namespace job
{
namespace
{

constexpr std::array forwarded{SIGINT, SIGTERM, SIGHUP};
volatile std::sig_atomic_t pending[std::size(forwarded)];

extern "C" void note_signal(int sig)
{
    for (std::size_t i = 0; i < std::size(forwarded); ++i) {
        if (forwarded[i] == sig) {
            pending[i] = 1;
        }
    }
}

// The file a shell would run for `name`: a name with a slash as it is;
// otherwise the first executable regular file of that name in $PATH.
// Directories that cannot be searched are passed over, as a shell does; a
// file found but not executable is kept, so that exec reports EACCES.
std::string find_command(const char *name)
{
    if (std::string(name).find('/') != std::string::npos) {
        return name;
    }
    const char *path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::string not_executable;
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = dirs.find(':', from);
        std::string dir = dirs.substr(from, colon == std::string::npos ? colon : colon - from);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            if (not_executable.empty()) {
                not_executable = candidate;
            }
        }
        if (colon == std::string::npos) {
            break;
        }
        from = colon + 1;
    }
    return not_executable; // empty: not found
}

// In the child, between fork and exec: only async-signal-safe calls.
// A file without a #! line that the kernel will not run is handed to the
// shell, as shells and execvp do.
[[noreturn]] void exec_child(const char *file, char *const argv[], char *const *sh_argv,
                             int report_fd, bool take_terminal)
{
    setpgid(0, 0);
    if (take_terminal) {
        // Every signal is blocked (the parent forked with all blocked), so
        // SIGTTOU does not stop this background group while it asks.
        tcsetpgrp(STDIN_FILENO, getpid());
    }
    struct sigaction dfl {
    };
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        sigaction(sig, &dfl, nullptr); // fails harmlessly for SIGKILL, SIGSTOP
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(file, argv);
    int error = errno;
    if (error == ENOEXEC) {
        execv("/bin/sh", sh_argv);
        error = errno;
    }
    (void)!write(report_fd, &error, sizeof error);
    _exit(127);
}

} // namespace

int start(Job &job, char *const argv[])
{
    const std::string file = find_command(argv[0]);
    if (file.empty()) {
        return ENOENT;
    }
    // sh FILE ARG..., prepared here: the child may not allocate.
    std::vector<char *> sh_argv = {const_cast<char *>("sh"), const_cast<char *>(file.c_str())};
    for (char *const *a = argv + 1; *a != nullptr; ++a) {
        sh_argv.push_back(*a);
    }
    sh_argv.push_back(nullptr);

    // The terminal goes to the job only when the recorder is itself in the
    // foreground of it (not when started in the background with "&").
    job.on_terminal = isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp() &&
                      tcgetattr(STDIN_FILENO, &job.saved_modes) == 0;

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        exec_child(file.c_str(), argv, sh_argv.data(), report[1], job.on_terminal);
    }
    const int fork_error = errno;
    if (pid > 0) {
        // Both sides set the group and the terminal, so that neither order
        // of running after fork leaves the job outside the foreground.
        setpgid(pid, pid);
        if (job.on_terminal) {
            tcsetpgrp(STDIN_FILENO, pid);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        job.on_terminal = false;
        return fork_error;
    }
    job.pid = pid;

    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        while (waitpid(pid, &job.status, 0) < 0 && errno == EINTR) {
        }
        job.reaped = true;
        give_back_terminal(job);
        return error;
    }
    return 0;
}

bool reap(Job &job)
{
    if (!job.reaped && waitpid(job.pid, &job.status, WNOHANG) == job.pid) {
        job.reaped = true;
    }
    return job.reaped;
}

void signal_group(const Job &job, int sig)
{
    if (job.pid > 0) {
        kill(-job.pid, sig);
    }
}

void give_back_terminal(Job &job)
{
    if (!job.on_terminal) {
        return;
    }
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    tcsetpgrp(STDIN_FILENO, getpgrp());
    tcsetattr(STDIN_FILENO, TCSADRAIN, &job.saved_modes);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    job.on_terminal = false;
}

int shell_status(const Job &job)
{
    if (WIFEXITED(job.status)) {
        return WEXITSTATUS(job.status);
    }
    if (WIFSIGNALED(job.status)) {
        return 128 + WTERMSIG(job.status);
    }
    return 1;
}

void catch_signals()
{
    struct sigaction sa {
    };
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the signal ends the recorder's sleep
    for (int sig : forwarded) {
        sigaction(sig, &sa, nullptr);
    }
    // Zombies of the command must wait for the recorder's waitpid, even if
    // the recorder was started with SIGCHLD ignored.
    signal(SIGCHLD, SIG_DFL);
}

void forward_signals(const Job &job)
{
    for (std::size_t i = 0; i < std::size(forwarded); ++i) {
        if (pending[i] != 0) {
            pending[i] = 0;
            signal_group(job, forwarded[i]);
        }
    }
}

} // namespace job

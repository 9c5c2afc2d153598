// Starting the watched command as a shell starts a foreground job, and
// looking after it until it ends.
#pragma once

#include <sys/types.h>
#include <termios.h>

namespace job
{

struct Job {
    pid_t pid = -1;           // the command; also its process group
    bool on_terminal = false; // the terminal was handed to the job
    struct termios saved_modes {
    };
    bool reaped = false;
    int status = 0; // as waitpid reports it, once reaped
};

// Forks and execs argv (searched in PATH as a shell searches) in a process
// group of its own, which becomes the terminal's foreground group when
// standard input is the terminal and the recorder holds it. The child starts
// with every signal at its default action and an empty mask. Returns 0, or
// the errno of a failed exec (the child is then already reaped).
int start(Job &job, char *const argv[]);

// Reaps the command if it has ended (never blocks). True once reaped.
bool reap(Job &job);

// Sends a signal to the job's process group.
void signal_group(const Job &job, int sig);

// Gives the terminal back to the recorder's own group and restores the
// terminal modes it had before the job started.
void give_back_terminal(Job &job);

// The status a shell reports for the command: its exit code, or 128 plus
// the signal that ended it.
int shell_status(const Job &job);

// SIGINT, SIGTERM and SIGHUP sent to the recorder are caught and kept for
// the job: forward_signals() passes the ones received since its last call on
// to the job's group. Any of them also cuts the recorder's current sleep.
void catch_signals();
void forward_signals(const Job &job);

} // namespace job

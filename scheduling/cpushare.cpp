// cpushare: how nice values share one processor.
//
// Five children take nice increments 0, 5, 10, 15 and 20, wait for a start
// signal, then count as fast as they can. Five seconds later a stop signal
// makes each one print how far it got. The kernel gives each runnable
// process a weight by its nice value (1024, 335, 110, 36, 15 for nice 0, 5,
// 10, 15, 20: each step of 5 is about a factor of 3), so on one processor
// the counts fall in those proportions. On several processors the children
// run side by side and the counts come closer.
//
// Both signals are SIGUSR1, sent to the whole process group, which the
// program makes for itself; the parent ignores SIGUSR1 once its children
// exist. A child tells start from stop by its counter: zero means "start".
//
// Run:   taskset -c 0 ./cpushare     (one processor: the weights show)
//        ./cpushare                  (all processors)
// Watch: while the children count, in another terminal:
//            top -p <pid1>,<pid2>,...    or    ps -o pid,ni,pcpu,cmd -g <pgid>
//        and see their processor shares.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

// Incremented by a child's main loop, read by its signal handler: volatile,
// so that the loop really stores every value and the handler sees it.
volatile std::int64_t counter = 0;
int nice_value = 0;

void signal_handler(int numero)
{
    (void)numero;
    const std::int64_t value = counter;
    if (value == 0) {
        return; // the start signal: it only ends the wait
    }
    // The stop signal. The interrupted loop only increments the counter, so
    // stdio is not in use and may be called here.
    std::printf("Child %ld (nice %2d) Counter = %10ld\n", static_cast<long>(getpid()), nice_value,
                static_cast<long>(value));
    std::exit(0);
}

} // namespace

int main()
{
    pid_t pid;
    pid_t children[5];
    sigset_t usr1;
    sigset_t old_mask;
    sigset_t wait_mask;

    (void)setpgid(0, 0); // fails only if already a group (and session) leader
    std::signal(SIGUSR1, signal_handler);

    // SIGUSR1 stays blocked until each child waits for it: a start signal
    // that comes before the child is ready is kept pending, not lost.
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &old_mask);
    wait_mask = old_mask;
    sigdelset(&wait_mask, SIGUSR1);

    for (int child = 0; child < 5; ++child) {
        switch (pid = fork()) {
        case -1: {
            // No child may be left waiting for a signal that never comes.
            const int error = errno;
            for (int i = 0; i < child; ++i) {
                (void)kill(children[i], SIGKILL);
                (void)waitpid(children[i], nullptr, 0);
            }
            errno = error;
            std::perror("fork");
            std::exit(1);
        }

        case 0: // child: lower its priority, wait for the start, count
            nice_value = child * 5;
            errno = 0; // nice() may return a negative value legitimately
            if (nice(nice_value) == -1 && errno != 0) {
                std::perror("nice");
                std::exit(1);
            }
            sigsuspend(&wait_mask); // returns once the start signal is handled
            sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
            for (;;) {
                counter = counter + 1;
            }

        default: // parent: on to the next child
            children[child] = pid;
            break;
        }
    }

    // The parent is in the group too: shield it from both signals.
    std::signal(SIGUSR1, SIG_IGN);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    sleep(1);
    (void)kill(-getpgrp(), SIGUSR1); // start
    sleep(5);
    (void)kill(-getpgrp(), SIGUSR1); // stop: each child prints and exits

    while (wait(nullptr) > 0) {
    }
    std::exit(0);
}

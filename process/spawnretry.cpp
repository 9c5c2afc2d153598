// spawnretry: the careful way to create a process. fork() can fail for
// lack of resources (EAGAIN: the per-user process limit is reached, or
// the system is out of process slots); that failure may clear, so it is
// tried again. Any other failure is final and reported with its number.
//
// Run:   ./spawnretry
//        To see the retry, as an ordinary user leave it no process slot:
//            bash -c 'ulimit -u 1; exec ./spawnretry'
//        it spins at full CPU, printing nothing, until a slot frees up
//        (or Ctrl-C).
// Watch: the child's PPID is the parent's PID, the parent's "child=" is
//        the child's PID, and the parent's PPID is your shell ("echo $$").

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main()
{
    pid_t child_pid;

    // Busy retry with no pause and no limit: only EAGAIN may clear.
    do {
        child_pid = fork();
    } while (child_pid == -1 && errno == EAGAIN);

    switch (child_pid) {
    case -1:
        std::fprintf(stderr, "unable to fork(), errno=%d\n", errno);
        std::exit(1);

    case 0: // child
        std::printf("Child:  PID=%ld, PPID=%ld\n", static_cast<long>(getpid()),
                    static_cast<long>(getppid()));
        std::exit(0);

    default: // parent
        std::printf("Parent: PID=%ld, PPID=%ld, child=%ld\n", static_cast<long>(getpid()),
                    static_cast<long>(getppid()), static_cast<long>(child_pid));
        (void)wait(nullptr);
        std::exit(0);
    }
}

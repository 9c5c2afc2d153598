// orphanwatch: a child whose parent ends first is an orphan, and the
// system gives it a new parent. The child asks for its parent's PID once
// a second for five seconds; the parent ends after two. The PID printed
// then changes to the adopter's: 1 (init) on a plain system, or the
// nearest ancestor that declared itself a child subreaper (systemd --user,
// a container's init...).
//
// Run:   ./orphanwatch
// Watch: the shell prompt comes back after "Parent : terminating" while
//        the child keeps printing; meanwhile, in another terminal:
//            ps -o pid,ppid,stat,cmd -C orphanwatch

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    pid_t pid;

    switch (pid = fork()) {
    case -1:
        std::fprintf(stderr, "error during fork()\n");
        std::exit(1);

    case 0: // child: getppid() asked afresh each time
        for (int i = 0; i < 5; ++i) {
            std::printf("Child : my parent is %ld\n", static_cast<long>(getppid()));
            sleep(1);
        }
        return 0;

    default: // parent: end first, without waiting
        std::printf("Parent : my PID is %ld\n", static_cast<long>(getpid()));
        sleep(2);
        std::printf("Parent : terminating\n");
        std::exit(0);
    }
}

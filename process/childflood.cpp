// childflood: time-sharing made visible. After fork() the child prints
// the same line forever; the parent prints its line once and waits for a
// child that never ends on its own.
//
// Run:   ./childflood           (stop it with Ctrl-C)
// Watch: Ctrl-C reaches the whole foreground process group, so both end.
//        Or, in another terminal, kill only the child:
//            ps -o pid,ppid,stat,cmd -C childflood;  kill <child pid>
//        then the parent's wait() returns and it ends with status 0.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    switch (fork()) {
    case -1:
        std::perror("fork");
        std::exit(1);

    case 0: // child: forever
        for (;;) {
            std::puts("je suis le fils");
        }

    default: // parent: once, then wait
        std::puts("je suis le père");
        (void)wait(nullptr); // returns only once the child is killed
        std::exit(0);
    }
}

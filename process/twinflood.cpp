// twinflood: two processes share the processor. After fork() parent and
// child each print their own line forever; on a terminal every line is
// written whole as soon as it is made, so the runs of "fils" and "père"
// show when the scheduler let each one run.
//
// Run:   ./twinflood            (stop it with Ctrl-C)
// Watch: the alternation of the two lines; in another terminal:
//            top -p <parent pid>,<child pid>      (both near 100% CPU
//        or sharing one). Ctrl-C reaches both processes of the foreground
//        group.

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    switch (fork()) {
    case -1:
        std::perror("fork");
        std::exit(1);

    case 0: // child
        for (;;) {
            std::puts("je suis le fils");
        }

    default: // parent
        for (;;) {
            std::puts("je suis le père");
        }
    }
}

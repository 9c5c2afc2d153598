// defunctwatch: make a zombie and let ps show it. The child ends after
// 2 seconds; the parent never waits for it, and lists it with "ps <pid>"
// once a second, six times: first alive (S), then defunct (Z), because an
// ended child keeps its process table entry until its parent reaps it.
//
// Run:   ./defunctwatch
// Watch: the STAT column of the listings; in another terminal, during the
//        last seconds:  ps -o pid,ppid,stat,cmd --ppid <parent pid>
//        When the parent ends, the zombie is handed over and reaped.

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    pid_t pid;
    char commande[128];

    switch (pid = fork()) {
    case -1:
        std::fprintf(stderr, "echec fork()\n");
        std::exit(1);

    case 0: // child: live 2 seconds, then end unreaped
        sleep(2);
        std::printf("Le processus fils %ld se termine\n", static_cast<long>(getpid()));
        std::exit(0);

    default: // parent: list the child at about 0, 1, 2, 3, 4 and 5 seconds
        std::snprintf(commande, sizeof commande, "ps %ld", static_cast<long>(pid));
        for (int i = 0; i < 6; ++i) {
            if (i > 0) {
                sleep(1);
            }
            (void)std::system(commande); // ps failing is ps's own business
        }
        return 0; // never waited for the child
    }
}

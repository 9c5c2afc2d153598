// reapcode: the end of a child's story. The parent waits for its child,
// gets back the PID of the child that ended and, in the status word, how
// it ended: through exit() (then bits 8 to 15 hold the exit code) or
// through a signal (then the low 7 bits hold the signal number).
//
// Run:   ./reapcode
// Watch: the PID of the dead child is the PID the child printed for
//        itself; the exit code is the 0 the child passed to exit().

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    pid_t pid;
    pid_t dead;
    int status;

    switch (pid = fork()) {
    case -1:
        std::perror("fork");
        std::exit(1);

    case 0: // child
        std::printf("je suis le fils; mon pid est %d\n", getpid());
        std::printf("pid de mon père, %d\n", getppid());
        std::exit(0);

    default: // parent
        std::printf("je suis le père; mon pid est %d\n", getpid());
        std::printf("pid de mon fils, %d\n", pid);
        dead = wait(&status);
        std::printf("je suis le père; le pid de mon fils mort est %d\n", dead);
        // The status word means something only when wait() returned a
        // child. Low 7 bits zero: ended through exit(), not a signal.
        if (dead != -1 && WIFEXITED(status)) {
            std::printf("je suis le père; le code retour de mon fils est %d                  \n",
                        WEXITSTATUS(status));
        }
        std::exit(0);
    }
}

// parentchild: one fork() makes two processes running the same program;
// each learns who it is (getpid) and who the other is: the child asks for
// its parent (getppid), the parent gets its child's PID as fork()'s result.
//
// Run:   ./parentchild
// Watch: the child's "pid de mon père" is the parent's own PID, and the
//        parent's "pid de mon fils" is the child's own PID. The order of the
//        first lines is up to the scheduler; run it a few times.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    pid_t pid;

    switch (pid = fork()) {
    case -1: // no child: neither branch has anything true to say
        std::perror("fork");
        std::exit(1);

    case 0: // child
        std::printf("je suis le fils; mon pid est %d\n", getpid());
        std::printf("pid de mon père, %d\n", getppid());
        std::exit(0);

    default: // parent: fork() returned the child's PID
        std::printf("je suis le père; mon pid est %d\n", getpid());
        std::printf("pid de mon fils, %d\n", pid);
        (void)wait(nullptr); // only to end after the child
        std::exit(0);
    }
}

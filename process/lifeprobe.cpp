// lifeprobe: watch a process pass through its life states, as the kernel
// reports them in the "State:" line of /proc/<pid>/status.
//
//   running   - the program reads its own state while it runs;
//   sleeping  - the child reads its parent's state while the parent sleeps;
//   zombie    - the parent reads its child's state after the child has
//               exited but before it has been reaped by wait();
//   absent    - once reaped, the child's /proc entry is gone.
//
// Run:   ./lifeprobe           (then press Enter to end it)
// Watch: while it waits for input, in another terminal:
//            ps -o pid,ppid,stat,cmd --ppid <pid>
//        and try ./lifeprobe | cat: the three lines printed before fork()
//        appear twice, because the child inherits the unflushed stdio buffer.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// Print the "State:" line of /proc/<pid>/status, or "absent" when the
// process has no entry any more.
void display_status(pid_t pid)
{
    char string[80];
    std::snprintf(string, sizeof string, "/proc/%ld/status", static_cast<long>(pid));
    std::FILE *fp = std::fopen(string, "r");
    if (fp == nullptr) {
        std::printf("absent\n");
        return;
    }
    while (std::fgets(string, sizeof string, fp) != nullptr) {
        if (std::strncmp(string, "State", 5) == 0) {
            std::fputs(string, stdout);
            break;
        }
    }
    std::fclose(fp);
}

} // namespace

int main()
{
    pid_t pid;
    char string[5];

    std::printf("PID = %ld\n", static_cast<long>(getpid()));
    std::printf("Expected state = Running \n");
    display_status(getpid());

    // Nothing is flushed before fork(): with stdout redirected, the lines
    // above are still in the buffer and both processes will write them.
    switch (pid = fork()) {
    case -1:
        std::perror("fork ()");
        std::exit(1);

    case 0: // child: the parent is asleep right now
        std::printf("Child: reading my parent state...\n");
        std::printf("Expected state = Sleeping \n");
        display_status(getppid());
        std::printf("Child: exit() \n");
        std::exit(0);

    default: // parent: give the child time to exit, then look at it
        sleep(5);
        std::printf("Parent: reading my child state...\n");
        std::printf("Expected state = Zombie \n");
        display_status(pid);
        std::printf("Parent: reading my child exit code...\n");
        (void)wait(nullptr); // reaping removes the zombie
        std::printf("State of my child...\n");
        std::printf("Expected state = absent\n");
        display_status(pid);
        std::printf("Waiting for input\n");
        (void)std::fgets(string, sizeof string, stdin); // end of file ends the wait too
        std::exit(0);
    }
}

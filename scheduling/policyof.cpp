// policyof: the scheduling policy of each process named on the command line.
//
// Every word of the command line is read as a PID, the program's own name
// included (it is element 0 of argv like any other), and the policy the
// kernel reports for that process is printed: OTHER (time-sharing), FIFO or
// RR (real-time), ??? for the further policies (BATCH, IDLE, DEADLINE).
// PID 0 means the program itself. A word that is no number, or a PID the
// kernel refuses (no such process, a negative number), gives "Invalide".
//
// Run:   ./policyof 0 1 $$
//        chrt -r 10 sleep 60 &  ./policyof $!
// Watch: compare with `chrt -p <pid>` and `ps -o pid,cls,rtprio,ni,cmd -p <pid>`
//        (CLS: TS = OTHER, FF = FIFO, RR = RR, B = BATCH, IDL = IDLE).

#include <sched.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    for (int i = 0; i < argc; ++i) {
        std::printf("%s : ", argv[i]);

        // Leading blanks, an optional sign, digits; whatever follows the
        // digits is ignored ("12abc" is 12). A number too large for a PID
        // counts as no number at all.
        char *end;
        errno = 0;
        const long number = std::strtol(argv[i], &end, 10);
        if (end == argv[i] || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
            std::printf("Invalide\n");
            continue;
        }
        const pid_t pid = static_cast<pid_t>(number);

        int policy = sched_getscheduler(pid);
        if (policy < 0) { // no such process, or a negative PID
            std::printf("Invalide\n");
            continue;
        }
        // The kernel adds the reset-on-fork flag to the policy number of a
        // process that has it (chrt shows "SCHED_OTHER|SCHED_RESET_ON_FORK");
        // it is not a policy of its own.
        policy &= ~SCHED_RESET_ON_FORK;

        switch (policy) {
        case SCHED_RR:
            std::printf("RR\n");
            break;
        case SCHED_FIFO:
            std::printf("FIFO\n");
            break;
        case SCHED_OTHER:
            std::printf("OTHER\n");
            break;
        default:
            std::printf("???\n");
            break;
        }
    }
    return 0;
}

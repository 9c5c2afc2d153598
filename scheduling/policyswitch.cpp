// policyswitch: a child moves itself from time-sharing to the FIFO policy.
//
// After fork(), the parent prints the static priority ranges of the two
// real-time policies and the round-robin time quantum. The child prints its
// nice value and policy, raises its nice value to 10 (always allowed), asks
// for SCHED_FIFO at static priority 10 (allowed only with real-time
// privilege: root, or CAP_SYS_NICE, or an RLIMIT_RTPRIO of 10 or more), and
// prints its nice value and policy again.
//
// Run:   ./policyswitch            (as root: the child ends under SCHED_FIFO)
//        ./policyswitch            (as a user: "pb setsceduler", still SCHED_OTHER)
//        chrt -r 1 ./policyswitch  (the quantum is then the round-robin one,
//                                   /proc/sys/kernel/sched_rr_timeslice_ms)
// Watch: the child lives only a moment; to see the same change on a process
//        that stays, try `chrt -f -p 10 <pid>` and then `chrt -p <pid>`.

#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main()
{
    pid_t ret;
    pid_t pid;
    int politique;
    int priorite;
    timespec quantum{};
    sched_param param{};
    int status;

    switch (ret = fork()) {
    case -1:
        std::perror("fork");
        std::exit(1);

    case 0: // child: look at itself, change, look again
        pid = getpid();
        std::printf("je suis le fils, ma priorité d’ordonnancement est: %d\n",
                    getpriority(PRIO_PROCESS, static_cast<id_t>(pid)));
        politique = sched_getscheduler(pid);
        if (politique == SCHED_RR) {
            std::puts("je suis le fils, ma politique d’ordonnancement est SCHED_RR");
        }
        if (politique == SCHED_FIFO) {
            std::puts("je suis le fils, ma politique d’ordonnancement est SCHED_FIFO");
        }
        if (politique == SCHED_OTHER) {
            std::puts("je suis le fils, ma politique d’ordonnancement est SCHED_OTHER");
        }

        param.sched_priority = 10;
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 10); // raising never fails
        if (sched_setscheduler(pid, SCHED_FIFO, &param) == -1) {
            std::perror("pb setsceduler"); // no real-time privilege
        }

        priorite = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
        std::printf("je suis le fils, ma priorité d’ordonnancement est: %d\n", priorite);
        politique = sched_getscheduler(pid);
        if (politique == SCHED_RR) {
            std::puts("je suis le fils, ma nouvelle politique d’ordonnancement est SCHED_RR");
        }
        if (politique == SCHED_FIFO) {
            std::puts("je suis le fils, ma nouvelle politique d’ordonnancement est SCHED_FIFO");
        }
        if (politique == SCHED_OTHER) {
            std::puts("je suis le fils, ma nouvelle politique d’ordonnancement est SCHED_OTHER");
        }
        std::exit(0);

    default: // parent: the ranges and the quantum, then reap the child
        std::printf("Voici les priorités min et max de la politique SCHED_FIFO, %d, %d\n",
                    sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));
        std::printf("Voici les priorités min et max de la politique SCHED_RR, %d, %d\n",
                    sched_get_priority_min(SCHED_RR), sched_get_priority_max(SCHED_RR));
        // The quantum of the parent's own policy: the round-robin slice
        // under SCHED_RR, whatever the kernel gives otherwise.
        if (sched_rr_get_interval(getpid(), &quantum) != 0) {
            quantum = timespec{}; // zeros when the query fails
        }
        std::printf("Voici les la valeur du quantum de la politique SCHED_RR, %d seconde, %d "
                    "nanosecondes\n",
                    static_cast<int>(quantum.tv_sec), static_cast<int>(quantum.tv_nsec));
        (void)wait(&status); // status not examined
        return 0;
    }
}

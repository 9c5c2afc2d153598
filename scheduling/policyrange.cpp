// policyrange: the static priorities that each scheduling policy accepts.
//
// The real-time policies (FIFO and round-robin) take a static priority in a
// range the kernel fixes (1 to 99 on Linux); the time-sharing policy (OTHER)
// has only priority 0, and its processes are told apart by their nice value.
//
// Run:   ./policyrange
// Watch: compare with `chrt -m`, which prints the same ranges (and those of
//        the further policies, BATCH, IDLE and DEADLINE).

#include <sched.h>

#include <cstdio>

int main()
{
    // Each range: the maximum is asked first, then the minimum. A failed
    // query would show as -1.
    int max = sched_get_priority_max(SCHED_FIFO);
    int min = sched_get_priority_min(SCHED_FIFO);
    std::printf("Scheduling FIFO :\n  %d <= prio <= %d\n", min, max);

    max = sched_get_priority_max(SCHED_RR);
    min = sched_get_priority_min(SCHED_RR);
    std::printf("Scheduling RR :\n  %d <= prio <= %d\n", min, max);

    max = sched_get_priority_max(SCHED_OTHER);
    min = sched_get_priority_min(SCHED_OTHER);
    std::printf("Scheduling OTHER :\n  %d <= prio <= %d\n", min, max);

    return 0;
}

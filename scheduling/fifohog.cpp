// fifohog: a real-time process keeps its processor.
//
// The program moves itself to SCHED_FIFO at static priority 99, the highest,
// and spins without ever making a system call. No time-sharing process gets
// that processor back while it runs (apart from the small share the kernel's
// real-time throttling keeps for them, /proc/sys/kernel/sched_rt_runtime_us
// out of sched_rt_period_us). An alarm after 20 seconds ends it: SIGALRM's
// default action terminates the process, and that is its only way out.
//
// Run:   sudo taskset -c 0 ./fifohog      (needs real-time privilege)
// Watch: in another terminal, while it runs:
//            chrt -p <pid>                  (SCHED_FIFO, priority 99)
//            ps -o pid,cls,rtprio,ni,pcpu,cmd -p <pid>
//            top                            (one processor at 100 %)
//        The shell then reports "Alarm clock" (termination by SIGALRM).

#include <sched.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main()
{
    sched_param param{};
    param.sched_priority = 99;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::perror("SCHED_FIFO");
        std::exit(1);
    }

    // An ignored or blocked SIGALRM is inherited across exec: restore the
    // default action and unblock it, or nothing would ever end the loop.
    std::signal(SIGALRM, SIG_DFL);
    sigset_t alarm_set;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_set, nullptr);
    alarm(20);

    // Spin: reading a volatile is an observable step, so the compiler keeps
    // the loop, and there is no system call in it.
    volatile bool spinning = true;
    while (spinning) {
    }
    return 0;
}

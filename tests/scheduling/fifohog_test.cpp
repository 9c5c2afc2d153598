// fifohog: refused at once without real-time privilege; with it, pinned to
// one processor, FIFO 99 holds that processor, silent, until SIGALRM ends it
// after 20 s, even when started with SIGALRM ignored and blocked.
#include "runner.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <string>

using namespace std::chrono_literals;

namespace
{

// User plus system time of a process, in clock ticks (/proc/<pid>/stat).
long cpu_ticks(pid_t pid)
{
    const auto stat = runner::read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    // After "pid (comm) ": state is field 3, utime 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

TEST(Fifohog, RefusedAtOnceWithoutRealTimePrivilege)
{
    runner::Options o;
    o.argv = {runner::program("fifohog")};
    o.drop_rt_privilege = true;
    o.timeout = 30s;
    const auto r = runner::run(o);
    ASSERT_EQ(r.setup_error, "") << r.describe();
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.err, "SCHED_FIFO: Operation not permitted\n") << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_LT(r.ended_at.count(), 5.0) << r.describe();
}

// One run, started with SIGALRM ignored and blocked: the program restores
// the default action and unblocks it, so this run proves the plain case too.
TEST(FifohogLab, HoldsOneProcessorAtFifo99UntilTheAlarm)
{
    SUITE_NEED(lacks_realtime);
    SUITE_NEED(lacks_second_cpu); // to watch from
    // The hog takes the last processor; the test watches from the others,
    // where a time-sharing process is not starved behind FIFO 99.
    const int hog_cpu = runner::last_cpu();
    cpu_set_t saved, others;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    others = saved;
    CPU_CLR(hog_cpu, &others);
    ASSERT_EQ(sched_setaffinity(0, sizeof others, &others), 0);
    struct Restore {
        cpu_set_t set;
        ~Restore()
        {
            (void)sched_setaffinity(0, sizeof set, &set);
        }
    } restore{saved};

    {
        runner::Options o;
        o.argv = {runner::program("fifohog")};
        o.cpu = hog_cpu;
        o.timeout = 45s;
        o.ignore_signals = {SIGALRM};
        o.block_signals = {SIGALRM};
        // A time-sharing process that wants the same processor all the time:
        // a shell loop with no output, pinned there before the hog starts.
        runner::Options busy;
        busy.argv = {"/bin/sh", "-c", "while :; do :; done"};
        busy.cpu = hog_cpu;
        busy.timeout = 60s;
        runner::Session rival(busy);
        ASSERT_EQ(rival.result().setup_error, "");

        runner::Session s(o);
        ASSERT_EQ(s.result().setup_error, "");
        const pid_t pid = s.pid();

        // Seen from outside while it runs: FIFO at 99, running, and keeping
        // its processor against the time-sharing rival, which gets no more
        // than the slack that real-time throttling leaves.
        ASSERT_TRUE(s.wait_until(
            [pid](const runner::Result &) { return runner::policy_of(pid) == SCHED_FIFO; }, 10s))
            << s.result().describe();
        sched_param param{};
        EXPECT_EQ(sched_getparam(pid, &param), 0);
        EXPECT_EQ(param.sched_priority, 99);
        runner::Options ps_options;
        ps_options.argv = {"/usr/bin/ps", "-o", "cls=,rtprio=", "-p", std::to_string(pid)};
        ps_options.env = {"LC_ALL=C"};
        const auto ps = runner::run(ps_options);
        EXPECT_EQ(ps.out, " FF     99\n") << ps.describe();
        EXPECT_EQ(runner::process_state(pid), 'R');
        // Shares of the processor, not of wall-clock time: on a virtual
        // machine the host may take time from both alike.
        const long hog_before = cpu_ticks(pid);
        const long rival_before = cpu_ticks(rival.pid());
        EXPECT_FALSE(
            s.wait_until([](const runner::Result &r) { return r.ended_at.count() > 0; }, 2s));
        const long hog = cpu_ticks(pid) - hog_before;
        const long other = cpu_ticks(rival.pid()) - rival_before;
        const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
        EXPECT_GT(static_cast<double>(hog) * tick, 0.2) << "the hog hardly ran in 2 s";
        EXPECT_GT(static_cast<double>(hog), 0.85 * static_cast<double>(hog + other))
            << "hog " << static_cast<double>(hog) * tick << " s, time-sharing rival "
            << static_cast<double>(other) * tick << " s";

        const auto &r = s.finish();
        EXPECT_FALSE(r.timed_out) << r.describe();
        EXPECT_FALSE(r.exited) << r.describe();
        EXPECT_EQ(r.signal, SIGALRM) << r.describe();
        EXPECT_GT(r.ended_at.count(), 19.5) << r.describe();
        EXPECT_LT(r.ended_at.count(), 30.0) << r.describe();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

} // namespace

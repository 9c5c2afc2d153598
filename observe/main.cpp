// proctimeline: start a command, watch every process of it while it runs,
// then show what happened: which processes existed, their states over time,
// their parents, policies and nice values, and the processor time each got.
//
//   proctimeline [-i MS] [-t SECONDS] [-o FILE.svg] [-c FILE.csv] [-q] [--] COMMAND [ARG...]
//
// The command runs as a foreground job of its own (Ctrl-C reaches it, typed
// input too); the recorder looks at its processes every MS milliseconds, and
// afterwards prints a text timeline on standard error and writes the picture
// and the samples where asked. The exit status is the command's, as a shell
// reports it.
#include "job.h"
#include "render.h"
#include "sampler.h"
#include "timeline.h"

#include <getopt.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

namespace
{

constexpr int usage_status = 2;

void usage(std::FILE *out)
{
    std::fputs(
        "usage: proctimeline [-i MS] [-t SECONDS] [-o FILE.svg] [-c FILE.csv] [-q] [--] COMMAND "
        "[ARG...]\n"
        "Runs COMMAND as a foreground job, watches it and every process it starts,\n"
        "and shows their states, parents, scheduling and processor time over time.\n"
        "  -i MS       look every MS milliseconds (default 10); a process that lives\n"
        "              less than one interval can be missed\n"
        "  -t SECONDS  after SECONDS, interrupt the job (SIGINT), and kill it 2 s later\n"
        "  -o FILE.svg draw the timeline as an SVG picture\n"
        "  -c FILE.csv write every sample as CSV\n"
        "  -q          no text timeline on standard error\n"
        "The exit status is the command's: its exit code, or 128 + the signal that ended it.\n",
        out);
}

double now_seconds(const timespec &origin)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec - origin.tv_sec) +
           static_cast<double>(t.tv_nsec - origin.tv_nsec) / 1e9;
}

timespec add_ns(timespec t, long ns)
{
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

int terminal_width()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    if (const char *columns = std::getenv("COLUMNS")) {
        const int n = std::atoi(columns);
        if (n > 0) {
            return n;
        }
    }
    return 80;
}

std::string outcome(const job::Job &job)
{
    const int status = job::shell_status(job);
    if (status > 128) {
        const char *name = sigabbrev_np(status - 128);
        return std::string("ended by SIG") + (name != nullptr ? name : "?") + " (" +
               std::to_string(status) + ")";
    }
    return "exit " + std::to_string(status);
}

// A parsed number, or false when the text is not one in range.
bool parse_number(const char *text, double low, double high, double &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(value) && value >= low &&
           value <= high;
}

} // namespace

int main(int argc, char *argv[])
{
    long interval_ms = 10;
    double limit = 0; // seconds; 0: none
    const char *svg_path = nullptr;
    const char *csv_path = nullptr;
    bool quiet = false;

    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "+i:t:o:c:qh", long_options, nullptr)) != -1) {
        double value = 0;
        switch (opt) {
        case 'i':
            if (!parse_number(optarg, 1, 60000, value) || value != std::floor(value)) {
                std::fprintf(stderr,
                             "proctimeline: -i: not a whole number of milliseconds "
                             "from 1 to 60000: %s\n",
                             optarg);
                usage(stderr);
                return usage_status;
            }
            interval_ms = static_cast<long>(value);
            break;
        case 't':
            if (!parse_number(optarg, 0.001, 1e7, value)) {
                std::fprintf(stderr, "proctimeline: -t: not a positive number of seconds: %s\n",
                             optarg);
                usage(stderr);
                return usage_status;
            }
            limit = value;
            break;
        case 'o':
            svg_path = optarg;
            break;
        case 'c':
            csv_path = optarg;
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            if (optopt != 0 && std::strchr("itoc", optopt) != nullptr) {
                std::fprintf(stderr, "proctimeline: -%c needs a value\n", optopt);
            } else if (optopt != 0) {
                std::fprintf(stderr, "proctimeline: unknown option -%c\n", optopt);
            } else {
                std::fprintf(stderr, "proctimeline: unknown option %s\n", argv[optind - 1]);
            }
            usage(stderr);
            return usage_status;
        }
    }
    if (optind >= argc) {
        std::fputs("proctimeline: no command given\n", stderr);
        usage(stderr);
        return usage_status;
    }
    char **command = argv + optind;

    // The output files are opened before anything runs: a file that cannot
    // be written stops the recorder before the command starts.
    std::FILE *svg_file = nullptr;
    std::FILE *csv_file = nullptr;
    for (auto [path, file] : {std::pair{svg_path, &svg_file}, std::pair{csv_path, &csv_file}}) {
        if (path != nullptr) {
            *file = std::fopen(path, "we");
            if (*file == nullptr) {
                std::fprintf(stderr, "proctimeline: %s: %s\n", path, std::strerror(errno));
                return 1;
            }
        }
    }

    std::string command_line;
    for (char **a = command; *a != nullptr; ++a) {
        command_line += (command_line.empty() ? "" : " ") + std::string(*a);
    }

    job::catch_signals();
    timeline::Timeline recording;
    job::Job job;
    try {
        sampler::Sampler sampler;
        sampler.baseline();
        timespec origin;
        clock_gettime(CLOCK_MONOTONIC, &origin);
        if (const int error = job::start(job, command)) {
            std::fprintf(stderr, "proctimeline: %s: %s\n", command[0], std::strerror(error));
            return error == ENOENT ? 127 : 126;
        }
        sampler.watch(job.pid);

        // Look, reap, pass signals on, then sleep to the next tick. The ticks
        // are absolute, so the time spent looking does not add up as drift.
        const long interval_ns = interval_ms * 1000000L;
        timespec next = origin;
        bool interrupted = false;
        double kill_at = 0;
        double all_zombies_since = -1;
        for (;;) {
            const double t = now_seconds(origin);
            recording.add_look(t, sampler.look());
            if (!job.reaped && job::reap(job)) {
                recording.command_reaped(job.pid, now_seconds(origin));
            }
            job::forward_signals(job);

            const auto alive = recording.alive();
            if (job.reaped && alive.empty()) {
                break;
            }
            // Zombies whose parent is outside the job are reaped by that
            // parent, usually at once. One that does not (an init that never
            // reaps) must not hold the recording open: a second's grace.
            bool only_stray_zombies = job.reaped;
            for (const auto *p : alive) {
                const auto &f = recording.last_sample(*p).fact;
                bool parent_watched = false;
                for (const auto *q : alive) {
                    parent_watched = parent_watched || q->pid == f.ppid;
                }
                only_stray_zombies = only_stray_zombies && f.state == 'Z' && !parent_watched;
            }
            if (!only_stray_zombies) {
                all_zombies_since = -1;
            } else if (all_zombies_since < 0) {
                all_zombies_since = t;
            } else if (t - all_zombies_since >= 1.0) {
                break;
            }

            if (limit > 0 && !interrupted && t >= limit) {
                interrupted = true;
                kill_at = t + 2.0;
                job::signal_group(job, SIGINT);
            } else if (interrupted && kill_at > 0 && t >= kill_at) {
                kill_at = 0;
                job::signal_group(job, SIGKILL);
                for (const auto *p : alive) {
                    kill(p->pid, SIGKILL);
                }
            }

            next = add_ns(next, interval_ns);
            timespec current;
            clock_gettime(CLOCK_MONOTONIC, &current);
            if (current.tv_sec > next.tv_sec ||
                (current.tv_sec == next.tv_sec && current.tv_nsec > next.tv_nsec)) {
                next = current; // fell behind: look again at once, then keep the pace
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
                job::forward_signals(job);
            }
        }
        recording.finish(now_seconds(origin));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "proctimeline: %s\n", e.what());
        if (job.pid > 0 && !job.reaped) {
            job::signal_group(job, SIGKILL);
            while (!job::reap(job)) {
                usleep(10000);
            }
        }
        job::give_back_terminal(job);
        return 1;
    }
    job::give_back_terminal(job);

    render::About about{command_line, static_cast<int>(interval_ms), outcome(job)};
    int status = job::shell_status(job);
    if (!quiet) {
        render::text(recording, about, stderr, terminal_width());
    }
    if (svg_file != nullptr) {
        render::svg(recording, about, svg_file);
        if (std::fclose(svg_file) != 0) {
            std::fprintf(stderr, "proctimeline: %s: %s\n", svg_path, std::strerror(errno));
            status = status == 0 ? 1 : status;
        }
    }
    if (csv_file != nullptr) {
        render::csv(recording, csv_file);
        if (std::fclose(csv_file) != 0) {
            std::fprintf(stderr, "proctimeline: %s: %s\n", csv_path, std::strerror(errno));
            status = status == 0 ? 1 : status;
        }
    }
    return status;
}

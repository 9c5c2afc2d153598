// The text timeline: a header, a time axis, one strip of state letters per
// process, the events (parent changes, zombies, ends), then processor time.
#include "render.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace render
{
namespace
{

const char *state_word(char state)
{
    switch (state) {
    case 'R':
        return "running";
    case 'S':
        return "sleeping";
    case 'D':
        return "disk sleep";
    case 'Z':
        return "zombie";
    case 'T':
        return "stopped";
    case 't':
        return "traced";
    case 'I':
        return "idle";
    case 'X':
        return "dead";
    default:
        return "other";
    }
}

std::string parent_text(const timeline::Process &p)
{
    std::string s = std::to_string(p.first_parent);
    for (const auto &change : p.parent_changes) {
        s += ">" + std::to_string(change.to);
    }
    return s;
}

std::string sched_text(const timeline::Process &p)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s %d %+d", sampler::policy_name(p.policy), p.rtprio,
                  p.nice);
    return buffer;
}

// A tick step, in seconds, that leaves at least `min_columns` between labels.
double tick_step(double seconds_per_column, int min_columns)
{
    static const double steps[] = {0.1, 0.2, 0.5, 1,   2,   5,    10,  15,
                                   30,  60,  120, 300, 600, 1800, 3600};
    for (double step : steps) {
        if (step / seconds_per_column >= min_columns) {
            return step;
        }
    }
    return 7200;
}

} // namespace

void text(const timeline::Timeline &recording, const About &about, std::FILE *out, int width)
{
    const auto &processes = recording.processes();
    const double end = std::max(recording.end(), 0.001);
    // The command line may be long: it is cut to the width.
    std::string title = "proctimeline: " + about.command;
    if (static_cast<int>(title.size()) > width && width > 3) {
        title.resize(static_cast<std::size_t>(width - 3));
        title += "...";
    }
    std::fprintf(out, "%s\n%s after %.2f s; %zu looks, %d ms apart\n", title.c_str(),
                 about.outcome.c_str(), recording.end(), recording.looks(), about.interval_ms);
    if (processes.empty()) {
        std::fputs("no process was seen (it ended within one interval)\n", out);
        return;
    }

    // Column widths from the content.
    std::size_t w_pid = 3, w_parent = 6, w_command = 7, w_sched = 5;
    for (const auto &p : processes) {
        w_pid = std::max(w_pid, std::to_string(p.pid).size());
        w_parent = std::max(w_parent, parent_text(p).size());
        w_command = std::max(w_command, p.command.size());
        w_sched = std::max(w_sched, sched_text(p).size());
    }
    const int prefix = static_cast<int>(w_pid + w_parent + w_command + w_sched + 4);
    const int columns = std::max(10, width - prefix - 3); // room for " s" after the axis
    const double per_column = end / columns;

    // Time axis: labels, then a ruler with a bar at each tick.
    std::string labels(static_cast<std::size_t>(columns), ' ');
    std::string ruler(static_cast<std::size_t>(columns), '-');
    const double step = tick_step(per_column, 6);
    for (int k = 0; k * step <= end + 1e-9; ++k) {
        const auto column = static_cast<std::size_t>(std::lround(k * step / per_column));
        if (column >= ruler.size()) {
            break;
        }
        ruler[column] = '|';
        char label[32];
        const auto n = static_cast<std::size_t>(std::snprintf(label, sizeof label, "%g", k * step));
        if (column + n <= labels.size()) {
            labels.replace(column, n, label);
        }
    }
    labels.erase(labels.find_last_not_of(' ') + 1);
    std::fprintf(out, "%*s %s s\n", prefix, "", labels.c_str());
    std::fprintf(out, "%*s %-*s %-*s %-*s %s\n", static_cast<int>(w_pid), "PID",
                 static_cast<int>(w_parent), "PARENT", static_cast<int>(w_command), "COMMAND",
                 static_cast<int>(w_sched), "SCHED", ruler.c_str());

    std::map<char, bool> letters_used;
    for (const auto &p : processes) {
        // The commonest state among the looks that fall in each column;
        // a column without a look repeats the state before it.
        std::vector<std::map<char, int>> counts(static_cast<std::size_t>(columns));
        for (std::size_t index : p.samples) {
            const auto &s = recording.samples()[index];
            const auto column =
                std::min(columns - 1, static_cast<int>(std::floor(s.t / per_column)));
            ++counts[static_cast<std::size_t>(column)][s.fact.state];
        }
        std::string strip(static_cast<std::size_t>(columns), ' ');
        char carried = ' ';
        const double gone = p.gone_at.value_or(end + per_column);
        for (int c = 0; c < columns; ++c) {
            const double from = c * per_column;
            auto &here = counts[static_cast<std::size_t>(c)];
            char letter;
            if (!here.empty()) {
                letter = std::max_element(here.begin(), here.end(), [](auto &a, auto &b) {
                             return a.second < b.second;
                         })->first;
                carried = letter;
            } else if (from >= gone) {
                letter = '.';
            } else {
                letter = carried;
            }
            strip[static_cast<std::size_t>(c)] = letter;
            if (letter != ' ') {
                letters_used[letter] = true;
            }
        }
        std::fprintf(out, "%*d %-*s %-*s %-*s %s\n", static_cast<int>(w_pid), p.pid,
                     static_cast<int>(w_parent), parent_text(p).c_str(),
                     static_cast<int>(w_command), p.command.c_str(), static_cast<int>(w_sched),
                     sched_text(p).c_str(), strip.c_str());
    }
    // The legend under the strips, wrapped to the width.
    std::string legend;
    const std::size_t room = static_cast<std::size_t>(std::max(20, width - prefix - 1));
    for (const auto &[letter, used] : letters_used) {
        const std::string entry = letter == '.' ? std::string(". gone")
                                                : std::string(1, letter) + " " + state_word(letter);
        if (!legend.empty() && legend.size() + 2 + entry.size() > room) {
            std::fprintf(out, "%*s %s,\n", prefix, "", legend.c_str());
            legend.clear();
        }
        legend += (legend.empty() ? "" : ", ") + entry;
    }
    std::fprintf(out, "%*s %s\n", prefix, "", legend.c_str());

    // Events, in time order.
    struct Event {
        double t;
        pid_t pid;
        std::string what;
    };
    std::vector<Event> events;
    for (const auto &p : processes) {
        for (const auto &change : p.parent_changes) {
            events.push_back(
                {change.t, p.pid,
                 "parent " + std::to_string(change.from) + " -> " + std::to_string(change.to)});
        }
        if (p.zombie_at) {
            events.push_back({*p.zombie_at, p.pid, "zombie"});
        }
        if (p.gone_at) {
            events.push_back({*p.gone_at, p.pid, p.reaped ? "reaped" : "ended"});
        } else {
            const auto &last = recording.last_sample(p).fact;
            events.push_back({recording.end(), p.pid,
                              std::string(last.state == 'Z' ? "still a zombie" : "still there") +
                                  " at the end, parent " + std::to_string(last.ppid)});
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event &a, const Event &b) { return a.t < b.t; });
    if (!events.empty()) {
        std::fputs("\nevents\n", out);
        for (const auto &e : events) {
            std::fprintf(out, "%8.3f s %*d %s\n", e.t, static_cast<int>(w_pid), e.pid,
                         e.what.c_str());
        }
    }

    const double total = static_cast<double>(recording.total_cpu_ns()) / 1e9;
    std::fprintf(out, "\nprocessor time\n%*s %-*s %10s %7s\n", static_cast<int>(w_pid), "PID",
                 static_cast<int>(w_command), "COMMAND", "SECONDS", "SHARE");
    for (const auto &p : processes) {
        const double seconds = static_cast<double>(p.cpu_ns) / 1e9;
        std::fprintf(out, "%*d %-*s %10.3f %6.1f%%\n", static_cast<int>(w_pid), p.pid,
                     static_cast<int>(w_command), p.command.c_str(), seconds,
                     total > 0 ? 100.0 * seconds / total : 0.0);
    }
    std::fprintf(out, "%*s %-*s %10.3f\n", static_cast<int>(w_pid), "", static_cast<int>(w_command),
                 "total", total);
}

} // namespace render

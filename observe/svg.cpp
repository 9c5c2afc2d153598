// The picture: a title, a time axis, one row per process with a coloured
// segment per state, marks where the parent changed and where the process
// ended, a legend, and below a second panel with each process's processor
// time over time. Plain SVG 1.1 with large type, meant for a projector.
#include "render.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace render
{
namespace
{

constexpr double min_width = 1800;
constexpr double label_char = 12;   // about the width of a character at 21 px
constexpr double plot_left = 470;   // left of the time axis; labels before it
constexpr double plot_right = 1440; // right of the time axis; end labels after it
constexpr double row_height = 66;
constexpr double bar_top = 24; // within a row
constexpr double bar_height = 34;
constexpr double cpu_height = 380;

// Line colours per process: distinct, and readable on white.
const char *const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e",
                               "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};

struct StateStyle {
    char letter;
    const char *name;
    const char *colour;
};
const StateStyle state_styles[] = {
    {'R', "running", "#2fa84f"}, {'S', "sleeping", "#7fb2e5"}, {'D', "disk sleep", "#f0a030"},
    {'Z', "zombie", "#d9534f"},  {'T', "stopped", "#8e5cc4"},  {'t', "traced", "#b48fe0"},
    {'I', "idle", "#c8c8c8"},
};

const char *state_colour(char state)
{
    for (const auto &s : state_styles) {
        if (s.letter == state) {
            return s.colour;
        }
    }
    return "#606060";
}

std::string escape(const std::string &text)
{
    std::string s;
    for (char c : text) {
        switch (c) {
        case '&':
            s += "&amp;";
            break;
        case '<':
            s += "&lt;";
            break;
        case '>':
            s += "&gt;";
            break;
        case '"':
            s += "&quot;";
            break;
        default:
            // Control characters are not allowed in XML 1.0.
            s += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return s;
}

std::string num(double v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    return buffer;
}

// A step from 1, 2, 5 times a power of ten giving about `wanted` steps.
double nice_step(double range, double wanted)
{
    const double raw = range / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) {
            return m * power;
        }
    }
    return 10 * power;
}

// A tick label with as many decimals as the step needs.
std::string label(double v, double step)
{
    const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

} // namespace

void svg(const timeline::Timeline &recording, const About &about, std::FILE *out)
{
    const auto &processes = recording.processes();
    const auto &samples = recording.samples();
    const double end = std::max(recording.end(), 0.001);
    const auto x_of = [&](double t) {
        return plot_left + (plot_right - plot_left) * std::clamp(t / end, 0.0, 1.0);
    };

    // Wide enough for the longest label right of the processor-time panel.
    std::size_t longest = 0;
    for (const auto &p : processes) {
        longest = std::max(longest, std::to_string(p.pid).size() + p.command.size() + 20);
    }
    const double width =
        std::max(min_width, plot_right + 30 + label_char * static_cast<double>(longest));

    const double rows_top = 150;
    const double rows_bottom = rows_top + row_height * static_cast<double>(processes.size());
    const double legend_y = rows_bottom + 50;
    const double cpu_top = legend_y + 130;
    const double cpu_bottom = cpu_top + cpu_height;
    const double height = cpu_bottom + 110;

    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%s\" "
                 "height=\"%s\" viewBox=\"0 0 %s %s\" font-family=\"DejaVu Sans, Verdana, "
                 "Arial, sans-serif\" font-size=\"24\">\n",
                 num(width).c_str(), num(height).c_str(), num(width).c_str(), num(height).c_str());
    std::fprintf(out, "<title>proctimeline: %s</title>\n", escape(about.command).c_str());
    std::fprintf(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    std::fprintf(out, "<text x=\"30\" y=\"52\" font-size=\"36\" font-weight=\"bold\">%s</text>\n",
                 escape(about.command).c_str());
    std::fprintf(out,
                 "<text x=\"30\" y=\"92\" font-size=\"24\" fill=\"#444\">%s after %.2f s, "
                 "%zu process%s, a look every %d ms</text>\n",
                 escape(about.outcome).c_str(), recording.end(), processes.size(),
                 processes.size() == 1 ? "" : "es", about.interval_ms);

    // Time axis and grid, over the rows and the processor-time panel.
    const double step = nice_step(end, 8);
    std::fprintf(out, "<g class=\"time-axis\" font-size=\"22\" text-anchor=\"middle\">\n");
    for (int k = 0; k * step <= end * (1 + 1e-9); ++k) {
        const double x = x_of(k * step);
        std::fprintf(out,
                     "<line x1=\"%s\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"#ddd\" "
                     "stroke-width=\"1.5\"/>\n",
                     num(x).c_str(), num(rows_top - 8).c_str(), num(x).c_str(),
                     num(rows_bottom).c_str());
        std::fprintf(out,
                     "<line x1=\"%s\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"#ddd\" "
                     "stroke-width=\"1.5\"/>\n",
                     num(x).c_str(), num(cpu_top).c_str(), num(x).c_str(), num(cpu_bottom).c_str());
        const std::string text = label(k * step, step);
        std::fprintf(out, "<text x=\"%s\" y=\"%s\">%s</text>\n", num(x).c_str(),
                     num(rows_top - 16).c_str(), text.c_str());
        std::fprintf(out, "<text x=\"%s\" y=\"%s\">%s</text>\n", num(x).c_str(),
                     num(cpu_bottom + 32).c_str(), text.c_str());
    }
    std::fprintf(out, "<text x=\"%s\" y=\"%s\" text-anchor=\"start\">s</text>\n",
                 num(plot_right + 24).c_str(), num(rows_top - 16).c_str());
    std::fprintf(out, "<text x=\"%s\" y=\"%s\">time (s)</text>\n",
                 num((plot_left + plot_right) / 2).c_str(), num(cpu_bottom + 70).c_str());
    std::fprintf(out, "</g>\n");

    // One row per process.
    for (std::size_t i = 0; i < processes.size(); ++i) {
        const auto &p = processes[i];
        const double y = rows_top + row_height * static_cast<double>(i);
        const char *colour = palette[i % std::size(palette)];
        std::fprintf(out, "<g class=\"process\" data-pid=\"%d\">\n", static_cast<int>(p.pid));
        // Labels: PID and command, then parents and scheduling.
        std::fprintf(out, "<circle cx=\"24\" cy=\"%s\" r=\"9\" fill=\"%s\"/>\n",
                     num(y + bar_top + 8).c_str(), colour);
        std::fprintf(out,
                     "<text x=\"42\" y=\"%s\" font-size=\"26\"><tspan "
                     "font-weight=\"bold\">%d</tspan> %s</text>\n",
                     num(y + bar_top + 17).c_str(), static_cast<int>(p.pid),
                     escape(p.command).c_str());
        std::string parents = "parent " + std::to_string(p.first_parent);
        for (const auto &change : p.parent_changes) {
            parents += " \xe2\x86\x92 " + std::to_string(change.to);
        }
        char sched[64];
        std::snprintf(sched, sizeof sched, "%s %d, nice %+d", sampler::policy_name(p.policy),
                      p.rtprio, p.nice);
        std::fprintf(
            out, "<text x=\"42\" y=\"%s\" font-size=\"19\" fill=\"#444\">%s \xc2\xb7 %s</text>\n",
            num(y + bar_top + 42).c_str(), escape(parents).c_str(), sched);

        // State segments: each look's state lasts until the next look.
        for (std::size_t k = 0; k < p.samples.size();) {
            const auto &first = samples[p.samples[k]];
            std::size_t j = k + 1;
            while (j < p.samples.size() && samples[p.samples[j]].fact.state == first.fact.state) {
                ++j;
            }
            const double until = j < p.samples.size() ? samples[p.samples[j]].t
                                                      : p.gone_at.value_or(recording.end());
            const double x0 = x_of(first.t);
            const double x1 = std::max(x_of(until), x0 + 5); // a short life stays visible
            std::fprintf(out,
                         "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"%s\">"
                         "<title>%c %.3f-%.3f s</title></rect>\n",
                         num(x0).c_str(), num(y + bar_top).c_str(), num(x1 - x0).c_str(),
                         num(bar_height).c_str(), state_colour(first.fact.state), first.fact.state,
                         first.t, until);
            k = j;
        }
        // Marks: a new parent (a triangle over the bar), and the end.
        for (const auto &change : p.parent_changes) {
            const double x = x_of(change.t);
            std::fprintf(out,
                         "<g class=\"adoption\"><line x1=\"%s\" y1=\"%s\" x2=\"%s\" y2=\"%s\" "
                         "stroke=\"black\" stroke-width=\"3\"/>"
                         "<path d=\"M %s %s l -9 -14 h 18 z\" fill=\"black\"/>"
                         "<text x=\"%s\" y=\"%s\" font-size=\"19\">parent %d</text></g>\n",
                         num(x).c_str(), num(y + bar_top - 2).c_str(), num(x).c_str(),
                         num(y + bar_top + bar_height).c_str(), num(x).c_str(),
                         num(y + bar_top - 2).c_str(), num(x + 12).c_str(),
                         num(y + bar_top - 5).c_str(), static_cast<int>(change.to));
        }
        if (!p.gone_at && recording.last_sample(p).fact.state == 'Z') {
            std::fprintf(out,
                         "<text class=\"unreaped\" x=\"%s\" y=\"%s\" font-size=\"19\">"
                         "not reaped</text>\n",
                         num(plot_right + 8).c_str(),
                         num(y + bar_top + bar_height / 2 + 7).c_str());
        }
        if (p.gone_at) {
            const double x = x_of(*p.gone_at);
            std::fprintf(out,
                         "<g class=\"end\"><rect x=\"%s\" y=\"%s\" width=\"5\" height=\"%s\" "
                         "fill=\"black\"/><text x=\"%s\" y=\"%s\" font-size=\"19\">%s</text></g>\n",
                         num(x - 2.5).c_str(), num(y + bar_top - 6).c_str(),
                         num(bar_height + 12).c_str(), num(x + 8).c_str(),
                         num(y + bar_top + bar_height / 2 + 7).c_str(),
                         p.reaped ? "reaped" : "ended");
        }
        std::fprintf(out, "</g>\n");
    }

    // Legend: the states, then the marks.
    std::fprintf(out, "<g class=\"legend\" font-size=\"22\">\n");
    double x = plot_left;
    for (const auto &s : state_styles) {
        if (s.letter == 't' || s.letter == 'I') {
            continue; // rare: coloured in the picture, not listed
        }
        std::fprintf(out,
                     "<rect x=\"%s\" y=\"%s\" width=\"26\" height=\"26\" fill=\"%s\"/>"
                     "<text x=\"%s\" y=\"%s\">%s</text>\n",
                     num(x).c_str(), num(legend_y - 21).c_str(), s.colour, num(x + 34).c_str(),
                     num(legend_y).c_str(), s.name);
        x += 34 + 14 * static_cast<double>(std::string(s.name).size()) + 30;
    }
    std::fprintf(out,
                 "<path d=\"M %s %s l -9 -14 h 18 z\" fill=\"black\"/>"
                 "<text x=\"%s\" y=\"%s\">new parent</text>\n",
                 num(x + 9).c_str(), num(legend_y - 2).c_str(), num(x + 26).c_str(),
                 num(legend_y).c_str());
    x += 26 + 14 * 10 + 30;
    std::fprintf(out,
                 "<rect x=\"%s\" y=\"%s\" width=\"5\" height=\"30\" fill=\"black\"/>"
                 "<text x=\"%s\" y=\"%s\">ended or reaped</text>\n",
                 num(x).c_str(), num(legend_y - 24).c_str(), num(x + 14).c_str(),
                 num(legend_y).c_str());
    std::fprintf(out, "</g>\n");

    // Processor time over time, one line per process; in milliseconds when
    // no process reached a second.
    double top_cpu = 0;
    for (const auto &p : processes) {
        top_cpu = std::max(top_cpu, static_cast<double>(p.cpu_ns) / 1e9);
    }
    const bool in_ms = top_cpu < 1;
    const double scale = in_ms ? 1000 : 1; // axis units per second
    const double cpu_step = nice_step(std::max(top_cpu * scale, 0.001), 5);
    const double cpu_max =
        std::max(cpu_step, std::ceil(top_cpu * scale / cpu_step - 1e-9) * cpu_step);
    const auto y_of = [&](double seconds) {
        return cpu_bottom - cpu_height * seconds * scale / cpu_max;
    };
    std::fprintf(out, "<g class=\"cpu\">\n");
    std::fprintf(out,
                 "<text x=\"30\" y=\"%s\" font-size=\"28\" font-weight=\"bold\">processor "
                 "time used (%s)</text>\n",
                 num(cpu_top - 40).c_str(), in_ms ? "ms" : "s");
    for (int k = 0; k * cpu_step <= cpu_max * (1 + 1e-9); ++k) {
        const double yy = cpu_bottom - cpu_height * k * cpu_step / cpu_max;
        std::fprintf(out,
                     "<line x1=\"%s\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"%s\" "
                     "stroke-width=\"1.5\"/><text x=\"%s\" y=\"%s\" font-size=\"22\" "
                     "text-anchor=\"end\">%s</text>\n",
                     num(plot_left).c_str(), num(yy).c_str(), num(plot_right).c_str(),
                     num(yy).c_str(), k == 0 ? "#444" : "#ddd", num(plot_left - 12).c_str(),
                     num(yy + 8).c_str(), label(k * cpu_step, cpu_step).c_str());
    }
    const double total = static_cast<double>(recording.total_cpu_ns()) / 1e9;
    struct EndLabel {
        double y;
        std::string text;
        const char *colour;
    };
    std::vector<EndLabel> end_labels;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        const auto &p = processes[i];
        const char *colour = palette[i % std::size(palette)];
        std::string points;
        for (std::size_t index : p.samples) {
            const auto &s = samples[index];
            points +=
                num(x_of(s.t)) + "," + num(y_of(static_cast<double>(s.fact.cpu_ns) / 1e9)) + " ";
        }
        std::fprintf(out,
                     "<polyline class=\"cpu-line\" data-pid=\"%d\" points=\"%s\" fill=\"none\" "
                     "stroke=\"%s\" stroke-width=\"4\" stroke-linejoin=\"round\"/>\n",
                     static_cast<int>(p.pid), points.c_str(), colour);
        const double seconds = static_cast<double>(p.cpu_ns) / 1e9;
        char text[96];
        std::snprintf(text, sizeof text,
                      in_ms ? "%d %s %.1f ms (%.1f %%)" : "%d %s %.2f s (%.1f %%)",
                      static_cast<int>(p.pid), p.command.c_str(), seconds * scale,
                      total > 0 ? 100 * seconds / total : 0.0);
        end_labels.push_back({y_of(seconds) + 8, text, colour});
    }
    // End labels right of the panel, pushed apart so that none overlap.
    std::sort(end_labels.begin(), end_labels.end(),
              [](const EndLabel &a, const EndLabel &b) { return a.y > b.y; });
    double lowest = cpu_bottom + 40;
    for (auto &l : end_labels) {
        l.y = std::min(l.y, lowest - 26);
        lowest = l.y;
    }
    for (const auto &l : end_labels) {
        std::fprintf(out, "<text x=\"%s\" y=\"%s\" font-size=\"21\" fill=\"%s\">%s</text>\n",
                     num(plot_right + 14).c_str(), num(l.y).c_str(), l.colour,
                     escape(l.text).c_str());
    }
    std::fprintf(out, "</g>\n</svg>\n");
}

} // namespace render

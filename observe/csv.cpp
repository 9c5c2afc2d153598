// One line per sample and process, in time order. Times and processor time
// are in seconds with microsecond digits.
#include "render.h"

namespace render
{
namespace
{

// A field quoted as CSV wants it when it holds a comma, a quote or a line end.
std::string field(const char *text)
{
    std::string s = text;
    if (s.find_first_of(",\"\r\n") == std::string::npos) {
        return s;
    }
    std::string quoted = "\"";
    for (char c : s) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

} // namespace

void csv(const timeline::Timeline &recording, std::FILE *out)
{
    std::fputs("time,pid,ppid,pgid,state,policy,rtprio,nice,cpu,command\n", out);
    for (const timeline::Sample &s : recording.samples()) {
        const sampler::Fact &f = s.fact;
        std::fprintf(out, "%.6f,%d,%d,%d,%c,%s,%d,%d,%.6f,%s\n", s.t, static_cast<int>(f.pid),
                     static_cast<int>(f.ppid), static_cast<int>(f.pgid), f.state,
                     sampler::policy_name(f.policy), f.rtprio, f.nice,
                     static_cast<double>(f.cpu_ns) / 1e9, field(f.command.data()).c_str());
    }
}

} // namespace render

// The three ways a recording is shown: a text timeline for the terminal, an
// SVG picture, and every sample as CSV.
#pragma once

#include "timeline.h"

#include <cstdio>
#include <string>

namespace render
{

struct About {
    std::string command;  // the command line, as typed
    int interval_ms = 10; // the sampling interval
    std::string outcome;  // how the command ended, e.g. "exit 0", "SIGINT"
};

// A timeline `width` columns wide: one row of state letters per process,
// then each process's processor time and share.
void text(const timeline::Timeline &recording, const About &about, std::FILE *out, int width);

// A self-contained SVG picture: states over time, parent changes and ends,
// and processor time over time.
void svg(const timeline::Timeline &recording, const About &about, std::FILE *out);

// Every sample: time,pid,ppid,pgid,state,policy,rtprio,nice,cpu,command.
void csv(const timeline::Timeline &recording, std::FILE *out);

} // namespace render

// What the suite delivers, for the tests of the delivered suite (linkage,
// manual pages, the Debian package).
#pragma once

#include <string>
#include <vector>

namespace delivered
{

// The 21 lesson executables, each with its manual page (the three
// record-file builds share gradebook's).
inline const std::vector<std::string> lessons = {
    "lifeprobe",
    "parentchild",
    "reapcode",
    "spawnretry",
    "defunctwatch",
    "orphanwatch",
    "childflood",
    "twinflood",
    "policyrange",
    "policyof",
    "levelof",
    "policyswitch",
    "cpushare",
    "fifohog",
    "gradebook",
    "gradebook-abs-lower",
    "gradebook-abs-upper",
    "dirlist",
    "memgrain",
    "greet",
    "greetstatic",
};

// The tool beside them, which records a lesson and draws it.
inline const std::string recorder = "proctimeline";

// Every executable installed, each with a page.
inline std::vector<std::string> executables()
{
    std::vector<std::string> all = lessons;
    all.push_back(recorder);
    return all;
}

} // namespace delivered

// proctimeline: the lessons' processes as it records them (lifeprobe's
// zombie, defunctwatch's ps runs, orphanwatch's adoption), the job on a
// terminal and its interruption, the exit status, and the three outputs.
#include "recording.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using recording::collect;
using recording::Recorded;
using recording::Row;

namespace
{

const std::string recorder = runner::program("proctimeline");

// proctimeline [recorder_args] -c <csv> -- command...
Recorded record(const runner::TempDir &dir, const std::vector<std::string> &recorder_args,
                const std::vector<std::string> &command, runner::Options o = {})
{
    const std::string csv = dir / "samples.csv";
    o.argv = {recorder};
    o.argv.insert(o.argv.end(), recorder_args.begin(), recorder_args.end());
    o.argv.insert(o.argv.end(), {"-c", csv, "--"});
    o.argv.insert(o.argv.end(), command.begin(), command.end());
    if (o.timeout == std::chrono::milliseconds{15000}) {
        o.timeout = 40s;
    }
    Recorded rec;
    rec.result = runner::run(o);
    collect(rec, csv);
    return rec;
}

// The processes whose parent, at their first sample, was `parent`.
std::vector<pid_t> children_of(const Recorded &rec, pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto &[pid, track] : recording::by_pid(rec.rows)) {
        if (track.front().ppid == parent) {
            children.push_back(pid);
        }
    }
    return children;
}

double first_time_in(const std::vector<Row> &track, char state)
{
    for (const Row &r : track) {
        if (r.state == state) {
            return r.t;
        }
    }
    return -1;
}

double last_time_not_in(const std::vector<Row> &track, char state)
{
    double t = -1;
    for (const Row &r : track) {
        if (r.state != state) {
            t = r.t;
        }
    }
    return t;
}

// A child of `parent`, polled for up to `limit`; -1 if none appears.
pid_t wait_for_child(pid_t parent, std::chrono::milliseconds limit)
{
    const auto deadline = runner::Clock::now() + limit;
    while (runner::Clock::now() < deadline) {
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const auto stat = runner::read_file("/proc/" + name + "/stat").value_or("");
            const auto close = stat.rfind(')');
            int ppid = 0;
            char state = 0;
            if (close != std::string::npos &&
                std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
                ppid == parent) {
                return std::stoi(name);
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

// lifeprobe with its input at end of file: the parent sleeps about 5 s, its
// child is a zombie for most of that time and is gone after the wait.
TEST(ProctimelineLab, LifeprobeParentSleepsWhileItsChildIsAZombie)
{
    runner::TempDir dir;
    const auto rec = record(dir, {}, recording::lesson("lifeprobe"));
    ASSERT_TRUE(rec.result.exited && rec.result.exit_code == 0) << rec.describe();
    ASSERT_EQ(rec.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(rec.rows);
    ASSERT_EQ(tracks.size(), 2u) << rec.describe();
    const auto children = children_of(rec, rec.command);
    ASSERT_EQ(children.size(), 1u) << rec.describe();
    const auto &parent = tracks.at(rec.command);
    const auto &child = tracks.at(children[0]);

    // The parent sleeps through its 5 seconds.
    EXPECT_GE(recording::share_in_state(parent, 'S', 0.5, 4.0), 0.9) << rec.describe();
    const double parent_end = parent.back().t;
    EXPECT_GT(parent_end, 4.0) << rec.describe();
    EXPECT_LT(parent_end, 8.0) << rec.describe();
    // The child exits at once and stays a zombie until the parent's wait.
    const double zombie = first_time_in(child, 'Z');
    EXPECT_GE(zombie, 0.0) << rec.describe();
    EXPECT_LT(zombie, 1.0) << rec.describe();
    EXPECT_EQ(recording::share_in_state(child, 'Z', 1.0, 4.0), 1.0) << rec.describe();
    EXPECT_GT(child.back().t, 4.0) << rec.describe();
    EXPECT_LE(child.back().t, parent_end) << "gone after the wait\n" << rec.describe();

    // The text timeline names both and shows the zombie.
    EXPECT_NE(rec.result.err.find(std::to_string(children[0])), std::string::npos);
    EXPECT_NE(rec.result.err.find("Z zombie"), std::string::npos) << rec.result.err;
}

// defunctwatch: the child is a zombie from its farewell (about 2 s) to the
// end; the ps runs (a shell and its ps, started by system()) appear once a
// second. A run lasts a few milliseconds: looks 2 ms apart catch most.
TEST(ProctimelineLab, DefunctwatchZombieAndItsPsRuns)
{
    runner::become_subreaper(); // the orphaned zombie is reaped here at the end
    runner::TempDir dir;
    runner::Options o;
    o.env = {"LC_ALL=C"};
    const auto rec = record(dir, {"-i", "2"}, recording::lesson("defunctwatch"), o);
    ASSERT_TRUE(rec.result.exited && rec.result.exit_code == 0) << rec.describe();
    ASSERT_EQ(rec.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(rec.rows);

    // The forked child: the command's longest-lived child of that name (a
    // shell of system() may be seen under that name before its exec).
    pid_t child = -1;
    for (const auto &[pid, track] : tracks) {
        if (track.front().ppid == rec.command && track.back().command == "defunctwatch" &&
            (child < 0 || track.size() > tracks.at(child).size())) {
            child = pid;
        }
    }
    ASSERT_GT(child, 0) << rec.describe();
    const auto &track = tracks.at(child);
    const double zombie = first_time_in(track, 'Z');
    EXPECT_GT(zombie, 1.5) << rec.describe();
    EXPECT_LT(zombie, 3.5) << rec.describe();
    EXPECT_LT(last_time_not_in(track, 'Z'), zombie) << "a zombie stays one\n" << rec.describe();
    EXPECT_GE(track.back().t, tracks.at(rec.command).back().t - 0.05)
        << "a zombie as long as its parent lives\n"
        << rec.describe();

    // Every other process belongs to a ps run; runs start a second apart.
    std::vector<double> starts;
    int ps_seen = 0;
    for (const auto &[pid, other] : tracks) {
        if (pid != rec.command && pid != child) {
            starts.push_back(other.front().t);
            ps_seen += other.back().command == "ps" ? 1 : 0;
        }
    }
    std::sort(starts.begin(), starts.end());
    std::vector<double> runs;
    for (double t : starts) {
        if (runs.empty() || t - runs.back() > 0.3) {
            runs.push_back(t);
        }
    }
    EXPECT_GE(ps_seen, 3) << "ps, a grandchild, is watched\n" << rec.describe();
    ASSERT_GE(runs.size(), 5u) << rec.describe();
    for (std::size_t i = 1; i < runs.size(); ++i) {
        EXPECT_GT(runs[i] - runs[i - 1], 0.5) << rec.describe();
        EXPECT_LT(runs[i] - runs[i - 1], 2.6) << rec.describe();
    }
    EXPECT_GT(runs.back() - runs.front(), 3.5) << rec.describe();
    (void)waitpid(child, nullptr, WNOHANG); // adopted by this test
}

// orphanwatch: the child's parent changes from the command to its adopter
// about 2 s in, and the child is watched until it ends about 5 s in.
TEST(ProctimelineLab, OrphanwatchChildAdoptedAndWatchedToItsEnd)
{
    runner::become_subreaper(); // the adopter: this test
    runner::TempDir dir;
    const auto rec = record(dir, {}, recording::lesson("orphanwatch"));
    ASSERT_TRUE(rec.result.exited && rec.result.exit_code == 0) << rec.describe();
    ASSERT_EQ(rec.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(rec.rows);
    const auto children = children_of(rec, rec.command);
    ASSERT_EQ(children.size(), 1u) << rec.describe();
    const auto &track = tracks.at(children[0]);
    const double parent_end = tracks.at(rec.command).back().t;
    EXPECT_GT(parent_end, 1.5) << rec.describe();
    EXPECT_LT(parent_end, 3.5) << rec.describe();

    const auto adopted = std::find_if(track.begin(), track.end(),
                                      [&](const Row &r) { return r.ppid != rec.command; });
    ASSERT_NE(adopted, track.end()) << "never adopted\n" << rec.describe();
    EXPECT_EQ(adopted->ppid, getpid()) << rec.describe();
    EXPECT_GT(adopted->t, 1.5) << rec.describe();
    EXPECT_LT(adopted->t, 3.5) << rec.describe();
    EXPECT_TRUE(std::all_of(adopted, track.end(), [](const Row &r) { return r.ppid == getpid(); }))
        << rec.describe();
    const double child_end = last_time_not_in(track, 'Z');
    EXPECT_GT(child_end, 4.0) << rec.describe();
    EXPECT_LT(child_end, 8.0) << rec.describe();
    EXPECT_GT(child_end, parent_end + 1.5) << "watched after the command ended\n" << rec.describe();
    // The text timeline shows the change of parent.
    EXPECT_NE(rec.result.err.find(std::to_string(rec.command) + ">" + std::to_string(getpid())),
              std::string::npos)
        << rec.result.err;
    (void)waitpid(children[0], nullptr, 0);
}

// On a terminal the job is the foreground group: Ctrl-C ends childflood's
// two processes (not the recorder), which then draws and exits 130; a line
// typed on the terminal reaches lifeprobe, which would otherwise be stopped
// reading from the background.
TEST(ProctimelineLab, JobOnTheTerminalTakesCtrlCAndTypedInput)
{
    {
        SCOPED_TRACE("childflood, Ctrl-C");
        runner::TempDir dir;
        runner::Options o;
        o.argv = {recorder, "-c", dir / "samples.csv", "--"};
        for (const auto &word : recording::lesson("childflood")) {
            o.argv.push_back(word);
        }
        o.terminal = true;
        o.timeout = 30s;
        runner::Session s(o);
        // Both processes running for a while, so that the recorder has seen
        // them before the interrupt.
        const auto started = runner::Clock::now();
        ASSERT_TRUE(s.wait_until(
            [&](const runner::Result &r) {
                return r.out_lines.size() > 50 && runner::Clock::now() - started > 500ms;
            },
            10s))
            << s.result().describe().substr(0, 2000);
        s.send("\x03");
        Recorded rec;
        rec.result = s.finish();
        collect(rec, dir / "samples.csv");
        EXPECT_TRUE(rec.result.exited && rec.result.exit_code == 130) << rec.describe();
        EXPECT_FALSE(rec.result.timed_out);
        EXPECT_NE(rec.result.out.find("processor time"), std::string::npos) << "no timeline drawn\n"
                                                                            << rec.describe();
        EXPECT_EQ(recording::by_pid(rec.rows).size(), 2u) << rec.describe();
    }
    {
        SCOPED_TRACE("lifeprobe, a typed line");
        runner::TempDir dir;
        runner::Options o;
        o.argv = {recorder, "-q", "-c", dir / "samples.csv", "--"};
        for (const auto &word : recording::lesson("lifeprobe")) {
            o.argv.push_back(word);
        }
        o.terminal = true;
        o.timeout = 30s;
        runner::Session s(o);
        ASSERT_TRUE(s.wait_for_output("Waiting for input", 15s)) << s.result().describe();
        s.send("ok\n");
        Recorded rec;
        rec.result = s.finish();
        collect(rec, dir / "samples.csv");
        EXPECT_TRUE(rec.result.exited && rec.result.exit_code == 0) << rec.describe();
        EXPECT_FALSE(rec.result.timed_out) << rec.describe();
        for (const Row &r : rec.rows) {
            ASSERT_NE(r.state, 'T') << "stopped: not in the foreground\n" << rec.describe();
        }
    }
}

// -t: the job's group gets SIGINT after the time given, SIGKILL 2 s later if
// anything is left; the status is the command's (128 + the signal).
TEST(ProctimelineLab, TimeLimitInterruptsTheJob)
{
    struct Case {
        const char *name;
        std::vector<std::string> command;
        const char *limit;
        int status;
        double earliest, latest; // when the recorder ends
    };
    const Case cases[] = {
        {"twinflood, -t 1", recording::lesson("twinflood"), "1", 130, 0.9, 4.0},
        {"interrupt ignored, killed 2 s later",
         {"/bin/sh", "-c", "trap '' INT; sleep 30; exit 0"},
         "0.5",
         137,
         2.4,
         8.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        runner::TempDir dir;
        const auto rec = record(dir, {"-q", "-t", c.limit}, c.command);
        EXPECT_TRUE(rec.result.exited && rec.result.exit_code == c.status) << rec.describe();
        EXPECT_GT(rec.result.ended_at.count(), c.earliest) << rec.describe();
        EXPECT_LT(rec.result.ended_at.count(), c.latest) << rec.describe();
        const auto tracks = recording::by_pid(rec.rows);
        EXPECT_GE(tracks.size(), 2u) << rec.describe();
        for (const auto &[pid, track] : tracks) {
            EXPECT_GT(track.back().t, c.earliest - 0.2) << rec.describe();
        }
    }
}

// Without a terminal, SIGINT to the recorder is passed on to the job.
TEST(Proctimeline, InterruptToTheRecorderReachesTheJob)
{
    runner::TempDir dir;
    runner::Options o;
    o.argv = {recorder, "-q", "-c", dir / "samples.csv", "--", "/bin/sleep", "30"};
    o.timeout = 30s;
    runner::Session s(o);
    ASSERT_GT(wait_for_child(s.pid(), 10s), 0) << "the command never started";
    s.signal_group(SIGINT); // the recorder's group: the job has its own
    Recorded rec;
    rec.result = s.finish();
    collect(rec, dir / "samples.csv");
    EXPECT_TRUE(rec.result.exited && rec.result.exit_code == 130) << rec.describe();
    EXPECT_LT(rec.result.ended_at.count(), 10.0) << rec.describe();
}

// The exit status: the command's as a shell reports it, 2 for a bad command
// line, 127 and 126 for a command not found or not executable.
TEST(Proctimeline, ExitStatus)
{
    runner::TempDir dir;
    const std::string plain = dir / "plain.txt";
    std::ofstream(plain) << "echo never\n";
    ::chmod(plain.c_str(), 0644);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // exactly, unless usage
        bool usage;      // a usage text on standard error
    };
    const Case cases[] = {
        {{"-q", "--", "/bin/sh", "-c", "exit 3"}, 3, "", false},
        {{"-q", "/bin/sh", "-c", "kill -TERM $$"}, 143, "", false},
        {{}, 2, "", true},
        {{"-q"}, 2, "", true},
        {{"-x", "/bin/true"}, 2, "", true},
        {{"-i", "0", "/bin/true"}, 2, "", true},
        {{"-i", "ten", "/bin/true"}, 2, "", true},
        {{"-t", "-1", "/bin/true"}, 2, "", true},
        {{"-o"}, 2, "", true},
        {{"-q", "no-such-command-here"},
         127,
         "proctimeline: no-such-command-here: No such file or directory\n",
         false},
        {{"-q", plain}, 126, "proctimeline: " + plain + ": Permission denied\n", false},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv = {recorder};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = runner::run(argv);
        SCOPED_TRACE(r.command);
        EXPECT_TRUE(r.exited && r.exit_code == c.status) << r.describe();
        if (c.usage) {
            EXPECT_NE(r.err.find("usage: proctimeline"), std::string::npos) << r.describe();
            EXPECT_NE(r.err.find("less than one interval"), std::string::npos) << r.describe();
        } else {
            EXPECT_EQ(r.err, c.err) << r.describe();
        }
        EXPECT_EQ(r.out, "") << r.describe();
    }
}

// An output file that cannot be written is reported before the command is
// started, and the command is not started.
TEST(Proctimeline, UnwritableOutputStopsBeforeTheCommand)
{
    runner::TempDir dir;
    const std::string marker = dir / "started";
    struct Case {
        const char *option;
        std::string path;
        const char *reason;
    };
    const Case cases[] = {{"-o", dir / "missing/picture.svg", "No such file or directory"},
                          {"-c", dir / "missing/samples.csv", "No such file or directory"},
                          {"-c", dir.path(), "Is a directory"}};
    for (const Case &c : cases) {
        const auto r = runner::run(
            {recorder, "-q", c.option, c.path, "--", "/bin/sh", "-c", "echo > '" + marker + "'"});
        SCOPED_TRACE(r.command);
        EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
        EXPECT_EQ(r.err, "proctimeline: " + c.path + ": " + c.reason + "\n") << r.describe();
        EXPECT_FALSE(std::filesystem::exists(marker)) << "the command was started";
    }
}

// The CSV has its header and one row per look and process; the picture is
// XML with one row per process; the text timeline fits the width and has a
// row per process.
TEST(Proctimeline, SamplesPictureAndTextHaveOneRowPerProcess)
{
    runner::TempDir dir;
    runner::Options o;
    o.env = {"COLUMNS=72"};
    const std::string svg = dir / "picture.svg";
    const auto rec =
        record(dir, {"-i", "20", "-o", svg}, {"/bin/sh", "-c", "sleep 0.5 & sleep 1.5; wait"}, o);
    ASSERT_TRUE(rec.result.exited && rec.result.exit_code == 0) << rec.describe();
    ASSERT_EQ(rec.problems, std::vector<std::string>{});
    const auto tracks = recording::by_pid(rec.rows);
    ASSERT_EQ(tracks.size(), 3u) << rec.describe();

    // Every look in time order; each process in every look from its first
    // to its last, once.
    std::vector<double> looks;
    for (const Row &r : rec.rows) {
        ASSERT_TRUE(looks.empty() || r.t >= looks.back()) << "rows out of time order";
        if (looks.empty() || r.t > looks.back()) {
            looks.push_back(r.t);
        }
    }
    ASSERT_GT(looks.size(), 20u) << rec.describe();
    std::vector<double> gaps;
    for (std::size_t i = 1; i < looks.size(); ++i) {
        gaps.push_back(looks[i] - looks[i - 1]);
    }
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    EXPECT_NEAR(gaps[gaps.size() / 2], 0.020, 0.008) << "the median interval";
    for (const auto &[pid, track] : tracks) {
        const auto first = std::find(looks.begin(), looks.end(), track.front().t);
        ASSERT_NE(first, looks.end());
        for (std::size_t i = 0; i < track.size(); ++i) {
            ASSERT_LT(first + static_cast<long>(i), looks.end());
            EXPECT_EQ(track[i].t, *(first + static_cast<long>(i)))
                << pid << " missing from a look or twice in one\n"
                << rec.describe();
            EXPECT_GE(track[i].cpu, i > 0 ? track[i - 1].cpu : 0.0) << "processor time went back";
            EXPECT_NE(std::string("RSDZTtIX").find(track[i].state), std::string::npos);
            EXPECT_EQ(track[i].policy, "OTHER");
            EXPECT_EQ(track[i].pgid, rec.command);
        }
    }
    // The two sleeps, children of the shell, end about when they should.
    for (const double seconds : {0.5, 1.5}) {
        int found = 0;
        for (const auto &[pid, track] : tracks) {
            const double end = last_time_not_in(track, 'Z');
            found += track.back().command == "sleep" && track.front().ppid == rec.command &&
                             end > seconds - 0.1 && end < seconds + 0.5
                         ? 1
                         : 0;
        }
        EXPECT_EQ(found, 1) << "sleep " << seconds << "\n" << rec.describe();
    }

    // Text: no line wider than $COLUMNS (standard error is not a terminal);
    // each process starts one timeline row and one processor-time row.
    for (const auto &line : rec.result.err_lines) {
        // Columns, not bytes: an arrow or a dot may take several bytes.
        const auto columns = std::count_if(line.text.begin(), line.text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        });
        EXPECT_LE(columns, 72) << line.text;
    }
    for (const auto &[pid, track] : tracks) {
        int rows = 0;
        for (const auto &line : rec.result.err_lines) {
            std::istringstream words(line.text);
            std::string first;
            rows += words >> first && first == std::to_string(pid) ? 1 : 0;
        }
        EXPECT_EQ(rows, 2) << pid << "\n" << rec.result.err;
    }

    // Picture: well-formed XML, one row per process.
    const auto picture = runner::read_file(svg);
    ASSERT_TRUE(picture.has_value()) << svg;
    EXPECT_NE(picture->find("<svg"), std::string::npos);
    for (const auto &[pid, track] : tracks) {
        EXPECT_NE(picture->find("class=\"process\" data-pid=\"" + std::to_string(pid) + "\""),
                  std::string::npos)
            << pid;
    }
    const std::string xmllint = runner::tool("xmllint");
    if (xmllint.empty()) {
        GTEST_SKIP() << "xmllint is not installed: the picture was not parsed";
    }
    const auto parsed = runner::run({xmllint, "--noout", svg});
    EXPECT_TRUE(parsed.exited && parsed.exit_code == 0) << parsed.describe();
    const auto count =
        runner::run({xmllint, "--xpath", "count(//*[local-name()='g'][@class='process'])", svg});
    EXPECT_EQ(count.out, std::to_string(tracks.size()) + "\n") << count.describe();
}

} // namespace

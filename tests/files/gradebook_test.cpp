// gradebook: prompts and results on standard output, the 16-byte records in
// the file (name, zero byte, little-endian 32-bit grade), a file that is
// not truncated, the unchecked scans, overlong names, a failed open and a
// failed seek, and the two absolute builds inside a private mount namespace.
#include "runner.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>

#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

struct Answer {
    std::string name;
    int grade;
};

const std::string name_prompt = "Donnez le nom de l'élève \n";
const std::string grade_prompt = "Donnez la note de l'élève \n";

// Everything the program writes on standard output for a run that printed
// this position and these four records.
std::string expected_output(int position, const std::vector<Answer> &records)
{
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out += name_prompt + grade_prompt;
    }
    out += "La nouvelle position est " + std::to_string(position) + "\n";
    for (const Answer &a : records) {
        out +=
            "Le nom et la note de l'élève sont " + a.name + ", " + std::to_string(a.grade) + "\n";
    }
    return out;
}

// The records found in the first `count` 16-byte slots of the file: the name
// up to its zero byte (which must lie within the 12-byte field), then the
// grade read as little-endian bytes, whatever the test machine's order.
std::vector<Answer> decode(const std::string &bytes, size_t count = 4)
{
    std::vector<Answer> records;
    for (size_t i = 0; i < count && (i + 1) * 16 <= bytes.size(); ++i) {
        const std::string slot = bytes.substr(i * 16, 16);
        const auto end = slot.find('\0');
        EXPECT_LT(end, 12u) << "record " << i << " has no zero byte in its name field";
        std::uint32_t g = 0;
        for (int b = 3; b >= 0; --b) {
            g = (g << 8) | static_cast<unsigned char>(slot[12 + static_cast<size_t>(b)]);
        }
        records.push_back({slot.substr(0, end), static_cast<int>(static_cast<std::int32_t>(g))});
    }
    return records;
}

bool operator==(const Answer &a, const Answer &b)
{
    return a.name == b.name && a.grade == b.grade;
}

std::ostream &operator<<(std::ostream &os, const Answer &a)
{
    return os << "{\"" << a.name << "\", " << a.grade << "}";
}

// A run of the given build in `dir`, under umask 022, with these answers.
runner::Options in_dir(const std::string &dir, const std::string &input,
                       const std::string &build = "gradebook")
{
    runner::Options o;
    o.argv = {runner::program(build)};
    o.cwd = dir;
    o.input = input;
    o.pre_exec = [] { (void)umask(022); };
    return o;
}

const std::string four_answers = "alice 12\nbob -5\nchloe 2147483647\nde 0\n";
const std::vector<Answer> four_records = {
    {"alice", 12}, {"bob", -5}, {"chloe", 2147483647}, {"de", 0}};

TEST(Gradebook, NormalRunWritesFourRecordsAndReadsThemBack)
{
    runner::TempDir dir;
    const auto r = runner::run(in_dir(dir.path(), four_answers));
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.out, expected_output(0, four_records)) << r.describe();
    EXPECT_EQ(r.err, "");

    const auto bytes = runner::read_file(dir / "fichnotes.txt");
    ASSERT_TRUE(bytes) << "no fichnotes.txt in the current directory";
    EXPECT_EQ(bytes->size(), 64u);
    EXPECT_EQ(decode(*bytes), four_records);
    // -5 is the 32-bit two's complement value, stored low byte first.
    EXPECT_EQ(bytes->substr(28, 4), std::string("\xfb\xff\xff\xff", 4));

    struct stat st {
    };
    ASSERT_EQ(stat((dir / "fichnotes.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "created with 0600, not reduced further by 022";
}

// The file is opened without truncation: a run rewrites bytes 0 to 63 and
// leaves whatever lies beyond them.
TEST(Gradebook, ExistingFileIsOverwrittenButNotTruncated)
{
    struct Case {
        const char *name;
        std::string before;
    };
    const std::string tail(37, 'T');
    for (const Case &c : {Case{"a file from an earlier run", std::string(64, 'X')},
                          Case{"a longer file", std::string(64, 'X') + tail},
                          Case{"a shorter file", std::string(20, 'X')}}) {
        SCOPED_TRACE(c.name);
        runner::TempDir dir;
        {
            std::ofstream f(dir / "fichnotes.txt", std::ios::binary);
            f << c.before;
        }
        const auto r = runner::run(in_dir(dir.path(), four_answers));
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out, expected_output(0, four_records)) << r.describe();

        const auto bytes = runner::read_file(dir / "fichnotes.txt");
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), std::max<size_t>(64, c.before.size()));
        EXPECT_EQ(decode(*bytes), four_records);
        if (c.before.size() > 64) {
            EXPECT_EQ(bytes->substr(64), tail);
        }
    }
}

TEST(Gradebook, SecondRunLeavesOnlyItsOwnRecords)
{
    runner::TempDir dir;
    const auto first = runner::run(in_dir(dir.path(), "aaaaaaaaaaa 1 b 2 c 3 d 4\n"));
    ASSERT_TRUE(first.exited && first.exit_code == 0) << first.describe();
    const auto second = runner::run(in_dir(dir.path(), four_answers));
    EXPECT_TRUE(second.exited && second.exit_code == 0) << second.describe();
    EXPECT_EQ(second.out, expected_output(0, four_records)) << second.describe();
    const auto bytes = runner::read_file(dir / "fichnotes.txt");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), 64u);
    EXPECT_EQ(decode(*bytes), four_records);
}

// The scan results are not checked: a grade that is not a number leaves the
// grade as it was and its text becomes the next name; at end of input both
// fields keep what the last answer left, and the four passes still happen.
// Before any answer the buffer is all zero bytes.
TEST(Gradebook, UncheckedAnswersKeepTheEarlierContent)
{
    struct Case {
        const char *name;
        std::string input;
        std::vector<Answer> records;
    };
    for (const Case &c : {
             Case{"a grade that is not a number",
                  "ann 15\nbob abc\n12\ndan 9\neve 3\n",
                  {{"ann", 15}, {"bob", 15}, {"abc", 12}, {"dan", 9}}},
             Case{"a first grade that is not a number",
                  "ann x 4 y 5 z 6\n",
                  {{"ann", 0}, {"x", 4}, {"y", 5}, {"z", 6}}},
             Case{"input ends after one answer",
                  "solo 17\n",
                  {{"solo", 17}, {"solo", 17}, {"solo", 17}, {"solo", 17}}},
             Case{"input ends after a name",
                  "ann 15 bob",
                  {{"ann", 15}, {"bob", 15}, {"bob", 15}, {"bob", 15}}},
             Case{"no input at all", "", {{"", 0}, {"", 0}, {"", 0}, {"", 0}}},
         }) {
        SCOPED_TRACE(c.name);
        runner::TempDir dir;
        const auto r = runner::run(in_dir(dir.path(), c.input));
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out, expected_output(0, c.records)) << r.describe();
        const auto bytes = runner::read_file(dir / "fichnotes.txt");
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), 64u);
        EXPECT_EQ(decode(*bytes), c.records);
        if (c.input.empty()) {
            EXPECT_EQ(*bytes, std::string(64, '\0')) << "stale bytes reached the file";
        }
    }
}

// A name keeps its first 11 bytes; the rest of the word is dropped, so it
// neither becomes the grade nor the next name, nor spills into memory.
TEST(Gradebook, OverlongNameKeepsItsFirstElevenBytes)
{
    struct Case {
        const char *name;
        std::string input;
        std::vector<Answer> records;
    };
    const std::string long_word(300, 'w');
    for (const Case &c : {
             Case{"eleven bytes fit",
                  "abcdefghijk 1 b 2 c 3 d 4\n",
                  {{"abcdefghijk", 1}, {"b", 2}, {"c", 3}, {"d", 4}}},
             Case{"twelve bytes",
                  "abcdefghijkl 1 b 2 c 3 d 4\n",
                  {{"abcdefghijk", 1}, {"b", 2}, {"c", 3}, {"d", 4}}},
             Case{"a digit tail is not a grade",
                  "abcdefghijk99 1 b 2 c 3 d 4\n",
                  {{"abcdefghijk", 1}, {"b", 2}, {"c", 3}, {"d", 4}}},
             Case{"a long word",
                  "a 1\n" + long_word + "\t-2\nc 3\nd 4\n",
                  {{"a", 1}, {"wwwwwwwwwww", -2}, {"c", 3}, {"d", 4}}},
             Case{"a long word at end of input",
                  "a 1 " + long_word,
                  {{"a", 1}, {"wwwwwwwwwww", 1}, {"wwwwwwwwwww", 1}, {"wwwwwwwwwww", 1}}},
         }) {
        SCOPED_TRACE(c.name);
        runner::TempDir dir;
        const auto r = runner::run(in_dir(dir.path(), c.input));
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out, expected_output(0, c.records)) << r.describe();
        EXPECT_EQ(r.err, "");
        const auto bytes = runner::read_file(dir / "fichnotes.txt");
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), 64u);
        EXPECT_EQ(decode(*bytes), c.records);
    }
}

// The record file is a directory: the open fails and the program goes on,
// every call on descriptor -1 fails, the seek is reported, the result lines
// show the last answers, and close's -1 is the exit status.
TEST(Gradebook, FailedOpenGoesOnAndEndsWith255)
{
    runner::TempDir dir;
    fs::create_directory(dir / "fichnotes.txt");
    const auto r = runner::run(in_dir(dir.path(), "ann 15\nbob 16\ncarl 17\ndora 18\n"));
    EXPECT_TRUE(r.exited && r.exit_code == 255) << r.describe();
    EXPECT_EQ(r.err, "prob open: Is a directory\nprob lseek: Bad file descriptor\n")
        << r.describe();
    EXPECT_EQ(r.out, expected_output(-1, {{"dora", 18}, {"dora", 18}, {"dora", 18}, {"dora", 18}}))
        << r.describe();
    EXPECT_TRUE(fs::is_empty(dir / "fichnotes.txt"));
}

// The record file is a FIFO: it opens, the writes fill the pipe, the seek
// fails and is reported with position -1, and the reads go on from where
// the "file" stands, which gives the four records back in order.
TEST(Gradebook, FailedSeekIsReportedAndTheReadsGoOn)
{
    runner::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fichnotes.txt").c_str(), 0600), 0);
    const auto r = runner::run(in_dir(dir.path(), four_answers));
    EXPECT_FALSE(r.timed_out) << r.describe();
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "prob lseek: Illegal seek\n") << r.describe();
    EXPECT_EQ(r.out, expected_output(-1, four_records)) << r.describe();
}

// An older file whose records hold no zero byte at all, and writes refused
// (a file-size limit of 0, SIGXFSZ ignored so that write fails with EFBIG):
// the reads give back the old records, and each name prints as the 11 bytes
// its field can hold, never running on into the grade or beyond.
TEST(Gradebook, NameWithoutTerminatorPrintsAtMostElevenBytes)
{
    runner::TempDir dir;
    std::string old;
    std::vector<Answer> expected;
    for (char letter : {'a', 'b', 'c', 'd'}) {
        old += std::string(12, letter) + "1234";
        // "1234" read as a little-endian 32-bit grade.
        expected.push_back({std::string(11, letter), 0x34333231});
    }
    {
        std::ofstream(dir / "fichnotes.txt", std::ios::binary) << old;
    }
    runner::Options o = in_dir(dir.path(), four_answers);
    o.rlimits = {{RLIMIT_FSIZE, 0}};
    o.ignore_signals = {SIGXFSZ};
    const auto r = runner::run(o);
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "") << r.describe();
    EXPECT_EQ(r.out, expected_output(0, expected)) << r.describe();
    EXPECT_EQ(runner::read_file(dir / "fichnotes.txt"), old)
        << "the refused writes changed nothing";
}

// The absolute builds write their fixed path. A temporary directory is bound
// over /home in a private mount namespace, so nothing is written outside it.
TEST(Gradebook, AbsoluteBuildsWriteTheirOwnFixedPath)
{
    struct Case {
        const char *build;
        const char *dir;   // the one that gets the file
        const char *other; // the one that must stay empty
    };
    SUITE_NEED(lacks_mount_namespace);
    const bool had_quorvel = fs::exists("/home/quorvel");
    for (const Case &c :
         {Case{"gradebook-abs-lower", "c", "C"}, Case{"gradebook-abs-upper", "C", "c"}}) {
        SCOPED_TRACE(c.build);
        runner::TempDir home, cwd;
        const std::string base = home / "quorvel/programmation";
        fs::create_directories(base + "/c");
        fs::create_directories(base + "/C");
        runner::Options o = in_dir(cwd.path(), four_answers, c.build);
        o.bind_mounts = {{home.path(), "/home"}};
        const auto r = runner::run(o);
        ASSERT_EQ(r.setup_error, "") << r.describe();
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out, expected_output(0, four_records)) << r.describe();
        EXPECT_EQ(r.err, "");

        const auto bytes = runner::read_file(base + "/" + c.dir + "/fichnotes");
        ASSERT_TRUE(bytes) << "no record file in " << c.dir;
        EXPECT_EQ(bytes->size(), 64u);
        EXPECT_EQ(decode(*bytes), four_records);
        EXPECT_TRUE(fs::is_empty(base + "/" + c.other));
        EXPECT_TRUE(fs::is_empty(cwd.path())) << "nothing in the current directory";
    }
    if (!had_quorvel) {
        EXPECT_FALSE(fs::exists("/home/quorvel")) << "a run wrote to the real /home";
    }
}

} // namespace

// greet and greetstatic: the one line each writes, arguments ignored; what
// each needs at run time, read from its ELF headers; greetstatic alone in an
// empty root directory, where greet cannot even start.
#include "runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

struct Greeting {
    const char *program;
    const char *line;
};
const Greeting greetings[] = {{"greet", "Salut\n"}, {"greetstatic", "Coucou Monde\n"}};

TEST(Greetings, WriteExactlyTheirLineWhateverTheArguments)
{
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"-h"}, {"--help", "two words", ""}};
    for (const Greeting &g : greetings) {
        for (const auto &args : argument_lists) {
            std::vector<std::string> argv = {runner::program(g.program)};
            argv.insert(argv.end(), args.begin(), args.end());
            const auto r = runner::run(argv, std::nullopt);
            SCOPED_TRACE(r.command);
            EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
            EXPECT_EQ(r.out, g.line) << r.describe();
            EXPECT_EQ(r.err, "") << r.describe();
        }
    }
}

struct Linkage {
    bool has_interpreter = false;
    std::vector<std::string> needed;
};

Linkage linkage_of(const std::string &readelf, const std::string &program)
{
    Linkage l;
    const auto headers = runner::run({readelf, "--wide", "-l", program});
    EXPECT_TRUE(headers.exited && headers.exit_code == 0) << headers.describe();
    for (const auto &line : runner::split_lines(headers.out)) {
        std::istringstream words(line);
        std::string type;
        words >> type;
        l.has_interpreter = l.has_interpreter || type == "INTERP";
    }
    const auto dynamic = runner::run({readelf, "--wide", "-d", program});
    EXPECT_TRUE(dynamic.exited && dynamic.exit_code == 0) << dynamic.describe();
    for (const auto &line : runner::split_lines(dynamic.out)) {
        const auto open = line.find("(NEEDED)");
        if (open == std::string::npos) {
            continue;
        }
        const auto from = line.find('[', open);
        const auto to = line.find(']', from);
        if (from != std::string::npos && to != std::string::npos) {
            l.needed.push_back(line.substr(from + 1, to - from - 1));
        }
    }
    return l;
}

TEST(Greetings, StaticNeedsNothingAtRunTimeDynamicNeedsOnlyTheCLibrary)
{
    const std::string readelf = runner::tool("readelf");
    if (readelf.empty()) {
        GTEST_SKIP() << "readelf (binutils) is not installed";
    }
    const Linkage st = linkage_of(readelf, runner::program("greetstatic"));
    EXPECT_FALSE(st.has_interpreter) << "greetstatic names a program interpreter";
    EXPECT_TRUE(st.needed.empty()) << "greetstatic needs " << ::testing::PrintToString(st.needed);

    const Linkage dyn = linkage_of(readelf, runner::program("greet"));
    EXPECT_TRUE(dyn.has_interpreter) << "greet names no program interpreter";
#ifdef SUITE_SANITIZE
    std::cout << "[   NOTE   ] greet's needed libraries not checked: sanitizer runtimes linked\n";
#else
    EXPECT_EQ(dyn.needed, std::vector<std::string>{"libc.so.6"});
#endif
}

// A root directory holding nothing but a copy of the program: no C library,
// no program interpreter. The static program runs; the dynamic one fails at
// execve, because the interpreter its header names is missing.
TEST(GreetingsLab, OnlyTheStaticProgramRunsInAnEmptyRoot)
{
    SUITE_NEED(lacks_chroot);
    struct Case {
        const char *program;
        bool starts;
    };
    for (const Case &c : {Case{"greetstatic", true}, Case{"greet", false}}) {
        SCOPED_TRACE(c.program);
        runner::TempDir root;
        const std::string inside = std::string("/") + c.program;
        fs::copy_file(runner::program(c.program), root.path() + inside);
        ASSERT_EQ(std::vector<fs::path>(fs::directory_iterator(root.path()), {}),
                  std::vector<fs::path>{root.path() + inside});
        runner::Options o;
        o.argv = {inside};
        o.chroot_dir = root.path();
        o.input = std::nullopt;
        o.exec_may_fail = !c.starts;
        const auto r = runner::run(o);
        ASSERT_EQ(r.setup_error, "") << r.describe();
        if (c.starts) {
            EXPECT_EQ(r.exec_error, "") << r.describe();
            EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
            EXPECT_EQ(r.out, "Coucou Monde\n") << r.describe();
            EXPECT_EQ(r.err, "") << r.describe();
        } else {
            EXPECT_EQ(r.exec_error, "execve: No such file or directory") << r.describe();
            EXPECT_EQ(r.out, "") << r.describe();
        }
    }
}

} // namespace

// The suite as delivered: every program built and linked as intended, and a
// clean manual page for each.
#include "delivered.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

using runner::tool;

// The NEEDED entries of an executable's dynamic section.
std::vector<std::string> needed(const runner::Result &readelf)
{
    std::vector<std::string> libraries;
    for (const auto &line : readelf.out_lines) {
        const auto open = line.text.find("(NEEDED)");
        const auto lib = line.text.find('[');
        if (open != std::string::npos && lib != std::string::npos) {
            libraries.push_back(line.text.substr(lib + 1, line.text.find(']') - lib - 1));
        }
    }
    return libraries;
}

TEST(Linkage, DynamicProgramsNeedOnlyTheCLibrary)
{
#ifdef SUITE_SANITIZE
    GTEST_SKIP() << "sanitizer builds link the sanitizer runtimes";
#endif
    const std::string readelf = tool("readelf");
    if (readelf.empty()) {
        GTEST_SKIP() << "readelf (binutils) is not installed";
    }
    for (const auto &name : delivered::lessons) {
        if (name == "greetstatic") {
            continue; // linked statically, checked with the greetings
        }
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(runner::program(name))) << runner::program(name);
        const auto r = runner::run({readelf, "-d", runner::program(name)});
        ASSERT_EQ(r.exit_code, 0) << r.describe();
        EXPECT_EQ(needed(r), std::vector<std::string>{"libc.so.6"}) << r.describe();
    }
}

TEST(ManPages, EveryProgramHasACleanPage)
{
    const std::string groff = tool("groff");
    if (groff.empty()) {
        GTEST_SKIP() << "groff is not installed";
    }
    for (const auto &name : delivered::executables()) {
        SCOPED_TRACE(name);
        // The three record-file builds share one page.
        const std::string page = std::string(SOURCE_DIR) + "/man/" +
                                 (name.rfind("gradebook", 0) == 0 ? "gradebook" : name) + ".1";
        ASSERT_TRUE(fs::exists(page)) << page;
        const auto r = runner::run({groff, "-man", "-ww", "-z", page});
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.out + r.err, "") << r.describe();

        // The page names the program and has the sections a reader looks for.
        // (roff writes a hyphen as "\-")
        const auto text =
            std::regex_replace(runner::read_file(page).value_or(""), std::regex(R"(\\-)"), "-");
        for (const char *section :
             {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "NOTES", "SEE ALSO"}) {
            const std::regex heading("(^|\n)\\.SH \"?" + std::string(section) + "\"?\n");
            EXPECT_TRUE(std::regex_search(text, heading)) << page << " lacks " << section;
        }
        EXPECT_NE(text.find(name), std::string::npos) << page << " does not name " << name;
    }
}

} // namespace

// The suite as delivered: every program built and linked as intended, a
// clean manual page for each, and a Debian package that holds them all.
#include "runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

const std::vector<std::string> programs = {
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

// A tool from the system, or empty when it is not installed.
std::string tool(const std::string &name)
{
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/usr/local/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

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
    for (const auto &name : programs) {
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
    for (const auto &name : programs) {
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

TEST(Package, DebianPackageHoldsEveryProgramAndPage)
{
    const std::string cpack = tool("cpack");
    const std::string dpkg_deb = tool("dpkg-deb");
    if (cpack.empty() || dpkg_deb.empty()) {
        GTEST_SKIP() << "cpack and dpkg-deb are needed to build and read the package";
    }
    runner::TempDir out;
    runner::Options o;
    o.argv = {cpack,
              "-G",
              "DEB",
              "-B",
              out.path(),
              "--config",
              std::string(BUILD_DIR) + "/CPackConfig.cmake"};
    o.cwd = BUILD_DIR;
    o.timeout = std::chrono::seconds(120);
    const auto built = runner::run(o);
    ASSERT_TRUE(built.exited && built.exit_code == 0) << built.describe();
    std::string deb;
    for (const auto &entry : fs::directory_iterator(out.path())) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path();
        }
    }
    ASSERT_FALSE(deb.empty()) << built.describe();

    const auto listing = runner::run({dpkg_deb, "-c", deb});
    ASSERT_EQ(listing.exit_code, 0) << listing.describe();
    std::set<std::string> files;
    for (const auto &line : listing.out_lines) {
        const auto path = line.text.find("./");
        if (path != std::string::npos) {
            // "-rwxr-xr-x root/root  16048 2026-12-10 01:15 ./usr/bin/greet"
            files.insert(line.text.substr(path + 1));
        }
    }
    for (const auto &name : programs) {
        EXPECT_TRUE(files.count("/usr/bin/" + name)) << name << "\n" << listing.out;
        EXPECT_TRUE(files.count("/usr/share/man/man1/" + name + ".1")) << name << " page";
    }

    const auto depends = runner::run({dpkg_deb, "-f", deb, "Depends"});
    EXPECT_NE(depends.out.find("libc6"), std::string::npos) << depends.describe();
    EXPECT_NE(depends.out.find("procps"), std::string::npos) << depends.describe();
}

} // namespace

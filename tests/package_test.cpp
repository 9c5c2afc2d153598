// The Debian package, built as a packager builds it: dpkg-buildpackage over a
// copy of the source tree, then read back with dpkg-deb and judged by lintian.
#include "delivered.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

using runner::tool;

// The command line that runs a "#!" script: dpkg-buildpackage,
// dpkg-checkbuilddeps and lintian are Perl scripts, and the runner executes a
// program from a descriptor closed at exec, which leaves the interpreter
// nothing to read; env, an ELF program, starts them by their path instead.
std::vector<std::string> script(const std::vector<std::string> &argv)
{
    std::vector<std::string> command = {tool("env")};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

// The source tree as a clean checkout has it: without version control and
// without build folders (this build's, and any folder holding a CMake cache,
// such as build-sanitize/ or the obj-*/ folder of an earlier package build).
void copy_source(const fs::path &from, const fs::path &to)
{
    fs::create_directory(to);
    for (const auto &entry : fs::directory_iterator(from)) {
        const auto target = to / entry.path().filename();
        if (entry.is_symlink()) {
            fs::copy_symlink(entry.path(), target);
        } else if (entry.is_directory()) {
            if (entry.path().filename() == ".git" || fs::exists(entry.path() / "CMakeCache.txt") ||
                fs::equivalent(entry.path(), BUILD_DIR)) {
                continue;
            }
            copy_source(entry.path(), target);
        } else if (entry.is_regular_file()) {
            fs::copy_file(entry.path(), target);
        }
    }
}

// The one file in `dir` whose name starts with `prefix` and ends with
// `suffix`, or empty.
std::string find_output(const std::string &dir, const std::string &prefix,
                        const std::string &suffix)
{
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name.rfind(prefix, 0) == 0 && name.size() >= prefix.size() + suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return entry.path();
        }
    }
    return {};
}

// The entries of a package as `dpkg-deb -c` lists them: path (without the
// leading ".") to owner, for instance "/usr/bin/greet" -> "root/root".
// "-rwxr-xr-x root/root  14568 2026-12-10 04:41 ./usr/bin/greet"
// "lrwxrwxrwx root/root      0 2026-12-10 04:40 ./usr/share/... -> gradebook.1.gz"
std::map<std::string, std::string> contents(const runner::Result &listing)
{
    std::map<std::string, std::string> entries;
    for (const auto &line : listing.out_lines) {
        std::istringstream fields(line.text);
        std::string mode, owner, size, date, time, path;
        if (fields >> mode >> owner >> size >> date >> time >> path && path.rfind("./", 0) == 0) {
            entries[path.substr(1)] = owner;
        }
    }
    return entries;
}

// Lines of a lintian report that are errors or warnings (informational and
// pedantic notes, and overridden tags, do not count).
std::vector<std::string> complaints(const runner::Result &lintian)
{
    std::vector<std::string> found;
    for (const auto *lines : {&lintian.out_lines, &lintian.err_lines}) {
        for (const auto &line : *lines) {
            if (line.text.rfind("E: ", 0) == 0 || line.text.rfind("W: ", 0) == 0) {
                found.push_back(line.text);
            }
        }
    }
    return found;
}

TEST(Package, DpkgBuildpackageBuildsACleanPackageOfEveryProgram)
{
#ifdef SUITE_SANITIZE
    GTEST_SKIP() << "the package is built from the plain build: its build does not use this "
                    "build's sanitizer options, and the plain build's run checks it";
#endif
    const std::string buildpackage = tool("dpkg-buildpackage");
    const std::string checkbuilddeps = tool("dpkg-checkbuilddeps");
    const std::string dpkg_deb = tool("dpkg-deb");
    const std::string readelf = tool("readelf");
    if (buildpackage.empty() || checkbuilddeps.empty() || dpkg_deb.empty() || tool("dh").empty() ||
        tool("env").empty()) {
        GTEST_SKIP() << "dpkg-buildpackage, dpkg-deb (dpkg-dev) and dh (debhelper) are needed "
                        "to build the package";
    }
    if (readelf.empty()) {
        GTEST_SKIP() << "readelf (binutils) is needed to read the packaged programs";
    }
    const auto deps =
        runner::run(script({checkbuilddeps, std::string(SOURCE_DIR) + "/debian/control"}));
    if (deps.err.find("Unmet build dependencies") != std::string::npos) {
        GTEST_SKIP() << deps.err;
    }
    ASSERT_TRUE(deps.exited && deps.exit_code == 0) << deps.describe();

    // dpkg-buildpackage writes the packages beside the source folder.
    runner::TempDir work;
    const std::string source = work / "proclab";
    copy_source(SOURCE_DIR, source);
    runner::Options o;
    o.argv = script({buildpackage, "-us", "-uc", "-b"});
    o.cwd = source;
    o.env = {"DEB_BUILD_OPTIONS=parallel=2"};
    o.timeout = std::chrono::seconds(360);
    const auto built = runner::run(o);
    ASSERT_TRUE(built.exited && built.exit_code == 0) << built.describe();
    const std::string deb = find_output(work.path(), "proclab_", ".deb");
    const std::string dbgsym = find_output(work.path(), "proclab-dbgsym_", ".deb");
    const std::string changes = find_output(work.path(), "proclab_", ".changes");
    ASSERT_FALSE(deb.empty() || changes.empty()) << "no proclab .deb or .changes\n"
                                                 << built.describe();

    // Programs in /usr/bin, compressed pages, the copyright and the
    // changelog (changelog.gz for a native package), all owned by root even
    // when an ordinary user built the package.
    const auto listing = runner::run({dpkg_deb, "-c", deb});
    ASSERT_EQ(listing.exit_code, 0) << listing.describe();
    const auto files = contents(listing);
    const bool native = runner::read_file(std::string(SOURCE_DIR) + "/debian/source/format")
                            .value_or("")
                            .find("native") != std::string::npos;
    std::vector<std::string> wanted = {"/usr/share/doc/proclab/copyright",
                                       native ? "/usr/share/doc/proclab/changelog.gz"
                                              : "/usr/share/doc/proclab/changelog.Debian.gz"};
    for (const auto &name : delivered::executables()) {
        wanted.push_back("/usr/bin/" + name);
        wanted.push_back("/usr/share/man/man1/" + name + ".1.gz");
    }
    std::vector<std::string> missing, not_root;
    for (const auto &path : wanted) {
        if (files.count(path) == 0) {
            missing.push_back(path);
        }
    }
    for (const auto &[path, owner] : files) {
        if (owner != "root/root") {
            not_root.push_back(path + " " + owner);
        }
    }
    EXPECT_EQ(missing, std::vector<std::string>{}) << listing.out;
    EXPECT_EQ(not_root, std::vector<std::string>{}) << listing.out;

    const auto depends = runner::run({dpkg_deb, "-f", deb, "Depends"});
    EXPECT_NE(depends.out.find("libc6"), std::string::npos) << depends.describe();
    EXPECT_NE(depends.out.find("procps"), std::string::npos) << depends.describe();

    // Every program is stripped, and its debugging information is in
    // proclab-dbgsym under the program's build ID.
    std::map<std::string, std::string> debug_files;
    if (dbgsym.empty()) {
        ADD_FAILURE() << "no proclab-dbgsym package\n" << built.describe();
    } else {
        const auto debug_listing = runner::run({dpkg_deb, "-c", dbgsym});
        EXPECT_EQ(debug_listing.exit_code, 0) << debug_listing.describe();
        debug_files = contents(debug_listing);
    }
    const std::string root = work / "root";
    const auto extracted = runner::run({dpkg_deb, "-x", deb, root});
    ASSERT_EQ(extracted.exit_code, 0) << extracted.describe();
    for (const auto &name : delivered::executables()) {
        SCOPED_TRACE(name);
        const auto elf = runner::run({readelf, "--wide", "-S", "-n", root + "/usr/bin/" + name});
        if (elf.exit_code != 0) {
            ADD_FAILURE() << elf.describe();
            continue;
        }
        EXPECT_EQ(elf.out.find(".symtab"), std::string::npos) << "not stripped\n" << elf.out;
        // "    Build ID: 5f1c...e2"
        const auto at = elf.out.find("Build ID: ");
        std::string id;
        if (at != std::string::npos) {
            std::istringstream(elf.out.substr(at + 10)) >> id;
        }
        if (id.size() < 3) {
            ADD_FAILURE() << "no build ID\n" << elf.out;
            continue;
        }
        const std::string debug_file =
            "/usr/lib/debug/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
        EXPECT_TRUE(dbgsym.empty() || debug_files.count(debug_file))
            << debug_file << " is not in " << dbgsym;
    }

    // lintian reads the packages and the build record named by the .changes.
    const std::string lintian = tool("lintian");
    if (lintian.empty()) {
        GTEST_SKIP() << "lintian is not installed: the package was built and read, not linted";
    }
    runner::Options lint;
    lint.argv = script({lintian, changes});
    lint.timeout = std::chrono::seconds(180);
    const auto report = runner::run(lint);
    EXPECT_TRUE(report.exited && report.exit_code == 0) << report.describe();
    EXPECT_EQ(complaints(report), std::vector<std::string>{}) << report.describe();
}

} // namespace

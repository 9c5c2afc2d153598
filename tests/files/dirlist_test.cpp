// dirlist: the path line and one line per entry with its inode number, in
// any order; a path too long for the 50-byte buffer; a directory that
// cannot be opened.
#include "runner.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

const std::string path_line = "Mon répertoire courant est ";

std::string entry_line(const std::string &path, const std::string &name)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    // Shown as a 32-bit int: larger inode numbers wrap.
    return "Le numéro d'inode de l'entree est " + std::to_string(static_cast<int>(st.st_ino)) +
           "  et le nom de fichier correspondant est " + name;
}

runner::Options in_dir(const std::string &dir)
{
    runner::Options o;
    o.argv = {runner::program("dirlist")};
    o.cwd = dir;
    return o;
}

TEST(Dirlist, ListsEveryEntryWithItsInodeNumber)
{
    struct Case {
        const char *name;
        std::vector<std::string> files, dirs;
    };
    for (const Case &c : {Case{"an empty directory", {}, {}},
                          Case{"hidden entries and blanks", {".hidden", "a file", "z"}, {"sub"}}}) {
        SCOPED_TRACE(c.name);
        runner::TempDir tmp;
        const std::string dir = fs::canonical(tmp.path()).string();
        std::vector<std::string> expected = {entry_line(dir, "."), entry_line(dir + "/..", "..")};
        for (const auto &f : c.files) {
            std::ofstream(dir + "/" + f) << "x";
            expected.push_back(entry_line(dir + "/" + f, f));
        }
        for (const auto &d : c.dirs) {
            fs::create_directory(dir + "/" + d);
            expected.push_back(entry_line(dir + "/" + d, d));
        }

        const auto r = runner::run(in_dir(dir));
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        EXPECT_EQ(r.err, "");
        auto lines = runner::split_lines(r.out);
        ASSERT_FALSE(lines.empty()) << r.describe();
        EXPECT_EQ(lines.front(), path_line + dir);
        EXPECT_EQ(r.out.back(), '\n');
        // The system's order is not assumed: compare as sets of lines.
        lines.erase(lines.begin());
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected) << r.describe();
    }
}

// The buffer holds a path of up to 49 characters; a longer one is reported
// and nothing is listed.
TEST(Dirlist, PathOfFiftyBytesOrMoreIsReported)
{
    runner::TempDir tmp;
    const std::string base = fs::canonical(tmp.path()).string();
    for (size_t length : {size_t{49}, size_t{50}, size_t{51}, size_t{200}}) {
        SCOPED_TRACE("path of " + std::to_string(length) + " characters");
        ASSERT_LT(base.size() + 2, length) << "temporary directory path too long for this test";
        const std::string dir = base + "/" + std::string(length - base.size() - 1, 'd');
        ASSERT_EQ(dir.size(), length);
        fs::create_directory(dir);

        const auto r = runner::run(in_dir(dir));
        if (length <= 49) {
            EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(runner::split_lines(r.out).size(), 3u) << r.describe();
            EXPECT_EQ(r.out.rfind(path_line + dir + "\n", 0), 0u) << r.describe();
        } else {
            EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
            EXPECT_EQ(r.err, "getcwd: Numerical result out of range\n");
            EXPECT_EQ(r.out, "");
        }
        fs::remove(dir);
    }
}

// A directory of mode 0300 can be entered but not read: the path is known
// but the stream cannot be opened: reported, and nothing is read from it.
// A process that reads it all the same (root's CAP_DAC_OVERRIDE) runs the
// program under a uid of its own, the directory's owner.
TEST(Dirlist, DirectoryThatCannotBeOpenedIsReported)
{
    runner::TempDir tmp;
    const std::string dir = fs::canonical(tmp.path()).string();
    fs::permissions(dir, fs::perms::owner_write | fs::perms::owner_exec, fs::perm_options::replace);
    runner::Options o = in_dir(dir);
    if (DIR *readable = opendir(dir.c_str())) {
        closedir(readable);
        SUITE_NEED(lacks_uid_switch);
        o.uid = runner::spare_uid();
        ASSERT_EQ(chown(dir.c_str(), *o.uid, static_cast<gid_t>(*o.uid)), 0);
    }
    const auto r = runner::run(o);
    ASSERT_EQ(r.setup_error, "") << r.describe();
    EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
    EXPECT_EQ(r.out, path_line + dir + "\n") << r.describe();
    EXPECT_EQ(r.err, "opendir: Permission denied\n") << r.describe();
}

} // namespace

// dirlist: read a directory through the directory-stream calls getcwd,
// opendir, readdir and closedir.
//
// It prints the path of the current directory, then one line per entry with
// the entry's inode number and name, in the order the file system returns
// them: not sorted, not filtered, "." and ".." and hidden entries included.
// The path buffer offers getcwd 50 bytes, so paths of up to 49 characters
// fit; a longer one is reported (getcwd: Numerical result out of range).
//
// Run:   ./dirlist              (in any directory)
// Watch: compare with the inode numbers and the raw order ls shows:
//            ls -a -i -f
//        and try it in a freshly made empty directory: only "." and "..".

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

int main()
{
    char path[50];
    DIR *directory;
    dirent *entry;

    if (getcwd(path, sizeof path) == nullptr) {
        std::perror("getcwd");
        return 1;
    }
    std::printf("Mon répertoire courant est %s\n", path);

    directory = opendir(path);
    if (directory == nullptr) {
        std::perror("opendir");
        return 1;
    }
    while ((entry = readdir(directory)) != nullptr) {
        // The inode number is shown as a 32-bit int: larger numbers wrap.
        std::printf("Le numéro d'inode de l'entree est %d  et le nom de fichier correspondant est "
                    "%s\n",
                    static_cast<int>(entry->d_ino), entry->d_name);
    }
    return closedir(directory);
}

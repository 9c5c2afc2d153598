// gradebook: the raw file calls open, write, lseek, read and close on a
// file of fixed-size binary records.
//
// It asks for the names and grades of four students, writes each answer as
// one 16-byte record (a 12-byte name, then the grade as a 32-bit integer),
// seeks back to the start, prints the new position and reads the four
// records back. The file is opened without truncation: a longer file from
// an earlier run keeps everything after byte 63.
//
// Three builds differ only in the record file's path, fixed at build time
// (RECORD_PATH): gradebook writes ./fichnotes.txt, gradebook-abs-lower and
// gradebook-abs-upper write fichnotes under /home/quorvel/programmation/c
// and .../C.
//
// Run:   ./gradebook           (answer: a name, Enter, a grade, Enter, x4)
// Watch: afterwards, look at the records byte by byte:
//            od -A d -t x1z fichnotes.txt
//            ls -l fichnotes.txt          (64 bytes, -rw-------)
//        or, while it waits for an answer, in another terminal:
//            ls -l /proc/<pid>/fd         (the open record file)

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#ifndef RECORD_PATH
#define RECORD_PATH "./fichnotes.txt"
#endif

namespace
{

// One record of the file, exactly as it lies in memory.
struct GradeRecord {
    char name[12];      // zero-terminated, at most 11 characters
    std::int32_t grade; // machine byte order
};
static_assert(sizeof(GradeRecord) == 16, "records are 16 bytes, back to back");

} // namespace

int main()
{
    int fd;
    int i;
    int position;
    // The one buffer for all four records, cleared once so that no stale
    // stack bytes reach the file or the screen if input ends early.
    GradeRecord record{};

    fd = open(RECORD_PATH, O_RDWR | O_CREAT, 0600);
    if (fd == -1) {
        std::perror("prob open"); // go on: the calls below fail on fd -1
    }

    for (i = 0; i < 4; i++) {
        std::puts("Donnez le nom de l'élève ");
        // One word, at most 11 bytes; the rest of a longer word is read and
        // dropped, so it never becomes the grade or the next name.
        // Scan results are not checked: a failed scan leaves the field as
        // the earlier answer left it.
        (void)std::scanf("%11s%*[^ \t\n\v\f\r]", record.name);
        std::puts("Donnez la note de l'élève ");
        (void)std::scanf("%d", &record.grade);
        (void)write(fd, &record, sizeof record); // not checked
    }

    position = static_cast<int>(lseek(fd, 0, SEEK_SET));
    if (position == -1) {
        std::perror("prob lseek");
    }
    std::printf("La nouvelle position est %d\n", position);

    for (i = 0; i < 4; i++) {
        (void)read(fd, &record, sizeof record); // not checked
        // A record read back need not hold a terminator in its name field
        // (a file from elsewhere, or writes that failed over an older one):
        // print at most the 11 bytes the field holds.
        std::printf("Le nom et la note de l'élève sont %.11s, %d\n", record.name, record.grade);
    }

    return close(fd); // -1 (status 255) when the open failed
}

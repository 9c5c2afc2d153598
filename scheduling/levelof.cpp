// levelof: the nice value of a process, a process group or a user.
//
// getpriority() answers with the nice value itself, from -20 to 19, so -1
// is a perfectly good answer and cannot mean "error" on its own. The only
// way to tell is the one shown here: clear errno before the call, and treat
// -1 as a failure only when errno has been set.
//
// Run:   ./levelof P 0          (this process)
//        ./levelof P 1          (the first process)
//        ./levelof G <pgid>     (a group: the lowest nice value among its members)
//        ./levelof U <uid>      (a user: the lowest nice value among its processes)
//        nice -n -1 sleep 60 &  ./levelof P $!     (prints -1, not an error)
// Watch: compare with `ps -o pid,pgid,uid,ni,cmd -p <pid>`.
// Everything, the result included, goes to standard error.

#include <sys/resource.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace
{

[[noreturn]] void syntax(const char *nom)
{
    std::fprintf(stderr, "Syntax : %s <class> <ident> \n", nom);
    std::fprintf(stderr, "   <class> = P (PID)\n");
    std::fprintf(stderr, "             G (PGID)\n");
    std::fprintf(stderr, "             U (UID)\n");
    std::exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    const char *nom = argc > 0 ? argv[0] : "levelof";
    int classe;

    if (argc != 3) {
        syntax(nom);
    }

    // Only the first letter of the class counts, in either case.
    switch (std::toupper(static_cast<unsigned char>(argv[1][0]))) {
    case 'P':
        classe = PRIO_PROCESS;
        break;
    case 'G':
        classe = PRIO_PGRP;
        break;
    case 'U':
        classe = PRIO_USER;
        break;
    default:
        syntax(nom);
    }

    // Leading blanks, an optional sign, digits; whatever follows the digits
    // is ignored ("12abc" is 12). A number too large for an identifier
    // counts as no number at all.
    char *end;
    errno = 0;
    const long number = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || errno == ERANGE || number < INT_MIN || number > INT_MAX) {
        syntax(nom);
    }
    const int id = static_cast<int>(number);

    errno = 0;
    const int priority = getpriority(classe, static_cast<id_t>(id));
    if (priority == -1 && errno != 0) {
        std::perror(argv[2]); // no such process, group or user
    } else {
        std::fprintf(stderr, "%d : %d\n", id, priority);
    }
    return 0;
}

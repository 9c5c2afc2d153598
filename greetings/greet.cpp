// greet: the smallest dynamically linked program. It writes one line and
// ends; the C library it calls is loaded at run time by the program
// interpreter named in the executable.
//
// Run:   ./greet
// Watch: what it needs at run time, and compare with greetstatic:
//            readelf -l greet | grep interpreter
//            readelf -d greet | grep NEEDED
//            ldd ./greet
//            ls -l greet greetstatic

#include <cstdio>

int main()
{
    std::puts("Salut");
    return 0;
}

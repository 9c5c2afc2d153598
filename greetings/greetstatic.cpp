// greetstatic: the smallest statically linked program. The C library's code
// is copied into the executable at link time, so it needs no program
// interpreter and no shared library: it runs even where libc.so.6 cannot be
// found, for instance alone in an empty chroot.
//
// Run:   ./greetstatic
// Watch: compare with greet:
//            file greetstatic greet
//            readelf -d greetstatic     (no dynamic section)
//            ls -l greetstatic greet    (the static one is far larger)
//        and, as root, run it alone in an empty root directory:
//            mkdir /tmp/r && cp greetstatic /tmp/r && chroot /tmp/r /greetstatic

#include <cstdio>

int main()
{
    std::puts("Coucou Monde");
    return 0;
}

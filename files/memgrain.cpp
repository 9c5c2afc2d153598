// memgrain: the size of a memory page on the running system, the grain in
// which the kernel maps, protects and swaps memory.
//
// The line it prints is encoded in ISO-8859-1: the "è" is the single byte
// 0xE8, which a UTF-8 terminal shows as a replacement character.
//
// Run:   ./memgrain
// Watch: compare with what the C library and the kernel say:
//            getconf PAGESIZE
//            grep -i pagesize /proc/self/smaps | head -n 2
//        and see the raw byte:  ./memgrain | od -c
//        or convert it:         ./memgrain | iconv -f ISO-8859-1

#include <unistd.h>

#include <cstdio>

int main()
{
    // "\xE8" is "è" in ISO-8859-1; this source file itself stays UTF-8.
    std::printf("La taille des pages sur ce syst\xE8"
                "me est de : %d\n",
                getpagesize());
    return 0;
}

#include <langinfo.h>

#include <clocale>
#include <cstdio>

#include "util/Runtime.h"

// Starts up as the program does and prints the character-type locale it adopted and its
// character set. A process of its own: the C library keeps the locales a process once loaded,
// so a forked test could find one that its environment no longer offers.
int main(int argc, char** argv) {
    tarvex::RuntimeStartUp(argc, argv);
    std::printf("%s %s", std::setlocale(LC_CTYPE, nullptr), nl_langinfo(CODESET));
    return 0;
}

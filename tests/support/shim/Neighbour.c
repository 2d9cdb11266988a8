// Preloaded into a program under test (LD_PRELOAD): another local user's move at one exact
// moment. Before the program's renameat2 calls numbered in LOOMWORK_NEIGHBOUR_AT (from 0,
// comma-separated, e.g. "0,1"), the items at the paths LOOMWORK_NEIGHBOUR_A and
// LOOMWORK_NEIGHBOUR_B are exchanged, as anyone may do in a folder that everyone can write.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h> // renameat2 and its flags
#include <stdlib.h>
#include <string.h>

typedef int (*RenameAt2Fn)(int, const char*, int, const char*, unsigned);

static int g_calls;

static int due(int call)
{
    const char* at = getenv("LOOMWORK_NEIGHBOUR_AT");
    if (!at)
        return 0;
    while (*at) {
        char* end = NULL;
        const long n = strtol(at, &end, 10);
        if (end == at)
            return 0;
        if (n == call)
            return 1;
        at = *end == ',' ? end + 1 : end;
    }
    return 0;
}

int renameat2(int fromParent, const char* from, int toParent, const char* to, unsigned flags)
{
    // POSIX allows the conversion of dlsym's result; memcpy keeps ISO C quiet about it.
    static RenameAt2Fn real;
    if (!real) {
        void* found = dlsym(RTLD_NEXT, "renameat2");
        memcpy(&real, &found, sizeof real);
    }
    const char* a = getenv("LOOMWORK_NEIGHBOUR_A");
    const char* b = getenv("LOOMWORK_NEIGHBOUR_B");
    if (a && b && due(g_calls++))
        (void)real(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
    return real(fromParent, from, toParent, to, flags);
}

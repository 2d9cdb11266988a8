// Preloaded into a program under test (LD_PRELOAD): another local user's move at one exact
// moment. Before the program's renameat2 calls numbered in LOOMWORK_NEIGHBOUR_AT (from 0,
// comma-separated, e.g. "0,1"), the items at the paths LOOMWORK_NEIGHBOUR_A and
// LOOMWORK_NEIGHBOUR_B are exchanged, as anyone may do in a folder that everyone can write.
// Or just after the program opened an item whose last name is LOOMWORK_NEIGHBOUR_OPENED (by
// openat), at the opens of that name numbered in LOOMWORK_NEIGHBOUR_OPENED_AT, counted from
// the program's call of loomwork_neighbour_arm(): the program holds what it opened while the
// name holds the other item.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h> // renameat2 and its flags
#include <stdlib.h>
#include <string.h>

typedef int (*RenameAt2Fn)(int, const char*, int, const char*, unsigned);
typedef int (*OpenAtFn)(int, const char*, int, ...);

static int g_calls;
static int g_armed;
static int g_opens;

static int listed(const char* at, int call)
{
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

// POSIX allows the conversion of dlsym's result; memcpy keeps ISO C quiet about it.
static void next(const char* name, void* out, size_t size)
{
    void* found = dlsym(RTLD_NEXT, name);
    memcpy(out, &found, size);
}

static RenameAt2Fn realRenameAt2(void)
{
    static RenameAt2Fn real;
    if (!real)
        next("renameat2", &real, sizeof real);
    return real;
}

static void exchange(void)
{
    const char* a = getenv("LOOMWORK_NEIGHBOUR_A");
    const char* b = getenv("LOOMWORK_NEIGHBOUR_B");
    if (a && b)
        (void)realRenameAt2()(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
}

int renameat2(int fromParent, const char* from, int toParent, const char* to, unsigned flags)
{
    if (listed(getenv("LOOMWORK_NEIGHBOUR_AT"), g_calls++))
        exchange();
    return realRenameAt2()(fromParent, from, toParent, to, flags);
}

void loomwork_neighbour_arm(void)
{
    __atomic_store_n(&g_opens, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&g_armed, 1, __ATOMIC_SEQ_CST);
}

static void opened(const char* path, int fd)
{
    if (fd < 0 || !path || !__atomic_load_n(&g_armed, __ATOMIC_SEQ_CST))
        return;
    const char* name = getenv("LOOMWORK_NEIGHBOUR_OPENED");
    if (!name)
        return;
    const char* slash = strrchr(path, '/');
    if (strcmp(slash ? slash + 1 : path, name) != 0)
        return;
    if (listed(getenv("LOOMWORK_NEIGHBOUR_OPENED_AT"), __atomic_fetch_add(&g_opens, 1, __ATOMIC_SEQ_CST)))
        exchange();
}

int openat(int parent, const char* path, int flags, ...)
{
    static OpenAtFn real;
    if (!real)
        next("openat", &real, sizeof real);
    // A mode is there only where one was given: with O_CREAT or O_TMPFILE.
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const int fd = real(parent, path, flags, mode);
    opened(path, fd);
    return fd;
}

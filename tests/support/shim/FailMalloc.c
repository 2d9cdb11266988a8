// Preloaded into a program under test (LD_PRELOAD) to make its allocations fail on request, so
// that a test sees what the program leaves when memory runs out at one exact moment.
//   LOOMWORK_FAILMALLOC_MARK=rename:K   counting starts after the K-th successful rename
//                                       (rename, renameat, renameat2); create:K after the K-th
//                                       file created exclusively (open/openat, O_CREAT|O_EXCL);
//                                       start: from the program's start on
//   LOOMWORK_FAILMALLOC_AT=N            the N-th allocation after the mark fails ...
//   LOOMWORK_FAILMALLOC_COUNT=C         ... and the C-1 after it (default 1)
//   LOOMWORK_FAILMALLOC_THREAD=T        the T-th thread made after the mark (pthread_create)
//                                       fails with EAGAIN, as when the system has no room for it
//   LOOMWORK_FAILMALLOC_FIRED=FILE      created when the first failure is given
// A program that knows its moment arms the counting itself (MARK=call): it calls
// loomwork_failmalloc_arm() and, done, loomwork_failmalloc_disarm(), found with dlsym.
// Never used under a sanitizer, which brings an allocator of its own.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

typedef int (*RenameFn)(const char*, const char*);
typedef int (*RenameAtFn)(int, const char*, int, const char*);
typedef int (*RenameAt2Fn)(int, const char*, int, const char*, unsigned);
typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);
typedef int (*ThreadFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);


enum { markNone, markRename, markCreate, markStart };
static int markKind = markNone;
static long markAt;
static long failAt;
static long failCount = 1;
static long threadFailAt;
static const char* firedFile;

static atomic_long marks;
static atomic_bool armed;
static atomic_long allocations;
static atomic_long threads;

static long number(const char* text)
{
    return text ? strtol(text, NULL, 10) : 0;
}

// The next definition of `name`, looked up on each call: another library's constructor may
// call one before ours has run. POSIX allows the conversion of dlsym's result.
static void lookUp(const char* name, void* function, size_t size)
{
    void* found = dlsym(RTLD_NEXT, name);
    memcpy(function, &found, size);
}
#define NEXT(type, function, name)                                                                  \
    static type function(void)                                                                      \
    {                                                                                               \
        type found;                                                                                 \
        lookUp(name, &found, sizeof found);                                                         \
        return found;                                                                               \
    }
NEXT(RenameFn, nextRename, "rename")
NEXT(RenameAtFn, nextRenameAt, "renameat")
NEXT(RenameAt2Fn, nextRenameAt2, "renameat2")
NEXT(OpenFn, nextOpen, "open")
NEXT(OpenFn, nextOpen64, "open64")
NEXT(OpenAtFn, nextOpenAt, "openat")
NEXT(OpenAtFn, nextOpenAt64, "openat64")
NEXT(ThreadFn, nextThread, "pthread_create")

__attribute__((constructor)) static void setUp(void)
{
    const char* mark = getenv("LOOMWORK_FAILMALLOC_MARK");
    if (mark && strncmp(mark, "rename:", 7) == 0)
        markKind = markRename;
    else if (mark && strncmp(mark, "create:", 7) == 0)
        markKind = markCreate;
    else if (mark && strcmp(mark, "start") == 0)
        markKind = markStart;
    if (markKind == markRename || markKind == markCreate)
        markAt = number(mark + 7);
    failAt = number(getenv("LOOMWORK_FAILMALLOC_AT"));
    if (getenv("LOOMWORK_FAILMALLOC_COUNT"))
        failCount = number(getenv("LOOMWORK_FAILMALLOC_COUNT"));
    threadFailAt = number(getenv("LOOMWORK_FAILMALLOC_THREAD"));
    firedFile = getenv("LOOMWORK_FAILMALLOC_FIRED");
    if (markKind == markStart)
        atomic_store(&armed, 1);
}

void loomwork_failmalloc_arm(void)
{
    atomic_store(&allocations, 0);
    atomic_store(&threads, 0);
    atomic_store(&armed, 1);
}

void loomwork_failmalloc_disarm(void)
{
    atomic_store(&armed, 0);
}

static void passed(int kind)
{
    if (kind == markKind && atomic_fetch_add(&marks, 1) + 1 == markAt)
        atomic_store(&armed, 1);
}

static void fire(void)
{
    if (firedFile) {
        const int fd = nextOpen()(firedFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            close(fd);
    }
}

static int fails(void)
{
    if (!atomic_load(&armed) || failAt <= 0)
        return 0;
    const long n = atomic_fetch_add(&allocations, 1) + 1;
    if (n < failAt || n >= failAt + failCount)
        return 0;
    if (n == failAt)
        fire();
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t size)
{
    return fails() ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    return fails() ? NULL : __libc_calloc(count, size);
}

void* realloc(void* old, size_t size)
{
    return fails() ? NULL : __libc_realloc(old, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    return fails() ? NULL : __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size)
{
    return fails() ? NULL : __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    if (fails())
        return ENOMEM;
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

int rename(const char* from, const char* to)
{
    const int result = nextRename()(from, to);
    if (result == 0)
        passed(markRename);
    return result;
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    const int result = nextRenameAt()(fromDir, from, toDir, to);
    if (result == 0)
        passed(markRename);
    return result;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags)
{
    const int result = nextRenameAt2()(fromDir, from, toDir, to, flags);
    if (result == 0)
        passed(markRename);
    return result;
}

static mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

static int created(int fd, int flags)
{
    if (fd >= 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        passed(markCreate);
    return fd;
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return created(nextOpen()(path, flags, mode), flags);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return created(nextOpen64()(path, flags, mode), flags);
}

int openat(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return created(nextOpenAt()(dir, path, flags, mode), flags);
}

int openat64(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return created(nextOpenAt64()(dir, path, flags, mode), flags);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument)
{
    if (atomic_load(&armed) && threadFailAt > 0 && atomic_fetch_add(&threads, 1) + 1 == threadFailAt) {
        fire();
        return EAGAIN;
    }
    return nextThread()(thread, attributes, start, argument);
}

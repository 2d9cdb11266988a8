// Preloaded into a program under test (LD_PRELOAD): a disk that reports a write error. Every
// syncfs fails with the errno LOOMWORK_FAILSYNC_ERROR gives (EIO when unset; 0 answers success
// without syncing), and each call is counted as one line appended to the file
// LOOMWORK_FAILSYNC_LOG when that is set.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int syncfs(int fd)
{
    (void)fd;
    const char* log = getenv("LOOMWORK_FAILSYNC_LOG");
    if (log) {
        const int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out >= 0) {
            (void)!write(out, "syncfs\n", 7);
            close(out);
        }
    }
    const char* error = getenv("LOOMWORK_FAILSYNC_ERROR");
    const int code = error ? atoi(error) : EIO;
    if (code == 0)
        return 0;
    errno = code;
    return -1;
}

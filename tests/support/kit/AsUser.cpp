#include "support/kit/AsUser.h"

#include <cstdio>
#include <cstdlib>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

int asUser(uid_t uid, const std::function<int()>& step)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool became = uid == ::geteuid()
            || (::setresuid(uid_t(-1), 0, uid_t(-1)) == 0 && ::setgroups(0, nullptr) == 0
                && ::setresgid(uid, uid, 0) == 0 && ::setresuid(uid, uid, 0) == 0);
        std::_Exit(became ? step() : 100);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

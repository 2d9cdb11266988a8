#pragma once

#include <functional>

#include <sys/types.h>

// Runs `step` in a child process as `uid` (unchanged when it is ours), keeping root as the
// saved user ID, so that a step running as one user can still act as another in a child of
// its own, as a neighbour would. Its exit status; 200 when it did not exit, 100 when the IDs
// could not be taken.
int asUser(uid_t uid, const std::function<int()>& step);

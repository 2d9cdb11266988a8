#pragma once

// Waits until every HTTP exchange of the application has ended and been handled, and the
// global thread pool has handed back its work: a late reply that was going to apply has
// applied by then. False when that takes longer than `timeoutMs`.
bool waitForNetworkIdle(int timeoutMs = 30000);

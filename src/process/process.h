// Process entry helpers: alive file, signal mask and wait, resource limits.
// All run on the main thread.
#pragma once

#include <csignal>

// Removes the alive file (rename to a transient name, then unlink). 0 when it
// did not exist or was removed; otherwise the errno of the failing call.
[[nodiscard]] int KeeperUnlinkAlive();
// Creates the empty alive file with mode 0600; failures are only logged.
void KeeperCreateAlive();
// Installs `handler` for SIGTERM.
void KeeperRegSigHandler(void (*handler)(int));
// The SIGTERM handler: only logs (SIGTERM is blocked, so it rarely runs).
void KeeperSigHandler(int sig);
// Blocks in sigwait on `set`, then logs the signal received.
void KeeperMainWaitSig(const sigset_t *set);
// Makes {SIGTERM} the calling thread's whole signal mask, and `set` that set.
void KeeperBlockSignals(sigset_t *set);
// Unlimited core size, 1000000 open files; results ignored.
void KeeperSetResourceLimits();
// The whole process entry; returns 4, 2 or 3 on the early failures and
// otherwise never returns (the process ends with _exit(0)).
int KeeperMain();

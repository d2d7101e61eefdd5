// POSIX and host-log bindings of the OS adapter table.
#pragma once

#include <cstdint>

#include "infrastructure/keeper_adapter_os/keeper_os.h"

// Init operation of the "InfraAdapter_KORVAN-Lite" start-up step: fills the
// adapter table with the POSIX bindings and reads the host log level once
// (later changes of the host level are not seen). Always returns 0.
int KeeperInfraLiteInstall();

// The binding of slot 2: starts a thread that runs entry(entryArg) and then
// exit(exitArg). Returns the thread id, or 0 on failure. With attr->joinable
// set, returns only after the thread ended; otherwise the thread is detached.
uint64_t KeeperOsThreadCreate(KeeperThreadFn entry, KeeperThreadFn exit,
                              const KeeperThreadAttr *attr);

// Atomic creation (slot 16); null when the allocation fails.
KeeperAtomic *KeeperOsAtomicCreate(int64_t initial);

// The log binding (slot 5): level filter, bounded format into a 511-byte
// buffer, one host log record "[TAG]message" under module 999.
void KeeperOsLog(uint32_t level, const char *tag, const char *file, uint32_t line,
                 const char *func, const char *fmt, ...) __attribute__((format(printf, 6, 7)));

// The table KeeperInfraLiteInstall installs (tests may patch a copy).
const KeeperOsOps &KeeperInfraLiteOps();

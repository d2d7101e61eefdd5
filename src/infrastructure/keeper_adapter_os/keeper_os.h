// The OS adapter: the one table through which the daemon's own code reaches
// threads, semaphores, atomics, spinlocks, read-write locks, sleeping and
// logging.
//
// The table has 36 slots in a fixed order and is filled once on the main
// thread by the "InfraAdapter_KORVAN-Lite" start-up step
// (KeeperInfraLiteInstall, keeper_adapter_infra_lite), before any other thread
// of the daemon exists; afterwards it is only read, from any thread. Calling
// a wrapper below before installation is a programming error (null slot).
//
// Handles returned by the create operations are opaque and owned by the
// caller until passed to the matching destroy operation. Create operations
// return null when their allocation fails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "infrastructure/keeper_time/keeper_time.h"

using KeeperThreadFn = void (*)(void *arg);

struct KeeperThreadAttr {
    uint32_t priority;  // scheduling parameter of the new thread
    uint8_t joinable;   // 1: creation returns after the thread ended; 0: detached
    void *entryArg;
    void *exitArg;
};

struct KeeperSem;
struct KeeperAtomic;
struct KeeperSpinLockT;
struct KeeperRwLockT;

// Slot order is part of the contract; see the static_assert in keeper_os.cpp.
struct KeeperOsOps {
    void *(*alloc)(size_t size);                                                       // 0
    void (*free)(void *ptr);                                                           // 1
    uint64_t (*threadCreate)(KeeperThreadFn entry, KeeperThreadFn exit,
                             const KeeperThreadAttr *attr);                           // 2
    int (*yield)();                                                                    // 3
    void (*sleep)(KeeperTime t);                                                       // 4
    void (*log)(uint32_t level, const char *tag, const char *file, uint32_t line,
                const char *func, const char *fmt, ...);                              // 5
    KeeperSem *(*semCreate)(uint32_t initial);                                         // 6
    void (*semDestroy)(KeeperSem *sem);                                                // 7
    void (*semWait)(KeeperSem *sem);                                                   // 8
    void (*semPost)(KeeperSem *sem);                                                   // 9
    bool (*semTryWait)(KeeperSem *sem);                                                // 10
    bool (*semTimedWait)(KeeperSem *sem, KeeperTime t);                                // 11
    void (*eventWait)(KeeperSem *sem);                                                 // 12
    void (*eventPost)(KeeperSem *sem);                                                 // 13
    bool (*eventTryWait)(KeeperSem *sem);                                              // 14
    bool (*eventTimedWait)(KeeperSem *sem, KeeperTime t);                              // 15
    KeeperAtomic *(*atomicCreate)(int64_t initial);                                    // 16
    void (*atomicDestroy)(KeeperAtomic *a);                                            // 17
    int64_t (*atomicRead)(KeeperAtomic *a);                                            // 18
    void (*atomicSet)(KeeperAtomic *a, int64_t v);                                     // 19
    bool (*atomicCas)(KeeperAtomic *a, int64_t expected, int64_t desired);             // 20
    int64_t (*atomicAdd)(KeeperAtomic *a, int64_t n);                                  // 21
    int64_t (*atomicInc)(KeeperAtomic *a);                                             // 22
    int64_t (*atomicDec)(KeeperAtomic *a);                                             // 23
    KeeperSpinLockT *(*spinCreate)();                                                  // 24
    void (*spinDestroy)(KeeperSpinLockT *l);                                           // 25
    void (*spinLock)(KeeperSpinLockT *l);                                              // 26
    void (*spinUnlock)(KeeperSpinLockT *l);                                            // 27
    bool (*spinTryLock)(KeeperSpinLockT *l);                                           // 28
    KeeperRwLockT *(*rwCreate)();                                                      // 29
    void (*rwDestroy)(KeeperRwLockT *l);                                               // 30
    void (*writeLock)(KeeperRwLockT *l);                                               // 31
    bool (*tryWriteLock)(KeeperRwLockT *l);                                            // 32
    void (*readLock)(KeeperRwLockT *l);                                                // 33
    bool (*tryReadLock)(KeeperRwLockT *l);                                             // 34
    void (*rwUnlock)(KeeperRwLockT *l);                                                // 35
};

inline constexpr size_t KEEPER_OS_SLOT_COUNT = 36;

// The process-wide table. Written only by KeeperOsInstall.
extern KeeperOsOps g_keeperOsOps;

// Copies `ops` into the table. Called by the installing start-up step, and by
// tests that bind a different platform layer. Not thread safe.
void KeeperOsInstall(const KeeperOsOps &ops);
// Empties the table again (tests only): logging falls back to stdout.
void KeeperOsUninstall();
bool KeeperOsInstalled();

// Host log level read at installation; records above it are dropped.
uint32_t KeeperOsLogLevel();
void KeeperOsSetLogLevel(uint32_t level);

inline void *KeeperAlloc(size_t n) { return g_keeperOsOps.alloc(n); }
inline void KeeperFree(void *p) { g_keeperOsOps.free(p); }
inline uint64_t KeeperThreadCreate(KeeperThreadFn entry, KeeperThreadFn exit,
                                   const KeeperThreadAttr *attr)
{
    return g_keeperOsOps.threadCreate(entry, exit, attr);
}
inline void KeeperSleep(KeeperTime t) { g_keeperOsOps.sleep(t); }
inline void KeeperSleepMs(uint32_t ms) { g_keeperOsOps.sleep(KeeperTime{ms, KEEPER_TIME_MS}); }
inline KeeperSem *KeeperSemCreate(uint32_t v) { return g_keeperOsOps.semCreate(v); }
inline void KeeperSemDestroy(KeeperSem *s) { g_keeperOsOps.semDestroy(s); }
inline void KeeperSemWait(KeeperSem *s) { g_keeperOsOps.semWait(s); }
inline void KeeperSemPost(KeeperSem *s) { g_keeperOsOps.semPost(s); }
inline bool KeeperSemTryWait(KeeperSem *s) { return g_keeperOsOps.semTryWait(s); }
inline bool KeeperSemTimedWait(KeeperSem *s, KeeperTime t)
{
    return g_keeperOsOps.semTimedWait(s, t);
}
inline KeeperAtomic *KeeperAtomicCreate(int64_t v) { return g_keeperOsOps.atomicCreate(v); }
inline void KeeperAtomicDestroy(KeeperAtomic *a) { g_keeperOsOps.atomicDestroy(a); }
inline int64_t KeeperAtomicRead(KeeperAtomic *a) { return g_keeperOsOps.atomicRead(a); }
inline void KeeperAtomicSet(KeeperAtomic *a, int64_t v) { g_keeperOsOps.atomicSet(a, v); }
inline bool KeeperAtomicCas(KeeperAtomic *a, int64_t e, int64_t d)
{
    return g_keeperOsOps.atomicCas(a, e, d);
}
inline int64_t KeeperAtomicAdd(KeeperAtomic *a, int64_t n) { return g_keeperOsOps.atomicAdd(a, n); }
inline int64_t KeeperAtomicInc(KeeperAtomic *a) { return g_keeperOsOps.atomicInc(a); }
inline int64_t KeeperAtomicDec(KeeperAtomic *a) { return g_keeperOsOps.atomicDec(a); }
inline KeeperSpinLockT *KeeperSpinLockCreate() { return g_keeperOsOps.spinCreate(); }
inline void KeeperSpinLockDestroy(KeeperSpinLockT *l) { g_keeperOsOps.spinDestroy(l); }
inline void KeeperSpinLock(KeeperSpinLockT *l) { g_keeperOsOps.spinLock(l); }
inline void KeeperSpinUnlock(KeeperSpinLockT *l) { g_keeperOsOps.spinUnlock(l); }
inline bool KeeperSpinTryLock(KeeperSpinLockT *l) { return g_keeperOsOps.spinTryLock(l); }
inline KeeperRwLockT *KeeperRwLockCreate() { return g_keeperOsOps.rwCreate(); }
inline void KeeperRwLockDestroy(KeeperRwLockT *l) { g_keeperOsOps.rwDestroy(l); }
inline void KeeperWriteLock(KeeperRwLockT *l) { g_keeperOsOps.writeLock(l); }
inline bool KeeperTryWriteLock(KeeperRwLockT *l) { return g_keeperOsOps.tryWriteLock(l); }
inline void KeeperReadLock(KeeperRwLockT *l) { g_keeperOsOps.readLock(l); }
inline bool KeeperTryReadLock(KeeperRwLockT *l) { return g_keeperOsOps.tryReadLock(l); }
inline void KeeperRwUnlock(KeeperRwLockT *l) { g_keeperOsOps.rwUnlock(l); }

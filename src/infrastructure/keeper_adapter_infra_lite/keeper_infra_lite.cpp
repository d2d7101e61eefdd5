#include "infrastructure/keeper_adapter_infra_lite/keeper_infra_lite.h"

#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <new>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_host/qxlog.h"
#include "infrastructure/keeper_securec/securec.h"

struct KeeperSem {
    sem_t sem;
};
struct KeeperAtomic {
    std::atomic<int64_t> value;
};
// 0 free, 1 held, 2 held with sleepers (see SpinLock).
struct KeeperSpinLockT {
    std::atomic<uint32_t> state;
};
static_assert(sizeof(KeeperSpinLockT) == sizeof(uint32_t), "the futex word is the whole lock");
struct KeeperRwLockT {
    pthread_rwlock_t lock;
};

namespace {

constexpr uint32_t kDaemonLogModule = 999;
constexpr size_t kLogBufSize = 511;
constexpr uint32_t kSpinFree = 0;
constexpr uint32_t kSpinHeld = 1;
constexpr uint32_t kSpinContended = 2;
constexpr int kSpinsBeforeSleep = 100;

struct ThreadCtx {
    KeeperThreadFn entry;
    void *entryArg;
    KeeperThreadFn exit;
    void *exitArg;
};

void *ThreadBody(void *arg)
{
    auto *ctx = static_cast<ThreadCtx *>(arg);
    // Taken before the work: once the exit operation has signalled its end,
    // the thread touches nothing shared any more.
    auto release = g_keeperOsOps.free;
    if (ctx->entry != nullptr) {
        ctx->entry(ctx->entryArg);
    }
    if (ctx->exit != nullptr) {
        ctx->exit(ctx->exitArg);
    }
    release(ctx);
    return nullptr;
}

int Yield() { return sched_yield(); }

void Sleep(KeeperTime t)
{
    auto ts = ConvertKeeperTime2Timespec(t);
    (void)nanosleep(&ts, nullptr);  // an interrupted sleep is not resumed
}

KeeperSem *SemCreate(uint32_t initial)
{
    auto *s = static_cast<KeeperSem *>(KeeperAlloc(sizeof(KeeperSem)));
    if (s != nullptr && sem_init(&s->sem, 0, initial) != 0) {
        KeeperFree(s);
        return nullptr;
    }
    return s;
}

void SemDestroy(KeeperSem *s)
{
    if (s != nullptr) {
        sem_destroy(&s->sem);
        KeeperFree(s);
    }
}

void SemWait(KeeperSem *s)
{
    while (sem_wait(&s->sem) != 0 && errno == EINTR) {
    }
}

void SemPost(KeeperSem *s) { sem_post(&s->sem); }

bool SemTryWait(KeeperSem *s) { return sem_trywait(&s->sem) == 0; }

bool SemTimedWait(KeeperSem *s, KeeperTime t)
{
    auto now = timespec{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto deadline = KeeperTimespecAdd(now, ConvertKeeperTime2Timespec(t));
    int rc;
    while ((rc = sem_timedwait(&s->sem, &deadline)) != 0 && errno == EINTR) {
    }
    return rc == 0;
}

void AtomicDestroy(KeeperAtomic *a)
{
    if (a != nullptr) {
        // Poison the value so a use after destroy reads something obviously wrong.
        a->value.store(INT64_MAX);
        a->~KeeperAtomic();
        KeeperFree(a);
    }
}

int64_t AtomicRead(KeeperAtomic *a) { return a->value.load(); }
void AtomicSet(KeeperAtomic *a, int64_t v) { a->value.store(v); }
bool AtomicCas(KeeperAtomic *a, int64_t e, int64_t d)
{
    return a->value.compare_exchange_strong(e, d);
}
int64_t AtomicAdd(KeeperAtomic *a, int64_t n) { return a->value.fetch_add(n) + n; }
int64_t AtomicInc(KeeperAtomic *a) { return a->value.fetch_add(1) + 1; }
int64_t AtomicDec(KeeperAtomic *a) { return a->value.fetch_sub(1) - 1; }

KeeperSpinLockT *SpinCreate()
{
    void *mem = KeeperAlloc(sizeof(KeeperSpinLockT));
    return mem == nullptr ? nullptr : new (mem) KeeperSpinLockT{{kSpinFree}};
}

void SpinDestroy(KeeperSpinLockT *l) { KeeperFree(l); }

void FutexWait(std::atomic<uint32_t> *word, uint32_t expected)
{
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected,
                  nullptr, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t> *word)
{
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
                  nullptr, 0);
}

// Deliberately not a busy-waiting pthread spinlock: the data-manager lock is
// held across agent exchanges of up to 15 s, and a hung agent made every
// waiter burn a core. Same semantics (exclusive, any thread may unlock), but
// a waiter spins only briefly and then sleeps on a futex until an unlock.
void SpinLock(KeeperSpinLockT *l)
{
    for (int i = 0; i < kSpinsBeforeSleep; ++i) {
        uint32_t expected = kSpinFree;
        if (l->state.load(std::memory_order_relaxed) == kSpinFree &&
            l->state.compare_exchange_weak(expected, kSpinHeld, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            return;
        }
    }
    // Marked contended before sleeping, so the unlock knows to wake someone;
    // a waiter that takes the lock this way keeps the mark (one spare wake).
    while (l->state.exchange(kSpinContended, std::memory_order_acquire) != kSpinFree) {
        FutexWait(&l->state, kSpinContended);
    }
}

void SpinUnlock(KeeperSpinLockT *l)
{
    if (l->state.exchange(kSpinFree, std::memory_order_release) == kSpinContended) {
        FutexWake(&l->state);
    }
}

bool SpinTryLock(KeeperSpinLockT *l)
{
    uint32_t expected = kSpinFree;
    return l->state.compare_exchange_strong(expected, kSpinHeld, std::memory_order_acquire,
                                            std::memory_order_relaxed);
}

KeeperRwLockT *RwCreate()
{
    auto *l = static_cast<KeeperRwLockT *>(KeeperAlloc(sizeof(KeeperRwLockT)));
    if (l != nullptr && pthread_rwlock_init(&l->lock, nullptr) != 0) {
        KeeperFree(l);
        return nullptr;
    }
    return l;
}

void RwDestroy(KeeperRwLockT *l)
{
    if (l != nullptr) {
        pthread_rwlock_destroy(&l->lock);
        KeeperFree(l);
    }
}

void WriteLock(KeeperRwLockT *l) { pthread_rwlock_wrlock(&l->lock); }
bool TryWriteLock(KeeperRwLockT *l) { return pthread_rwlock_trywrlock(&l->lock) == 0; }
void ReadLock(KeeperRwLockT *l) { pthread_rwlock_rdlock(&l->lock); }
bool TryReadLock(KeeperRwLockT *l) { return pthread_rwlock_tryrdlock(&l->lock) == 0; }
void RwUnlock(KeeperRwLockT *l) { pthread_rwlock_unlock(&l->lock); }

const KeeperOsOps kInfraLiteOps = {
    malloc,       free,         KeeperOsThreadCreate, Yield,        Sleep,
    KeeperOsLog,  SemCreate,    SemDestroy,           SemWait,      SemPost,
    SemTryWait,   SemTimedWait, SemWait,              SemPost,      SemTryWait,
    SemTimedWait, KeeperOsAtomicCreate, AtomicDestroy, AtomicRead,  AtomicSet,
    AtomicCas,    AtomicAdd,    AtomicInc,            AtomicDec,    SpinCreate,
    SpinDestroy,  SpinLock,     SpinUnlock,           SpinTryLock,  RwCreate,
    RwDestroy,    WriteLock,    TryWriteLock,         ReadLock,     TryReadLock,
    RwUnlock,
};

}  // namespace

const KeeperOsOps &KeeperInfraLiteOps() { return kInfraLiteOps; }

int KeeperInfraLiteInstall()
{
    KeeperOsInstall(kInfraLiteOps);
    KeeperOsSetLogLevel(qxlog_loglevel_get(kDaemonLogModule));
    return 0;
}

uint64_t KeeperOsThreadCreate(KeeperThreadFn entry, KeeperThreadFn exit,
                              const KeeperThreadAttr *attr)
{
    pthread_attr_t pattr;
    pthread_attr_init(&pattr);
    // Set only when it differs from the attribute's own: glibc checks the
    // value against the policy's range with two system calls, which for the
    // default priority 0 of every worker was a fifth of its start's calls.
    sched_param param{};
    (void)pthread_attr_getschedparam(&pattr, &param);
    if (param.sched_priority != static_cast<int>(attr->priority)) {
        param.sched_priority = static_cast<int>(attr->priority);
        pthread_attr_setschedparam(&pattr, &param);
    }

    auto *ctx = static_cast<ThreadCtx *>(KeeperAlloc(sizeof(ThreadCtx)));
    if (ctx == nullptr) {
        pthread_attr_destroy(&pattr);
        KLOG_ERR("OS_ADAPTER", "malloc thread context failed");
        return 0;
    }
    *ctx = ThreadCtx{entry, attr->entryArg, exit, attr->exitArg};
    pthread_t tid{};
    int rc = pthread_create(&tid, &pattr, ThreadBody, ctx);
    pthread_attr_destroy(&pattr);
    if (rc != 0) {
        KeeperFree(ctx);
        KLOG_ERR("OS_ADAPTER", "thread create failed(%d).", rc);
        return 0;
    }
    if (attr->joinable == 1) {
        pthread_join(tid, nullptr);
    } else {
        pthread_detach(tid);
    }
    return static_cast<uint64_t>(tid);
}

KeeperAtomic *KeeperOsAtomicCreate(int64_t initial)
{
    void *mem = KeeperAlloc(sizeof(KeeperAtomic));
    if (mem == nullptr) {
        KLOG_ERR("OS_ADAPTER", "malloc semaphore failed.");
        return nullptr;
    }
    return new (mem) KeeperAtomic{initial};
}

void KeeperOsLog(uint32_t level, const char *tag, const char *file, uint32_t line,
                 const char *func, const char *fmt, ...)
{
    if (level > KeeperOsLogLevel()) {
        return;
    }
    char *buf = static_cast<char *>(KeeperAlloc(kLogBufSize));
    if (buf == nullptr) {
        qxlog(kDaemonLogModule, KEEPER_LOG_ERROR, file, line, func, 0, "buf malloc fail!");
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    int ret = vsnprintf_s(buf, kLogBufSize, kLogBufSize - 1, fmt, ap);
    va_end(ap);
    // A message the bounded format refuses (including one over 510 characters)
    // is replaced by a failure record rather than logged half-formatted.
    if (ret < 0) {
        qxlog(kDaemonLogModule, KEEPER_LOG_ERROR, file, line, func, 0, "vsnprintf_s fail. ret:%d",
              ret);
        KeeperFree(buf);
        return;
    }
    KeeperLogHook hook = KeeperLogGetHook();
    if (hook != nullptr) {
        hook(level, tag, buf);
    }
    qxlog(kDaemonLogModule, level, file, line, func, 0, "[%s]%s", tag, buf);
    KeeperFree(buf);
}

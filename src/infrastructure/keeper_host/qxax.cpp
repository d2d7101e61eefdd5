#include "infrastructure/keeper_host/qxax.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax_internal.h"

namespace {

// Spins this often before giving the CPU away: the daemon's sections under a
// spinlock are short, but the machine may have fewer cores than runnable
// threads, and a holder that was preempted must get to run.
constexpr uint32_t kSpinsBeforeYield = 128;
constexpr uint64_t kU64MaxDiv10 = UINT64_MAX / 10;
constexpr uint64_t kU64MaxMod10 = UINT64_MAX % 10;

struct QxaxClockState {
    std::atomic<bool> fakeBound{false};
    std::atomic<uint64_t> fakeNow{0};
};

QxaxClockState g_clock;

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

void *const kNoOwner = reinterpret_cast<void *>(~static_cast<uintptr_t>(0));

void MarkHeld(qxax_spinlock_t *lock, const char *func, uint32_t line)
{
    lock->owner = reinterpret_cast<void *>(pthread_self());
    lock->holder_func = func;
    lock->holder_line = line;
}

}  // namespace

void qxax_spin_lock_init(qxax_spinlock_t *lock)
{
    if (lock == nullptr) {
        return;
    }
    __atomic_store_n(&lock->lock, 0u, __ATOMIC_RELEASE);
    lock->magic = QXAX_SPINLOCK_MAGIC;
    lock->owner_cpu = QXAX_SPINLOCK_NO_CPU;
    lock->owner = kNoOwner;
    lock->holder_func = nullptr;
    lock->holder_line = 0;
}

void do_qxax_spinlock_lock(qxax_spinlock_t *lock, const char *func, uint32_t line,
                           const void *name)
{
    (void)name;
    uint32_t spins = 0;
    while (__atomic_exchange_n(&lock->lock, 1u, __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(&lock->lock, __ATOMIC_RELAXED) != 0) {
            if (++spins < kSpinsBeforeYield) {
                CpuRelax();
            } else {
                sched_yield();
            }
        }
    }
    MarkHeld(lock, func, line);
}

void do_qxax_spinlock_unlock(qxax_spinlock_t *lock, const char *func, uint32_t line,
                             const void *name)
{
    (void)func;
    (void)line;
    (void)name;
    lock->owner = kNoOwner;
    lock->holder_func = nullptr;
    __atomic_store_n(&lock->lock, 0u, __ATOMIC_RELEASE);
}

bool do_qxax_tspinlock_trylock(qxax_spinlock_t *lock, const char *func, uint32_t line)
{
    if (__atomic_exchange_n(&lock->lock, 1u, __ATOMIC_ACQUIRE) != 0) {
        return false;
    }
    MarkHeld(lock, func, line);
    return true;
}

uint64_t qxax_get_jiffies()
{
    if (g_clock.fakeBound.load(std::memory_order_acquire)) {
        return g_clock.fakeNow.load(std::memory_order_acquire);
    }
    auto ts = timespec{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t qxax_str_tou64(const char *text, uint32_t flags)
{
    if (text == nullptr || text[0] == '\0' || flags != 0) {
        errno = EINVAL;
        return 0;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            errno = EINVAL;
            return 0;
        }
        auto digit = static_cast<uint64_t>(*p - '0');
        if (value > kU64MaxDiv10 || (value == kU64MaxDiv10 && digit > kU64MaxMod10)) {
            overflow = true;  // keep scanning: a bad character still wins as EINVAL
        }
        value = value * 10 + digit;
    }
    if (overflow) {
        errno = ERANGE;
        return 0;
    }
    errno = 0;
    return value;
}

void HostClockBind(uint64_t startMs)
{
    g_clock.fakeNow.store(startMs, std::memory_order_release);
    g_clock.fakeBound.store(true, std::memory_order_release);
    QxaxTimerWake();
}

void HostClockUnbind()
{
    g_clock.fakeBound.store(false, std::memory_order_release);
    QxaxTimerWake();
}

bool HostClockBound() { return g_clock.fakeBound.load(std::memory_order_acquire); }

void HostClockAdvance(uint64_t ms)
{
    if (!HostClockBound()) {
        return;
    }
    g_clock.fakeNow.fetch_add(ms, std::memory_order_acq_rel);
    QxaxTimerWake();
}

void QxaxClockSet(uint64_t nowMs) { g_clock.fakeNow.store(nowMs, std::memory_order_release); }

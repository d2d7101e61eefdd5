// Host OS abstraction: start/stop, spinlocks, jiffies, number parsing and
// timers.
//
// Jiffies: 1 jiffy = 1 ms of CLOCK_MONOTONIC, or of the fake clock a test
// bound (host_test.h).
//
// Timers live in caller storage. A timer is one-shot: when it expires it is
// disarmed and its callback runs once; a periodic user re-arms it from the
// callback with qxax_timer_modify. Callbacks run on ONE host timer thread
// (started by qxax_Init or, lazily, by the first qxax_timer_add), in deadline
// order; in manual mode (host_test.h) nothing fires on its own and the test
// fires due timers on its own thread. A callback may call qxax_timer_modify or
// qxax_timer_destroy on its own timer (or any other) without deadlock: no
// host lock is held while a callback runs. After a callback returned, the host
// never touches that timer's storage again unless it was re-armed, so the
// callback may destroy and free it.
#pragma once

#include <cstdint>

// ---- start / stop --------------------------------------------------------

// Starts the timer thread. 0, or a negative errno when it cannot be started.
// Calling it again while running is harmless.
[[nodiscard]] int qxax_Init();
// Stops and joins the timer thread and disarms every timer (their storage
// stays the caller's). Must not be called from a timer callback.
void qxax_destory();

// ---- spinlocks -----------------------------------------------------------

inline constexpr uint32_t QXAX_SPINLOCK_MAGIC = 0xdead4eadu;
inline constexpr uint32_t QXAX_SPINLOCK_NO_CPU = 0xFFFFFFFFu;

// A busy-waiting lock for short sections, stored by the caller. Plain data:
// all-zero is an unlocked lock, as is one set up with qxax_spin_lock_init or
// by hand (lock word 0, magic QXAX_SPINLOCK_MAGIC, owner_cpu all ones, owner
// all ones). Not recursive. The holder fields only serve diagnostics.
struct qxax_spinlock_t {
    uint32_t lock;       // 0 free, 1 held; accessed only atomically
    uint32_t magic;      // QXAX_SPINLOCK_MAGIC once initialised
    uint32_t owner_cpu;  // QXAX_SPINLOCK_NO_CPU while free
    void *owner;         // holding thread, all ones while free
    const char *holder_func;
    uint32_t holder_line;
};

void qxax_spin_lock_init(qxax_spinlock_t *lock);
// Takes the lock, spinning (and yielding the CPU after a short spin).
// `func`/`line` name the caller and `name` identifies the lock (usually the
// lock itself) for diagnostics.
void do_qxax_spinlock_lock(qxax_spinlock_t *lock, const char *func, uint32_t line,
                           const void *name);
void do_qxax_spinlock_unlock(qxax_spinlock_t *lock, const char *func, uint32_t line,
                             const void *name);
// True when taken.
[[nodiscard]] bool do_qxax_tspinlock_trylock(qxax_spinlock_t *lock, const char *func,
                                             uint32_t line);

#define qxax_spin_lock(l) do_qxax_spinlock_lock((l), __func__, __LINE__, (l))
#define qxax_spin_unlock(l) do_qxax_spinlock_unlock((l), __func__, __LINE__, (l))

// ---- time and numbers ----------------------------------------------------

// Monotonic milliseconds (or the bound fake clock). Lock free.
uint64_t qxax_get_jiffies();

// Parses an unsigned decimal number: only the digits 0-9, at least one, no
// sign, no blanks, no prefix, value at most 2^64-1. On success returns the
// value and sets errno to 0. On bad text returns 0 and sets errno: EINVAL for
// a null or empty text or any other character, ERANGE for a value above
// 2^64-1. A caller that must tell "0" from bad text checks errno. `flags`
// is reserved and must be 0 (anything else gives EINVAL).
uint64_t qxax_str_tou64(const char *text, uint32_t flags);

// ---- timers --------------------------------------------------------------

using qxax_timer_func = void (*)(void *data);

// Caller storage of a timer; fields are the host's, read them only through
// the functions below. Zero-fill or qxax_timer_set_raw before first use.
struct qxax_timer_t {
    uint32_t magic;
    uint32_t armed;
    uint64_t periodMs;
    uint64_t expires;  // jiffies
    uint64_t seq;      // tie-break: equal deadlines fire in arming order
    void *data;
    qxax_timer_func callback;
    const char *name;
    const char *file;
    uint32_t line;
    qxax_timer_t *prev;
    qxax_timer_t *next;
};

// Prepares a disarmed timer: it will expire `periodMs` after qxax_timer_add
// and call callback(data). `name`, `file`, `line` are kept for diagnostics.
// 0; -EINVAL for a null timer or callback; -EBUSY if the timer is armed.
[[nodiscard]] int qxax_timer_set_raw(qxax_timer_t *timer, uint64_t periodMs, void *data,
                                     qxax_timer_func callback, const char *name,
                                     const char *file, uint32_t line);
// Arms a prepared timer to expire `periodMs` from now. 0; -EINVAL when not
// prepared; -EBUSY when already armed; a negative errno if the timer thread
// cannot be started.
[[nodiscard]] int qxax_timer_add(qxax_timer_t *timer);
// Sets the period and (re-)arms the timer to expire `periodMs` from now,
// whether it was armed or not. 0, or -EINVAL when not prepared.
[[nodiscard]] int qxax_timer_modify(qxax_timer_t *timer, uint64_t periodMs);
// Disarms the timer and forgets it. If its callback is running on another
// thread, waits for it to return, so the storage may be freed afterwards.
// From inside its own callback it returns at once. 0, or -EINVAL when the
// timer was never prepared (or already destroyed).
[[nodiscard]] int qxax_timer_destroy(qxax_timer_t *timer);
// True while armed (tests and diagnostics).
bool qxax_timer_pending(const qxax_timer_t *timer);

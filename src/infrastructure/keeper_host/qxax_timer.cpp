// Host timers: a deadline-ordered list of caller-owned timers served by one
// thread (or, in manual mode, by the test that calls HostTimersAdvance).
//
// One mutex guards the list and the "running" bookkeeping. It is never held
// while a callback runs, which is what lets a callback re-arm or destroy its
// own timer. The daemon keeps well under a hundred timers, so a sorted list
// with linear insertion is cheaper than anything cleverer.
#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "infrastructure/keeper_host/host_test.h"
#include "infrastructure/keeper_host/qxax.h"
#include "infrastructure/keeper_host/qxax_internal.h"

namespace {

constexpr uint32_t kTimerMagic = 0x71a8713eu;

struct QxaxTimerState {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake;  // list head, mode or clock changed; stop requested
    pthread_cond_t idle;  // a callback returned
    qxax_timer_t *head = nullptr;
    uint32_t armedCount = 0;
    uint64_t nextSeq = 0;
    qxax_timer_t *running = nullptr;  // timer whose callback runs right now
    pthread_t firingThread{};
    pthread_t thread{};
    bool threadRunning = false;
    bool stop = false;
    bool manual = false;
};

QxaxTimerState g_timers;
pthread_once_t g_timersOnce = PTHREAD_ONCE_INIT;

void InitConds()
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_timers.wake, &attr);
    pthread_condattr_destroy(&attr);
    pthread_cond_init(&g_timers.idle, nullptr);
}

class TimerGuard {
public:
    TimerGuard()
    {
        pthread_once(&g_timersOnce, InitConds);
        pthread_mutex_lock(&g_timers.lock);
    }
    ~TimerGuard() { pthread_mutex_unlock(&g_timers.lock); }
    TimerGuard(const TimerGuard &) = delete;
    TimerGuard &operator=(const TimerGuard &) = delete;
};

bool FiresBefore(const qxax_timer_t *a, const qxax_timer_t *b)
{
    return a->expires < b->expires || (a->expires == b->expires && a->seq < b->seq);
}

void Unlink(qxax_timer_t *t)
{
    if (!t->armed) {
        return;
    }
    if (t->prev != nullptr) {
        t->prev->next = t->next;
    } else {
        g_timers.head = t->next;
    }
    if (t->next != nullptr) {
        t->next->prev = t->prev;
    }
    t->prev = nullptr;
    t->next = nullptr;
    t->armed = 0;
    --g_timers.armedCount;
}

void Arm(qxax_timer_t *t, uint64_t periodMs)
{
    t->periodMs = periodMs;
    t->expires = qxax_get_jiffies() + periodMs;
    t->seq = g_timers.nextSeq++;
    qxax_timer_t *prev = nullptr;
    qxax_timer_t *cur = g_timers.head;
    while (cur != nullptr && !FiresBefore(t, cur)) {
        prev = cur;
        cur = cur->next;
    }
    t->prev = prev;
    t->next = cur;
    if (prev != nullptr) {
        prev->next = t;
    } else {
        g_timers.head = t;
        pthread_cond_signal(&g_timers.wake);
    }
    if (cur != nullptr) {
        cur->prev = t;
    }
    t->armed = 1;
    ++g_timers.armedCount;
}

// Disarms `t` and runs its callback with the lock released. Called and
// returns with the lock held. `t` is not touched after the callback, which
// may have destroyed and freed it.
void FireLocked(qxax_timer_t *t)
{
    Unlink(t);
    qxax_timer_func callback = t->callback;
    void *data = t->data;
    g_timers.running = t;
    g_timers.firingThread = pthread_self();
    pthread_mutex_unlock(&g_timers.lock);
    callback(data);
    pthread_mutex_lock(&g_timers.lock);
    g_timers.running = nullptr;
    pthread_cond_broadcast(&g_timers.idle);
}

void WaitUntil(uint64_t jiffiesDue)
{
    uint64_t now = qxax_get_jiffies();
    if (HostClockBound()) {
        // The fake clock only moves when a test moves it, and that wakes us.
        pthread_cond_wait(&g_timers.wake, &g_timers.lock);
        return;
    }
    auto ts = timespec{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t waitMs = jiffiesDue > now ? jiffiesDue - now : 0;
    ts.tv_sec += static_cast<time_t>(waitMs / 1000);
    ts.tv_nsec += static_cast<long>(waitMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&g_timers.wake, &g_timers.lock, &ts);
}

void *TimerThread(void *)
{
    TimerGuard guard;
    while (!g_timers.stop) {
        if (g_timers.manual || g_timers.head == nullptr) {
            pthread_cond_wait(&g_timers.wake, &g_timers.lock);
            continue;
        }
        qxax_timer_t *t = g_timers.head;
        if (t->expires <= qxax_get_jiffies()) {
            FireLocked(t);
        } else {
            WaitUntil(t->expires);
        }
    }
    return nullptr;
}

// Caller holds the lock.
int StartThreadLocked()
{
    if (g_timers.threadRunning) {
        return 0;
    }
    g_timers.stop = false;
    int ret = pthread_create(&g_timers.thread, nullptr, TimerThread, nullptr);
    if (ret != 0) {
        return -ret;
    }
    pthread_setname_np(g_timers.thread, "qxax_timer");
    g_timers.threadRunning = true;
    return 0;
}

void DisarmAllLocked()
{
    while (g_timers.head != nullptr) {
        Unlink(g_timers.head);
    }
}

bool Prepared(const qxax_timer_t *t) { return t != nullptr && t->magic == kTimerMagic; }

}  // namespace

int qxax_Init()
{
    TimerGuard guard;
    return StartThreadLocked();
}

void qxax_destory()
{
    pthread_t thread;
    {
        TimerGuard guard;
        if (!g_timers.threadRunning) {
            DisarmAllLocked();
            return;
        }
        g_timers.stop = true;
        thread = g_timers.thread;
        pthread_cond_broadcast(&g_timers.wake);
    }
    pthread_join(thread, nullptr);
    TimerGuard guard;
    g_timers.threadRunning = false;
    g_timers.stop = false;
    DisarmAllLocked();
}

void QxaxTimerWake()
{
    TimerGuard guard;
    pthread_cond_broadcast(&g_timers.wake);
}

int qxax_timer_set_raw(qxax_timer_t *timer, uint64_t periodMs, void *data,
                       qxax_timer_func callback, const char *name, const char *file,
                       uint32_t line)
{
    if (timer == nullptr || callback == nullptr) {
        return -EINVAL;
    }
    TimerGuard guard;
    if (Prepared(timer) && timer->armed) {
        return -EBUSY;
    }
    *timer = qxax_timer_t{};
    timer->magic = kTimerMagic;
    timer->periodMs = periodMs;
    timer->data = data;
    timer->callback = callback;
    timer->name = name;
    timer->file = file;
    timer->line = line;
    return 0;
}

int qxax_timer_add(qxax_timer_t *timer)
{
    TimerGuard guard;
    if (!Prepared(timer)) {
        return -EINVAL;
    }
    if (timer->armed) {
        return -EBUSY;
    }
    if (!g_timers.manual) {
        int ret = StartThreadLocked();
        if (ret != 0) {
            return ret;
        }
    }
    Arm(timer, timer->periodMs);
    return 0;
}

int qxax_timer_modify(qxax_timer_t *timer, uint64_t periodMs)
{
    TimerGuard guard;
    if (!Prepared(timer)) {
        return -EINVAL;
    }
    if (!g_timers.manual) {
        int ret = StartThreadLocked();
        if (ret != 0) {
            return ret;
        }
    }
    Unlink(timer);
    Arm(timer, periodMs);
    return 0;
}

int qxax_timer_destroy(qxax_timer_t *timer)
{
    TimerGuard guard;
    if (!Prepared(timer)) {
        return -EINVAL;
    }
    Unlink(timer);
    // Like del_timer_sync: once this returns the callback is not running, so
    // the caller may free the storage. Its own callback must not wait for
    // itself.
    while (g_timers.running == timer && !pthread_equal(g_timers.firingThread, pthread_self())) {
        pthread_cond_wait(&g_timers.idle, &g_timers.lock);
    }
    timer->magic = 0;
    return 0;
}

bool qxax_timer_pending(const qxax_timer_t *timer)
{
    TimerGuard guard;
    return Prepared(timer) && timer->armed != 0;
}

void HostTimersManual(bool on)
{
    if (on && !HostClockBound()) {
        HostClockBind(0);
    }
    TimerGuard guard;
    g_timers.manual = on;
    pthread_cond_broadcast(&g_timers.wake);
}

uint32_t HostTimersAdvance(uint64_t ms)
{
    uint32_t fired = 0;
    TimerGuard guard;
    if (!g_timers.manual) {
        return 0;
    }
    uint64_t target = qxax_get_jiffies() + ms;
    while (fired < HOST_TIMERS_MAX_FIRES && g_timers.head != nullptr &&
           g_timers.head->expires <= target) {
        qxax_timer_t *t = g_timers.head;
        if (t->expires > qxax_get_jiffies()) {
            QxaxClockSet(t->expires);
        }
        FireLocked(t);
        ++fired;
    }
    if (qxax_get_jiffies() < target) {
        QxaxClockSet(target);
    }
    return fired;
}

uint32_t HostTimersArmedCount()
{
    TimerGuard guard;
    return g_timers.armedCount;
}

void HostTimersReset()
{
    TimerGuard guard;
    DisarmAllLocked();
}

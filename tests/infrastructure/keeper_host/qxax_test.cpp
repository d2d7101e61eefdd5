// test-labels: concurrent
#include "infrastructure/keeper_host/qxax.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>
#include <utility>

namespace {

TEST(QxaxStrToU64, ParsesDecimalAndReportsBadText)
{
    // Text, flags (reserved: any set bit is refused), the value and errno.
    const std::tuple<const char *, uint32_t, uint64_t, int> cases[] = {
        {"0", 0, 0, 0},
        {"000123", 0, 123, 0},
        {"18446744073709551615", 0, UINT64_MAX, 0},
        {"18446744073709551616", 0, 0, ERANGE},       // 2^64
        {"99999999999999999999999x", 0, 0, EINVAL},  // bad character beats overflow
        {"", 0, 0, EINVAL},  {"-1", 0, 0, EINVAL},   {"+1", 0, 0, EINVAL}, {" 1", 0, 0, EINVAL},
        {"1 ", 0, 0, EINVAL}, {"0x10", 0, 0, EINVAL}, {"1.5", 0, 0, EINVAL},
        {nullptr, 0, 0, EINVAL}, {"5", 1, 0, EINVAL},
    };
    for (const auto &[text, flags, want, wantErrno] : cases) {
        errno = 12345;
        uint64_t got = qxax_str_tou64(text, flags);
        EXPECT_EQ(std::make_pair(got, errno), std::make_pair(want, wantErrno)) << text;
    }
}

// Zero-filled and initialised locks start unlocked, record their holder and
// guard a plain counter across threads.
TEST(QxaxSpinlock, LocksStartUnlockedRecordTheHolderAndExclude)
{
    qxax_spinlock_t zeroed{};
    qxax_spinlock_t inited;
    memset(&inited, 0x5a, sizeof(inited));
    qxax_spin_lock_init(&inited);  // whatever was there before
    for (qxax_spinlock_t *l : {&zeroed, &inited}) {
        EXPECT_TRUE(do_qxax_tspinlock_trylock(l, "t", 1));
        EXPECT_FALSE(do_qxax_tspinlock_trylock(l, "t", 2));
        EXPECT_STREQ(l->holder_func, "t");
        EXPECT_EQ(l->holder_line, 1u);
        qxax_spin_unlock(l);
        EXPECT_EQ(l->holder_func, nullptr);
        uint64_t counter = 0;  // deliberately plain: only the lock protects it
        auto add = [&] {
            for (int i = 0; i < 20000; ++i) {
                do_qxax_spinlock_lock(l, __func__, __LINE__, l);
                ++counter;
                do_qxax_spinlock_unlock(l, __func__, __LINE__, l);
            }
        };
        std::thread t1(add), t2(add), t3(add);
        add();
        t1.join(), t2.join(), t3.join();
        EXPECT_EQ(counter, 80000u);
        qxax_spin_lock(l);
        EXPECT_FALSE(do_qxax_tspinlock_trylock(l, "t", 3));
        qxax_spin_unlock(l);
    }
    // A waiter that finds the lock freed just after its failed attempt must
    // take it then, not keep waiting for a holder that never comes.
    for (int round = 0; round < 50; ++round) {
        qxax_spin_lock(&inited);
        std::thread waiter([&] {
            qxax_spin_lock(&inited);
            qxax_spin_unlock(&inited);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // it spins meanwhile
        qxax_spin_unlock(&inited);
        waiter.join();
    }
}

}  // namespace

// Thread primitives: mutexes, events, read-write locks, managed threads.

#include "HTThread.h"

#include "htc_oom.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits up to two seconds for a condition that another thread makes true.
template <class F> bool eventually(F f)
{
    for (int i = 0; i < 200; ++i) {
        if (f())
            return true;
        sleep_ms(10);
    }
    return f();
}

} // namespace

TEST(HTThread, MillicountWrapsEvery4290000Seconds)
{
    EXPECT_EQ(HTThread__millicount(4289999ULL, 999999), 4289999999u);
    EXPECT_EQ(HTThread__millicount(4290000ULL, 0), 0u);
    EXPECT_EQ(HTThread__millicount(2 * 4290000ULL + 5, 1500), 5001u);
    EXPECT_LT(getmillicount(), 4290000000u);
    unsigned int seed = 7, again = 7;
    EXPECT_EQ(random_next(&seed), random_next(&again));
}

TEST(HTThread, PmutexHammer)
{
    pmutex m = pmutex_create();
    ASSERT_NE(m, 0u);
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                pmutex_request(m);
                ++counter;
                pmutex_release(m);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(counter, 200000);
    pmutex_destroy(m);
}

TEST(HTThread, PmutexTryAndTimeout)
{
    pmutex m = pmutex_create();
    EXPECT_EQ(pmutex_request_timeout(m, 0), 1); // never tries
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
        pmutex_request(m);
        held = true;
        while (!done)
            sleep_ms(5);
        pmutex_release(m);
    });
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    EXPECT_NE(pmutex_requestNoBlock(m), 0);
    // 1500 ms: two immediate tries, then two tries each followed by a 1 s sleep.
    auto t0 = Clock::now();
    EXPECT_EQ(pmutex_request_timeout(m, 1500), 1);
    double took = seconds_since(t0);
    EXPECT_GE(took, 1.9); // it really waited: two sleeps of a second
    done = true;
    holder.join();
    EXPECT_EQ(pmutex_request_timeout(m, 1500), 0);
    pmutex_release(m);
    pmutex_destroy(m);
}

TEST(HTThread, EventSetWithoutWaiterServesExactlyOneWait)
{
    pevent e = pevent_create();
    pevent_set(e);
    pevent_set(e); // still one stored signal
    EXPECT_EQ(pevent_wait_timeout(e, 5000), 0); // the stored signal
    // The second set changed nothing: this wait times out.
    EXPECT_NE(pevent_wait_timeout(e, 999), 0);
    pevent_destroy(e);
}

TEST(HTThread, EventTimedWaitEndsAtTheWholeSecond)
{
    pevent e = pevent_create();
    // The deadline is a whole second of the wall clock: the wait never ends
    // before the next second has begun.
    // (time() may lag the clock the wait uses by a tick: read that clock.)
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    EXPECT_NE(pevent_wait_timeout(e, 1500), 0);
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_GE(after.tv_sec, before.tv_sec + 1);
    pevent_destroy(e);
}

TEST(HTThread, EventSetAfterTimedOutWaitIsNotLost)
{
    pevent e = pevent_create();
    EXPECT_NE(pevent_wait_timeout(e, 0), 0);
    // Nobody waits any more: the set must stay for the next wait.
    pevent_set(e);
    EXPECT_EQ(pevent_wait_timeout(e, 5000), 0);
    pevent_destroy(e);
}

TEST(HTThread, EventAutoResetWakesOneWaiterPerSet)
{
    pevent e = pevent_create();
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            pevent_wait(e);
            ++woken;
        });
    while (HTThread__peventWaiting(e) < 4) // all four block
        std::this_thread::yield();
    for (int i = 1; i <= 4; ++i) {
        pevent_set(e);
        // One set, one waiter out: the others are still inside the wait.
        while (HTThread__peventWaiting(e) > 4 - i)
            std::this_thread::yield();
        ASSERT_TRUE(eventually([&] { return woken.load() >= i; }));
        EXPECT_EQ(HTThread__peventWaiting(e), 4 - i);
    }
    for (auto &t : ts)
        t.join();
    pevent_destroy(e);
}

TEST(HTThread, EventSetAllWakesEveryWaiter)
{
    pevent e = pevent_create();
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; ++i)
        ts.emplace_back([&] {
            EXPECT_EQ(pevent_wait_timeout(e, 30000), 0);
            ++woken;
        });
    while (HTThread__peventWaiting(e) < 3)
        std::this_thread::yield();
    pevent_setall(e);
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(woken.load(), 3);
    pevent_reset(e);
    EXPECT_NE(pevent_wait_timeout(e, 0), 0);
    pevent_destroy(e);
}

TEST(HTThread, EventProducerConsumerLosesNoSet)
{
    // Every set made while a consumer waits wakes exactly one wait; sets are
    // paced so that each finds its waiter or the stored signal.
    pevent e = pevent_create();
    pevent ack = pevent_create();
    constexpr int kRounds = 2000;
    std::thread consumer([&] {
        for (int i = 0; i < kRounds; ++i) {
            pevent_wait(e);
            pevent_set(ack);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        pevent_set(e);
        ASSERT_EQ(pevent_wait_timeout(ack, 10000), 0) << "round " << i;
    }
    consumer.join();
    pevent_destroy(e);
    pevent_destroy(ack);
}

TEST(HTThread, RmutexRecursionAndForeignRelease)
{
    rmutex r = rmutex_create();
    ASSERT_EQ(rmutex_request(r), 0);
    ASSERT_EQ(rmutex_request(r), 0);
    ASSERT_EQ(rmutex_request(r), 0);
    auto other_try = [&] {
        int rc = -1;
        std::thread t([&] {
            rc = rmutex_request_timeout(r, 1000);
            if (rc == 0)
                rmutex_release(r);
        });
        t.join();
        return rc;
    };
    // A release by a thread that does not own it changes nothing.
    std::thread([&] { rmutex_release(r); }).join();
    rmutex_release(r);
    rmutex_release(r);
    EXPECT_EQ(other_try(), 1);
    rmutex_release(r);
    EXPECT_EQ(other_try(), 0);
    rmutex_destroy(r);
}

TEST(HTThread, RmutexHandsOverBetweenThreads)
{
    rmutex r = rmutex_create();
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                rmutex_request(r);
                rmutex_request(r);
                ++counter;
                rmutex_release(r);
                rmutex_release(r);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(counter, 6000);
    rmutex_destroy(r);
}

TEST(HTThread, RwlockWriterPreferenceWhileReadersHold)
{
    rwlock l = rwlock_create();
    rwlockObtainRead(l); // reader A
    std::atomic<bool> writerIn{false}, readerBIn{false};
    std::atomic<bool> aReleased{false};
    std::thread writer([&] {
        rwlockObtainWrite(l);
        EXPECT_TRUE(aReleased.load());
        writerIn = true;
        rwlockRelease(l);
    });
    // The latch: the writer has flagged itself as waiting.
    while ((HTThread__rwlockWaiting(l) & 1) == 0)
        std::this_thread::yield();
    std::thread readerB([&] {
        rwlockObtainRead(l);
        // It waited while A held the lock and the writer was flagged; once
        // no reader holds it, the writer and B race for it.
        EXPECT_TRUE(aReleased.load());
        readerBIn = true;
        rwlockRelease(l);
    });
    // Reader B now waits too, although only readers hold the lock.
    while ((HTThread__rwlockWaiting(l) & 2) == 0)
        std::this_thread::yield();
    EXPECT_FALSE(readerBIn.load());
    EXPECT_FALSE(writerIn.load());
    EXPECT_EQ(rwlockHeldRead(l), 1);
    aReleased = true;
    rwlockRelease(l);
    writer.join();
    readerB.join();
    EXPECT_TRUE(writerIn.load());
    EXPECT_TRUE(readerBIn.load());
    EXPECT_EQ(rwlockHeldRead(l), 0);
    EXPECT_EQ(HTThread__rwlockWaiting(l), 0);
    rwlock_remove(l);
}

TEST(HTThread, RwlockNonBlockingAndHeldQueries)
{
    rwlock l = rwlock_create();
    EXPECT_EQ(rwlockObtainReadNoBlock(l), 1);
    EXPECT_EQ(rwlockObtainWriteNoBlock(l), 0); // readers hold it: unchanged
    EXPECT_EQ(rwlockHeldRead(l), 1);
    EXPECT_EQ(rwlockHeldWrite(l), 0);
    rwlockRelease(l);
    EXPECT_EQ(rwlockHeldRead(l), 0);
    EXPECT_EQ(rwlockObtainWriteNoBlock(l), 1);
    EXPECT_EQ(rwlockHeldWrite(l), 1);
    int got = -1;
    std::thread([&] { got = rwlockObtainReadNoBlock(l); }).join();
    EXPECT_EQ(got, 0);
    rwlockDowngrade(l);
    EXPECT_EQ(rwlockHeldWrite(l), 0);
    EXPECT_EQ(rwlockHeldRead(l), 1);
    std::thread([&] {
        got = rwlockObtainReadNoBlock(l);
        if (got)
            rwlockRelease(l);
    }).join();
    EXPECT_EQ(got, 1);
    rwlockRelease(l);
    EXPECT_EQ(rwlockHeldRead(l), 0);
    rwlock_remove(l);
}

TEST(HTThread, RwlockHammerKeepsDataConsistent)
{
    rwlock l = rwlock_create();
    long a = 0, b = 0; // writers keep a == b
    std::atomic<bool> bad{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                rwlockObtainWrite(l);
                ++a;
                ++b;
                rwlockRelease(l);
            }
        });
    for (int t = 0; t < 3; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                rwlockObtainRead(l);
                if (a != b)
                    bad = true;
                rwlockRelease(l);
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_FALSE(bad.load());
    EXPECT_EQ(a, 6000);
    rwlock_remove(l);
}

namespace {

std::mutex orderLock;
std::vector<int> order;
void record(uintptr_t v)
{
    std::lock_guard<std::mutex> g(orderLock);
    order.push_back(static_cast<int>(v));
}

struct Gate {
    std::atomic<bool> open{false};
};

void wait_gate(uintptr_t g)
{
    while (!reinterpret_cast<Gate *>(g)->open.load())
        millisleep(1);
}

} // namespace

TEST(HTThread, ManagedThreadRunsDestroyCallbacksByPriority)
{
    order.clear();
    Gate gate;
    pthread_t t = pthread_create_managed(wait_gate, reinterpret_cast<uintptr_t>(&gate));
    ASSERT_NE(t, static_cast<pthread_t>(-1));
    pthread_ondestroy(t, record, 51, 5); // 5, first registered
    pthread_ondestroy(t, record, 10, 1);
    pthread_ondestroy(t, record, 52, 5); // 5, second registered
    gate.open = true;
    pthread_join(t, nullptr);
    EXPECT_EQ(order, std::vector<int>({10, 51, 52}));
}

TEST(HTThread, ManagedThreadBlocksAsynchronousSignals)
{
    std::atomic<int> pipeBlocked{-1};
    static std::atomic<int> *out;
    out = &pipeBlocked;
    pthread_t t = pthread_create_managed(
        [](uintptr_t) {
            sigset_t s;
            pthread_sigmask(SIG_SETMASK, nullptr, &s);
            out->store(sigismember(&s, SIGPIPE) && sigismember(&s, SIGUSR1) &&
                       sigismember(&s, SIGCHLD));
        },
        0);
    ASSERT_NE(t, static_cast<pthread_t>(-1));
    pthread_join(t, nullptr);
    EXPECT_EQ(pipeBlocked.load(), 1);
    // The caller's own mask is restored.
    sigset_t s;
    pthread_sigmask(SIG_SETMASK, nullptr, &s);
    EXPECT_FALSE(sigismember(&s, SIGUSR2));
}

TEST(HTThread, ThirtyThirdManagedThreadGrowsTheTable)
{
    Gate gate;
    std::vector<pthread_t> ts;
    for (int i = 0; i < 33; ++i) {
        pthread_t t = pthread_create_managed(wait_gate, reinterpret_cast<uintptr_t>(&gate));
        ASSERT_NE(t, static_cast<pthread_t>(-1));
        ts.push_back(t);
    }
    int slots = 0;
    HTThread__managedCapacity(&slots, nullptr);
    EXPECT_EQ(slots % 32, 0);
    EXPECT_GE(slots, 64);
    gate.open = true;
    for (auto t : ts)
        pthread_join(t, nullptr);
}

TEST(HTThread, StaleCallbacksDoNotFireOnAReusedThreadId)
{
    order.clear();
    pthread_t first = pthread_create_managed([](uintptr_t) {}, 0);
    ASSERT_NE(first, static_cast<pthread_t>(-1));
    pthread_join(first, nullptr);
    // A record for a thread that has already ended: it can never run for it.
    pthread_ondestroy(first, record, 99, 0);
    bool reused = false;
    for (int i = 0; i < 20 && !reused; ++i) {
        pthread_t t = pthread_create_managed([](uintptr_t) {}, 0);
        ASSERT_NE(t, static_cast<pthread_t>(-1));
        reused = pthread_equal(t, first);
        pthread_join(t, nullptr);
    }
    if (!reused)
        GTEST_SKIP() << "the C library did not reuse the thread id";
    EXPECT_TRUE(order.empty());
}

TEST(HTThread, Starters)
{
    static std::atomic<int> ran;
    ran = 0;
    auto fn = [](void *) -> void * {
        ++ran;
        return nullptr;
    };
    pthread_t a = StartThread(fn, nullptr);
    pthread_t b = lmc_StartThread(fn, nullptr);
    ASSERT_NE(a, pthread_t());
    ASSERT_NE(b, pthread_t());
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    EXPECT_EQ(ran.load(), 2);
    EXPECT_TRUE(pthread_equal(OsThreadMyself(), pthread_self()));
}

// Every allocation of the primitives and of the managed-thread table, failed
// in turn: a handle is 0 (or the thread -1) with nothing left behind, a first
// use that finds memory short does not disable managed threads for good, and
// what is made works.
TEST(HTThread, RunningOutOfMemoryGivesNoHandle)
{
    volatile pmutex m = 0;
    volatile pevent e = 0;
    volatile rmutex r = 0;
    volatile rwlock l = 0;
    htc_each_failure(
        [&] {
            m = pmutex_create();
            e = pevent_create();
            r = rmutex_create();
            l = rwlock_create();
        },
        [&](const HtcOomRound &round) {
            EXPECT_FALSE(round.raised);
            if (m != 0) {
                pmutex_request(m);
                pmutex_release(m);
            }
            if (e != 0) {
                pevent_set(e);
                EXPECT_EQ(pevent_wait_timeout(e, 0), 0);
            }
            if (r != 0) {
                EXPECT_EQ(rmutex_request(r), 0);
                rmutex_release(r);
            }
            if (l != 0) {
                rwlockObtainWrite(l);
                rwlockRelease(l);
            }
            if (!round.failed) {
                EXPECT_TRUE(m && e && r && l);
            }
            pmutex_destroy(m);
            pevent_destroy(e);
            rmutex_destroy(r);
            rwlock_remove(l);
        });

    static std::atomic<int> ran{0};
    volatile pthread_t t = 0;
    htc_each_failure([&] { t = pthread_create_managed([](uintptr_t) { ++ran; }, 0); },
                     [&](const HtcOomRound &round) {
                         EXPECT_FALSE(round.raised);
                         if (t == static_cast<pthread_t>(-1)) {
                             EXPECT_TRUE(round.failed);
                             return;
                         }
                         pthread_join(t, nullptr);
                     });
    EXPECT_EQ(ran.load(), 1);
}

#include "htstab.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTLog.h"
#include "HTThread.h"
#include "error_reports.h"
#include "htc_start.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string hex(std::thread::native_handle_type t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(static_cast<uintptr_t>(t)));
    return text;
}

std::string me()
{
    return hex(OsThreadMyself());
}

// A thread that stays alive while a test runs, so that thread ids are never
// reused between the threads a test compares; run() hands it work and waits.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker()
    {
        {
            std::lock_guard<std::mutex> hold(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    std::string run(std::function<void()> f)
    {
        std::unique_lock<std::mutex> hold(m_);
        job_ = std::move(f);
        cv_.notify_all();
        cv_.wait(hold, [this] { return !job_; });
        return id_;
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> hold(m_);
        id_ = me();
        for (;;) {
            cv_.wait(hold, [this] { return quit_ || static_cast<bool>(job_); });
            if (quit_)
                return;
            job_();
            job_ = nullptr;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> job_;
    bool quit_ = false;
    std::string id_;
    std::thread thread_;
};

class SocketTable : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        htc_test_start();
        HTStaticConfig c{};
        c.socket_debugging = 1;
        HTSocketTable_init(&c, 100, 1);
    }
    void SetUp() override
    {
        HTSocketTable__setDebugging(1);
        HTLogError_setHandler(reports::collect);
        reports::take();
    }
    void TearDown() override { HTLogError_setHandler(nullptr); }
};

TEST_F(SocketTable, FirstBlockSizedFromTheExpectedCount)
{
    // 100 x 11 / 10 + 20, less the entries in use by other cases of this program.
    EXPECT_LE(HTSocketTable__freeEntries(), 130);
    EXPECT_GE(HTSocketTable__freeEntries(), 100);
}

TEST_F(SocketTable, OffMeansSilent)
{
    HTSocketTable__setDebugging(0);
    HTSocketTable_checkSocket(7, nullptr);
    HTSocketTable_addSocket(7, nullptr);
    HTSocketTable_removeSocket(12345, nullptr);
    EXPECT_EQ(HTSocketTable_socketExists(7), 0);
    EXPECT_EQ(HTSocketTable_socketExists(-1), 1);
    EXPECT_TRUE(reports::take().empty());
    HTStaticConfig off{};
    HTSocketTable_init(&off, 10, 0); // enable 0: nothing changes
}

TEST_F(SocketTable, ForeignWritesAreReportedUntilAcquired)
{
    Worker ta, tb;
    const std::string a = ta.run([] { HTSocketTable_addSocket(7, nullptr); });
    EXPECT_EQ(HTSocketTable_socketExists(7), 1);
    const std::string b = tb.run([] {
        HTSocketTable_checkSocket(7, nullptr);
        HTSocketTable_checkSocket(7, nullptr);
        HTSocketTable_acquireSocket(7, nullptr);
        HTSocketTable_checkSocket(7, nullptr);
        HTSocketTable_removeSocket(7, nullptr);
    });
    const std::string line = "PANIC! Thread " + b + " accessed socket 7 owned by thread " + a + ".\n";
    EXPECT_EQ(reports::take(), (std::vector<std::string>{line, line}));
    EXPECT_EQ(HTSocketTable_socketExists(7), 0);
}

TEST_F(SocketTable, GlobalAndTimerAreSilent)
{
    Worker other_thread, timer;
    HTSocketTable_addSocket(8, nullptr);
    HTSocketTable_makeSocketGlobal(8, nullptr);
    other_thread.run([] {
        HTSocketTable_checkSocket(8, nullptr);
        HTSocketTable_removeSocket(8, nullptr);
    });
    EXPECT_TRUE(reports::take().empty());

    HTSocketTable_addSocket(10, nullptr);
    const std::string owner = me();
    const std::string other = other_thread.run([] { HTSocketTable_removeSocket(10, nullptr); });
    EXPECT_EQ(reports::take(), (std::vector<std::string>{"PANIC! Thread " + other + " freed socket 10 owned by thread " +
                                                        owner + ".\n"}));

    // Last: the timer thread's id stays recorded after the thread has ended.
    HTSocketTable_addSocket(9, nullptr);
    timer.run([] {
        HTSocketTable_identifyTimerThread();
        HTSocketTable_removeSocket(9, nullptr);
    });
    EXPECT_TRUE(reports::take().empty());
}

TEST_F(SocketTable, DuplicatesAndUnknownDescriptors)
{
    HTSocketTable_addSocket(11, nullptr);
    const std::string first = me();
    Worker t;
    const std::string second = t.run([] {
        HTSocketTable_addSocket(11, nullptr);
        HTSocketTable_checkSocket(11, nullptr); // the first owner was kept
    });
    EXPECT_EQ(reports::take(),
              (std::vector<std::string>{"PANIC! Duplicate socket 11 created.\n",
                                        "PANIC! Thread " + second + " accessed socket 11 owned by thread " + first + ".\n"}));
    HTSocketTable_removeSocket(11, nullptr);
    HTSocketTable_checkSocket(12, nullptr);
    HTSocketTable_makeSocketGlobal(12, nullptr);
    HTSocketTable_acquireSocket(12, nullptr);
    HTSocketTable_removeSocket(12, nullptr);
    HTSocketTable_checkSocket(-1, nullptr);
    EXPECT_EQ(reports::take(), (std::vector<std::string>{"PANIC! Nonexistant socket 12 accessed (CS).\n",
                                                        "PANIC! Nonexistant socket 12 accessed (MSG).\n",
                                                        "PANIC! Nonexistant socket 12 accessed (AS).\n"}));
}

TEST_F(SocketTable, TwoThreadsAtOnce)
{
    auto work = [](int base) {
        for (int i = 0; i < 500; ++i) {
            HTSocketTable_addSocket(base + i, nullptr);
            HTSocketTable_checkSocket(base + i, nullptr);
        }
        for (int i = 0; i < 500; ++i)
            HTSocketTable_removeSocket(base + i, nullptr);
    };
    std::thread t1(work, 100000), t2(work, 200000);
    t1.join();
    t2.join();
    EXPECT_TRUE(reports::take().empty());
    EXPECT_EQ(HTSocketTable_socketExists(100000), 0);
}

TEST_F(SocketTable, GrowthSurvivesAllocationFailure)
{
    std::vector<int> held;
    while (HTSocketTable__freeEntries() > 0) {
        HTSocketTable_addSocket(300000 + static_cast<int>(held.size()), nullptr);
        held.push_back(300000 + static_cast<int>(held.size()));
    }
    HTExceptFrame frame;
    volatile bool failed = false;
    HTExcept_push(&frame, nullptr);
    if (setjmp(frame.env) == 0) {
        HTAlloc_failAt(1, 0);
        HTSocketTable_addSocket(299999, nullptr);
        HTExcept_pop(&frame, nullptr);
    } else {
        failed = true;
    }
    HTAlloc_failAt(0, 0);
    EXPECT_TRUE(failed);
    HTSocketTable_addSocket(299999, nullptr); // the lock is free and the table grows
    EXPECT_EQ(HTSocketTable_socketExists(299999), 1);
    HTSocketTable_removeSocket(299999, nullptr);
    for (int d : held)
        HTSocketTable_removeSocket(d, nullptr);
    EXPECT_TRUE(reports::take().empty());
}

} // namespace

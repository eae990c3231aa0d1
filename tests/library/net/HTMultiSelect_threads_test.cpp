// The connection manager with four select threads, over socket pairs: which
// thread watches a socket, dispatch on input, hang-up and idle time-out,
// the wake-ups (one byte per poll, the condition for an empty list), the
// shortened time-outs when sessions run short, and workers re-adding and
// removing while the select threads dispatch.
//
// Descriptors are placed by number (dup2) so that each case knows its
// thread: thread 3 is left to the case that needs a thread which never had
// a connection.
#include "HTMultiSelect.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTConfig.h"
#include "htc_start.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kThreads = 4;
constexpr int kLongTimeout = 100;
constexpr int kFirstPlaced = 3000;

#ifdef HT_TEST_REDUCED
constexpr int kStressConnections = 60;
constexpr int kStressInputs = 3000;
#else
constexpr int kStressConnections = 300;
constexpr int kStressInputs = 30000;
#endif

// Moves the descriptor to the lowest free number from kFirstPlaced on whose
// remainder mod 4 is `thread`; -1 when there is none.
int place(int fd, int thread)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    for (int target = kFirstPlaced + thread; target < kFirstPlaced + 40000; target += kThreads)
        if (fcntl(target, F_GETFD) == -1 && errno == EBADF) {
            const int r = dup2(fd, target);
            close(fd);
            return r;
        }
    close(fd);
    return -1;
}

// One watched end (on the given thread) and the test's end of a socket pair.
struct Pair {
    int watched = -1;
    int peer = -1;
    explicit Pair(int thread)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            watched = place(fds[0], thread);
            peer = fds[1];
        }
    }
    ~Pair()
    {
        if (watched >= 0)
            close(watched);
        if (peer >= 0)
            close(peer);
    }
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;
    void poke() const { ASSERT_EQ(write(peer, "x", 1), 1); }
    void drain() const
    {
        char b[16];
        (void)!read(watched, b, sizeof b);
    }
};

// What the dispatch function saw, per argument.
struct Seen {
    int dispatches = 0;
    int flag = -1;
};

std::mutex seenLock;
std::condition_variable seenCond;

void record(void *argument, int timedOut)
{
    auto *s = static_cast<Seen *>(argument);
    std::lock_guard<std::mutex> hold(seenLock);
    ++s->dispatches;
    s->flag = timedOut;
    seenCond.notify_all();
}

void record_elsewhere(void *argument, int timedOut)
{
    auto *s = static_cast<Seen *>(argument);
    std::lock_guard<std::mutex> hold(seenLock);
    s->dispatches += 100;
    s->flag = timedOut;
    seenCond.notify_all();
}

// Waits until the record has seen `n` dispatches; false after a long while.
bool wait_dispatches(const Seen &s, int n)
{
    std::unique_lock<std::mutex> hold(seenLock);
    return seenCond.wait_for(hold, 60s, [&] { return s.dispatches >= n; });
}

int dispatches(const Seen &s)
{
    std::lock_guard<std::mutex> hold(seenLock);
    return s.dispatches;
}

struct Counts {
    int poll, ready, service;
};

Counts counts(int thread)
{
    Counts c{};
    HTMultiSelect__counts(thread, &c.poll, &c.ready, &c.service);
    return c;
}

class Manager : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(htc_test_start(), 1);
        HTMyStaticConfig.select_threads = kThreads;
        trace_capture::enable(HT_TRACE_CONNECTION_POOL);
    }
    void TearDown() override { trace_capture::enable(HT_TRACE_CONNECTION_POOL, false); }
};

TEST_F(Manager, SocketsBelongToThreadSocketModN)
{
    trace_capture::Mark mark;
    Pair a(0), b(0), c(1);
    Seen sa, sb, sc;
    const Counts before0 = counts(0), before1 = counts(1);
    ASSERT_EQ(addNewConnection(a.watched, record, &sa, kLongTimeout), HT_OK);
    EXPECT_EQ(HTMultiSelect__threads(), kThreads);
    ASSERT_EQ(addNewConnection(b.watched, record, &sb, kLongTimeout), HT_OK);
    ASSERT_EQ(addNewConnection(c.watched, record, &sc, kLongTimeout), HT_OK);
    EXPECT_EQ(counts(0).poll, before0.poll + 2);
    EXPECT_EQ(counts(1).poll, before1.poll + 1);
    for (const Pair *p : {&a, &b, &c})
        EXPECT_EQ(mark.count("Adding socket " + std::to_string(p->watched) + " -> thread " +
                                 std::to_string(p->watched % kThreads) + ", seq = ",
                             true),
                  1u);
    for (const Pair *p : {&a, &b, &c})
        EXPECT_EQ(removeConnection(p->watched), HT_OK);
    EXPECT_EQ(counts(0).poll, before0.poll);
}

TEST_F(Manager, InputIsDispatchedOnceAndReAddWatchesAgain)
{
    Pair p(1);
    Seen s;
    ASSERT_EQ(addNewConnection(p.watched, record, &s, kLongTimeout), HT_OK);
    p.poke();
    ASSERT_TRUE(wait_dispatches(s, 1));
    EXPECT_EQ(s.flag, HT_DISPATCH_INPUT);
    EXPECT_EQ(counts(1).service, 1);
    // Unread input does not dispatch again while a worker owns the connection.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(dispatches(s), 1);
    p.drain();
    ASSERT_EQ(reAddConnection(p.watched, kLongTimeout), HT_OK);
    EXPECT_EQ(counts(1).service, 0);
    p.poke();
    ASSERT_TRUE(wait_dispatches(s, 2));
    p.drain();
    // The scm variant also replaces the dispatch function.
    ASSERT_EQ(scm_reAddConnection(p.watched, record_elsewhere, kLongTimeout), HT_OK);
    p.poke();
    ASSERT_TRUE(wait_dispatches(s, 102));
    EXPECT_EQ(removeConnection(p.watched), HT_OK);
    EXPECT_EQ(removeConnection(p.watched), HT_ERROR);
}

TEST_F(Manager, HangUpAndIdleTimeOutAreDispatchedWithTheFlagSet)
{
    trace_capture::Mark mark;
    Pair hung(1), idle(1);
    Seen sh, si;
    ASSERT_EQ(addNewConnection(hung.watched, record, &sh, kLongTimeout), HT_OK);
    ASSERT_EQ(addNewConnection(idle.watched, record, &si, 1), HT_OK);
    close(hung.peer);
    hung.peer = -1;
    ASSERT_TRUE(wait_dispatches(sh, 1));
    EXPECT_EQ(sh.flag, HT_DISPATCH_TIMEOUT);
    ASSERT_TRUE(wait_dispatches(si, 1));
    EXPECT_EQ(si.flag, HT_DISPATCH_TIMEOUT);
    EXPECT_EQ(mark.count("timeout on socket " + std::to_string(idle.watched) + ":"), 1u);
    EXPECT_GE(mark.count("indicates exception (POLLHUP) on  socket " + std::to_string(hung.watched)), 1u);
    EXPECT_EQ(removeConnection(hung.watched), HT_OK);
    EXPECT_EQ(removeConnection(idle.watched), HT_OK);
}

// The idle clock is the manager's own: the cached clock standing still (its
// updater late, or stopped) neither ends a connection early nor keeps it
// for ever.
TEST_F(Manager, IdleTimeOutsComeOnTimeWhateverTheCachedClock)
{
    updatetimeRep(0);
    std::this_thread::sleep_for(1100ms); // the cached clock is more than a second behind
    Pair idle(2);
    Seen s;
    const auto added = std::chrono::steady_clock::now();
    ASSERT_EQ(addNewConnection(idle.watched, record, &s, 1), HT_OK);
    ASSERT_TRUE(wait_dispatches(s, 1));
    EXPECT_GE(std::chrono::steady_clock::now() - added, 1s);
    EXPECT_EQ(s.flag, HT_DISPATCH_TIMEOUT);
    EXPECT_EQ(removeConnection(idle.watched), HT_OK);
    updatetimeRep(0);
}

TEST_F(Manager, ReAddOfASocketNotInServiceChangesNothing)
{
    Pair watched(1), never(1);
    Seen s;
    ASSERT_EQ(addNewConnection(watched.watched, record, &s, kLongTimeout), HT_OK);
    const Counts before = counts(1);
    EXPECT_EQ(reAddConnection(watched.watched, kLongTimeout), HT_ERROR);
    EXPECT_EQ(reAddConnection(never.watched, kLongTimeout), HT_ERROR);
    EXPECT_EQ(scm_reAddConnection(never.watched, record, kLongTimeout), HT_ERROR);
    EXPECT_EQ(reAddConnection(-1, kLongTimeout), HT_ERROR);
    const Counts after = counts(1);
    EXPECT_EQ(after.poll, before.poll);
    EXPECT_EQ(after.service, before.service);
    // Still watched as before.
    watched.poke();
    ASSERT_TRUE(wait_dispatches(s, 1));
    EXPECT_EQ(removeConnection(never.watched), HT_ERROR);
    EXPECT_EQ(removeConnection(watched.watched), HT_OK);
    EXPECT_EQ(addNewConnection(-1, record, &s, kLongTimeout), HT_CONN_NOT_WATCHED);
    // No memory for the record: nothing is watched.
    Pair unwatched(1);
    const Counts beforeAdd = counts(1);
    HTAlloc_failAt(1, 0);
    const int r = addNewConnection(unwatched.watched, record, &s, kLongTimeout);
    HTAlloc_failAt(0, 0);
    EXPECT_EQ(r, HT_CONN_NOT_WATCHED);
    EXPECT_EQ(counts(1).poll, beforeAdd.poll);
    EXPECT_EQ(removeConnection(unwatched.watched), HT_ERROR);
}

TEST_F(Manager, AnAddToAnEmptyListIsWokenByTheConditionWithoutAByte)
{
    ASSERT_EQ(counts(3).poll + counts(3).service, 0) << "thread 3 is reserved for this case";
    Pair p(3);
    Seen s;
    trace_capture::Mark mark;
    ASSERT_EQ(addNewConnection(p.watched, record, &s, kLongTimeout), HT_OK);
    EXPECT_EQ(mark.count("Signalling pollsocketcond", true), 1u);
    EXPECT_EQ(mark.count("Sending char", true), 0u);
    p.poke();
    ASSERT_TRUE(wait_dispatches(s, 1));
    EXPECT_EQ(removeConnection(p.watched), HT_OK);
}

// What one add saw under the lock: "pollThreadBlocked:B\tPollThreadKicked:K".
std::vector<std::pair<int, int>> flags_seen(const std::vector<std::string> &lines)
{
    std::vector<std::pair<int, int>> out;
    for (const auto &l : lines) {
        int b = -1, k = -1;
        if (std::sscanf(l.c_str(), "pollThreadBlocked:%d\tPollThreadKicked:%d", &b, &k) == 2)
            out.emplace_back(b, k);
    }
    return out;
}

TEST_F(Manager, TwoAddsDuringOnePollWriteOneByte)
{
    Pair anchor(0);
    Seen sa;
    ASSERT_EQ(addNewConnection(anchor.watched, record, &sa, kLongTimeout), HT_OK);
    bool sawBoth = false;
    for (int round = 0; round < 40 && !sawBoth; ++round) {
        std::this_thread::sleep_for(100ms); // the thread goes back into poll
        Pair b(0), c(0);
        Seen sb, sc;
        trace_capture::Mark mark;
        ASSERT_EQ(addNewConnection(b.watched, record, &sb, kLongTimeout), HT_OK);
        ASSERT_EQ(addNewConnection(c.watched, record, &sc, kLongTimeout), HT_OK);
        const auto lines = mark.lines(true);
        const auto seen = flags_seen(lines);
        ASSERT_EQ(seen.size(), 2u);
        size_t bytes = 0;
        for (const auto &l : lines)
            bytes += l.find("Sending char on loopback socket") != std::string::npos;
        size_t needed = 0;
        for (auto [blocked, kicked] : seen)
            needed += blocked == 1 && kicked == 0;
        EXPECT_EQ(bytes, needed) << "round " << round;
        sawBoth = seen[0] == std::make_pair(1, 0) && seen[1] == std::make_pair(1, 1);
        EXPECT_EQ(removeConnection(b.watched), HT_OK);
        EXPECT_EQ(removeConnection(c.watched), HT_OK);
    }
    EXPECT_TRUE(sawBoth) << "the second add never came during the first one's poll";
    EXPECT_EQ(removeConnection(anchor.watched), HT_OK);
}

// A wake-up byte that cannot be written: the add says so, the connection is
// watched all the same, and the next add tries the byte again instead of
// taking one to be on its way.
TEST_F(Manager, AFailedWakeUpIsReportedAndTheNextAddTriesAgain)
{
    Pair anchor(0);
    Seen sa;
    ASSERT_EQ(addNewConnection(anchor.watched, record, &sa, kLongTimeout), HT_OK);
    std::this_thread::sleep_for(100ms); // the thread waits in poll
    int recvEnd = -1, sendEnd = -1;
    HTMultiSelect__wakePipe(0, &recvEnd, &sendEnd);
    ASSERT_GE(sendEnd, 0);
    const int saved = dup(sendEnd);
    int broken[2];
    ASSERT_EQ(pipe(broken), 0);
    ASSERT_EQ(dup2(broken[0], sendEnd), sendEnd); // a read end: every write fails
    Pair b(0), c(0), d(0);
    Seen sb, sc, sd;
    testing::internal::CaptureStderr();
    trace_capture::Mark mark;
    const int rb = addNewConnection(b.watched, record, &sb, kLongTimeout);
    const int rc = addNewConnection(c.watched, record, &sc, kLongTimeout);
    const std::string err = testing::internal::GetCapturedStderr();
    const auto seen = flags_seen(mark.lines(true));
    ASSERT_EQ(dup2(saved, sendEnd), sendEnd);
    close(saved);
    close(broken[0]);
    close(broken[1]);
    // Both adds found the thread in poll with no byte on its way (it stays
    // there: no byte came), so both wrote, or tried to.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(1, 0));
    EXPECT_EQ(seen[1], std::make_pair(1, 0)) << "the failed byte was taken for one on its way";
    EXPECT_EQ(rb, HT_ERROR);
    EXPECT_EQ(rc, HT_ERROR);
    EXPECT_NE(err.find("Error sending on TCP loopback connection"), std::string::npos);
    // With the pipe back, the next add wakes the thread, which then watches all three.
    ASSERT_EQ(addNewConnection(d.watched, record, &sd, kLongTimeout), HT_OK);
    for (const Pair *p : {&b, &c, &d})
        p->poke();
    EXPECT_TRUE(wait_dispatches(sb, 1));
    EXPECT_TRUE(wait_dispatches(sc, 1));
    EXPECT_TRUE(wait_dispatches(sd, 1));
    for (const Pair *p : {&anchor, &b, &c, &d})
        EXPECT_EQ(removeConnection(p->watched), HT_OK);
}

// The "timeout on socket S: I >= W" line of a socket: its idle seconds, or -1.
int idle_at_timeout(const trace_capture::Mark &mark, int socket)
{
    const std::string key = "timeout on socket " + std::to_string(socket) + ": ";
    for (const auto &l : mark.lines()) {
        const auto at = l.find(key);
        if (at != std::string::npos)
            return std::atoi(l.c_str() + at + key.size());
    }
    return -1;
}

TEST_F(Manager, IdleTimeOutsShrinkWhenSessionsRunShort)
{
    ASSERT_EQ(initSessions(100), HT_OK);
    std::vector<void *> held;
    auto hold = [&](size_t n) {
        while (held.size() < n)
            held.push_back(getSession());
        while (held.size() > n) {
            putSession(held.back());
            held.pop_back();
        }
    };
    // Passes end every 100 ms: a connection added and removed again wakes the thread.
    std::atomic<bool> stop{false};
    std::thread pinger([&] {
        while (!stop) {
            Pair p(2);
            Seen s;
            addNewConnection(p.watched, record, &s, kLongTimeout);
            std::this_thread::sleep_for(100ms);
            removeConnection(p.watched);
        }
    });
    struct Phase {
        size_t handedOut;
        int timeout;
        int shortened;
    };
    for (const Phase &ph : {Phase{80, 16, 2}, Phase{60, 8, 4}, Phase{50, 2, 2}}) {
        hold(ph.handedOut);
        trace_capture::Mark mark;
        Pair p(2);
        Seen s;
        ASSERT_EQ(addNewConnection(p.watched, record, &s, ph.timeout), HT_OK);
        ASSERT_TRUE(wait_dispatches(s, 1));
        EXPECT_EQ(s.flag, HT_DISPATCH_TIMEOUT);
        const int idle = idle_at_timeout(mark, p.watched);
        EXPECT_GE(idle, ph.shortened) << ph.handedOut << " handed out";
        if (ph.shortened < ph.timeout) {
            EXPECT_LT(idle, ph.timeout) << ph.handedOut << " handed out: the time-out was not shortened";
        }
        // The poll wait still follows the full time-out.
        bool fullWait = false;
        for (const auto &l : mark.lines()) {
            int t = -1, n = -1, w = -1;
            if (std::sscanf(l.c_str(), "Select thread:%d/%d using timeout %d", &t, &n, &w) == 3 && t == 2 &&
                w >= ph.timeout - 2 && w <= ph.timeout)
                fullWait = true;
        }
        EXPECT_TRUE(fullWait) << ph.handedOut << " handed out";
        EXPECT_EQ(removeConnection(p.watched), HT_OK);
    }
    stop = true;
    pinger.join();
    hold(0);
    EXPECT_EQ(initSessions(0), HT_OK);
}

// Workers that re-add or remove (and replace) connections while the select
// threads dispatch: every byte written is dispatched exactly once, with the
// flag clear, and only while the connection is watched.
TEST_F(Manager, EachInputIsDispatchedExactlyOnceWhileWorkersReAddAndRemove)
{
    trace_capture::enable(HT_TRACE_CONNECTION_POOL, false);
    enum State { kWatched, kPending, kDispatched };
    struct Conn {
        int fd = -1, peer = -1;
        State state = kWatched;
    };
    std::mutex m;
    std::condition_variable cv;   // work for the workers
    std::condition_variable done; // a worker finished an item
    std::deque<Conn *> work;
    std::vector<Conn *> conns;
    int written = 0, dispatched = 0, wrong = 0;
    bool stop = false;

    auto fresh = [&](int i) {
        auto *c = new Conn;
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            delete c;
            return static_cast<Conn *>(nullptr);
        }
        c->fd = place(fds[0], i % 3);
        c->peer = fds[1];
        return c;
    };
    struct Ctx {
        std::mutex *m;
        std::condition_variable *cv;
        std::deque<Conn *> *work;
        int *dispatched, *wrong;
    };
    static Ctx ctx;
    ctx = Ctx{&m, &cv, &work, &dispatched, &wrong};
    const HTDispatchFn onInput = [](void *argument, int timedOut) {
        auto *c = static_cast<Conn *>(argument);
        std::lock_guard<std::mutex> hold(*ctx.m);
        if (timedOut != HT_DISPATCH_INPUT || c->state != kPending)
            ++*ctx.wrong;
        c->state = kDispatched;
        ++*ctx.dispatched;
        ctx.work->push_back(c);
        ctx.cv->notify_one();
    };
    for (int i = 0; i < kStressConnections; ++i) {
        Conn *c = fresh(i);
        ASSERT_NE(c, nullptr);
        conns.push_back(c);
        ASSERT_EQ(addNewConnection(c->fd, onInput, c, kLongTimeout), HT_OK);
    }
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 r(static_cast<unsigned>(w) + 1);
            for (;;) {
                std::unique_lock<std::mutex> hold(m);
                cv.wait(hold, [&] { return stop || !work.empty(); });
                if (work.empty())
                    return;
                Conn *c = work.front();
                work.pop_front();
                hold.unlock();
                char b;
                if (read(c->fd, &b, 1) != 1)
                    ++failures;
                if (r() % 4 == 0) {
                    // Ends the connection and opens another in its place.
                    if (removeConnection(c->fd) != HT_OK)
                        ++failures;
                    Conn *n = fresh(static_cast<int>(r() % 3));
                    hold.lock();
                    close(c->fd);
                    close(c->peer);
                    c->fd = n->fd;
                    c->peer = n->peer;
                    c->state = kWatched;
                    done.notify_all();
                    hold.unlock();
                    delete n;
                    if (addNewConnection(c->fd, onInput, c, kLongTimeout) != HT_OK)
                        ++failures;
                } else {
                    hold.lock();
                    c->state = kWatched;
                    done.notify_all();
                    hold.unlock();
                    if (reAddConnection(c->fd, kLongTimeout) != HT_OK)
                        ++failures;
                }
            }
        });
    std::mt19937 r(7);
    while (true) {
        std::unique_lock<std::mutex> hold(m);
        if (written >= kStressInputs)
            break;
        Conn *c = conns[r() % conns.size()];
        if (c->state != kWatched) {
            hold.unlock();
            std::this_thread::yield();
            continue;
        }
        c->state = kPending;
        ++written;
        const int peer = c->peer;
        hold.unlock();
        if (write(peer, "x", 1) != 1)
            ++failures;
    }
    {
        std::unique_lock<std::mutex> hold(m);
        const bool drained = done.wait_for(hold, 120s, [&] {
            if (dispatched < written || !work.empty())
                return false;
            for (Conn *c : conns)
                if (c->state != kWatched)
                    return false;
            return true;
        });
        EXPECT_TRUE(drained) << dispatched << " of " << written << " dispatched";
        stop = true;
        cv.notify_all();
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(dispatched, written);
    for (Conn *c : conns) {
        EXPECT_EQ(removeConnection(c->fd), HT_OK);
        close(c->fd);
        close(c->peer);
        delete c;
    }
}

} // namespace

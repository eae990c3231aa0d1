// hosttimer: deadlines on sockets, and the clock tick.

#include "hosttimer.h"

#include "HTClock.h"
#include "htstab.h"

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex lock;
std::condition_variable wake;
std::map<int, Clock::time_point> deadlines;
std::thread worker;
bool running = false;
bool stopping = false;
unsigned long expired = 0;

void run()
{
    HTSocketTable_identifyTimerThread();
    std::unique_lock<std::mutex> hold(lock);
    auto next_tick = Clock::now();
    while (!stopping) {
        const auto now = Clock::now();
        if (now >= next_tick) {
            hold.unlock();
            updatetimeRep(0);
            hold.lock();
            next_tick = now + std::chrono::seconds(1);
        }
        for (auto it = deadlines.begin(); it != deadlines.end();) {
            if (it->second <= now) {
                // The blocked call on this socket returns; the socket stays open for its owner to close.
                shutdown(it->first, SHUT_RDWR);
                ++expired;
                it = deadlines.erase(it);
            } else {
                ++it;
            }
        }
        auto until = next_tick;
        for (const auto &d : deadlines)
            if (d.second < until)
                until = d.second;
        wake.wait_until(hold, until);
    }
}

} // namespace

extern "C" int hosttimer_start(void)
{
    std::lock_guard<std::mutex> hold(lock);
    if (running)
        return 0;
    stopping = false;
    try {
        worker = std::thread(run);
    } catch (...) {
        return -1;
    }
    running = true;
    return 0;
}

extern "C" void hosttimer_stop(void)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!running)
            return;
        stopping = true;
        deadlines.clear();
    }
    wake.notify_all();
    worker.join();
    std::lock_guard<std::mutex> hold(lock);
    running = false;
}

extern "C" int hosttimer_register(int descriptor, int milliseconds)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!running || descriptor < 0)
            return -1;
        try {
            deadlines[descriptor] = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
        } catch (...) {
            return -1;
        }
    }
    wake.notify_all();
    return 0;
}

extern "C" int hosttimer_unregister(int descriptor)
{
    std::lock_guard<std::mutex> hold(lock);
    return deadlines.erase(descriptor) ? 0 : -1;
}

extern "C" unsigned long hosttimer_expirations(void)
{
    std::lock_guard<std::mutex> hold(lock);
    return expired;
}

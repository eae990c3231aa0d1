// hostio: the error log file and the client write time-out hooks.

#include "hostio.h"

#include "HTLog.h"
#include "HTWriter.h"
#include "hosttimer.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

std::mutex log_lock;
FILE *log_file = nullptr;

void write_report(const char *format, HTRequest *request, va_list args)
{
    (void)request;
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm tm;
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file == nullptr)
        return;
    std::fprintf(log_file, "[%s.%06ld] %s", stamp, static_cast<long>(now.tv_usec), text);
    std::fflush(log_file);
}

std::mutex watch_lock;
std::map<const HTRequest *, int> watched;
std::atomic<int> timeout_ms{0};

int descriptor_of(const HTRequest *request)
{
    std::lock_guard<std::mutex> hold(watch_lock);
    const auto it = watched.find(request);
    return it == watched.end() ? -1 : it->second;
}

void arm(HTRequest *request)
{
    const int fd = descriptor_of(request);
    if (fd >= 0)
        hosttimer_register(fd, timeout_ms.load());
}

void disarm(HTRequest *request)
{
    const int fd = descriptor_of(request);
    if (fd >= 0)
        hosttimer_unregister(fd);
}

} // namespace

extern "C" int hostio_openErrorLog(const char *path)
{
    FILE *f = path ? std::fopen(path, "a") : nullptr;
    if (f == nullptr)
        return -1;
    {
        std::lock_guard<std::mutex> hold(log_lock);
        if (log_file != nullptr)
            std::fclose(log_file);
        log_file = f;
    }
    HTLogError_setHandler(write_report);
    return 0;
}

extern "C" void hostio_closeErrorLog(void)
{
    HTLogError_setHandler(nullptr);
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
}

extern "C" void hostio_setClientTimeout(int milliseconds)
{
    timeout_ms.store(milliseconds > 0 ? milliseconds : 0);
    HTClientReadTimeoutOn = milliseconds > 0 ? arm : nullptr;
    HTClientReadTimeoutOff = milliseconds > 0 ? disarm : nullptr;
}

extern "C" void hostio_watchClient(const HTRequest *request, int descriptor)
{
    std::lock_guard<std::mutex> hold(watch_lock);
    try {
        if (descriptor < 0)
            watched.erase(request);
        else
            watched[request] = descriptor;
    } catch (...) {
    }
}

// Tracing into a log of the test's own: HtcTraceLog switches the given
// modules on at the highest level with the log in a temporary file, and
// stop() switches everything off again and returns what was traced. The
// file is removed in every case.
#ifndef HTC_TRACE_LOG_H
#define HTC_TRACE_LOG_H

#include "HTGlobals.h"
#include "HTTrace.h"

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <unistd.h>

class HtcTraceLog {
public:
    explicit HtcTraceLog(std::initializer_list<int> modules)
    {
        const int fd = mkstemp(path_);
        if (fd >= 0)
            close(fd);
        HTTraceLog_open(path_);
        for (int m : modules)
            HTTrace_set(m, 1);
        SetWWW_TraceFlag(66);
    }
    ~HtcTraceLog()
    {
        stop();
        std::remove(path_);
    }
    HtcTraceLog(const HtcTraceLog &) = delete;
    HtcTraceLog &operator=(const HtcTraceLog &) = delete;
    std::string stop()
    {
        if (!stopped_) {
            stopped_ = true;
            SetWWW_TraceFlag(0);
            HTTrace_reset();
            HTTraceLog_close();
        }
        std::ifstream log(path_);
        return std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    }

private:
    char path_[32] = "/tmp/htc-trace.XXXXXX";
    bool stopped_ = false;
};

#endif

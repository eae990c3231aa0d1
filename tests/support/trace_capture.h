// Trace lines as threaded tests see them. The trace log goes to a file in a
// private directory for the rest of the process (other threads may trace at
// any moment, so it is never closed); a Mark remembers where the log ended
// and later gives the lines written since, optionally only those of the
// calling thread.
#ifndef TESTS_SUPPORT_TRACE_CAPTURE_H
#define TESTS_SUPPORT_TRACE_CAPTURE_H

#include "HTGlobals.h"
#include "HTTrace.h"
#include "peers.h"

#include <pthread.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace trace_capture {

inline const std::string &log_path()
{
    static peers::TempDir *dir = new peers::TempDir("httrace"); // lives as long as the writers
    static const std::string path = [] {
        const std::string p = dir->file("trace.log");
        HTTraceLog_open(p.c_str());
        return p;
    }();
    return path;
}

// Switches the module's trace on (level 66) or off; the log is opened first.
inline void enable(int module, bool on = true)
{
    log_path();
    if (on)
        SetWWW_TraceFlag(66);
    HTTrace_set(module, on ? 1 : 0);
}

// "[0x<thread>/" of the calling thread's lines.
inline std::string own_prefix()
{
    char text[40];
    std::snprintf(text, sizeof text, "[0x%08llx/",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(reinterpret_cast<void *>(pthread_self()))));
    return text;
}

// The log from byte `from` on.
inline std::string contents(size_t from = 0)
{
    std::ifstream in(log_path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline size_t size()
{
    std::error_code ec;
    const auto n = std::filesystem::file_size(log_path(), ec);
    return ec ? 0 : static_cast<size_t>(n);
}

class Mark {
public:
    Mark() : at_(size()) {}
    // Lines written since the mark, without their prefixes; with `own`, only
    // those of the thread that made the mark.
    std::vector<std::string> lines(bool own = false) const
    {
        std::istringstream in(contents(at_));
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) {
            if (own && l.rfind(prefix_, 0) != 0)
                continue;
            const auto p = l.find("]: ");
            out.push_back(p == std::string::npos ? l : l.substr(p + 3));
        }
        return out;
    }
    // How many of those lines contain `text`.
    size_t count(const std::string &text, bool own = false) const
    {
        size_t n = 0;
        for (const auto &l : lines(own))
            if (l.find(text) != std::string::npos)
                ++n;
        return n;
    }

private:
    size_t at_;
    std::string prefix_ = own_prefix();
};

} // namespace trace_capture

#endif

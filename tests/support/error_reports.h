// The library's error-log reports as a test sees them: install
// collect_reports with HTLogError_setHandler, read them with take_reports.
#ifndef TESTS_SUPPORT_ERROR_REPORTS_H
#define TESTS_SUPPORT_ERROR_REPORTS_H

#include "HTLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace reports {

inline std::mutex lock;
inline std::vector<std::string> lines;

inline void collect(const char *format, HTRequest *, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(text);
}

// The reports so far, which are then forgotten.
inline std::vector<std::string> take()
{
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> r;
    r.swap(lines);
    return r;
}

} // namespace reports

#endif

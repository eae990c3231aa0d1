// The dir layer's trace lines: directory pages under the directory-browsing
// switch, the file loader under the file-I/O switch.
#ifndef HTDIRTRACE_HPP
#define HTDIRTRACE_HPP

#include "HTTrace.h"

#define HT_DIR_TRACE_M(module, ...)                                                                                   \
    do {                                                                                                              \
        if (HT_TRACE_ON(module))                                                                                      \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)
#define DIR_TRACE(...) HT_DIR_TRACE_M(HT_TRACE_DIRBRW, __VA_ARGS__)
#define FILE_TRACE(...) HT_DIR_TRACE_M(HT_TRACE_FILEIO, __VA_ARGS__)

#endif

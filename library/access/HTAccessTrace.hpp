// HTAccessTrace: the access layer's trace form (internal, C++ only). The
// level word is tested first, then the module's switch.
#ifndef HTACCESSTRACE_HPP
#define HTACCESSTRACE_HPP

#include "HTTrace.h"

#include <cstdio>

#define ACCESS_TRACE(module, ...)                                                                                     \
    do {                                                                                                              \
        if (HT_TRACE_ON(module))                                                                                      \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

#endif

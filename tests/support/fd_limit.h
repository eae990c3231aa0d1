// Raises the process's descriptor limit for tests that hold many
// connections (root may raise the hard limit too).
#ifndef TESTS_SUPPORT_FD_LIMIT_H
#define TESTS_SUPPORT_FD_LIMIT_H

#include <sys/resource.h>

// The soft limit after trying to make it at least `wanted`.
inline rlim_t raise_fd_limit(rlim_t wanted)
{
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0)
        return 0;
    if (r.rlim_cur >= wanted)
        return r.rlim_cur;
    struct rlimit n = r;
    n.rlim_cur = wanted;
    if (n.rlim_max < wanted)
        n.rlim_max = wanted;
    if (setrlimit(RLIMIT_NOFILE, &n) != 0) {
        n.rlim_cur = r.rlim_max;
        n.rlim_max = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &n);
    }
    getrlimit(RLIMIT_NOFILE, &r);
    return r.rlim_cur;
}

#endif

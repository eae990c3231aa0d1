// Allocation-failure runs for the tests of htcommon.
//
// htc_fail_at(n, op) runs op() inside an out-of-memory recovery frame with
// the calling thread's n-th allocation failing, and tells whether an
// allocation failed (op was then left through out_of_memory, or it coped
// with the null). htc_each_failure(op, check) does that for n = 1, 2, 3 ...
// and calls check(failed) after each run, until op runs through. The frame
// lives in a function of its own that is never inlined, so that no local of
// the caller's loop is live across the setjmp.
#ifndef HTC_ALLOC_FAIL_H
#define HTC_ALLOC_FAIL_H

#include "HTAlloc.h"
#include "HTExcept.h"

#include <csetjmp>

[[gnu::noinline]] inline bool htc_fail_at_raw(unsigned long n, void (*op)(void *), void *arg)
{
    HTExceptFrame frame;
    HTExcept_push(&frame, nullptr);
    HTAlloc_failAt(n, 0);
    if (setjmp(frame.env) == 0) {
        op(arg);
        HTExcept_pop(&frame, nullptr);
    }
    const bool failed = HTAlloc_failed() != 0;
    HTAlloc_failAt(0, 0);
    return failed;
}

template <typename Op>
bool htc_fail_at(unsigned long n, Op &op)
{
    return htc_fail_at_raw(n, [](void *p) { (*static_cast<Op *>(p))(); }, &op);
}

// Returns the number of runs that failed; 0 runs through at once.
template <typename Op, typename Check>
unsigned long htc_each_failure(Op op, Check check, unsigned long limit = 100000)
{
    for (unsigned long n = 1; n <= limit; ++n) {
        const bool failed = htc_fail_at(n, op);
        check(failed);
        if (!failed)
            return n - 1;
    }
    return limit;
}

#endif

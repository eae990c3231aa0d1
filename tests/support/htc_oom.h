// Allocation-failure rounds for the tests of htcommon.
//
// htc_each_failure(op, check) runs `op` once for n = 1, 2, 3 ... with the
// calling thread's n-th allocation failing (HTAlloc_failAt(n, 0)), each time
// inside an out-of-memory recovery frame, until a round in which the armed
// failure never happened: the operation then ran to its end with every
// allocation it needed. After each round `check(round)` judges what the
// operation left (it reads what `op` stored in the test's own variables),
// and the leak check runs: under AddressSanitizer every heap block must
// still be reachable.
//
// `op` runs between setjmp and a possible longjmp out of the library: it
// must not own anything with a destructor (no std::string, no EXPECT_* on a
// call into the library); store results in variables the test declared
// outside it, and check them in `check`.
#ifndef HTC_OOM_H
#define HTC_OOM_H

#include "HTAlloc.h"
#include "HTExcept.h"

#include <gtest/gtest.h>

#include <csetjmp>

#if defined(__SANITIZE_ADDRESS__)
#define HTC_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HTC_LEAK_CHECK 1
#endif
#endif
#ifdef HTC_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

// What one round saw.
struct HtcOomRound {
    unsigned long n;   // the allocation that was made to fail
    bool raised;       // the operation left through out_of_memory
    bool failed;       // the armed allocation did fail
};

// Adds a test failure when a heap block has become unreachable (builds with
// AddressSanitizer; elsewhere it checks nothing).
inline void htc_expect_no_leak(unsigned long round)
{
#ifdef HTC_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "heap blocks leaked in round " << round;
#else
    (void)round;
#endif
}

namespace htc_detail {

// One round in a frame of its own; nothing with a destructor lives here
// between setjmp and the jump.
template <class Op> HtcOomRound run_round(Op &op, unsigned long n)
{
    HTExceptFrame frame;
    HTExcept_push(&frame, nullptr);
    HTAlloc_failAt(n, 0);
    volatile bool raised = false;
    if (setjmp(frame.env) == 0) {
        op();
        HTExcept_pop(&frame, nullptr);
    } else {
        raised = true;
    }
    // Read before disarming: arming (or disarming) clears it.
    const bool failed = HTAlloc_failed() != 0;
    HTAlloc_failAt(0, 0);
    return HtcOomRound{n, raised, failed};
}

} // namespace htc_detail

// Runs the rounds; returns the number of the round that succeeded without a
// failure (so the operation needs that many allocations minus one), or 0
// when `limit` rounds were not enough.
template <class Op, class Check>
unsigned long htc_each_failure(Op &&op, Check &&check, unsigned long limit = 20000)
{
    for (unsigned long n = 1; n <= limit; ++n) {
        testing::internal::CaptureStderr(); // the out-of-memory reports
        const HtcOomRound round = htc_detail::run_round(op, n);
        (void)testing::internal::GetCapturedStderr();
        check(round);
        htc_expect_no_leak(n);
        if (round.raised && !round.failed)
            ADD_FAILURE() << "round " << n << ": out_of_memory without a failed allocation";
        if (!round.failed)
            return n;
        if (testing::Test::HasFatalFailure())
            return n;
    }
    ADD_FAILURE() << "the operation still failed after " << limit << " rounds";
    return 0;
}

#endif

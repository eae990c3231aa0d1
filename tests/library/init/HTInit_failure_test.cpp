// Start-up when allocations fail. Start-up runs once per process, so every
// attempt runs in a child process of its own, forked from a test process
// that has never been started up: the n-th allocation of a first start-up
// fails, for n = 1, 2, 3 ... until start-up succeeds without a failure.

#include "HTInit.h"

#include "HTAlloc.h"
#include "HTAtom.h"
#include "HTDNSCache.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMPool.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Exit statuses of an attempt's child.
enum Status {
    kDoneUntouched = 10, // succeeded, the n-th allocation never came
    kFailedCleanly = 11, // gave HT_INIT_FAILED, and a second start-up worked
    kRaisedCleanly = 12, // raised out of memory, and a second start-up worked
    kBroken = 13,        // anything else
};

// Whatever start-up set up, it works.
bool library_works()
{
    auto *g = static_cast<HTThdGlobals *>(HTInitThd(HT_THREAD_WORKER));
    if (g == nullptr || HTMemPool_get(g) == nullptr)
        return false;
    HTEndThd(HT_THREAD_WORKER, g);
    HTWorkThread_threadExit(HT_THREAD_WORKER, g);
    if (WWW_HTML != HTAtom_for("text/html") || WWW_HTML == nullptr)
        return false;
    const uint32_t address = inet_addr("192.0.2.9");
    HTDNSCache_add("after-failure.example", &address, nullptr);
    uint32_t found = 0;
    return HTDNSCache_lookup("after-failure.example", &found) == HT_YES && found == address;
}

int child(unsigned long n)
{
    // The report of the raise goes to standard error: keep the test's quiet.
    if (std::freopen("/dev/null", "w", stderr) == nullptr)
        return kBroken;
    HTExceptFrame frame;
    HTExcept_push(&frame, nullptr);
    volatile int result = -1;
    if (setjmp(frame.env) == 0) {
        HTAlloc_failAt(n, 0);
        result = HTInitAll();
        HTExcept_pop(&frame, nullptr);
    }
    const bool happened = HTAlloc_failed() != 0;
    HTAlloc_failAt(0, 0);
    if (!happened)
        return result == HT_INIT_OK && library_works() ? kDoneUntouched : kBroken;
    // A start-up that met a failed allocation never says it is done, and a
    // second one completes it.
    if (result == HT_INIT_OK)
        return kBroken;
    if (HTInitAll() != HT_INIT_OK || !library_works())
        return kBroken;
    return result == HT_INIT_FAILED ? kFailedCleanly : kRaisedCleanly;
}

int run_attempt(unsigned long n)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20); // a start-up left half-done that blocks for ever fails the attempt
        _exit(child(n));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    if (!WIFEXITED(status))
        return WIFSIGNALED(status) ? 100 + WTERMSIG(status) : -1;
    return WEXITSTATUS(status);
}

TEST(HTInitFailure, EveryFailedAllocationLeavesAStartUpThatCanBeRunAgain)
{
    int failed = 0, raised = 0;
    unsigned long n = 1;
    for (; n < 10000; ++n) {
        const int status = run_attempt(n);
        if (status == kDoneUntouched)
            break;
        ASSERT_TRUE(status == kFailedCleanly || status == kRaisedCleanly)
            << "allocation " << n << ": status " << status;
        (status == kFailedCleanly ? failed : raised)++;
    }
    ASSERT_LT(n, 10000u) << "start-up never ran without a failure";
    // The atom table's lock is the step that fails start-up with its result
    // (and only it); the other steps raise out of memory.
    EXPECT_EQ(failed, 1);
    EXPECT_GE(raised, 10);
}

} // namespace

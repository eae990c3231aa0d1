// Out-of-memory recovery frames and the handler.

#include "HTExcept.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <string>
#include <thread>

namespace {

TEST(HTExcept, WithoutAFrameTheProcessEnds)
{
    EXPECT_EXIT(out_of_memory("src", "fn", 7, 99), ::testing::ExitedWithCode(1),
                "Out of memory in\tfile: src\tfunc: fn\tline: 7\tsize: 99No Exception handling code\n"
                ".\nProgram aborted.\n");
}

TEST(HTExcept, NestedFramesRecoverInnermostFirst)
{
    HTExceptFrame outer, inner;
    ASSERT_EQ(HTExcept_push(&outer, nullptr), 0);
    volatile int where = 0;
    if (setjmp(outer.env) == 0) {
        HTExcept_push(&inner, nullptr);
        if (setjmp(inner.env) == 0) {
            ::testing::internal::CaptureStderr();
            out_of_memory("t", "inner", 1, 1);
        } else {
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(err, "\nOut of memory in\tfile: t\tfunc: inner\tline: 1\tsize: 1"
                           "Out of Memory Exception raised\n");
            EXPECT_EQ(inner.exception, HT_EXC_OUT_OF_MEMORY);
            where = 1;
        }
        // The raise removed the inner frame; the outer one is still installed.
        EXPECT_EQ(HTExcept_top(), &outer);
        HTExcept_pop(&outer, nullptr);
    } else {
        where = 2;
    }
    EXPECT_EQ(where, 1);
    EXPECT_EQ(outer.exception, HT_EXC_NONE);
    EXPECT_EQ(HTExcept_top(), nullptr);
}

TEST(HTExcept, PopRemovesLaterFramesAndIgnoresStrangers)
{
    HTExceptFrame a, b, c, stranger;
    EXPECT_EQ(HTExcept_push(nullptr, nullptr), -1);
    HTExcept_push(&a, nullptr);
    HTExcept_push(&b, nullptr);
    HTExcept_push(&c, nullptr);
    HTExcept_pop(&stranger, nullptr);
    EXPECT_EQ(HTExcept_top(), &c);
    HTExcept_pop(&b, nullptr); // b and everything installed after it
    EXPECT_EQ(HTExcept_top(), &a);
    HTExcept_pop(&a, nullptr);
    EXPECT_EQ(HTExcept_top(), nullptr);
}

TEST(HTExcept, FramesBelongToTheirThread)
{
    HTExceptFrame mine;
    HTExcept_push(&mine, nullptr);
    HTExceptFrame *seen = &mine;
    std::thread([&] { seen = HTExcept_top(); }).join();
    EXPECT_EQ(seen, nullptr);
    HTExcept_pop(&mine, nullptr);
}

} // namespace

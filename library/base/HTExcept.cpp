// HTExcept: out-of-memory recovery frames and the out-of-memory handler.

#include "HTExcept.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The frames of a thread are its own: a raise only ever jumps within the
// thread that ran out of memory.
thread_local HTExceptFrame *top = nullptr;

} // namespace

extern "C" int HTExcept_push(HTExceptFrame *frame, struct HTThdGlobals *context) noexcept
{
    (void)context;
    if (frame == nullptr)
        return -1;
    frame->exception = HT_EXC_NONE;
    frame->previous = top;
    top = frame;
    return 0;
}

extern "C" void HTExcept_pop(HTExceptFrame *frame, struct HTThdGlobals *context) noexcept
{
    (void)context;
    if (frame == nullptr)
        return;
    for (HTExceptFrame *f = top; f != nullptr; f = f->previous)
        if (f == frame) {
            top = frame->previous;
            return;
        }
}

extern "C" HTExceptFrame *HTExcept_top(void) noexcept { return top; }

namespace {

[[noreturn]] void raise_or_end(bool reported)
{
    HTExceptFrame *frame = top;
    if (frame != nullptr) {
        if (reported)
            std::fputs("Out of Memory Exception raised\n", stderr);
        top = frame->previous;
        frame->exception = HT_EXC_OUT_OF_MEMORY;
        longjmp(frame->env, HT_EXC_OUT_OF_MEMORY);
    }
    std::fputs("No Exception handling code\n", stderr);
    std::fputs(".\nProgram aborted.\n", stderr);
    std::exit(1);
}

} // namespace

extern "C" void out_of_memory(const char *file, const char *function, int line, size_t size) noexcept
{
    // stderr is unbuffered and these calls allocate nothing.
    std::fprintf(stderr, "\nOut of memory in\tfile: %s\tfunc: %s\tline: %d\tsize: %lu",
                 file ? file : "", function ? function : "", line,
                 static_cast<unsigned long>(size));
    raise_or_end(true);
}

extern "C" void HTExcept__raise(void) noexcept { raise_or_end(false); }

// HTExcept: out-of-memory recovery frames and the out-of-memory handler.

#include "HTExcept.h"

#include "HTGlobals.h"

#include <cstdio>
#include <cstdlib>

extern "C" int HTExcept_push(HTExceptFrame *frame, HTThdGlobals *context)
{
    if (frame == nullptr)
        return -1;
    frame->exception = HT_EXC_NONE;
    frame->previous = nullptr;
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g == nullptr)
        return -1;
    frame->previous = g->except_top;
    g->except_top = frame;
    return 0;
}

extern "C" void HTExcept_pop(HTExceptFrame *frame, HTThdGlobals *context)
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g == nullptr || frame == nullptr)
        return;
    for (HTExceptFrame *f = g->except_top; f != nullptr; f = f->previous)
        if (f == frame) {
            g->except_top = frame->previous;
            return;
        }
}

extern "C" void out_of_memory(const char *file, const char *function, int line, size_t size)
{
    // stderr is unbuffered and these calls allocate nothing.
    std::fprintf(stderr, "\nOut of memory in\tfile: %s\tfunc: %s\tline: %d\tsize: %lu",
                 file ? file : "", function ? function : "", line,
                 static_cast<unsigned long>(size));
    HTThdGlobals *g = lib_gettp();
    HTExceptFrame *frame = g ? g->except_top : nullptr;
    if (frame != nullptr) {
        std::fputs("Out of Memory Exception raised\n", stderr);
        g->except_top = frame->previous;
        frame->exception = HT_EXC_OUT_OF_MEMORY;
        longjmp(frame->env, HT_EXC_OUT_OF_MEMORY);
    }
    std::fputs("No Exception handling code\n", stderr);
    std::fputs(".\nProgram aborted.\n", stderr);
    std::exit(1);
}

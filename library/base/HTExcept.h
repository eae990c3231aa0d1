/*
 * HTExcept: out-of-memory recovery frames and the out-of-memory handler.
 *
 * A thread that wants to survive an exhausted allocation installs a frame
 * before the work and removes it after (frames belong to the calling
 * thread; the context argument is accepted for the callers' convenience):
 *
 *     HTExceptFrame frame;
 *     HTExcept_push(&frame, context);
 *     if (setjmp(frame.env) == 0) {
 *         ... work that may run out of memory ...
 *         HTExcept_pop(&frame, context);
 *     } else {
 *         ... frame.exception is HT_EXC_OUT_OF_MEMORY; the frame is gone ...
 *     }
 *
 * The raise is a longjmp: nothing between the frame and the failing
 * allocation may hold a lock or own an object with a destructor, and locals
 * changed after setjmp must be volatile to be read in the recovery branch.
 * The library keeps to that itself: where its own code builds C++ objects,
 * it destroys them before it calls out_of_memory.
 */
#ifndef HTEXCEPT_H
#define HTEXCEPT_H

#include "htexport.h"

#include <setjmp.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_EXC_NONE 0
#define HT_EXC_OUT_OF_MEMORY 1

typedef struct HTExceptFrame {
    struct HTExceptFrame *previous;
    int exception;
    jmp_buf env;
} HTExceptFrame;

struct HTThdGlobals;

/* Installs the frame as the calling thread's innermost. 0, or -1 for a null frame. */
HT_EXPORT int HTExcept_push(HTExceptFrame *frame, struct HTThdGlobals *context) HT_NOEXCEPT;
/* Removes the frame and every frame installed after it; a frame not installed changes nothing. */
HT_EXPORT void HTExcept_pop(HTExceptFrame *frame, struct HTThdGlobals *context) HT_NOEXCEPT;
/* The calling thread's innermost frame, or null. */
HTExceptFrame *HTExcept_top(void) HT_NOEXCEPT;

/*
 * Reports an allocation of `size` bytes that failed in `function` of `file`
 * at `line` on standard error, then jumps to the calling thread's innermost
 * frame, or ends the process with status 1 when there is none.
 */
HT_EXPORT void out_of_memory(const char *file, const char *function, int line, size_t size) HT_NOEXCEPT
    __attribute__((noreturn));

/*
 * Internal: raises the out-of-memory exception again, with no second report,
 * for library code that caught it in a frame of its own to undo half-done
 * work. Jumps to the next frame, or ends the process as out_of_memory does.
 */
void HTExcept__raise(void) HT_NOEXCEPT __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif

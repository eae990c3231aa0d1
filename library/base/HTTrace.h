/*
 * HTTrace: per-module tracing for the library and the host server.
 *
 * The switches live in `tc`, 94 32-bit words read directly by the host and by
 * the plug-in library: words 0..92 switch the modules below, word 93 is the
 * global level (0: tracing off). Every traced place tests the level word
 * first, so tracing that is off costs a load and a compare:
 *
 *     if (HT_TRACING() && HTTrace_module(HT_TRACE_LIST))
 *         tfprintf(stderr, "List........ %d elements.\n", n);
 *
 * A line goes to the trace log as "[0x<thread>/<seconds>]: " and the caller's
 * text, whose first twelve characters are a tag padded with dots.
 */
#ifndef HTTRACE_H
#define HTTRACE_H

#include "htexport.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_TRACE_NMODULES 93   /* module switches, words 0..92 */
#define HT_TRACE_LEVEL_WORD 93 /* index of the level word */
#define HT_TRACE_NWORDS 94

/* The built-in flags; `tc` points here unless the host supplies its own array. */
HT_EXPORT extern uint32_t tc_struct[HT_TRACE_NWORDS];
HT_EXPORT extern uint32_t *tc;

/*
 * The level test. The words are plain words written by other threads; a
 * relaxed atomic load is still a single ordinary load.
 */
#define HT_TRACING() \
    (__atomic_load_n(&__atomic_load_n(&tc, __ATOMIC_RELAXED)[HT_TRACE_LEVEL_WORD], __ATOMIC_RELAXED) != 0)

/* Module numbers. */
enum {
    HT_TRACE_NONE = 0, HT_TRACE_AA, HT_TRACE_AUTH, HT_TRACE_BAG, HT_TRACE_BASE,
    HT_TRACE_CFGDLL, HT_TRACE_CGI, HT_TRACE_CONFIG, HT_TRACE_CONTENT, HT_TRACE_DIRBRW,
    HT_TRACE_DLL = 10, HT_TRACE_DNS, HT_TRACE_ERROR, HT_TRACE_FILEIO, HT_TRACE_FORMAT,
    HT_TRACE_FTP, HT_TRACE_GCOTHER, HT_TRACE_GOPHER, HT_TRACE_HASH, HT_TRACE_HEAP,
    HT_TRACE_HTCAIO = 20, HT_TRACE_HTCBIO, HT_TRACE_HTCCOMPACT, HT_TRACE_HTCFS,
    HT_TRACE_HTCFSCK, HT_TRACE_HTCFSOPS, HT_TRACE_HTCGC, HT_TRACE_HTCGCEVAL,
    HT_TRACE_HTCHASH, HT_TRACE_HTCHEAP,
    HT_TRACE_HTCHIO = 30, HT_TRACE_HTCIO, HT_TRACE_HTCITER, HT_TRACE_HTCLOCK,
    HT_TRACE_HTCLSORT, HT_TRACE_HTCWHDR, HT_TRACE_HTCWRTR, HT_TRACE_HTTP,
    HT_TRACE_QUORAPI, HT_TRACE_IF,
    HT_TRACE_QUILLBASE = 40, HT_TRACE_QUILLPICS, HT_TRACE_LEX, HT_TRACE_LIST,
    HT_TRACE_LOG, HT_TRACE_MEMPOOL, HT_TRACE_NETMONITOR, HT_TRACE_NLS, HT_TRACE_ORU,
    HT_TRACE_PERFMON,
    HT_TRACE_PICS = 50, HT_TRACE_PROXY, HT_TRACE_PROXYCACHE, HT_TRACE_PROXYCHAIN,
    HT_TRACE_PROXYINIT, HT_TRACE_WORKQUEUE, HT_TRACE_RCACFG, HT_TRACE_RCACLNT,
    HT_TRACE_RCACOMM, HT_TRACE_RCAHASH,
    HT_TRACE_RCALATENCY = 60, HT_TRACE_RCAOOP, HT_TRACE_RCASERV, HT_TRACE_RCHUNK,
    HT_TRACE_REQUEST, HT_TRACE_SELFTEST, HT_TRACE_SNMP, HT_TRACE_SOCKET,
    HT_TRACE_SOCKS, HT_TRACE_SSI,
    HT_TRACE_SSL = 70, HT_TRACE_STACK, HT_TRACE_STATUS, HT_TRACE_STRINGLIB,
    HT_TRACE_SYSCALL, HT_TRACE_TCP, HT_TRACE_TIME, HT_TRACE_TIMER, HT_TRACE_THREADPOOL,
    HT_TRACE_USER,
    HT_TRACE_URL = 80, HT_TRACE_VARY, HT_TRACE_WORKTHREAD, HT_TRACE_WORKTHREAD_CALLBACK,
    HT_TRACE_CONNECTION_POOL, HT_TRACE_RTSP, HT_TRACE_PERSIST, HT_TRACE_RES, HT_TRACE_SCM,
    HT_TRACE_QUILL,
    HT_TRACE_PROXYGROUP = 90, HT_TRACE_RCAGROUP, HT_TRACE_GCGROUP
};

/* One row of the module table; the table ends with a row whose name is null. */
typedef struct HTTraceModuleInfo {
    const char *name;
    int number;
    uint32_t level; /* 22, 44 or 66 */
    uint32_t htcBits;
} HTTraceModuleInfo;

HT_EXPORT extern const HTTraceModuleInfo KnownModules[HT_TRACE_NMODULES + 1];
/* Rows of 17 words: group, up to 16 members ended by 0; ends with a row starting -1. */
HT_EXPORT extern const int32_t KnownGroups[][17];

/* 1 when the module is switched on and the level is at least `level`; numbers outside 0..92 give 0. */
HT_EXPORT int HTTrace_level(int module, uint32_t level) HT_NOEXCEPT;
/* HTTrace_level(module, the module's own minimum level). */
HT_EXPORT int HTTrace_module(int module) HT_NOEXCEPT;

/* Shortcuts that include the level test. */
#define HT_TRACE_ON(module) (HT_TRACING() && HTTrace_module(module))
#define HT_TRACE_AT(module, lvl) (HT_TRACING() && HTTrace_level((module), (lvl)))

/*
 * Writes one trace line to the trace log (the stream argument is not used):
 * the prefix, then the caller's formatted text. A line is written with one
 * call on the stream, so lines of different threads do not interleave.
 */
HT_EXPORT int tfprintf(FILE *stream, const char *format, ...) HT_NOEXCEPT
    __attribute__((format(printf, 2, 3)));
HT_EXPORT int tvfprintf(FILE *stream, const char *format, va_list args) HT_NOEXCEPT
    __attribute__((format(printf, 2, 0)));

/* Switching. Group numbers switch their members first; numbers outside 0..92 are ignored. */
HT_EXPORT void HTTrace_set(int module, uint32_t value) HT_NOEXCEPT;
/*
 * Switches a module by name (case ignored; trailing "s" dropped until a name
 * matches; "all"; "group" means "user"; a decimal number 1..91). An unknown
 * name is reported on standard error. The caller's text is never modified.
 */
HT_EXPORT void HTTrace_setByName(const char *name, uint32_t value) HT_NOEXCEPT;
HT_EXPORT void HTTrace_setAll(uint32_t value) HT_NOEXCEPT;
HT_EXPORT void HTTrace_reset(void) HT_NOEXCEPT;

/*
 * Copies the module's name (absolute value of `module`) into `buffer` (room
 * for 32 bytes) and its number into *number_out; for a number above 92 the
 * buffer holds the empty text and *number_out -1.
 */
HT_EXPORT void HTTrace_getModuleName(int module, char *buffer, int *number_out) HT_NOEXCEPT;

/*
 * Null: `tc` goes back to the built-in flags, which are returned. An array of
 * 94 words: `tc` points at it, its switches and level are cleared, the clear
 * hook is called with every module's cache bits, and the array is returned.
 */
HT_EXPORT uint32_t *HTTrace_getPtrToTraceFlags(uint32_t *array) HT_NOEXCEPT;

/* Hooks into the cache library, installed by the host; both return 0. */
typedef void (*HTTraceHtcHook)(uint32_t mask);
/* The two hooks, null until the host installs them with the setters below. */
HT_EXPORT extern HTTraceHtcHook HTTrace_SetHtcBits;
HT_EXPORT extern HTTraceHtcHook HTTrace_ClearHtcBits;
HT_EXPORT int HTTraceSet_SetHtcBits(HTTraceHtcHook hook) HT_NOEXCEPT;
HT_EXPORT int HTTraceSet_ClearHtcBits(HTTraceHtcHook hook) HT_NOEXCEPT;

/*
 * The trace log: a file (append, or wrap-around once it exceeds the maximum
 * size) or standard error. Open falls back to standard error with a message.
 */
/* The stream trace lines go to; null means standard error. */
HT_EXPORT extern FILE *trace_log;
HT_EXPORT void HTTraceLog_open(const char *path) HT_NOEXCEPT;
HT_EXPORT void HTTraceLog_close(void) HT_NOEXCEPT;
/* Maximum trace-log size in megabytes from the host configuration; below 1 means append. */
HT_EXPORT void HTTraceLog_setMaxSize(int megabytes) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

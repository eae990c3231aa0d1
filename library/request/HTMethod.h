/*
 * HTMethod: the table of request methods.
 *
 * A request names its method by index into one process-wide table of 94
 * slots, of which the first 29 are the built-in methods (index 0 is the
 * invalid method, always disabled). The host enables, disables, locks and
 * adds methods at start-up and when it reads its configuration; requests
 * only read the table, so it takes no lock. Names compare case-sensitively,
 * except in HTMethod_inList.
 */
#ifndef HTMETHOD_H
#define HTMETHOD_H

#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HTList;

#define HT_METHOD_SLOTS 94
#define HT_METHOD_BUILTIN 29
/* HTMethod_add refuses once the table holds more than this many methods. */
#define HT_METHOD_ADD_LIMIT 92

/* Property bits. */
#define HT_METHOD_HAS_BODY 1
#define HT_METHOD_BUFFER_RESPONSE 2

/* Built-in indexes the library itself names. */
#define HT_METHOD_INVALID 0
#define HT_METHOD_HEAD 1
#define HT_METHOD_GET 2
#define HT_METHOD_POST 3
#define HT_METHOD_PUT 4
#define HT_METHOD_DELETE 5
#define HT_METHOD_OPTIONS 6
#define HT_METHOD_TRACE 7
#define HT_METHOD_CONNECT 8

/* Index of the method named exactly `name` (from index 1), or 0. */
HT_EXPORT int HTMethod_enum(const char *name) HT_NOEXCEPT;
/* The method's name; "INVALID-METHOD" for 0 and for an index out of range. */
HT_EXPORT const char *HTMethod_name(int index) HT_NOEXCEPT;
/*
 * The index of `name`, added (enabled, unlocked, with `bits`) when new. A
 * known name keeps its slot unchanged. 0 for a null or empty name, and when
 * the table already holds more than HT_METHOD_ADD_LIMIT methods. The name
 * is copied; running out of memory goes to out_of_memory.
 */
HT_EXPORT int HTMethod_add(const char *name, int bits) HT_NOEXCEPT;
/*
 * Enable or disable a method; a non-zero `lock` locks its slot afterwards.
 * Nothing changes for index 0, an index at or past the count, or a locked
 * slot. HTMethod_enable2 also replaces the property bits.
 */
HT_EXPORT void HTMethod_enable(int index, int lock) HT_NOEXCEPT;
HT_EXPORT void HTMethod_enable2(int index, int lock, int bits) HT_NOEXCEPT;
HT_EXPORT void HTMethod_disable(int index, int lock) HT_NOEXCEPT;
/* -1 for 0 or an index out of range, 1 when disabled, 0 when enabled. */
HT_EXPORT int HTMethod_check(int index) HT_NOEXCEPT;
/* Property bits HT_METHOD_HAS_BODY and HT_METHOD_BUFFER_RESPONSE: 1 or 0 (0 for a bad index). */
HT_EXPORT int HTMethod_hasBody(int index) HT_NOEXCEPT;
HT_EXPORT int HTMethod_needResponseBuffering(int index) HT_NOEXCEPT;
/* Methods in the table. */
HT_EXPORT int HTMethod_count(void) HT_NOEXCEPT;
/*
 * Position (from 0) of the method's name in an HTList of strings compared
 * without regard to case, or -1 (also for an invalid index or a null list).
 */
HT_EXPORT int HTMethod_inList(int index, struct HTList *list) HT_NOEXCEPT;

/* Internal, for tests: the table as at start-up (added names released). */
void HTMethod__restore(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

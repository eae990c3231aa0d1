/*
 * htstab: the socket table, an optional checker of descriptor ownership.
 *
 * With socket debugging on, every descriptor the socket layer opens is
 * entered with the opening thread as its owner; writes, connects and closes
 * check that the descriptor is known and that the caller owns it, and any
 * violation is reported as a "PANIC!" line through HTLog_errorReflector.
 * Reports never stop the operation that found them. A descriptor can be
 * made global (any thread may use it) or handed to another thread; the
 * timer thread may close any descriptor.
 *
 * With debugging off (the default) every call returns at once. Debugging is
 * decided by HTSocketTable_init at start-up; the table then lives for the
 * process. Calls may come from any thread.
 */
#ifndef HTSTAB_H
#define HTSTAB_H

#include "HTConfig.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HT_STAB_BUCKETS 1013
#define HT_STAB_GROWTH 100

/*
 * enable 0: nothing. Otherwise debugging follows the record's
 * socket_debugging switch (off for a null record, with a trace); switched on,
 * the lock, the table and a first block of expected x 11 / 10 + 20 entries
 * are made (once: a later call keeps the table and its entries).
 */
HT_EXPORT void HTSocketTable_init(const HTStaticConfig *config, int expected, int enable) HT_NOEXCEPT;
/* The calling thread becomes the one allowed to close descriptors it does not own. */
HT_EXPORT void HTSocketTable_identifyTimerThread(void) HT_NOEXCEPT;
/* Enters the descriptor, owned by the calling thread; a duplicate is reported and the first kept. */
HT_EXPORT void HTSocketTable_addSocket(int descriptor, HTRequest *request) HT_NOEXCEPT;
/* Removes it; removal by a thread that neither owns it nor is the timer is reported. */
HT_EXPORT void HTSocketTable_removeSocket(int descriptor, HTRequest *request) HT_NOEXCEPT;
/* Marks it usable by every thread (owner 0); 0. */
HT_EXPORT int HTSocketTable_makeSocketGlobal(int descriptor, HTRequest *request) HT_NOEXCEPT;
/* Makes the calling thread its owner; 0. */
HT_EXPORT int HTSocketTable_acquireSocket(int descriptor, HTRequest *request) HT_NOEXCEPT;
/* Reports an unknown descriptor, or one that another thread owns. */
HT_EXPORT void HTSocketTable_checkSocket(int descriptor, HTRequest *request) HT_NOEXCEPT;
/* 1 for -1; 0 when debugging is off; else 1 when entered, 0 when not. */
HT_EXPORT int HTSocketTable_socketExists(int descriptor) HT_NOEXCEPT;
/* 1 while the checks are on. */
int HTSocketTable_debugging(void) HT_NOEXCEPT;

/* Internal, for tests: free entries, and switching the checks off and on again. */
int HTSocketTable__freeEntries(void) HT_NOEXCEPT;
void HTSocketTable__setDebugging(int on) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

/*
 * StrongHash: the chained hash table of HTHash as a family that reports
 * failures instead of ending in out_of_memory() (the message catalogue cannot
 * afford to stop the process over a missing text).
 *
 * Same table, same locking and entry recycling; note the insert result:
 * 1 for success, 0 for failure.
 */
#ifndef STRONGHASH_H
#define STRONGHASH_H

#include "HTHash.h"
#include "HTResult.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef HTHashTable StrongHashTable;
typedef HTHashEnum StrongHashEnum;

/* Null on failure. */
HT_EXPORT StrongHashTable *StrongHash_Create(uint32_t size, HTHashCompare compare,
                                             HTHashFunction hash, uint32_t lockCount) HT_NOEXCEPT;
HT_EXPORT void StrongHash_Destroy(StrongHashTable *table) HT_NOEXCEPT;
/* 1 on success, 0 when no entry could be had. */
HT_EXPORT int StrongHash_Insert(StrongHashTable *table, void *object) HT_NOEXCEPT;
HT_EXPORT void *StrongHash_Remove(StrongHashTable *table, const void *key) HT_NOEXCEPT;
HT_EXPORT void StrongHash_RemoveAll(StrongHashTable *table) HT_NOEXCEPT;
HT_EXPORT void *StrongHash_FindObject(StrongHashTable *table, const void *key) HT_NOEXCEPT;
HT_EXPORT void StrongHash_SetFreelistLength(StrongHashTable *table, uint32_t length) HT_NOEXCEPT;
/* 1 when the free list now holds at least the free-list length, else 0. */
HT_EXPORT int StrongHash_Preallocate(StrongHashTable *table) HT_NOEXCEPT;
HT_EXPORT StrongHashEnum *StrongHash_StartEnum(StrongHashTable *table) HT_NOEXCEPT;
HT_EXPORT void *StrongHash_EnumNext(StrongHashEnum *cursor) HT_NOEXCEPT;
HT_EXPORT void StrongHash_FinishEnum(StrongHashEnum *cursor) HT_NOEXCEPT;
/* Hold and release every lock of the table. */
HT_EXPORT void StrongHash_Enter(StrongHashTable *table) HT_NOEXCEPT;
HT_EXPORT void StrongHash_Leave(StrongHashTable *table) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

/*
 * HTList: lists and queues of object pointers.
 *
 * A list is a head element (object null) followed by its data elements; new
 * objects go right after the head, so the element after the head is the most
 * recently added. Elements are recycled through a private free list in each
 * work thread's context (no lock) and a master free list for the process
 * (one mutex), never through the general allocator one by one. Released
 * elements have their object word overwritten with HT_LIST_RELEASED.
 *
 * Every operation that may take or give back elements takes the calling
 * thread's context (or null: the master list) as its last argument. A list
 * or queue has no lock: its owner serialises access.
 *
 * Built with HT_POOL_DEBUG every element is a separate heap block that is
 * poisoned and freed on release, so memory checkers see use after release.
 */
#ifndef HTLIST_H
#define HTLIST_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTList HTList;
struct HTList {
    void *object;
    HTList *next;
    HTList *last; /* 0 in lists; the tail in a queue head */
};
typedef HTList HTQueue;

/* Every byte 0xCD, whatever the word size (0xCDCDCDCD on a 32-bit target). */
#define HT_LIST_RELEASED ((uintptr_t)0xCDCDCDCDCDCDCDCDull)

#define HT_LIST_MASTER_INITIAL 1000
#define HT_LIST_MASTER_GROWTH 1000
#define HT_LIST_WORKER_INITIAL 32
#define HT_LIST_REFILL 30
#define HT_LIST_SINGLE_LIMIT 100
#define HT_LIST_WHOLE_LIMIT 80
#define HT_LIST_COUNTER_RESET 1000000

/* A free list: first free element, count, allocations, releases. */
typedef struct HTListFreeList {
    HTList *first;
    uint32_t count;
    uint32_t allocs;
    uint32_t frees;
} HTListFreeList;

HT_EXPORT void HTList_init(void) HT_NOEXCEPT;
/* Registers "HTList" with the module registry; returns its slot. */
int HTList_register(void) HT_NOEXCEPT;
void *HTList_threadCreate(int slot, int threadType, void *context) HT_NOEXCEPT;
int HTList_threadDestroy(int slot, int threadType, void *context) HT_NOEXCEPT;
int HTList_threadUninit(int slot, int threadType, int phase, void *context) HT_NOEXCEPT;
/*
 * Adds n elements to a free list: the master grows by at least 1000 fresh
 * elements; a private list takes n from the master.
 */
HT_EXPORT void HTList_expandFreeList(HTListFreeList *freeList, int n) HT_NOEXCEPT;

HT_EXPORT HTList *HTList_new(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT HTList *HTList_createElement(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTList_discardElement(HTList *element, HTThdGlobals *context) HT_NOEXCEPT;
/* Gives back the head and every element; objects are not touched. */
HT_EXPORT void HTList_delete(HTList *list, HTThdGlobals *context) HT_NOEXCEPT;
/* Frees every non-null object with free(), then deletes the list. */
HT_EXPORT void HTList_deleteAndFreeContents(HTList *list, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTList_addObject(HTList *list, void *object, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTList_appendObject(HTList *list, void *object, HTThdGlobals *context) HT_NOEXCEPT;
/* Inserts before the first element holding `before`: 1, or 0 when absent. */
HT_EXPORT int HTList_addBefore(HTList *list, void *object, void *before, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT HTList *HTList_glue(HTList *first, HTList *second, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTList_removeObject(HTList *list, void *object, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void *HTList_removeLastObject(HTList *list, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void *HTList_removeFirstObject(HTList *list, HTThdGlobals *context) HT_NOEXCEPT;
typedef int (*HTListMatch)(void *argument, void *object);
HT_EXPORT int HTList_removeMatching(HTList *list, HTListMatch match, void *argument,
                                    HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTList_removeAndFreeMatching(HTList *list, HTListMatch match, void *argument,
                                           HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTList_count(const HTList *list) HT_NOEXCEPT;
HT_EXPORT int HTList_indexOf(const HTList *list, const void *object) HT_NOEXCEPT;
HT_EXPORT void *HTList_objectAt(const HTList *list, int position) HT_NOEXCEPT;
/* Heap copies of the strings in order, up to the first null object; out of
 * memory, the partial copy is released before out_of_memory. */
HT_EXPORT HTList *HTList_DupString(const HTList *list, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT char *HTList_findstring(const HTList *list, const char *prefix, int caseSensitive) HT_NOEXCEPT;
HT_EXPORT int HTList_isEmptyF(const HTList *list) HT_NOEXCEPT;
HT_EXPORT void *HTList_lastObjectF(const HTList *list) HT_NOEXCEPT;
/* Advances the cursor (initially the head) and returns that element's object, or null. */
HT_EXPORT void *HTList_nextObjectF(HTList **cursor) HT_NOEXCEPT;

HT_EXPORT HTQueue *HTQueue_new(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTQueue_delete(HTQueue *queue, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTQueue_push(HTQueue *queue, void *object, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void *HTQueue_pop(HTQueue *queue, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void *HTQueue_peek(const HTQueue *queue) HT_NOEXCEPT;
HT_EXPORT int HTQueue_isEmpty(const HTQueue *queue) HT_NOEXCEPT;
HT_EXPORT int HTQueue_count(const HTQueue *queue) HT_NOEXCEPT;

/* Internal, for tests: free elements of the master and of a context's private list (-1: none). */
int HTList__masterFree(void) HT_NOEXCEPT;
int HTList__privateFree(HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

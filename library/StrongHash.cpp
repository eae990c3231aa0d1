// StrongHash: HTHash with failures reported to the caller.

#include "StrongHash.h"

extern "C" StrongHashTable *StrongHash_Create(uint32_t size, HTHashCompare compare,
                                              HTHashFunction hash, uint32_t lockCount)
{
    return HTHash__create(size, compare, hash, lockCount, 1);
}

extern "C" void StrongHash_Destroy(StrongHashTable *table)
{
    HashDestroy(table);
}

extern "C" int StrongHash_Insert(StrongHashTable *table, void *object)
{
    return HashAdd(table, object) == 0 ? 1 : 0;
}

extern "C" void *StrongHash_Remove(StrongHashTable *table, const void *key)
{
    return HashRemove(table, key);
}

extern "C" void StrongHash_RemoveAll(StrongHashTable *table)
{
    HashWipe(table);
}

extern "C" void *StrongHash_FindObject(StrongHashTable *table, const void *key)
{
    return HashLookup(table, key);
}

extern "C" void StrongHash_SetFreelistLength(StrongHashTable *table, uint32_t length)
{
    HashSetFreelistLength(table, length);
}

extern "C" int StrongHash_Preallocate(StrongHashTable *table)
{
    if (table == nullptr)
        return 0;
    HashPreallocate(table);
    return table->free_count >= table->freelist_length ? 1 : 0;
}

extern "C" StrongHashEnum *StrongHash_StartEnum(StrongHashTable *table)
{
    return HashStartEnumeration(table);
}

extern "C" void *StrongHash_EnumNext(StrongHashEnum *cursor)
{
    return HashEnumerateNext(cursor);
}

extern "C" void StrongHash_FinishEnum(StrongHashEnum *cursor)
{
    HashEndEnumeration(cursor);
}

extern "C" void StrongHash_Enter(StrongHashTable *table)
{
    HashLockTable(table);
}

extern "C" void StrongHash_Leave(StrongHashTable *table)
{
    HashUnlockTable(table);
}

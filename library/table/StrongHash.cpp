// StrongHash: HTHash with failures reported to the caller.

#include "StrongHash.h"

extern "C" StrongHashTable *StrongHash_Create(uint32_t size, HTHashCompare compare,
                                              HTHashFunction hash, uint32_t lockCount) noexcept
{
    return HTHash__create(size, compare, hash, lockCount, 1);
}

extern "C" void StrongHash_Destroy(StrongHashTable *table) noexcept
{
    HashDestroy(table);
}

extern "C" int StrongHash_Insert(StrongHashTable *table, void *object) noexcept
{
    return HashAdd(table, object) == HT_HASH_ADDED ? HT_STRONGHASH_INSERTED : HT_STRONGHASH_FAILED;
}

extern "C" void *StrongHash_Remove(StrongHashTable *table, const void *key) noexcept
{
    return HashRemove(table, key);
}

extern "C" void StrongHash_RemoveAll(StrongHashTable *table) noexcept
{
    HashWipe(table);
}

extern "C" void *StrongHash_FindObject(StrongHashTable *table, const void *key) noexcept
{
    return HashLookup(table, key);
}

extern "C" void StrongHash_SetFreelistLength(StrongHashTable *table, uint32_t length) noexcept
{
    HashSetFreelistLength(table, length);
}

extern "C" int StrongHash_Preallocate(StrongHashTable *table) noexcept
{
    if (table == nullptr)
        return 0;
    HashPreallocate(table);
    return table->free_count >= table->freelist_length ? 1 : 0;
}

extern "C" StrongHashEnum *StrongHash_StartEnum(StrongHashTable *table) noexcept
{
    return HashStartEnumeration(table);
}

extern "C" void *StrongHash_EnumNext(StrongHashEnum *cursor) noexcept
{
    return HashEnumerateNext(cursor);
}

extern "C" void StrongHash_FinishEnum(StrongHashEnum *cursor) noexcept
{
    HashEndEnumeration(cursor);
}

extern "C" void StrongHash_Enter(StrongHashTable *table) noexcept
{
    HashLockTable(table);
}

extern "C" void StrongHash_Leave(StrongHashTable *table) noexcept
{
    HashUnlockTable(table);
}

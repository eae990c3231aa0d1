// Items keyed by an integer, as the hash table tests store them.
#ifndef HASH_ITEMS_HPP
#define HASH_ITEMS_HPP

#include <cstdint>

struct Item {
    int key;
    int value;
};

inline int compare_item(const void *object, const void *key)
{
    return static_cast<const Item *>(object)->key == static_cast<const Item *>(key)->key ? 0 : 1;
}

inline uint32_t hash_item(uint32_t size, const void *key)
{
    return static_cast<uint32_t>(static_cast<const Item *>(key)->key) % size;
}

#endif

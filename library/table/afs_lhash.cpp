// afs_lhash: linear-hashing table keyed by a 32-bit hash the caller computes.

#include "afs_lhash.h"

#include "HTAlloc.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t initial_m = 16;
constexpr size_t slot_step = 256;
constexpr size_t atom_block = 4096;
constexpr size_t entries_per_bucket = 5;

void *heap_allocate(size_t size)
{
    return HTAlloc_malloc(size);
}

void heap_release(void *pointer, size_t)
{
    HTAlloc_free(pointer);
}

// m starts at 16 and only doubles, so "mod m" and "mod 2m" are masks.
size_t bucket_of(const afs_lhash *t, uint32_t key)
{
    const size_t r = key % AFS_LHASH_PRIME;
    size_t b = r & (t->m - 1);
    if (b < t->p)
        b = r & (2 * t->m - 1);
    return b;
}

// lookup2's mix of three 32-bit values.
inline void mix(uint32_t &a, uint32_t &b, uint32_t &c)
{
    a -= b; a -= c; a ^= (c >> 13);
    b -= c; b -= a; b ^= (a << 8);
    c -= a; c -= b; c ^= (b >> 13);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 16);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 3);
    b -= c; b -= a; b ^= (a << 10);
    c -= a; c -= b; c ^= (b >> 15);
}

// Little-endian assembly whatever the host order, so keys agree across hosts.
inline uint32_t le32(const unsigned char *k)
{
    return static_cast<uint32_t>(k[0]) | static_cast<uint32_t>(k[1]) << 8 |
           static_cast<uint32_t>(k[2]) << 16 | static_cast<uint32_t>(k[3]) << 24;
}

} // namespace

extern "C" uint32_t afs_HashBytes(const void *bytes, size_t length, uint32_t initial) noexcept
{
    const unsigned char *k = static_cast<const unsigned char *>(bytes);
    if (k == nullptr)
        length = 0;
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = initial;
    size_t len = length;
    while (len >= 12) {
        a += le32(k);
        b += le32(k + 4);
        c += le32(k + 8);
        mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += static_cast<uint32_t>(length);
    switch (len) { // every case falls through; c's lowest byte holds the length
    case 11: c += static_cast<uint32_t>(k[10]) << 24; [[fallthrough]];
    case 10: c += static_cast<uint32_t>(k[9]) << 16; [[fallthrough]];
    case 9: c += static_cast<uint32_t>(k[8]) << 8; [[fallthrough]];
    case 8: b += static_cast<uint32_t>(k[7]) << 24; [[fallthrough]];
    case 7: b += static_cast<uint32_t>(k[6]) << 16; [[fallthrough]];
    case 6: b += static_cast<uint32_t>(k[5]) << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += static_cast<uint32_t>(k[3]) << 24; [[fallthrough]];
    case 3: a += static_cast<uint32_t>(k[2]) << 16; [[fallthrough]];
    case 2: a += static_cast<uint32_t>(k[1]) << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    default: break;
    }
    mix(a, b, c);
    return c;
}

extern "C" uint32_t afs_HashString(const char *text, uint32_t initial) noexcept
{
    return afs_HashBytes(text, text ? std::strlen(text) : 0, initial);
}

extern "C" uint32_t afs_HashWords(const uint32_t *words, size_t count, uint32_t initial) noexcept
{
    if (words == nullptr)
        count = 0;
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = initial;
    size_t len = count;
    while (len >= 3) {
        a += words[0];
        b += words[1];
        c += words[2];
        mix(a, b, c);
        words += 3;
        len -= 3;
    }
    c += static_cast<uint32_t>(count);
    switch (len) {
    case 2: b += words[1]; [[fallthrough]];
    case 1: a += words[0]; break;
    default: break;
    }
    mix(a, b, c);
    return c;
}

extern "C" uint32_t afs_HashWords3(uint32_t a, uint32_t b, uint32_t c, uint32_t initial) noexcept
{
    const uint32_t w[3] = {a, b, c};
    return afs_HashWords(w, 3, initial);
}

extern "C" afs_lhash *afs_lhash_create(afs_lhash_equal_fn equal, afs_allocate_fn allocate,
                                       afs_release_fn release) noexcept
{
    if (equal == nullptr)
        return nullptr;
    if (allocate == nullptr)
        allocate = heap_allocate;
    if (release == nullptr)
        release = heap_release;
    auto *t = static_cast<afs_lhash *>(allocate(sizeof(afs_lhash)));
    if (t == nullptr)
        return nullptr;
    std::memset(t, 0, sizeof *t);
    t->equal = equal;
    t->allocate = allocate;
    t->release = release;
    t->m = initial_m;
    t->buckets_used = initial_m;
    t->atoms = afs_atomlist_create(sizeof(afs_lhash_entry), atom_block, allocate, release);
    if (t->atoms == nullptr || afs_lhash_accomodate(t, slot_step - 1) != 0) {
        afs_atomlist_destroy(t->atoms);
        release(t, sizeof(afs_lhash));
        return nullptr;
    }
    return t;
}

extern "C" void afs_lhash_destroy(afs_lhash *table) noexcept
{
    if (table == nullptr)
        return;
    afs_atomlist_destroy(table->atoms);
    if (table->table != nullptr)
        table->release(table->table, table->capacity * sizeof(afs_lhash_entry *));
    table->release(table, sizeof(afs_lhash));
}

extern "C" int afs_lhash_accomodate(afs_lhash *table, size_t max_index) noexcept
{
    if (table == nullptr)
        return -1;
    if (max_index < table->capacity)
        return 0;
    const size_t capacity = (max_index / slot_step + 1) * slot_step;
    auto **slots =
        static_cast<afs_lhash_entry **>(table->allocate(capacity * sizeof(afs_lhash_entry *)));
    if (slots == nullptr)
        return -1;
    if (table->capacity != 0)
        std::memcpy(slots, table->table, table->capacity * sizeof(afs_lhash_entry *));
    std::memset(slots + table->capacity, 0,
                (capacity - table->capacity) * sizeof(afs_lhash_entry *));
    if (table->table != nullptr)
        table->release(table->table, table->capacity * sizeof(afs_lhash_entry *));
    table->table = slots;
    table->capacity = capacity;
    return 0;
}

extern "C" int afs_lhash_expand(afs_lhash *table) noexcept
{
    if (table == nullptr)
        return -1;
    const size_t old_p = table->p;
    const size_t target = table->m + old_p;
    if (afs_lhash_accomodate(table, target) != 0)
        return -1;
    if (++table->p == table->m) {
        table->m *= 2;
        table->p = 0;
    }
    ++table->buckets_used;
    ++table->splits;
    afs_lhash_entry **from = &table->table[old_p];
    afs_lhash_entry **to = &table->table[target];
    while (*from != nullptr) {
        afs_lhash_entry *e = *from;
        if (bucket_of(table, e->key) == target) {
            *from = e->next;
            e->next = nullptr;
            *to = e;
            to = &e->next;
        } else {
            from = &e->next;
        }
    }
    return 0;
}

extern "C" int afs_lhash_enter(afs_lhash *table, uint32_t key, void *data) noexcept
{
    if (table == nullptr)
        return -1;
    auto *e = static_cast<afs_lhash_entry *>(afs_atomlist_get(table->atoms));
    if (e == nullptr)
        return -1;
    e->data = data;
    e->key = key;
    afs_lhash_entry **head = &table->table[bucket_of(table, key)];
    e->next = *head;
    *head = e;
    ++table->entries;
    if (table->entries > entries_per_bucket * table->buckets_used)
        afs_lhash_expand(table); // a failed split only leaves longer chains
    return 0;
}

extern "C" void *afs_lhash_search(afs_lhash *table, uint32_t key, const void *argument) noexcept
{
    if (table == nullptr)
        return nullptr;
    ++table->searches;
    afs_lhash_entry **head = &table->table[bucket_of(table, key)];
    for (afs_lhash_entry **link = head; *link != nullptr; link = &(*link)->next) {
        afs_lhash_entry *e = *link;
        // A bucket holds other keys too: only an entry of this key is offered
        // to the caller's equality function.
        if (e->key != key)
            continue;
        ++table->comparisons;
        if (table->equal(argument, e->data)) {
            if (link != head) {
                *link = e->next;
                e->next = *head;
                *head = e;
                ++table->moves;
            }
            return e->data;
        }
    }
    return nullptr;
}

extern "C" void *afs_lhash_rosearch(const afs_lhash *table, uint32_t key, const void *argument) noexcept
{
    if (table == nullptr)
        return nullptr;
    for (const afs_lhash_entry *e = table->table[bucket_of(table, key)]; e != nullptr; e = e->next)
        if (e->key == key && table->equal(argument, e->data))
            return e->data;
    return nullptr;
}

extern "C" void *afs_lhash_search_bucket(const afs_lhash *table, uint32_t key) noexcept
{
    if (table == nullptr)
        return nullptr;
    const afs_lhash_entry *e = table->table[bucket_of(table, key)];
    return e ? e->data : nullptr;
}

extern "C" void *afs_lhash_remove(afs_lhash *table, uint32_t key, const void *argument) noexcept
{
    if (table == nullptr)
        return nullptr;
    for (afs_lhash_entry **link = &table->table[bucket_of(table, key)]; *link != nullptr;
         link = &(*link)->next) {
        afs_lhash_entry *e = *link;
        if (e->key == key && table->equal(argument, e->data)) {
            *link = e->next;
            void *data = e->data;
            afs_atomlist_put(table->atoms, e);
            --table->entries;
            return data;
        }
    }
    return nullptr;
}

extern "C" int afs_lhash_iter(afs_lhash *table, void (*fn)(size_t bucket, uint32_t key, void *data)) noexcept
{
    if (table == nullptr || fn == nullptr)
        return 0;
    for (size_t b = 0; b < table->buckets_used; ++b)
        for (afs_lhash_entry *e = table->table[b]; e != nullptr; e = e->next)
            fn(b, e->key, e->data);
    return 0;
}

extern "C" int afs_lhash_stat(const afs_lhash *table, struct afs_lhash_stat *statistics) noexcept
{
    if (table == nullptr || statistics == nullptr)
        return -1;
    std::memset(statistics, 0, sizeof *statistics);
    statistics->min_chain = static_cast<size_t>(-1);
    for (size_t b = 0; b < table->buckets_used; ++b) {
        size_t n = 0;
        for (const afs_lhash_entry *e = table->table[b]; e != nullptr; e = e->next)
            ++n;
        if (n < statistics->min_chain)
            statistics->min_chain = n;
        if (n > statistics->max_chain)
            statistics->max_chain = n;
    }
    statistics->buckets = table->buckets_used;
    statistics->entries = table->entries;
    statistics->searches = table->searches;
    statistics->comparisons = table->comparisons;
    statistics->moves = table->moves;
    statistics->splits = table->splits;
    return 0;
}

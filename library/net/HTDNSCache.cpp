// HTDNSCache: cache of host name to IPv4 address lookups.

#include "HTDNSCache.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTExcept.h"
#include "HTString.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {

struct Cell {
    unsigned next;  // next replacement position, 0 to 6
    unsigned base;  // first entry of the cell
    unsigned stripe;
};

struct Stripe {
    pmutex lock;
    unsigned number;
    unsigned long lookups;
    unsigned long hits;
};

struct Tables {
    Cell *cells;
    Stripe *stripes;
    HTDNSEntry *entries;
};

// Serialises start-up; nothing done under it reports through out_of_memory.
pthread_mutex_t init_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Tables *> tables{nullptr};
std::atomic<int> enabled{1};
std::atomic<int32_t> time_to_live{HT_DNS_DEFAULT_TTL};
std::atomic<time_t (*)(void)> clock_fn{nullptr};

time_t now()
{
    time_t (*c)(void) = clock_fn.load(std::memory_order_relaxed);
    return c ? c() : HTtime();
}

inline bool tracing()
{
    return HT_TRACE_ON(HT_TRACE_DNS);
}

Cell &cell_for(Tables *t, const char *name, unsigned *index)
{
    *index = ElfHash(HT_DNS_CELLS, name);
    Cell &c = t->cells[*index];
    if (tracing())
        tfprintf(stderr, "Host........ \"%s\" belongs in cell %u of %u (stripe %u), with base %u.\n",
                 name, *index, HT_DNS_CELLS, c.stripe, c.base);
    return c;
}

struct StripeLock {
    pmutex m;
    explicit StripeLock(pmutex lock) : m(lock) { pmutex_request(m); }
    ~StripeLock() { pmutex_release(m); }
};

} // namespace

namespace {

void free_tables(Tables *t)
{
    if (t == nullptr)
        return;
    if (t->stripes != nullptr)
        for (unsigned s = 0; s < HT_DNS_STRIPES; ++s)
            pmutex_destroy(t->stripes[s].lock);
    HTAlloc_free(t->cells);
    HTAlloc_free(t->stripes);
    HTAlloc_free(t->entries);
    HTAlloc_free(t);
}

// The tables with their locks, or null (nothing left allocated).
Tables *make_tables()
{
    auto *t = static_cast<Tables *>(HTAlloc_calloc(1, sizeof(Tables)));
    if (t == nullptr)
        return nullptr;
    t->cells = static_cast<Cell *>(HTAlloc_calloc(HT_DNS_CELLS, sizeof(Cell)));
    t->stripes = static_cast<Stripe *>(HTAlloc_calloc(HT_DNS_STRIPES, sizeof(Stripe)));
    t->entries = static_cast<HTDNSEntry *>(HTAlloc_calloc(HT_DNS_ENTRIES, sizeof(HTDNSEntry)));
    if (t->cells == nullptr || t->stripes == nullptr || t->entries == nullptr) {
        free_tables(t);
        return nullptr;
    }
    for (unsigned i = 0; i < HT_DNS_CELLS; ++i) {
        t->cells[i].base = HT_DNS_CELL_ENTRIES * i;
        t->cells[i].stripe = i % HT_DNS_STRIPES;
    }
    for (unsigned s = 0; s < HT_DNS_STRIPES; ++s) {
        t->stripes[s].number = s;
        t->stripes[s].lock = pmutex_create();
        if (t->stripes[s].lock == 0) {
            free_tables(t);
            return nullptr;
        }
    }
    return t;
}

} // namespace

extern "C" void HTDNSCache_init(void) noexcept
{
    if (tables.load(std::memory_order_acquire) != nullptr)
        return;
    pthread_mutex_lock(&init_lock);
    Tables *t = tables.load(std::memory_order_relaxed);
    const bool made = t == nullptr;
    if (made) {
        t = make_tables();
        if (t != nullptr)
            tables.store(t, std::memory_order_release);
    }
    pthread_mutex_unlock(&init_lock);
    // Reported with the lock released and nothing half made; a later call
    // tries again.
    if (t == nullptr)
        out_of_memory("HTDNSCache", "HTDNSCache_init", __LINE__, HT_DNS_ENTRIES * sizeof(HTDNSEntry));
    if (made && tracing())
        tfprintf(stderr, "Initialized. DNS cache: %u stripes, %u cells, %u entries.\n",
                 HT_DNS_STRIPES, HT_DNS_CELLS, HT_DNS_ENTRIES);
}

extern "C" void HTDNSCache_add(const char *name, const uint32_t *address, const void *request) noexcept
{
    (void)request;
    Tables *t = tables.load(std::memory_order_acquire);
    if (t == nullptr || name == nullptr || *name == '\0' || address == nullptr)
        return;
    if (!enabled.load(std::memory_order_relaxed)) {
        if (tracing())
            tfprintf(stderr, "Won't....... cache host \"%s\" - cache disabled.\n", name);
        return;
    }
    if (std::strlen(name) >= HT_DNS_NAME_SIZE) {
        if (tracing())
            tfprintf(stderr, "Won't....... cache host \"%s\" - too long.\n", name);
        return;
    }
    unsigned index;
    Cell &c = cell_for(t, name, &index);
    unsigned slot;
    {
        StripeLock hold(t->stripes[c.stripe].lock);
        HTDNSEntry *cell = t->entries + c.base;
        for (unsigned i = 0; i < HT_DNS_CELL_ENTRIES; ++i) {
            if (std::strcmp(cell[i].name, name) == 0 && cell[i].name[0] != '\0') {
                cell[i].used = 1;
                if (tracing())
                    tfprintf(stderr, "DNS......... update for host %s redundant.\n", name);
                return;
            }
        }
        unsigned p = c.next;
        while (cell[p].name[0] != '\0' && cell[p].used) {
            if (tracing())
                tfprintf(stderr, "DNS......... cache entry %d is full & used (contains %s).\n",
                         static_cast<int>(c.base + p), cell[p].name);
            cell[p].used = 0;
            p = (p + 1) % HT_DNS_CELL_ENTRIES;
        }
        if (tracing())
            tfprintf(stderr, "DNS......... cache entry %d is %s.\n", static_cast<int>(c.base + p),
                     cell[p].name[0] != '\0' ? "unused" : "empty");
        std::memcpy(cell[p].name, name, std::strlen(name) + 1);
        cell[p].address = *address;
        cell[p].used = 1;
        cell[p].expiry = static_cast<int32_t>(now() + time_to_live.load(std::memory_order_relaxed));
        c.next = (p + 1) % HT_DNS_CELL_ENTRIES;
        slot = c.base + p;
    }
    if (tracing())
        tfprintf(stderr, "Host........ %s added to DNS cache in entry %u.\n", name, slot);
}

extern "C" int HTDNSCache_lookup(const char *name, uint32_t *address) noexcept
{
    Tables *t = tables.load(std::memory_order_acquire);
    if (t == nullptr || name == nullptr || *name == '\0')
        return 0;
    const bool tr = tracing();
    if (!enabled.load(std::memory_order_relaxed)) {
        if (tr)
            tfprintf(stderr, "Can't....... get host \"%s\" from cache - cache disabled.\n", name);
        return 0;
    }
    if (std::strlen(name) >= HT_DNS_NAME_SIZE) {
        if (tr)
            tfprintf(stderr, "Can't....... get host \"%s\" from cache - too long.\n", name);
        return 0;
    }
    unsigned index;
    Cell &c = cell_for(t, name, &index);
    Stripe &s = t->stripes[c.stripe];
    int found = 0;
    double rate;
    {
        StripeLock hold(s.lock);
        ++s.lookups;
        const time_t when = now();
        HTDNSEntry *cell = t->entries + c.base;
        for (unsigned i = 0; i < HT_DNS_CELL_ENTRIES && !found; ++i) {
            HTDNSEntry &e = cell[i];
            if (when <= e.expiry && e.name[0] != '\0' && std::strcmp(e.name, name) == 0) {
                if (address != nullptr)
                    *address = e.address;
                e.used = 1;
                ++s.hits;
                found = 1;
            } else if (e.expiry < when) {
                if (e.expiry > 0 && tr)
                    tfprintf(stderr, "DNS......... cache entry for %s expiring (%lu > %lu).\n",
                             e.name, static_cast<unsigned long>(when),
                             static_cast<unsigned long>(e.expiry));
                e.name[0] = '\0';
                e.used = 0;
                e.expiry = 0;
            }
            if (tr)
                tfprintf(stderr, "DNS......... cache entry %d holds \"%s\"%s\n",
                         static_cast<int>(c.base + i), e.name, found ? " --> it's a hit!" : ".");
        }
        rate = 100.0 * static_cast<double>(s.hits) / static_cast<double>(s.lookups);
    }
    if (tr)
        tfprintf(stderr, "Host........ %s %sfound in DNS cache. Stripe %u hit rate is %0.1f%%\n",
                 name, found ? "" : "NOT ", s.number, rate);
    return found;
}

extern "C" void HTDNSCache_enable(int enable) noexcept
{
    enabled.store(enable != 0, std::memory_order_relaxed);
    if (tracing())
        tfprintf(stderr, "DNS......... cache %s.\n", enable ? "ENABLED" : "DISABLED");
}

extern "C" void HTDNSCache_purge(void) noexcept
{
    Tables *t = tables.load(std::memory_order_acquire);
    if (tracing())
        tfprintf(stderr, "DNS......... purging cache.\n");
    if (t != nullptr) {
        for (unsigned i = 0; i < HT_DNS_CELLS; ++i) {
            Cell &c = t->cells[i];
            StripeLock hold(t->stripes[c.stripe].lock);
            for (unsigned k = 0; k < HT_DNS_CELL_ENTRIES; ++k) {
                t->entries[c.base + k].name[0] = '\0';
                t->entries[c.base + k].used = 0;
                t->entries[c.base + k].expiry = 0;
            }
            c.next = 0;
        }
    }
    if (tracing())
        tfprintf(stderr, "DNS......... cache purge complete.\n");
}

extern "C" void HTDNSCache_setTimeToLive(int32_t seconds) noexcept
{
    time_to_live.store(seconds, std::memory_order_relaxed);
}

extern "C" void HTDNSCache__setClock(time_t (*clock)(void)) noexcept
{
    clock_fn.store(clock, std::memory_order_relaxed);
}

extern "C" const HTDNSEntry *HTDNSCache__entry(unsigned index) noexcept
{
    Tables *t = tables.load(std::memory_order_acquire);
    return t != nullptr && index < HT_DNS_ENTRIES ? &t->entries[index] : nullptr;
}

extern "C" unsigned HTDNSCache__cellOf(const char *name) noexcept
{
    return ElfHash(HT_DNS_CELLS, name);
}

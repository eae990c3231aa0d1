#include "snmp_container.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int snmp_last_error = 0;

namespace {

unsigned char *block_of(const snmp_container *c)
{
    return (unsigned char *)c - SNMP_CONTAINER_HIDDEN;
}

// The hidden word is read and written as bytes of the block's own memory; it
// never leaves the process, so host order is right.
uint32_t stored_size(const snmp_container *c)
{
    uint32_t size;
    std::memcpy(&size, block_of(c), sizeof size);
    return size;
}

// Units of `kind` that a block of `size` bytes can hold.
uint32_t units_for_size(int kind, uint32_t size)
{
    const uint32_t area = size - SNMP_CONTAINER_HIDDEN - SNMP_CONTAINER_HEAD;
    switch (kind) {
    case SNMP_KIND_STRING: return area;
    case SNMP_KIND_OID: return area / 4;
    case SNMP_KIND_COUNTER64: return 2;
    default: return 1;
    }
}

snmp_container *allocate(uint32_t size)
{
    auto *block = static_cast<unsigned char *>(std::calloc(1, size));
    if (!block) {
        snmp_last_error = -4;
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    return reinterpret_cast<snmp_container *>(block + SNMP_CONTAINER_HIDDEN);
}

// Makes sure `c` can hold `units` of `kind`: returns `c` itself when its block
// is big enough, else a new zeroed container (the old one is left alone so the
// caller can copy from it), or none.
snmp_container *room_for(snmp_container *c, int kind, uint32_t units, bool *moved)
{
    const uint32_t need = snmp_get_b_len(kind, units);
    *moved = false;
    if (need == 0)
        return nullptr;
    if (c && stored_size(c) >= need)
        return c;
    snmp_container *n = allocate(need);
    if (!n)
        return nullptr;
    n->capacity = units_for_size(kind, need);
    *moved = c != nullptr;
    return n;
}

bool is_oid(const snmp_container *c)
{
    return c && c->kind == SNMP_KIND_OID;
}

// Reads one decimal component of at most 32 bits; advances `p`.
bool read_component(const char *&p, uint32_t *out)
{
    if (*p < '0' || *p > '9')
        return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint32_t>(*p - '0');
        if (v > 0xFFFFFFFFu)
            return false;
        ++p;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Parses validated dotted text into `out` (room for `count` sub-identifiers).
void parse_oid_text(const char *text, uint32_t *out, uint32_t count)
{
    const char *p = text;
    if (*p == '.')
        ++p;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v = 0;
        read_component(p, &v);
        std::memcpy(out + i, &v, sizeof v);
        if (*p == '.')
            ++p;
    }
}

struct ValuePlan {
    int kind;
    uint32_t units;   // capacity needed
    uint32_t length;  // length stored
};

// Works out kind and size of a value before anything is changed.
bool plan_value(const void *value, uint32_t length, int tag, ValuePlan *plan)
{
    switch (tag) {
    case SNMP_TAG_IPADDRESS:
    case SNMP_TAG_COUNTER:
    case SNMP_TAG_GAUGE:
    case SNMP_TAG_TIMETICKS:
        if ((length != 1 && length != 2 && length != 4) || !value)
            return false;
        *plan = {SNMP_KIND_UNSIGNED, 1, length};
        return true;
    case SNMP_TAG_INTEGER:
        if ((length != 1 && length != 2 && length != 4) || !value)
            return false;
        *plan = {SNMP_KIND_INTEGER, 1, length};
        return true;
    case SNMP_TAG_OCTET_STRING:
    case SNMP_TAG_OPAQUE:
        if (length > 0 && !value)
            return false;
        *plan = {SNMP_KIND_STRING, length ? length : 1, length};
        return true;
    case SNMP_TAG_NULL:
    case SNMP_TAG_NOSUCHOBJECT:
    case SNMP_TAG_NOSUCHINSTANCE:
    case SNMP_TAG_ENDOFMIBVIEW:
        *plan = {SNMP_KIND_NULL, 1, length};
        return true;
    case SNMP_TAG_OID: {
        if (!value)
            return false;
        const uint32_t n = snmp_validate_and_count(static_cast<const char *>(value), 1);
        if (n == 0)
            return false;
        *plan = {SNMP_KIND_OID, n, n};
        return true;
    }
    case SNMP_TAG_COUNTER64:
        if (length != 8 || !value)
            return false;
        *plan = {SNMP_KIND_COUNTER64, 2, length};
        return true;
    default:
        return false;
    }
}

void store_value(snmp_container *c, const void *value, const ValuePlan &plan, int tag)
{
    unsigned char *area = snmp_container_bytes(c);
    std::memset(area, 0, 8);
    switch (plan.kind) {
    case SNMP_KIND_UNSIGNED:
    case SNMP_KIND_INTEGER: {
        // The caller's 1-, 2- or 4-byte host-order number widened to 32 bits.
        // One byte is taken unsigned; two bytes are signed for INTEGER and
        // unsigned otherwise: callers rely on both.
        uint32_t v = 0;
        if (plan.length == 1) {
            v = *static_cast<const uint8_t *>(value);
        } else if (plan.length == 2) {
            uint16_t h;
            std::memcpy(&h, value, 2);
            v = (plan.kind == SNMP_KIND_INTEGER) ? static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(h)))
                                                 : h;
        } else {
            std::memcpy(&v, value, 4);
        }
        std::memcpy(area, &v, 4);
        break;
    }
    case SNMP_KIND_STRING:
        if (plan.length)
            std::memcpy(area, value, plan.length);
        else
            area[0] = 0;
        break;
    case SNMP_KIND_OID:
        parse_oid_text(static_cast<const char *>(value), snmp_container_subids(c), plan.units);
        break;
    case SNMP_KIND_COUNTER64:
        std::memcpy(area, value, 8);
        break;
    default:
        break;
    }
    c->kind = static_cast<uint8_t>(plan.kind);
    c->tag = static_cast<uint8_t>(tag);
    c->length = plan.kind == SNMP_KIND_NULL ? 0 : plan.length;
}

} // namespace

extern "C" {

uint32_t snmp_get_b_len(int kind, uint32_t units)
{
    if (kind < 1 || kind > 12)
        return 0;
    uint64_t size = 24;
    if (kind == SNMP_KIND_STRING)
        size = uint64_t{units} + 16;
    else if (kind == SNMP_KIND_OID)
        size = uint64_t{units} * 4 + 16;
    if (size < 24)
        size = 24;
    return size > 0xFFFFFFF0u ? 0 : static_cast<uint32_t>(size);
}

uint32_t snmp_container_size(const snmp_container *c)
{
    return c ? stored_size(c) : 0;
}

snmp_container *snmp_create_container(int kind, uint32_t units)
{
    const uint32_t size = snmp_get_b_len(kind, units);
    if (size == 0)
        return nullptr;
    snmp_container *c = allocate(size);
    if (!c)
        return nullptr;
    c->capacity = units;
    c->length = units;
    c->kind = static_cast<uint8_t>(kind);
    return c;
}

void snmp_free_container(snmp_container *c)
{
    if (c)
        std::free(block_of(c));
}

snmp_container *snmp_reuse_container(snmp_container *c, int kind, uint32_t units)
{
    if (!c)
        return snmp_create_container(kind, units);
    const uint32_t need = snmp_get_b_len(kind, units);
    // Compare bytes against the block's real size, not units of the old kind.
    if (need == 0 || stored_size(c) < need) {
        snmp_free_container(c);
        return snmp_create_container(kind, units);
    }
    c->capacity = units_for_size(kind, stored_size(c));
    c->length = units;
    c->flag = 0;
    c->tag = 0;
    c->kind = static_cast<uint8_t>(kind);
    c->spare = 0;
    std::memset(snmp_container_bytes(c), 0, 8);
    return c;
}

snmp_container *snmp_expand_container(snmp_container *c, uint32_t extra)
{
    if (!c)
        return nullptr;
    if (extra > 0xFFFFFFFFu - c->length)
        return nullptr;
    const uint32_t units = c->length + extra;
    bool moved;
    snmp_container *n = room_for(c, c->kind, units, &moved);
    if (!n)
        return nullptr;
    if (moved) {
        const uint32_t old = stored_size(c);
        const uint32_t size = stored_size(n);
        std::memcpy(reinterpret_cast<unsigned char *>(n) + sizeof(uint32_t),
                    reinterpret_cast<unsigned char *>(c) + sizeof(uint32_t),
                    old - SNMP_CONTAINER_HIDDEN - sizeof(uint32_t));
        n->capacity = units_for_size(c->kind, size);
        snmp_free_container(c);
    } else if (n->capacity < units) {
        n->capacity = units_for_size(n->kind, stored_size(n));
    }
    n->length = units;
    return n;
}

uint32_t snmp_validate_and_count(const char *text, int check)
{
    if (!text)
        return 0;
    const char *p = text;
    if (*p == '.')
        ++p;
    uint32_t count = 0;
    uint32_t first = 0;
    for (;;) {
        uint32_t v;
        if (!read_component(p, &v))
            return 0;
        if (check) {
            if (count == 0 && v > 2)
                return 0;
            if (count == 1 && first < 2 && v > 39)
                return 0;
        }
        if (count == 0)
            first = v;
        ++count;
        if (*p == '\0')
            return count;
        if (*p != '.')
            return 0;
        ++p;
    }
}

snmp_container *snmp_fill_container_with_oid(snmp_container *c, const char *text)
{
    const uint32_t n = snmp_validate_and_count(text, 1);
    if (n == 0)
        return nullptr;
    bool moved;
    snmp_container *t = room_for(c, SNMP_KIND_OID, n, &moved);
    if (!t)
        return nullptr;
    if (moved)
        snmp_free_container(c);
    if (t->capacity < n || t->kind != SNMP_KIND_OID)
        t->capacity = units_for_size(SNMP_KIND_OID, stored_size(t));
    parse_oid_text(text, snmp_container_subids(t), n);
    t->length = n;
    t->kind = SNMP_KIND_OID;
    t->tag = SNMP_TAG_OID;
    t->flag = 0;
    return t;
}

snmp_container *snmp_create_oid_container(const char *text)
{
    return snmp_fill_container_with_oid(nullptr, text);
}

snmp_container *snmp_expand_oid_container_by_int(snmp_container *c, uint32_t count,
                                                 const uint32_t *subids)
{
    if (!is_oid(c) || (count && !subids))
        return nullptr;
    const uint32_t at = c->length;
    snmp_container *n = snmp_expand_container(c, count);
    if (!n)
        return nullptr;
    if (count)
        std::memcpy(snmp_container_subids(n) + at, subids, size_t{count} * 4);
    return n;
}

snmp_container *snmp_replace_container_value(snmp_container *c, const void *value,
                                             uint32_t length, int tag, int flag)
{
    ValuePlan plan;
    if (!plan_value(value, length, tag, &plan))
        return nullptr;
    bool moved;
    snmp_container *t = room_for(c, plan.kind, plan.units, &moved);
    if (!t)
        return nullptr;
    if (moved)
        snmp_free_container(c);
    t->capacity = units_for_size(plan.kind, stored_size(t));
    store_value(t, value, plan, tag);
    t->flag = static_cast<uint8_t>(flag);
    return t;
}

snmp_container *snmp_create_value_container(const void *value, uint32_t length, int tag,
                                            int flag)
{
    return snmp_replace_container_value(nullptr, value, length, tag, flag);
}

snmp_container *snmp_copy_container_value(snmp_container *dst, const snmp_container *src)
{
    if (!src)
        return nullptr;
    uint32_t units = src->length;
    if (src->kind != SNMP_KIND_STRING && src->kind != SNMP_KIND_OID)
        units = src->kind == SNMP_KIND_COUNTER64 ? 2 : 1;
    bool moved;
    snmp_container *t = room_for(dst, src->kind, units, &moved);
    if (!t)
        return nullptr;
    if (moved)
        snmp_free_container(dst);
    uint32_t bytes = 8;
    if (src->kind == SNMP_KIND_STRING)
        bytes = src->length;
    else if (src->kind == SNMP_KIND_OID)
        bytes = src->length * 4;
    std::memmove(snmp_container_bytes(t), snmp_container_bytes(src), bytes);
    t->capacity = units_for_size(src->kind, stored_size(t));
    t->length = src->length;
    t->flag = src->flag;
    t->tag = src->tag;
    t->kind = src->kind;
    t->spare = src->spare;
    return t;
}

int snmp_compare_oid_subids(const snmp_container *a, const snmp_container *b, uint32_t n)
{
    if (!is_oid(a) || !is_oid(b))
        return -9;
    const uint32_t *x = snmp_container_subids(a);
    const uint32_t *y = snmp_container_subids(b);
    uint32_t upto = a->length < b->length ? a->length : b->length;
    if (n != 0 && n < upto)
        upto = n;
    for (uint32_t i = 0; i < upto; ++i) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    if (n != 0 && a->length >= n && b->length >= n)
        return 0;
    if (a->length != b->length)
        return a->length < b->length ? -1 : 1;
    return 0;
}

int snmp_oid_next_subid(const snmp_container *oid, uint32_t *out, uint32_t index)
{
    if (!is_oid(oid) || !out || index >= oid->length)
        return -1;
    *out = snmp_container_subids(oid)[index];
    return 0;
}

char *snmp_oid_to_string(const snmp_container *oid)
{
    if (!is_oid(oid))
        return nullptr;
    size_t size = size_t{oid->length} * 4;
    if (size < 16)
        size = 16;
    char *buf = static_cast<char *>(std::malloc(size));
    if (!buf) {
        snmp_last_error = -4;
        return nullptr;
    }
    size_t used = 0;
    buf[0] = '\0';
    const uint32_t *s = snmp_container_subids(oid);
    for (uint32_t i = 0; i < oid->length; ++i) {
        if (size - used < 12) {
            // Doubling keeps the growth linear; squaring the size wrapped on
            // 32-bit targets.
            char *bigger = static_cast<char *>(std::realloc(buf, size * 2));
            if (!bigger) {
                std::free(buf);
                snmp_last_error = -4;
                return nullptr;
            }
            buf = bigger;
            size *= 2;
        }
        const int w = std::snprintf(buf + used, size - used, i + 1 < oid->length ? "%lu." : "%lu",
                                    static_cast<unsigned long>(s[i]));
        used += static_cast<size_t>(w);
    }
    return buf;
}

const char *snmp_timeTicks_to_string(uint32_t ticks)
{
    static char text[128];
    const uint32_t days = ticks / 8640000u;
    const uint32_t rest = ticks % 8640000u;
    const int hours = static_cast<int>(rest / 360000u);
    const int minutes = static_cast<int>(rest / 6000u % 60u);
    const int seconds = static_cast<int>(rest / 100u % 60u);
    const int hundredths = static_cast<int>(rest % 100u);
    int n = std::snprintf(text, sizeof text, "%lu - ", static_cast<unsigned long>(ticks));
    if (days)
        n += std::snprintf(text + n, sizeof text - n, "%ld days, ", static_cast<long>(days));
    if (days || hours)
        n += std::snprintf(text + n, sizeof text - n, "%d hours, ", hours);
    if (days || hours || minutes)
        n += std::snprintf(text + n, sizeof text - n, "%d minutes, ", minutes);
    std::snprintf(text + n, sizeof text - n, "%d.%02d seconds", seconds, hundredths);
    return text;
}

const char *snmp_net_addr_to_string(const snmp_net_addr *a)
{
    static char text[96];
    if (!a)
        return "Null ptr";
    switch (a->domain) {
    case SNMP_DOMAIN_TCP:
        std::snprintf(text, sizeof text, "TCP %d.%d.%d.%d port %hu", a->addr[0], a->addr[1],
                      a->addr[2], a->addr[3], a->port);
        break;
    case SNMP_DOMAIN_UDP:
        std::snprintf(text, sizeof text, "%s %d.%d.%d.%d port %hu", "UDP", a->addr[0], a->addr[1],
                      a->addr[2], a->addr[3], a->port);
        break;
    case SNMP_DOMAIN_FD:
        std::snprintf(text, sizeof text, "UNIX file descriptor %ld.", static_cast<long>(a->fd));
        break;
    default:
        return "Unknown domain";
    }
    return text;
}

int snmp_compare_net_addr(const snmp_net_addr *a, const snmp_net_addr *b)
{
    if (!a || !b || a->domain != b->domain)
        return -1;
    switch (a->domain) {
    case SNMP_DOMAIN_TCP:
    case SNMP_DOMAIN_UDP:
        return std::memcmp(a->addr, b->addr, 4) == 0 && a->port == b->port ? 0 : -1;
    case SNMP_DOMAIN_FD:
        return a->fd == b->fd ? 0 : -1;
    default:
        return -2;
    }
}

int snmp_is_nvt_ascii(const unsigned char *bytes, uint32_t length)
{
    if (!bytes && length)
        return 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (bytes[i] > 126)
            return 0;
        if (bytes[i] == '\r' && (i + 1 >= length || (bytes[i + 1] != 0 && bytes[i + 1] != '\n')))
            return 0;
    }
    return 1;
}

unsigned char *snmp_get_native_copy(const unsigned char *bytes, uint32_t length)
{
    auto *copy = static_cast<unsigned char *>(std::malloc(size_t{length} + 1));
    if (!copy) {
        snmp_last_error = -4;
        return nullptr;
    }
    if (length)
        std::memcpy(copy, bytes, length);
    copy[length] = 0;
    return copy;
}

} // extern "C"

// HTMethod: the table of request methods.

#include "HTMethod.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTList.h"
#include "HTString.h"

#include <cstring>

namespace {

struct MethodSlot {
    const char *name;
    bool disabled;
    bool locked;
    int bits;
    bool owned; // name is a heap copy made by HTMethod_add
};

constexpr MethodSlot kBuiltin[HT_METHOD_BUILTIN] = {
    {"INVALID-METHOD", true, false, 0, false},
    {"HEAD", false, false, 2, false},
    {"GET", false, false, 2, false},
    {"POST", false, false, 3, false},
    {"PUT", true, false, 3, false},
    {"DELETE", true, false, 2, false},
    {"OPTIONS", false, false, 2, false},
    {"TRACE", false, false, 2, false},
    {"CONNECT", true, false, 2, false},
    {"SEARCH", true, false, 3, false},
    {"PROPFIND", true, false, 3, false},
    {"PROPPATCH", true, false, 3, false},
    {"MKCOL", true, false, 2, false},
    {"COPY", true, false, 2, false},
    {"MOVE", true, false, 2, false},
    {"LOCK", true, false, 3, false},
    {"UNLOCK", true, false, 3, false},
    {"BMOVE", true, false, 3, false},
    {"BCOPY", true, false, 3, false},
    {"BDELETE", true, false, 3, false},
    {"BPROPFIND", true, false, 3, false},
    {"BPROPPATCH", true, false, 3, false},
    {"POLL", true, false, 3, false},
    {"NOTIFY", true, false, 2, false},
    {"SUBSCRIBE", true, false, 2, false},
    {"UNSUBSCRIBE", true, false, 2, false},
    {"ACL", true, false, 3, false},
    {"SUBSCRIPTIONS", true, false, 2, false},
    {"X-MS-ENUMATTS", true, false, 2, false},
};

struct Table {
    MethodSlot slot[HT_METHOD_SLOTS];
    int count;
};

constexpr Table initial_table()
{
    Table t{};
    for (int i = 0; i < HT_METHOD_BUILTIN; ++i)
        t.slot[i] = kBuiltin[i];
    t.count = HT_METHOD_BUILTIN;
    return t;
}

Table table = initial_table();

bool valid(int index) { return index > 0 && index < table.count; }

// Shared by enable, enable2 and disable: a locked slot keeps what it has.
MethodSlot *changeable(int index)
{
    if (!valid(index) || table.slot[index].locked)
        return nullptr;
    return &table.slot[index];
}

} // namespace

extern "C" int HTMethod_enum(const char *name) noexcept
{
    if (name == nullptr)
        return 0;
    for (int i = 1; i < table.count; ++i)
        if (std::strcmp(table.slot[i].name, name) == 0)
            return i;
    return 0;
}

extern "C" const char *HTMethod_name(int index) noexcept
{
    return valid(index) ? table.slot[index].name : table.slot[0].name;
}

extern "C" int HTMethod_add(const char *name, int bits) noexcept
{
    if (name == nullptr || *name == '\0')
        return 0;
    if (const int known = HTMethod_enum(name))
        return known;
    if (table.count > HT_METHOD_ADD_LIMIT)
        return 0;
    const size_t n = std::strlen(name);
    char *copy = HTAlloc_strndup(name, n);
    if (copy == nullptr)
        out_of_memory("HTMethod", "HTMethod_add", __LINE__, n + 1);
    table.slot[table.count] = MethodSlot{copy, false, false, bits, true};
    return table.count++;
}

extern "C" void HTMethod_enable(int index, int lock) noexcept
{
    if (MethodSlot *m = changeable(index)) {
        m->disabled = false;
        m->locked = lock != 0;
    }
}

extern "C" void HTMethod_enable2(int index, int lock, int bits) noexcept
{
    if (MethodSlot *m = changeable(index)) {
        m->disabled = false;
        m->bits = bits;
        m->locked = lock != 0;
    }
}

extern "C" void HTMethod_disable(int index, int lock) noexcept
{
    if (MethodSlot *m = changeable(index)) {
        m->disabled = true;
        m->locked = lock != 0;
    }
}

extern "C" int HTMethod_check(int index) noexcept
{
    if (!valid(index))
        return -1;
    return table.slot[index].disabled ? 1 : 0;
}

extern "C" int HTMethod_hasBody(int index) noexcept
{
    return valid(index) && (table.slot[index].bits & HT_METHOD_HAS_BODY) ? 1 : 0;
}

extern "C" int HTMethod_needResponseBuffering(int index) noexcept
{
    return valid(index) && (table.slot[index].bits & HT_METHOD_BUFFER_RESPONSE) ? 1 : 0;
}

extern "C" int HTMethod_count(void) noexcept { return table.count; }

extern "C" int HTMethod_inList(int index, HTList *list) noexcept
{
    if (!valid(index) || list == nullptr)
        return -1;
    const char *name = table.slot[index].name;
    int position = 0;
    for (HTList *e = list->next; e != nullptr; e = e->next, ++position)
        if (e->object != nullptr && strcasecomp(static_cast<const char *>(e->object), name) == 0)
            return position;
    return -1;
}

extern "C" void HTMethod__restore(void) noexcept
{
    for (int i = 0; i < table.count; ++i)
        if (table.slot[i].owned)
            HTAlloc_free(const_cast<char *>(table.slot[i].name));
    table = initial_table();
}

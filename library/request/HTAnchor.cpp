// HTAnchor: the URL a request loads.

#include "HTAnchor.h"

#include "HTMPool.h"

#include <cstring>

extern "C" HTAnchor *HTAnchor_findAddress(const char *url, HTThdGlobals *pool) noexcept
{
    auto *a = static_cast<HTAnchor *>(HTMemPool_calloc(1, sizeof(HTAnchor), pool));
    a->pool = pool;
    a->address = HTMemPoolStrdup(url ? url : "", pool);
    return a;
}

extern "C" int HTAnchor_delete(HTAnchor *anchor) noexcept
{
    (void)anchor;
    return 1;
}

extern "C" const char *HTAnchor_address(const HTAnchor *anchor) noexcept
{
    return anchor ? anchor->address : nullptr;
}

extern "C" void HTAnchor_setAddress(HTAnchor *anchor, const char *address) noexcept
{
    if (anchor)
        anchor->address = HTMemPoolStrdup(address, anchor->pool);
}

extern "C" const char *HTAnchor_physical(const HTAnchor *anchor) noexcept
{
    return anchor ? anchor->physical : nullptr;
}

extern "C" void HTAnchor_setPhysical(HTAnchor *anchor, const char *physical) noexcept
{
    if (anchor)
        anchor->physical = HTMemPoolStrdup(physical, anchor->pool);
}

extern "C" const char *HTAnchor_title(const HTAnchor *anchor) noexcept
{
    return anchor ? anchor->title : nullptr;
}

extern "C" void HTAnchor_setTitle(HTAnchor *anchor, const char *title) noexcept
{
    if (anchor)
        anchor->title = HTMemPoolStrdup(title, anchor->pool);
}

extern "C" void HTAnchor_appendTitle(HTAnchor *anchor, const char *text) noexcept
{
    if (anchor == nullptr || text == nullptr)
        return;
    anchor->title = HTMemPool_cat(anchor->title, text, anchor->pool);
}

extern "C" HTAtom *HTAnchor_format(const HTAnchor *anchor) noexcept
{
    return anchor ? anchor->format : nullptr;
}

extern "C" void HTAnchor_setFormat(HTAnchor *anchor, HTAtom *format) noexcept
{
    if (anchor)
        anchor->format = format;
}

extern "C" HTProtocol *HTAnchor_protocol(const HTAnchor *anchor) noexcept
{
    return anchor ? anchor->protocol : nullptr;
}

extern "C" void HTAnchor_setProtocol(HTAnchor *anchor, HTProtocol *protocol) noexcept
{
    if (anchor)
        anchor->protocol = protocol;
}

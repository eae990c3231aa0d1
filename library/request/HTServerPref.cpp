// HTServerPref: the origin-server preference list of one request.

#include "HTServerPref.h"

#include "HTGlobals.h"
#include "HTMPool.h"

#include <cstring>

namespace {

HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }

HTServerPref *state(HTThdGlobals *context)
{
    HTThdGlobals *g = globals(context);
    return g ? static_cast<HTServerPref *>(g->server_pref) : nullptr;
}

bool secure_port(const char *list)
{
    const char *colon = std::strchr(list, ':');
    return colon != nullptr && (std::strcmp(colon + 1, "443") == 0 || std::strcmp(colon + 1, "9443") == 0);
}

} // namespace

extern "C" void utilServerPref_initialize(HTThdGlobals *context) noexcept
{
    if (HTThdGlobals *g = globals(context))
        g->server_pref = nullptr;
}

extern "C" int utilServerPref_createList(const char *list, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (list == nullptr || g == nullptr)
        return -1;
    HTServerPref *s = state(g);
    if (s == nullptr) {
        s = static_cast<HTServerPref *>(HTMemPool_calloc(1, sizeof(HTServerPref), g));
        g->server_pref = s;
    }
    if (std::strstr(list, "://") != nullptr)
        s->list = HTMemPoolStrdup(list, g);
    else
        s->list = HTMemPool_cat(secure_port(list) ? "https://" : "http://", list, g);
    s->cursor = s->list;
    s->length = std::strlen(s->list);
    s->registered = 1;
    s->in_use = 0;
    return 0;
}

extern "C" int utilServerPref_registered(HTThdGlobals *context) noexcept
{
    const HTServerPref *s = state(context);
    return s != nullptr && s->registered ? 1 : 0;
}

extern "C" int utilServerPref_isset(HTThdGlobals *context) noexcept
{
    const HTServerPref *s = state(context);
    return s != nullptr && s->in_use ? 1 : 0;
}

extern "C" void utilServerPref_set(HTThdGlobals *context) noexcept
{
    if (HTServerPref *s = state(context))
        s->in_use = 1;
}

extern "C" void utilServerPref_reset(HTThdGlobals *context) noexcept
{
    if (HTServerPref *s = state(context)) {
        s->in_use = 0;
        s->registered = 0;
        s->list = s->cursor = nullptr;
        s->length = 0;
    }
}

extern "C" void utilServerPref_hostDefer(int value, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (g == nullptr)
        return;
    HTServerPref *s = state(g);
    if (s == nullptr) {
        s = static_cast<HTServerPref *>(HTMemPool_calloc(1, sizeof(HTServerPref), g));
        g->server_pref = s;
    }
    s->host_deferred = value;
}

extern "C" int utilServerPref_isHostDeferred(HTThdGlobals *context) noexcept
{
    const HTServerPref *s = state(context);
    return s != nullptr ? s->host_deferred : 0;
}

extern "C" char *utilServerPref_getNext(HTThdGlobals *context) noexcept
{
    HTServerPref *s = state(context);
    if (s == nullptr || s->cursor == nullptr)
        return nullptr;
    char *p = s->cursor;
    while (*p == ' ')
        ++p;
    if (*p == '\0') {
        s->cursor = p;
        return nullptr;
    }
    char *item = p;
    while (*p != '\0' && *p != ' ')
        ++p;
    if (*p == ' ')
        *p++ = '\0';
    s->cursor = p;
    return item;
}

extern "C" char *utilServerPref_getNextURL(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    const char *item = utilServerPref_getNext(g);
    if (item == nullptr || g->url == nullptr)
        return nullptr;
    const char *scheme_end = std::strstr(g->url, "://");
    if (scheme_end == nullptr)
        return nullptr;
    const char *path = std::strchr(scheme_end + 3, '/');
    if (path == nullptr)
        return nullptr;
    return HTMemPool_cat(item, path, g);
}

extern "C" char *utilServerPref_getList(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    const HTServerPref *s = state(g);
    if (s == nullptr || !s->registered || s->list == nullptr)
        return nullptr;
    char *copy = HTMemPoolStrdup_len(s->list, s->length, g);
    for (size_t i = 0; i < s->length; ++i)
        if (copy[i] == '\0')
            copy[i] = ' ';
    return copy;
}

extern "C" int utilServerPref_isEmpty(HTThdGlobals *context) noexcept
{
    const HTServerPref *s = state(context);
    if (s == nullptr || s->cursor == nullptr)
        return 1;
    for (const char *p = s->cursor; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) > 32)
            return 0;
    return 1;
}

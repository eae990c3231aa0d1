#include "HTIcons.h"

#include "HTAAtmpl.h"
#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMPool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

HTStaticConfig *config_of(HTStaticConfig *config) { return config ? config : &HTMyStaticConfig; }

char *copy(const char *text, HTThdGlobals *pool, const char *who)
{
    if (text == nullptr)
        return nullptr;
    if (pool != nullptr)
        return HTMemPoolStrdup(text, pool);
    char *p = HTAlloc_strdup(text);
    if (p == nullptr)
        out_of_memory(__FILE__, who, __LINE__, std::strlen(text) + 1);
    return p;
}

void *record(size_t size, HTThdGlobals *pool, const char *who)
{
    void *p = pool ? HTMemPoolAlloc(size, pool) : HTAlloc_calloc(1, size);
    if (p == nullptr)
        out_of_memory(__FILE__, who, __LINE__, size);
    std::memset(p, 0, size);
    return p;
}

void release(HTDirIcon *icon)
{
    if (icon == nullptr || !icon->heap)
        return;
    HTAlloc_free(icon->image);
    HTAlloc_free(icon->alt);
    HTAlloc_free(icon->tmpl);
    HTAlloc_free(icon);
}

// Every text is copied before the record is linked, so a failure part-way
// leaves the configuration as it was (the heap copies made so far are freed).
HTDirIcon *make_icon(const char *image, const char *alt, const char *tmpl, HTThdGlobals *pool, const char *who)
{
    auto *icon = static_cast<HTDirIcon *>(record(sizeof(HTDirIcon), pool, who));
    icon->heap = pool == nullptr;
    if (icon->heap) {
        icon->image = HTAlloc_strdup(image);
        icon->alt = HTAlloc_strdup(alt);
        icon->tmpl = tmpl ? HTAlloc_strdup(tmpl) : nullptr;
        if (icon->image == nullptr || icon->alt == nullptr || (tmpl && icon->tmpl == nullptr)) {
            release(icon);
            out_of_memory(__FILE__, who, __LINE__, std::strlen(image) + std::strlen(alt) + 2);
        }
    } else {
        icon->image = copy(image, pool, who);
        icon->alt = copy(alt, pool, who);
        icon->tmpl = copy(tmpl, pool, who);
    }
    return icon;
}

int set_single(HTDirIcon *HTStaticConfig::*slot, const char *image, const char *alt, HTStaticConfig *config,
               const char *who)
{
    if (image == nullptr || alt == nullptr)
        return -1;
    HTStaticConfig *c = config_of(config);
    HTDirIcon *icon = make_icon(image, alt, nullptr, nullptr, who);
    release(c->*slot);
    c->*slot = icon;
    return 0;
}

// "type/subtype" matched side by side; a side missing on either gives no match.
bool type_matches(const char *tmpl, const char *format)
{
    const char *ts = std::strchr(tmpl, '/');
    const char *fs = std::strchr(format, '/');
    if (ts == nullptr || fs == nullptr)
        return false;
    char tt[128], ft[128];
    const size_t tn = static_cast<size_t>(ts - tmpl), fn = static_cast<size_t>(fs - format);
    if (tn >= sizeof tt || fn >= sizeof ft)
        return false;
    std::memcpy(tt, tmpl, tn);
    tt[tn] = '\0';
    std::memcpy(ft, format, fn);
    ft[fn] = '\0';
    return HTAA_templateMatch(tt, ft) && HTAA_templateMatch(ts + 1, fs + 1);
}

const HTDirIcon *unknown_icon(const HTStaticConfig *c)
{
    return c->dir_icon_unknown ? c->dir_icon_unknown : c->dir_icon_blank;
}

const char *system_host_name()
{
    // Looked up once: the name does not change while the server runs.
    static const struct Name {
        char text[256];
        Name()
        {
            if (gethostname(text, sizeof text - 1) != 0 || text[0] == '\0')
                std::snprintf(text, sizeof text, "%s", HT_DIR_NO_HOST_NAME);
            text[sizeof text - 1] = '\0';
        }
    } name;
    return name.text;
}

} // namespace

extern "C" const HTStaticConfig *HTDir_config(HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g != nullptr && g->config != nullptr)
        return static_cast<const HTStaticConfig *>(g->config);
    return &HTMyStaticConfig;
}

extern "C" int HTAddIcon(const char *image, const char *alt, const char *tmpl, HTStaticConfig *config,
                         HTThdGlobals *pool) noexcept
{
    if (image == nullptr || alt == nullptr || tmpl == nullptr)
        return -1;
    HTStaticConfig *c = config_of(config);
    HTDirIcon *icon = make_icon(image, alt, tmpl, pool, "HTAddIcon");
    HTDirIcon **at = &c->dir_type_icons;
    while (*at)
        at = &(*at)->next;
    *at = icon;
    return 0;
}

extern "C" int HTAddHref(const char *url, const char *extension, HTStaticConfig *config,
                         HTThdGlobals *pool) noexcept
{
    if (url == nullptr || extension == nullptr)
        return -1;
    HTStaticConfig *c = config_of(config);
    auto *href = static_cast<HTDirHref *>(record(sizeof(HTDirHref), pool, "HTAddHref"));
    href->heap = pool == nullptr;
    if (href->heap) {
        href->url = HTAlloc_strdup(url);
        href->extension = HTAlloc_strdup(extension);
        if (href->url == nullptr || href->extension == nullptr) {
            HTAlloc_free(href->url);
            HTAlloc_free(href->extension);
            HTAlloc_free(href);
            out_of_memory(__FILE__, "HTAddHref", __LINE__, std::strlen(url) + std::strlen(extension) + 2);
        }
    } else {
        href->url = copy(url, pool, "HTAddHref");
        href->extension = copy(extension, pool, "HTAddHref");
    }
    HTDirHref **at = &c->dir_hrefs;
    while (*at)
        at = &(*at)->next;
    *at = href;
    return 0;
}

extern "C" int HTAddUnknownIcon(const char *image, const char *alt, HTStaticConfig *config) noexcept
{
    return set_single(&HTStaticConfig::dir_icon_unknown, image, alt, config, "HTAddUnknownIcon");
}

extern "C" int HTAddBlankIcon(const char *image, const char *alt, HTStaticConfig *config) noexcept
{
    return set_single(&HTStaticConfig::dir_icon_blank, image, alt, config, "HTAddBlankIcon");
}

extern "C" int HTAddParentIcon(const char *image, const char *alt, HTStaticConfig *config) noexcept
{
    return set_single(&HTStaticConfig::dir_icon_parent, image, alt, config, "HTAddParentIcon");
}

extern "C" int HTAddDirIcon(const char *image, const char *alt, HTStaticConfig *config) noexcept
{
    return set_single(&HTStaticConfig::dir_icon_dir, image, alt, config, "HTAddDirIcon");
}

extern "C" void HTClearIcons(HTStaticConfig *config) noexcept
{
    HTStaticConfig *c = config_of(config);
    release(c->dir_icon_unknown);
    release(c->dir_icon_blank);
    release(c->dir_icon_parent);
    release(c->dir_icon_dir);
    c->dir_icon_unknown = c->dir_icon_blank = c->dir_icon_parent = c->dir_icon_dir = nullptr;
    for (HTDirIcon *i = c->dir_type_icons; i;) {
        HTDirIcon *next = i->next;
        release(i);
        i = next;
    }
    c->dir_type_icons = nullptr;
    for (HTDirHref *h = c->dir_hrefs; h;) {
        HTDirHref *next = h->next;
        if (h->heap) {
            HTAlloc_free(h->url);
            HTAlloc_free(h->extension);
            HTAlloc_free(h);
        }
        h = next;
    }
    c->dir_hrefs = nullptr;
}

extern "C" const HTDirIcon *HTGetIcon(mode_t mode, const HTAtom *format, const HTAtom *encoding,
                                      HTThdGlobals *context) noexcept
{
    const HTStaticConfig *c = HTDir_config(context);
    if (S_ISDIR(mode) || S_ISLNK(mode))
        return c->dir_icon_dir ? c->dir_icon_dir : unknown_icon(c);
    if (!S_ISREG(mode))
        return unknown_icon(c);
    for (const HTDirIcon *i = c->dir_type_icons; i; i = i->next) {
        if (i->tmpl == nullptr)
            continue;
        if (std::strchr(i->tmpl, '/')) {
            if (format && type_matches(i->tmpl, format->name))
                return i;
        } else if (encoding && HTAA_templateMatch(i->tmpl, encoding->name)) {
            return i;
        }
    }
    return unknown_icon(c);
}

extern "C" const HTDirIcon *HTGetParentIcon(HTThdGlobals *context) noexcept
{
    const HTStaticConfig *c = HTDir_config(context);
    if (c->dir_icon_parent)
        return c->dir_icon_parent;
    if (c->dir_icon_dir)
        return c->dir_icon_dir;
    if (c->dir_icon_blank)
        return c->dir_icon_blank;
    return c->dir_icon_unknown;
}

extern "C" const HTDirIcon *HTGetBlankIcon(HTThdGlobals *context) noexcept
{
    return HTDir_config(context)->dir_icon_blank;
}

extern "C" const HTDirHref *HTGetHref(const char *name, HTThdGlobals *context) noexcept
{
    if (name == nullptr)
        return nullptr;
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr)
        return nullptr;
    for (const HTDirHref *h = HTDir_config(context)->dir_hrefs; h; h = h->next)
        if (std::strcmp(h->extension, dot) == 0)
            return h;
    return nullptr;
}

extern "C" char *HTFullSelfReference(const char *host, const char *path, int port, int usePool,
                                     HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (path == nullptr)
        return nullptr;
    char port_text[16] = "";
    const char *name = nullptr;
    if (path[0] == '/') {
        name = host;
        if (name == nullptr) {
            const HTStaticConfig *c = HTDir_config(g);
            name = c->proxy_host_name && *c->proxy_host_name ? c->proxy_host_name : system_host_name();
        }
        if (port > 0 && port != 80)
            std::snprintf(port_text, sizeof port_text, ":%d", port);
    }
    const size_t n = (name ? 7 + std::strlen(name) + std::strlen(port_text) : 0) + std::strlen(path) + 1;
    char *out = usePool ? static_cast<char *>(HTMemPoolAlloc(n, g)) : static_cast<char *>(HTAlloc_malloc(n));
    if (out == nullptr)
        return nullptr;
    if (name)
        std::snprintf(out, n, "http://%s%s%s", name, port_text, path);
    else
        std::snprintf(out, n, "%s", path);
    return out;
}

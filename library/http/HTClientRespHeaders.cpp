// HTClientRespHeaders: reading and editing the response head in the store.

#include "HTClientRespHeaders.h"

#include "HTMPool.h"
#include "HTRespStore.hpp"
#include "HTString.h"
#include "HTTrace.h"

#include <cstdio>
#include <cstring>

using namespace ht_resp;

// ---- Internals shared with the writer ------------------------------------------

size_t ht_resp::name_length(const char *line)
{
    size_t n = 0;
    while (line[n] != ':' && static_cast<unsigned char>(line[n]) > ' ')
        ++n;
    return n;
}

void ht_resp::list_append(LineList l, char *line, HTThdGlobals *g)
{
    if (*l.head == nullptr) {
        *l.head = HTList_new(g);
        *l.tail = *l.head;
        if (l.count)
            *l.count = 0;
    }
    HTList *e = HTList_createElement(g);
    e->object = line;
    e->next = nullptr;
    (*l.tail)->next = e;
    *l.tail = e;
    if (l.count)
        ++*l.count;
}

void ht_resp::list_remove_after(LineList l, HTList *prev, HTThdGlobals *g)
{
    HTList *e = prev->next;
    prev->next = e->next;
    if (*l.tail == e)
        *l.tail = prev;
    HTList_discardElement(e, g);
    if (l.count)
        --*l.count;
}

void ht_resp::list_delete(LineList l, HTThdGlobals *g)
{
    HTList_delete(*l.head, g);
    *l.head = nullptr;
    *l.tail = nullptr;
    if (l.count)
        *l.count = 0;
}

HTList *ht_resp::list_find_before(LineList l, const char *name, size_t n, int nth)
{
    if (*l.head == nullptr || nth < 0)
        return nullptr;
    for (HTList *prev = *l.head; prev->next != nullptr; prev = prev->next)
        if (begins_with(static_cast<const char *>(prev->next->object), name, n) && nth-- == 0)
            return prev;
    return nullptr;
}

char *ht_resp::make_line(const char *name, const char *value, HTThdGlobals *g)
{
    return HTMemPool_vcat(g, name, ": ", value, "\r\n", static_cast<char *>(nullptr));
}

char *ht_resp::line_value(const char *line, HTThdGlobals *g)
{
    const char *colon = std::strchr(line, ':');
    if (colon == nullptr)
        return nullptr;
    const char *v = colon + 1;
    while (*v != '\0' && static_cast<unsigned char>(*v) <= ' ')
        ++v;
    size_t n = 0;
    while (v[n] != '\0' && v[n] != '\r' && v[n] != '\n')
        ++n;
    return HTMemPoolStrdup_len(v, n, g);
}

namespace {

bool trace_stack() { return HT_TRACE_AT(HT_TRACE_STACK, 44); }

struct Found {
    HTRespHeaders *store;
    HTThdGlobals *g;
};

Found find_store(HTThdGlobals *context)
{
    HTThdGlobals *g = globals(context);
    return {store_of(g), g};
}

int delete_matching(HTRespHeaders *s, const char *name, int limit, char **first, HTThdGlobals *g)
{
    const LineList l = current_list(s);
    const size_t n = std::strlen(name);
    int removed = 0;
    HTList *prev = list_find_before(l, name, n, 0);
    while (prev != nullptr && removed != limit) {
        if (first != nullptr && removed == 0)
            *first = static_cast<char *>(prev->next->object);
        list_remove_after(l, prev, g);
        ++removed;
        while (prev->next != nullptr && !begins_with(static_cast<const char *>(prev->next->object), name, n))
            prev = prev->next;
        if (prev->next == nullptr)
            break;
    }
    return removed;
}

// The line keeps its own name: name as stored, ": ", value, CR LF.
char *rewrite_line(const char *line, const char *value, HTThdGlobals *g)
{
    const size_t n = name_length(line);
    char *name = HTMemPoolStrdup_len(line, n, g);
    return make_line(name, value, g);
}

// Mode 1: the first line of the name gets the value, or a line is added.
char *set_first(HTRespHeaders *s, const char *name, const char *value, HTThdGlobals *g)
{
    HTList *prev = list_find_before(current_list(s), name, std::strlen(name), 0);
    if (prev == nullptr)
        return HTClientRespHeaders_addHeader(name, value, g);
    char *line = rewrite_line(static_cast<const char *>(prev->next->object), value, g);
    prev->next->object = line;
    return line;
}

// The words of a status line: [version][blanks][code][blanks][reason] up to CR or LF.
struct StatusWords {
    const char *version;
    size_t version_length;
    const char *code;
    size_t code_length;
    const char *reason;
    size_t reason_length;
};

StatusWords split_status(const char *line)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto stop = [](char c) { return c == '\0' || c == '\r' || c == '\n'; };
    StatusWords w{};
    const char *p = line;
    w.version = p;
    while (!stop(*p) && !blank(*p))
        ++p;
    w.version_length = static_cast<size_t>(p - w.version);
    while (blank(*p))
        ++p;
    w.code = p;
    while (!stop(*p) && !blank(*p))
        ++p;
    w.code_length = static_cast<size_t>(p - w.code);
    while (blank(*p))
        ++p;
    w.reason = p;
    while (!stop(*p))
        ++p;
    w.reason_length = static_cast<size_t>(p - w.reason);
    return w;
}

} // namespace

void ht_resp::replace_all(const char *name, const char *value, HTThdGlobals *g)
{
    HTClientRespHeaders_setHeaderValue(name, value, HT_HEADER_REPLACE, g);
}

// ---- The interface ----------------------------------------------------------------

extern "C" char *HTClientRespHeaders_get(HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr)
        return nullptr;
    const LineList l = current_list(f.store);
    if (*l.head == nullptr || (*l.head)->next == nullptr)
        return nullptr;
    size_t total = 0;
    for (HTList *e = (*l.head)->next; e != nullptr; e = e->next)
        total += std::strlen(static_cast<const char *>(e->object));
    auto *text = static_cast<char *>(HTMemPoolAlloc(total + 1, f.g));
    char *p = text;
    for (HTList *e = (*l.head)->next; e != nullptr; e = e->next) {
        const size_t n = std::strlen(static_cast<const char *>(e->object));
        std::memcpy(p, e->object, n);
        p += n;
    }
    *p = '\0';
    return text;
}

extern "C" char *HTClientRespHeaders_addHeader(const char *name, const char *value,
                                               HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr || value == nullptr)
        return nullptr;
    char *line = make_line(name, value, f.g);
    if (f.store->phase > HT_STACK_HEADERS) {
        list_append(header_list(f.store), line, f.g);
    } else {
        list_append(plugin_list(f.store), line, f.g);
        f.store->pending = 1;
    }
    return line;
}

extern "C" char *HTClientRespHeaders_getStatus(HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr)
        return nullptr;
    int code = status_code(f.store->status_line, false);
    if (code == 0)
        code = f.store->status_code;
    char text[24];
    std::snprintf(text, sizeof text, "%d", code);
    return HTMemPoolStrdup(text, f.g);
}

extern "C" char *HTClientRespHeaders_setStatus(int code, const char *reason, int reasonLength,
                                               HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr)
        return nullptr;
    const StatusWords w = split_status(f.store->status_line);
    char code_text[24];
    const char *code_word = w.code;
    size_t code_length = w.code_length;
    if (code != 0) {
        code_length = static_cast<size_t>(std::snprintf(code_text, sizeof code_text, "%d", code));
        code_word = code_text;
    }
    const char *version = w.version_length ? w.version : "HTTP/1.0";
    const size_t version_length = w.version_length ? w.version_length : 8;
    const char *why = reason ? reason : w.reason;
    const size_t why_length =
        reason ? (reasonLength < 0 ? std::strlen(reason) : static_cast<size_t>(reasonLength)) : w.reason_length;
    const size_t total = version_length + 1 + code_length + 1 + why_length + 2;
    auto *line = static_cast<char *>(HTMemPoolAlloc(total + 1, f.g));
    char *p = line;
    std::memcpy(p, version, version_length);
    p += version_length;
    *p++ = ' ';
    std::memcpy(p, code_word, code_length);
    p += code_length;
    *p++ = ' ';
    std::memcpy(p, why, why_length);
    p += why_length;
    *p++ = '\r';
    *p++ = '\n';
    *p = '\0';
    f.store->status_line = line;
    if (code != 0)
        f.store->status_code = code;
    return line;
}

extern "C" char *HTClientRespHeaders_setHeaderValue(const char *name, const char *value, int mode,
                                                    HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr)
        return nullptr;
    const bool needs_value = mode != HT_HEADER_DELETE_ALL && mode != HT_HEADER_DELETE_FIRST;
    if (needs_value && value == nullptr)
        return nullptr;
    char *first = nullptr;
    switch (mode) {
    case HT_HEADER_REPLACE: {
        const int n = delete_matching(f.store, name, -1, nullptr, f.g);
        if (trace_stack())
            tfprintf(stderr, "Stack....... replacing %d occurences of \"%s\" with \"%s\".\n", n, name, value);
        return HTClientRespHeaders_addHeader(name, value, f.g);
    }
    case HT_HEADER_ADD:
        if (trace_stack())
            tfprintf(stderr, "Stack....... adding occurences of \"%s\".\n", name);
        return HTClientRespHeaders_addHeader(name, value, f.g);
    case HT_HEADER_DELETE_ALL:
    case HT_HEADER_DELETE_FIRST: {
        const int n = delete_matching(f.store, name, mode == HT_HEADER_DELETE_FIRST ? 1 : -1, &first, f.g);
        if (trace_stack())
            tfprintf(stderr, "Stack....... deleting %d occurences of \"%s\".\n", n, name);
        return first;
    }
    default:
        return set_first(f.store, name, value, f.g);
    }
}

extern "C" char *HTClientRespHeaders_replaceHeaderValue(const char *name, const char *value, int index,
                                                        HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr)
        return nullptr;
    const LineList l = current_list(f.store);
    const size_t n = std::strlen(name);
    HTList *prev = list_find_before(l, name, n, index);
    if (prev == nullptr)
        return nullptr;
    if (value != nullptr) {
        char *line = rewrite_line(static_cast<const char *>(prev->next->object), value, f.g);
        prev->next->object = line;
        return line;
    }
    while (prev->next != nullptr) {
        if (begins_with(static_cast<const char *>(prev->next->object), name, n))
            list_remove_after(l, prev, f.g);
        else
            prev = prev->next;
    }
    return nullptr;
}

extern "C" int HTClientRespHeaders_delete_one(const char *name, HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr)
        return 0;
    return delete_matching(f.store, name, 1, nullptr, f.g);
}

extern "C" int HTClientRespHeaders_delete(const char *name, HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr)
        return 0;
    return delete_matching(f.store, name, -1, nullptr, f.g);
}

extern "C" char *HTClientRespHeaders_getNth(const char *name, HTThdGlobals *context, int index) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr || name == nullptr)
        return nullptr;
    HTList *prev = list_find_before(current_list(f.store), name, std::strlen(name), index);
    return prev ? line_value(static_cast<const char *>(prev->next->object), f.g) : nullptr;
}

extern "C" char *HTClientRespHeaders_getValue(const char *name, HTThdGlobals *context) noexcept
{
    return HTClientRespHeaders_getNth(name, context, 0);
}

extern "C" char *HTClientRespHeaders_getReason(HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr)
        return nullptr;
    const StatusWords w = split_status(f.store->status_line);
    return HTMemPoolStrdup_len(w.reason, w.reason_length, f.g);
}

extern "C" char *HTClientRespHeaders_getContentTypeParams(HTThdGlobals *context) noexcept
{
    const char *value = HTClientRespHeaders_getValue("content-type", context);
    const char *semicolon = value ? std::strchr(value, ';') : nullptr;
    if (semicolon == nullptr)
        return nullptr;
    const char *p = semicolon + 1;
    while (*p == ' ' || *p == '\t')
        ++p;
    return const_cast<char *>(p);
}

extern "C" char *HTClientRespHeaders_setContentTypeParams(const char *params, HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    char *value = params ? HTClientRespHeaders_getValue("content-type", f.g) : nullptr;
    if (value == nullptr)
        return nullptr;
    if (char *semicolon = std::strchr(value, ';'))
        *semicolon = '\0';
    return HTMemPool_vcat(f.g, "Content-Type: ", value, "; ", params, "\r\n", static_cast<char *>(nullptr));
}

extern "C" int HTClientRespHeaders_checkCCHeaders(HTThdGlobals *context) noexcept
{
    const Found f = find_store(context);
    if (f.store == nullptr)
        return 0;
    const LineList l = current_list(f.store);
    if (*l.head == nullptr)
        return 0;
    for (HTList *e = (*l.head)->next; e != nullptr; e = e->next) {
        const auto *line = static_cast<const char *>(e->object);
        if (!begins_with(line, "cache-control", 13))
            continue;
        char *value = line_value(line, f.g);
        if (value == nullptr)
            continue;
        char *cursor = value;
        while (char *directive = get_cc_directive(&cursor))
            if (strcasecomp(directive, "no-transform") == 0)
                return 1;
    }
    return 0;
}

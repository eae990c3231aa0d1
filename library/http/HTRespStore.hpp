// HTRespStore: the header store's internals, shared by the stream-stack
// writer and the editing operations. Everything here works on one thread's
// store; strings come from its pool, list elements from its free list.
#ifndef HTRESPSTORE_HPP
#define HTRESPSTORE_HPP

#include "HTGlobals.h"
#include "HTList.h"
#include "HTRespHeaders-t.h"

#include <cstddef>

namespace ht_resp {

// The context (null: the calling thread's) and its store, or null.
inline HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }
inline HTRespHeaders *store_of(HTThdGlobals *g)
{
    return g ? static_cast<HTRespHeaders *>(g->client_resp_headers) : nullptr;
}

// The empty status line of a fresh store; never written through.
extern char kEmptyLine[1];

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// The line begins with the first n bytes of name, ASCII case ignored.
inline bool begins_with(const char *line, const char *name, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (line[i] == '\0' || lower(line[i]) != lower(name[i]))
            return false;
    return true;
}

// Length of a line's header name: up to ':' or a byte not above the blank.
size_t name_length(const char *line);

// One of the store's two lists. Lines are appended at the tail; `count`
// (the header list's count) follows every change; the plug-in list has none.
struct LineList {
    HTList **head;
    HTList **tail;
    int *count;
};
inline LineList header_list(HTRespHeaders *s) { return {&s->headers, &s->headers_tail, &s->count}; }
inline LineList plugin_list(HTRespHeaders *s) { return {&s->plugin, &s->plugin_tail, nullptr}; }
// The list lookups and edits work on: the header list once it exists, else the plug-in list.
inline LineList current_list(HTRespHeaders *s) { return s->headers ? header_list(s) : plugin_list(s); }

void list_append(LineList l, char *line, HTThdGlobals *g);
// Removes the element after `prev` (which must have one).
void list_remove_after(LineList l, HTList *prev, HTThdGlobals *g);
void list_delete(LineList l, HTThdGlobals *g);
// The element before the nth (from 0) line whose beginning matches `name`,
// or null when there are fewer.
HTList *list_find_before(LineList l, const char *name, size_t n, int nth);

// A pool line: name, ": ", value and CR LF.
char *make_line(const char *name, const char *value, HTThdGlobals *g);
// A pool copy of a line's value (after the first ':' and the blanks and
// control bytes that follow, up to CR or LF), or null without ':'.
char *line_value(const char *line, HTThdGlobals *g);

// A first line that begins with this is answered as "HTTP/1.0 200 OK".
constexpr char kPostLine[] = "POST / HTTP/1.0";
// The status code of a first line by the writer's rules, or 0 when it has
// none (an HTTP/0.9 answer); `trace` reports why there is none.
int status_code(const char *line, bool trace);

// HTClientRespHeaders_setHeaderValue's mode 0, for the response-time header.
void replace_all(const char *name, const char *value, HTThdGlobals *g);

} // namespace ht_resp

#endif

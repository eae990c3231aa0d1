// What the Gopher page fuzz targets check of a page: it is the fixed frame
// around a body in which every '<' starts one of the tags the renderer
// writes, every '&' starts one of the references it writes, no '>' or '"'
// stands alone, and link targets hold only bytes that need no quoting.
#ifndef GOPHER_PAGE_CHECK_H
#define GOPHER_PAGE_CHECK_H

#include "HTStream-t.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace gopher_check {

struct Sink {
    const HTStreamClass *isa;
    std::string *text;
};
inline int sink_write(HTStream *me, const char *d, int n)
{
    reinterpret_cast<Sink *>(me)->text->append(d, static_cast<size_t>(n));
    return 0;
}
inline int sink_string(HTStream *me, const char *t) { return sink_write(me, t, static_cast<int>(std::strlen(t))); }
inline int sink_char(HTStream *me, int c)
{
    const char ch = static_cast<char>(c);
    return sink_write(me, &ch, 1);
}
inline int sink_free(HTStream *, void *) { return 0; }
inline const HTStreamClass kSinkClass = {"FuzzSink", sink_free, sink_free, sink_char, sink_string, sink_write,
                                         nullptr,    nullptr,   nullptr};

inline bool starts(const std::string &s, size_t at, const char *p) { return s.compare(at, std::strlen(p), p) == 0; }

// An attribute value up to its closing quote: no '<', '>' or quote inside,
// '&' only as a reference. The position after the quote, or npos.
inline size_t attribute(const std::string &s, size_t at, bool link)
{
    for (; at < s.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(s[at]);
        if (c == '"')
            return at + 1;
        if (c == '<' || c == '>' || c == '\'')
            return std::string::npos;
        if (link && (c <= ' ' || c >= 0x7f || c == '\\'))
            return std::string::npos;
    }
    return std::string::npos;
}

// Aborts unless `s` is `head` + a body of the rules above + `tail`.
inline void check(const std::string &s, const char *head, const char *tail,
                  std::initializer_list<const char *> tags, bool anchors)
{
    if (!starts(s, 0, head) || s.size() < std::strlen(head) + std::strlen(tail) ||
        s.compare(s.size() - std::strlen(tail), std::string::npos, tail) != 0)
        std::abort();
    const size_t end = s.size() - std::strlen(tail);
    for (size_t i = std::strlen(head); i < end;) {
        const char c = s[i];
        if (c == '&') {
            bool ok = false;
            for (const char *r : {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"})
                if (starts(s, i, r)) {
                    i += std::strlen(r);
                    ok = true;
                    break;
                }
            if (!ok)
                std::abort();
            continue;
        }
        if (c == '>' || c == '"')
            std::abort();
        if (c != '<') {
            ++i;
            continue;
        }
        bool ok = false;
        for (const char *t : tags)
            if (starts(s, i, t)) {
                i += std::strlen(t);
                ok = true;
                break;
            }
        if (ok)
            continue;
        if (!anchors || !starts(s, i, "<a href=\""))
            std::abort();
        i = attribute(s, i + 9, true);
        if (i == std::string::npos || !starts(s, i, " TITLE=\""))
            std::abort();
        i = attribute(s, i + 8, false);
        if (i == std::string::npos || !starts(s, i, ">"))
            std::abort();
        ++i;
    }
}

} // namespace gopher_check

#endif

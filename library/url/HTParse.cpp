// HTParse: URL parsing, simplification and escaping.

#include "HTParse.h"

#include "HTMPool.h"
#include "HTTrace.h"
#include "HTHex.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

using ht::hex_value;

// Handed out for a null text; never written by this module.
char empty_text[1];

// Decodes [in, end) to `out` (out <= in), and writes a terminator. "+" becomes
// a blank when `plus` is set. Returns where the result ends as a C string: the
// terminator, or the first zero byte that "%00" produced.
//
// Sixteen bytes at a time: a block without "%" is copied whole (with "+"
// replaced); otherwise the bytes before the first "%" are, and the escape is
// decoded on its own. Nothing at or past `end` is read.
// Sixteen bytes as one value; GCC lowers the operations to whatever the
// target has (SSE2 here, plain words on a target without vectors).
typedef unsigned char v16 __attribute__((vector_size(16)));

inline v16 splat(unsigned char c) noexcept
{
    v16 v;
    for (int i = 0; i < 16; ++i)
        v[i] = c;
    return v;
}

char *unescape_span(unsigned char *in, unsigned char *const end, bool plus) noexcept
{
    unsigned char *out = in;
    unsigned char *first_zero = nullptr;
    const v16 pct = splat('%');
    // Without `plus`, "+" is "replaced" by itself.
    const v16 plus_char = splat('+');
    const v16 blank = splat(plus ? ' ' : '+');

    while (in < end) {
        // A short last block is loaded into a zeroed vector: zero is never "%".
        const bool whole = end - in >= 16;
        const std::size_t n = whole ? 16 : static_cast<std::size_t>(end - in);
        v16 v = {};
        if (whole)
            std::memcpy(&v, in, 16);
        else
            std::memcpy(&v, in, n);
        v = (v == plus_char) ? blank : v;
        const v16 hit = (v == pct);
        uint64_t lanes[2];
        std::memcpy(lanes, &hit, sizeof lanes);
        if ((lanes[0] | lanes[1]) == 0) {
            if (whole)
                std::memcpy(out, &v, 16);
            else
                std::memcpy(out, &v, n);
            in += n;
            out += n;
            continue;
        }
        // Bytes before the first "%" of the block.
        std::size_t k = 0;
        while (in[k] != '%')
            ++k;
        std::memcpy(out, &v, k);
        in += k;
        out += k;
        // *in is a "%". in[1] is read only before `end`; in[2] only when in[1]
        // is a digit.
        const int hi = (end - in > 1) ? hex_value(in[1]) : -1;
        const int lo = (hi >= 0 && end - in > 2) ? hex_value(in[2]) : -1;
        if (lo >= 0) {
            const unsigned char byte = static_cast<unsigned char>(hi * 16 + lo);
            if (byte == 0 && first_zero == nullptr)
                first_zero = out;
            *out++ = byte;
            in += 3;
        } else if (hi >= 0 && end - in == 2) {
            // One hexadecimal digit that ends the text.
            if (hi == 0 && first_zero == nullptr)
                first_zero = out;
            *out++ = static_cast<unsigned char>(hi * 16);
            in += 2;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
    return reinterpret_cast<char *>(first_zero ? first_zero : out);
}

} // namespace

extern "C" char *HTUnEscape(char *str) noexcept
{
    if (str == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_URL))
            tfprintf(stderr, "HTUnEscape.. Called with NULL argument.\n");
        return empty_text;
    }
    char *pct = std::strchr(str, '%');
    if (pct != nullptr) {
        unsigned char *from = reinterpret_cast<unsigned char *>(pct);
        unescape_span(from, from + std::strlen(pct), false);
    }
    return str;
}

extern "C" char *HTUnEscapeSpan(char *str, size_t length, int plus_is_blank) noexcept
{
    if (str == nullptr)
        return empty_text;
    unsigned char *from = reinterpret_cast<unsigned char *>(str);
    return unescape_span(from, from + length, plus_is_blank != 0);
}

// ---------------------------------------------------------------------------
// Scanning, combining and simplifying.

namespace {

inline bool url_tracing() noexcept
{
    return HT_TRACE_ON(HT_TRACE_URL);
}

// Appends to a buffer of known capacity; never writes past it (an overlong
// result is cut, which the callers' sizing rules out in practice).
struct Out {
    char *buf;
    std::size_t cap; // bytes, terminator included; at least 1
    std::size_t len;

    void add(const char *s, std::size_t n) noexcept
    {
        if (n > cap - 1 - len)
            n = cap - 1 - len;
        std::memcpy(buf + len, s, n);
        len += n;
        buf[len] = '\0';
    }
    void add(const char *s) noexcept { add(s, std::strlen(s)); }
};

bool is_sep(char c) noexcept
{
    return c == '/' || c == '\\';
}

void format_parts(HTParseParts *given, HTParseParts *related, Out &out, int wanted,
                  HTThdGlobals *pool) noexcept
{
    out.len = 0;
    out.buf[0] = '\0';
    const char *scheme = given->scheme ? given->scheme : related->scheme;
    if ((wanted & PARSE_SCHEME) && scheme) {
        out.add(scheme);
        if (wanted & PARSE_PUNCTUATION)
            out.add(":", 1);
    }
    if (given->scheme && related->scheme && std::strcmp(given->scheme, related->scheme) != 0) {
        related->host = nullptr;
        related->absolute = nullptr;
        related->relative = nullptr;
        related->fragment = nullptr;
    }
    if ((wanted & PARSE_HOST) && (given->host || related->host)) {
        if (wanted & PARSE_PUNCTUATION)
            out.add("//", 2);
        const std::size_t host_at = out.len;
        out.add(given->host ? given->host : related->host);
        char *colon = std::strchr(out.buf + host_at, ':');
        if (colon && scheme) {
            if ((std::strcmp(scheme, "http") == 0 && std::strcmp(colon, ":80") == 0) ||
                (std::strcmp(scheme, "gopher") == 0 && std::strcmp(colon, ":70") == 0) ||
                std::strcmp(scheme, "file") == 0) {
                *colon = '\0';
                out.len = static_cast<std::size_t>(colon - out.buf);
                colon = nullptr;
            }
        }
        // "h.:8080": the dot goes, the port stays.
        if (colon && colon > out.buf + host_at && colon[-1] == '.') {
            std::memmove(colon - 1, colon, std::strlen(colon) + 1);
            --out.len;
        }
    }
    if (given->host && related->host && std::strcmp(given->host, related->host) != 0) {
        related->absolute = nullptr;
        related->relative = nullptr;
        related->fragment = nullptr;
    }
    if (wanted & PARSE_PATH) {
        if (given->absolute) {
            if (wanted & PARSE_PUNCTUATION)
                out.add("/", 1);
            out.add(given->absolute);
        } else if (related->absolute) {
            const std::size_t path_at = out.len;
            out.add("/", 1);
            out.add(related->absolute);
            if (given->relative) {
                // Keep the base up to its last separator before the query.
                char *end = std::strchr(out.buf + path_at, '?');
                if (end == nullptr)
                    end = out.buf + out.len;
                char *p = end;
                while (p > out.buf + path_at && !is_sep(p[-1]))
                    --p;
                // out.buf[path_at] is "/", so p is past a separator.
                *p = '\0';
                out.len = static_cast<std::size_t>(p - out.buf);
                out.add(given->relative);
                HTSimplify(out.buf, pool);
                out.len = std::strlen(out.buf);
            }
        } else if (given->relative) {
            out.add(given->relative);
        } else if (related->relative) {
            out.add(related->relative);
        } else if (!(wanted & PARSE_NO_DEFAULT_PATH)) {
            out.add("/", 1);
        }
    }
    if ((wanted & PARSE_ANCHOR) && (given->fragment || related->fragment)) {
        if (wanted & PARSE_PUNCTUATION)
            out.add("#", 1);
        out.add(given->fragment ? given->fragment : related->fragment);
    }
}

struct SchemePort {
    const char *prefix; // with "://", compared without regard to case
    int port;           // 0: none
    bool file;
};

const SchemePort known_schemes[] = {
    {"http://", 80, false},  {"ftp://", 0, false},  {"gopher://", 70, false},
    {"https://", 443, false}, {"file://", 0, true},
};

} // namespace

extern "C" void HTParse_cleanParts(HTParseParts *parts) noexcept
{
    if (parts == nullptr)
        return;
    parts->scheme = nullptr;
    parts->host = nullptr;
    parts->absolute = nullptr;
    parts->relative = nullptr;
    parts->fragment = nullptr;
}

extern "C" void HTParse_scan(char *text, HTParseParts *parts, size_t length) noexcept
{
    HTParse_cleanParts(parts);
    if (text == nullptr || parts == nullptr)
        return;
    char *const start = text;
    char *rest = start;
    for (char *p = start; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '/' || c == '#')
            break;
        if (c == ':' && p - start >= 2) {
            *p = '\0';
            if (strcasecmp(rest, "URL") == 0) {
                rest = p + 1;
                continue;
            }
            parts->scheme = rest;
            rest = p + 1;
            break;
        }
    }
    // The last assignment wins: the fragment runs from the first "#" to the next.
    for (std::size_t i = length; i-- > 0;) {
        if (start[i] == '#') {
            start[i] = '\0';
            parts->fragment = start + i + 1;
        }
    }
    if (rest[0] == '/') {
        if (rest[1] == '/' && parts->scheme != nullptr) {
            rest[0] = '\0';
            parts->host = rest + 2;
            char *slash = std::strchr(parts->host, '/');
            if (slash != nullptr) {
                *slash = '\0';
                parts->absolute = slash + 1;
            }
        } else {
            parts->absolute = rest + 1;
        }
    } else {
        parts->relative = rest[0] != '\0' ? rest : nullptr;
    }
}

extern "C" void HTParse_format(HTParseParts *given, HTParseParts *related, char *result,
                               int wanted, HTThdGlobals *pool) noexcept
{
    if (given == nullptr || related == nullptr || result == nullptr)
        return;
    // The caller sized the buffer; the bound only keeps the arithmetic sane.
    Out out{result, SIZE_MAX / 2, 0};
    format_parts(given, related, out, wanted, pool);
}

extern "C" char *HTParseWithLen(const char *name, size_t nameLength, const char *related,
                                size_t relatedLength, int wanted, HTThdGlobals *pool) noexcept
{
    if (name == nullptr) {
        name = "";
        nameLength = 0;
    }
    if (related == nullptr) {
        related = "";
        relatedLength = 0;
    }
    const std::size_t cap = nameLength + relatedLength + 10;
    char *result = static_cast<char *>(HTMemPoolAlloc(cap, pool));
    char *name_copy = HTMemPoolStrdup_len(name, nameLength, pool);
    char *related_copy = HTMemPoolStrdup_len(related, relatedLength, pool);
    if (url_tracing())
        tfprintf(stderr, "HTParse..... \"%s\" relative to \"%s\".\n", name_copy, related_copy);
    HTParseParts given, base;
    HTParse_scan(name_copy, &given, nameLength);
    HTParse_scan(related_copy, &base, relatedLength);
    Out out{result, cap, 0};
    format_parts(&given, &base, out, wanted, pool);
    return result;
}

extern "C" char *HTParse(const char *name, const char *related, int wanted, HTThdGlobals *pool) noexcept
{
    return HTParseWithLen(name, name ? std::strlen(name) : 0, related,
                          related ? std::strlen(related) : 0, wanted, pool);
}

extern "C" char *HTSimplify(char *url, HTThdGlobals *pool) noexcept
{
    if (url == nullptr)
        return nullptr;
    const bool tracing = url_tracing();
    if (tracing)
        tfprintf(stderr, "HTSimplify.. simplifying `%s' \n", url);
    if (!std::strstr(url, "./") && !std::strstr(url, "//") && !std::strstr(url, "..") &&
        !std::strchr(url, ':')) {
        if (tracing)
            tfprintf(stderr, "HTSimplify.. nothing to do!\n");
        return url;
    }

    char *path;
    bool rooted = false;
    bool absolute = false;
    if (url[0] == '.' && is_sep(url[1])) {
        path = url + 2;
        rooted = true;
    } else if (url[0] == '/') {
        path = url;
        rooted = true;
        absolute = true;
    } else {
        path = url;
        char *p = url;
        for (;;) {
            char *slash = std::strchr(p, '/');
            if (slash == nullptr || slash == url || slash[-1] != ':')
                break;
            const SchemePort *known = nullptr;
            for (const SchemePort &s : known_schemes)
                if (strncasecmp(p, s.prefix, std::strlen(s.prefix)) == 0)
                    known = &s;
            p = slash;
            while (*p == '/')
                ++p;
            rooted = true;
            if (known != nullptr && known->file) {
                path = p;
                break;
            }
            char *host_end = p;
            while (*host_end != '\0' && *host_end != '/' && *host_end != ':' &&
                   *host_end != '\\')
                ++host_end;
            if (*host_end == ':' && known != nullptr && known->port != 0) {
                char *d = host_end + 1;
                long value = 0;
                while (*d >= '0' && *d <= '9' && value < 100000)
                    value = value * 10 + (*d++ - '0');
                if (d > host_end + 1 && value == known->port &&
                    (*d == '\0' || is_sep(*d) || *d == '?' || *d == '#')) {
                    if (tracing)
                        tfprintf(stderr, "Removing.... redundant port %d from \"%s\".\n",
                                 known->port, url);
                    std::memmove(host_end, d, std::strlen(d) + 1);
                    if (tracing)
                        tfprintf(stderr, "Removed..... redundant port from \"%s\".\n", url);
                }
            }
            while (*host_end != '\0' && !is_sep(*host_end))
                ++host_end;
            if (is_sep(*host_end))
                ++host_end;
            p = host_end;
            path = p;
        }
    }
    if (*path == '\0') {
        if (tracing)
            tfprintf(stderr, "HTSimplify.. No simplification possible\n");
        return url;
    }

    const std::size_t path_len = std::strlen(path);
    const bool ends_with_sep = is_sep(path[path_len - 1]);
    char *copy = HTMemPoolStrdup_len(path, path_len, pool);
    std::size_t max_segments = 1;
    for (std::size_t i = 0; i < path_len; ++i)
        if (is_sep(copy[i]))
            ++max_segments;
    char **seg = static_cast<char **>(HTMemPoolAlloc(max_segments * sizeof(char *), pool));
    std::size_t n = 0;
    for (char *p = copy; *p != '\0';) {
        while (is_sep(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        seg[n++] = p;
        while (*p != '\0' && !is_sep(*p))
            ++p;
    }

    auto is_dot = [](const char *s) { return s[0] == '.' && s[1] == '\0'; };
    auto is_dotdot = [](const char *s) { return s[0] == '.' && s[1] == '.' && s[2] == '\0'; };
    long real = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (is_dotdot(seg[i])) {
            if (real == 0 && i > 0)
                rooted = true;
        } else if (!is_dot(seg[i])) {
            ++real;
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        if (seg[i] == nullptr)
            continue;
        if (is_dot(seg[i])) {
            seg[i] = nullptr;
        } else if (is_dotdot(seg[i])) {
            std::size_t j = i;
            while (j-- > 0)
                if (seg[j] != nullptr && !is_dot(seg[j]) && !is_dotdot(seg[j]))
                    break;
            if (j < i && (real > 1 || rooted)) {
                seg[j] = nullptr;
                seg[i] = nullptr;
                --real;
            }
        }
    }

    char *w = path;
    if (absolute)
        *w++ = '/';
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (seg[i] == nullptr)
            continue;
        if (!first)
            *w++ = '/';
        first = false;
        const std::size_t len = std::strlen(seg[i]);
        std::memmove(w, seg[i], len);
        w += len;
    }
    if (ends_with_sep) {
        const char last = w > path ? w[-1] : (path > url ? path[-1] : '\0');
        if (last != '/')
            *w++ = '/';
    }
    *w = '\0';
    if (tracing)
        tfprintf(stderr, "HTSimplify.. into `%s'\n", url);
    return url;
}

extern "C" char *HTRelative(const char *name, const char *related, HTThdGlobals *pool) noexcept
{
    if (name == nullptr)
        name = "";
    if (related == nullptr)
        related = "";
    const char *after_colon = nullptr;
    std::size_t last_slash = 0; // index after the last common "/"
    int slashes = 0;
    std::size_t i = 0;
    for (; name[i] != '\0' && name[i] == related[i]; ++i) {
        if (name[i] == ':')
            after_colon = name + i + 1;
        if (name[i] == '/') {
            last_slash = i + 1;
            ++slashes;
        }
    }
    char *result;
    if (after_colon == nullptr) {
        result = HTMemPoolStrdup(name, pool);
    } else if (slashes <= 2) {
        result = HTMemPoolStrdup(after_colon, pool);
    } else {
        std::size_t levels = 0;
        for (const char *q = related + last_slash; *q != '\0' && *q != '#'; ++q)
            if (*q == '/')
                ++levels;
        const char *tail = name + last_slash;
        const std::size_t tail_len = std::strlen(tail);
        result = static_cast<char *>(HTMemPoolAlloc(3 * levels + tail_len + 1, pool));
        char *w = result;
        for (std::size_t k = 0; k < levels; ++k, w += 3)
            std::memcpy(w, "../", 3);
        std::memcpy(w, tail, tail_len + 1);
    }
    if (url_tracing())
        tfprintf(stderr, "HTRelative.. `%s' expressed relative to `%s' is `%s'\n", name, related,
                 result);
    return result;
}

// ---------------------------------------------------------------------------
// Escaping and cleaning.

namespace {

// Bit c of entry b - 32: byte b is left unescaped by class c.
constexpr unsigned char isAcceptable[96] = {
    // SP !  "  #  $  %  &  '  (  )  *  +  ,  -  .  /
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 6, 0, 7, 7, 4,
    // 0  1  2  3  4  5  6  7  8  9  :  ;  <  =  >  ?
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 0, 0, 0, 0, 0, 0,
    // @  A  B  C  D  E  F  G  H  I  J  K  L  M  N  O
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    // P  Q  R  S  T  U  V  W  X  Y  Z  [  \  ]  ^  _
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 0, 0, 0, 0, 7,
    // `  a  b  c  d  e  f  g  h  i  j  k  l  m  n  o
    0, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    // p  q  r  s  t  u  v  w  x  y  z  {  |  }  ~  DEL
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 0, 0, 0, 0, 0,
};

inline bool acceptable(unsigned char c, unsigned char mask) noexcept
{
    return c >= 32 && c < 128 && (isAcceptable[c - 32] & mask) != 0;
}

inline bool strip_space(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

extern "C" char *HTEscape(const char *text, unsigned char mask, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return nullptr;
    static const char hex[] = "0123456789ABCDEF";
    std::size_t len = 0, escapes = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p, ++len)
        if (!acceptable(*p, mask))
            ++escapes;
    char *result = static_cast<char *>(HTMemPoolAlloc(len + 2 * escapes + 1, pool));
    char *w = result;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (acceptable(*p, mask)) {
            *w++ = static_cast<char>(*p);
        } else {
            *w++ = '%';
            *w++ = hex[*p >> 4];
            *w++ = hex[*p & 15];
        }
    }
    *w = '\0';
    return result;
}

extern "C" char *HTStrip(char *text) noexcept
{
    if (text == nullptr)
        return nullptr;
    std::size_t len = std::strlen(text);
    while (len > 0 && strip_space(text[len - 1]))
        text[--len] = '\0';
    while (strip_space(*text))
        ++text;
    return text;
}

extern "C" int HTCleanTelnetString(char *text) noexcept
{
    if (text == nullptr)
        return 0;
    for (unsigned char *p = reinterpret_cast<unsigned char *>(text); *p; ++p) {
        const unsigned char c = *p;
        if ((c < 32 && c != '\t') || (c >= 127 && c <= 159) || c == 255) {
            const bool tracing = url_tracing();
            if (tracing)
                tfprintf(stderr, "Illegal..... character in URL: \"%s\"\n", text);
            *p = '\0';
            if (tracing)
                tfprintf(stderr, "Truncated... \"%s\"\n", text);
            return 1;
        }
    }
    return 0;
}

extern "C" const char *HTParse_getPort(char *url) noexcept
{
    if (url == nullptr)
        return nullptr;
    const char *scheme = nullptr;
    char *host = url;
    for (char *p = url; *p != '\0' && *p != '/'; ++p) {
        if (*p == ':' && p - url >= 2 && p[1] == '/') {
            *p = '\0';
            scheme = url;
            host = p + 1;
            // At most the two slashes of "//", and only those that are there.
            for (int k = 0; k < 2 && *host == '/'; ++k)
                ++host;
            break;
        }
    }
    char *slash = std::strchr(host, '/');
    if (slash != nullptr)
        *slash = '\0';
    char *colon = std::strchr(host, ':');
    if (colon != nullptr) {
        *colon = '\0';
        return colon + 1;
    }
    if (scheme == nullptr)
        return "80";
    if (strcasecmp(scheme, "https") == 0)
        return "443";
    if (strcasecmp(scheme, "gopher") == 0)
        return "70";
    if (strcasecmp(scheme, "ftp") == 0)
        return "21";
    return "80";
}

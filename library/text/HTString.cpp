// HTString: string helpers shared by the whole library.

#include "HTString.h"

#include "HTAlloc.h"
#include "HTTrace.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// The tables start with the C locale's classes, so that lookups made before
// start-up (or in a program that never calls initializeCaseTables) are sane.
struct CaseTables {
    unsigned char upper[256];
    unsigned char lower[256];
    unsigned char alpha[256];
    unsigned char space[256];
    unsigned char digit[256];
};

constexpr CaseTables c_locale_tables()
{
    CaseTables t{};
    for (int c = 0; c < 256; ++c) {
        const bool lo = c >= 'a' && c <= 'z';
        const bool up = c >= 'A' && c <= 'Z';
        t.upper[c] = static_cast<unsigned char>(lo ? c - 32 : c);
        t.lower[c] = static_cast<unsigned char>(up ? c + 32 : c);
        t.alpha[c] = lo || up;
        t.space[c] = c == ' ' || (c >= '\t' && c <= '\r');
        t.digit[c] = c >= '0' && c <= '9';
    }
    return t;
}

CaseTables tables = c_locale_tables();

inline unsigned char up(char c) noexcept
{
    return tables.upper[static_cast<unsigned char>(c)];
}

inline unsigned char low(char c) noexcept
{
    return tables.lower[static_cast<unsigned char>(c)];
}

inline bool ctl_or_blank(char c) noexcept
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

inline bool white(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

extern "C" void HTString_buildCaseTables(void) noexcept
{
    CaseTables t{};
    for (int c = 0; c < 256; ++c) {
        t.upper[c] = static_cast<unsigned char>(std::islower(c) ? std::toupper(c) : c);
        t.lower[c] = static_cast<unsigned char>(std::isupper(c) ? std::tolower(c) : c);
        t.alpha[c] = std::isalpha(c) != 0;
        t.space[c] = std::isspace(c) != 0;
        t.digit[c] = std::isdigit(c) != 0;
    }
    tables = t;
}

extern "C" int useToUpperTable(int c) noexcept
{
    return tables.upper[static_cast<unsigned char>(c)];
}

extern "C" int useToLowerTable(int c) noexcept
{
    return tables.lower[static_cast<unsigned char>(c)];
}

extern "C" int useIsAlphaTable(int c) noexcept
{
    return tables.alpha[static_cast<unsigned char>(c)];
}

extern "C" int useIsSpaceTable(int c) noexcept
{
    return tables.space[static_cast<unsigned char>(c)];
}

extern "C" int useIsDigitTable(int c) noexcept
{
    return tables.digit[static_cast<unsigned char>(c)];
}

extern "C" int strcasecomp(const char *a, const char *b) noexcept
{
    for (;; ++a, ++b) {
        const int d = up(*a) - up(*b);
        if (d != 0 || *a == '\0')
            return d;
    }
}

extern "C" int strncasecomp(const char *a, const char *b, int n) noexcept
{
    for (; n > 0; --n, ++a, ++b) {
        const int d = up(*a) - up(*b);
        if (d != 0 || *a == '\0')
            return d;
    }
    return 0;
}

extern "C" int strUcasecomp(const char *a, const char *b) noexcept
{
    for (;; ++a, ++b) {
        if (up(*a) != static_cast<unsigned char>(*b))
            return 1;
        if (*a == '\0')
            return 0;
    }
}

extern "C" int strnUcasecomp(const char *a, const char *b, int n) noexcept
{
    for (; n > 0; --n, ++a, ++b) {
        if (up(*a) != static_cast<unsigned char>(*b))
            return 1;
        if (*a == '\0')
            return 0;
    }
    return 0;
}

extern "C" char *HTSACopy(char **dest, const char *src) noexcept
{
    if (dest == nullptr)
        return nullptr;
    if (*dest == src)
        return *dest;
    char *copy = nullptr;
    if (src != nullptr) {
        copy = HTAlloc_strdup(src);
        if (copy == nullptr)
            return *dest; // keep the old text rather than lose both
    }
    HTAlloc_free(*dest);
    *dest = copy;
    return copy;
}

extern "C" char *HTSACat(char **dest, const char *src) noexcept
{
    if (dest == nullptr)
        return nullptr;
    if (src == nullptr || *src == '\0')
        return *dest;
    if (*dest == nullptr)
        return HTSACopy(dest, src);
    const std::size_t old_len = std::strlen(*dest);
    const std::size_t add = std::strlen(src);
    // src may lie inside *dest, which realloc may move: remember where.
    const bool inside = src >= *dest && src <= *dest + old_len;
    const std::size_t offset = inside ? static_cast<std::size_t>(src - *dest) : 0;
    char *grown = static_cast<char *>(HTAlloc_realloc(*dest, old_len + add + 1));
    if (grown == nullptr)
        return *dest;
    const char *from = inside ? grown + offset : src;
    std::memmove(grown + old_len, from, add);
    grown[old_len + add] = '\0';
    *dest = grown;
    return grown;
}

extern "C" char *strlwr(char *text) noexcept
{
    if (text == nullptr)
        return nullptr;
    for (char *p = text; *p; ++p)
        *p = static_cast<char>(low(*p));
    return text;
}

extern "C" int count(const char *text, int c) noexcept
{
    if (text == nullptr)
        return 0;
    int n = 0;
    for (; *text; ++text)
        if (*text == static_cast<char>(c))
            ++n;
    return n;
}

extern "C" int translate(char *text, int new_char, int old_char) noexcept
{
    if (text == nullptr)
        return 0;
    for (; *text; ++text)
        if (*text == static_cast<char>(old_char))
            *text = static_cast<char>(new_char);
    return 0;
}

extern "C" int AssemblePathAndFile(char *buffer, size_t capacity, const char *directory,
                                   const char *file) noexcept
{
    if (buffer == nullptr || capacity == 0)
        return -1;
    if (directory == nullptr)
        directory = "";
    if (file == nullptr)
        file = "";
    const std::size_t dl = std::strlen(directory), fl = std::strlen(file);
    const bool slash = dl == 0 || directory[dl - 1] != '/';
    const std::size_t total = dl + (slash ? 1 : 0) + fl;
    if (total >= capacity || total > INT_MAX) {
        buffer[0] = '\0';
        return -1;
    }
    std::memcpy(buffer, directory, dl);
    std::size_t n = dl;
    if (slash)
        buffer[n++] = '/';
    std::memcpy(buffer + n, file, fl + 1);
    return static_cast<int>(total);
}

extern "C" uint32_t ElfHash(uint32_t size, const char *text) noexcept
{
    uint32_t h = 0;
    if (text != nullptr) {
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
            h = (h << 4) + *p;
            const uint32_t g = h & 0xF0000000u;
            if (g != 0)
                h ^= g >> 24;
            h &= ~g;
        }
    }
    return size != 0 ? h % size : h;
}

extern "C" int compare_host_names(const char *a, const char *b) noexcept
{
    if (a == nullptr || b == nullptr)
        return 1;
    const bool tracing = HT_TRACE_ON(HT_TRACE_STRINGLIB);
    for (const char *n : {a, b}) {
        if (std::strlen(n) > 64) {
            if (tracing)
                tfprintf(stderr, "Server...... hostname %s is too long.\n", n);
            return 1;
        }
    }
    if (strcasecomp(a, b) != 0) {
        if (tracing)
            tfprintf(stderr, "Server...... hostnames %s and %s do not match.\n", a, b);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Tokenisers. Each cuts the item with a zero byte and leaves the cursor after
// the separator it overwrote, or on the terminator when the text ended.

extern "C" char *HTNextField(char **cursor) noexcept
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char *p = *cursor;
    while (ctl_or_blank(*p))
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *start;
    if (*p == '"') {
        start = ++p;
        while (*p != '\0' && *p != '"') {
            if (*p == '\\' && p[1] != '\0')
                ++p;
            ++p;
        }
    } else {
        start = p;
        while (*p != '\0' && !ctl_or_blank(*p))
            ++p;
    }
    if (*p != '\0')
        *p++ = '\0';
    *cursor = p;
    return start;
}

extern "C" char *get_word(char **cursor) noexcept
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char *p = *cursor;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t')
        ++p;
    while (*p == ' ' || *p == '\t')
        *p++ = '\0';
    *cursor = p;
    return start;
}

extern "C" char *get_cc_directive(char **cursor) noexcept
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char *p = *cursor;
    while (white(*p) || *p == ',')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *start = p;
    bool quoted = false;
    for (; *p != '\0'; ++p) {
        if (*p == '"')
            quoted = !quoted;
        else if (!quoted && (*p == ',' || white(*p)))
            break;
    }
    while (white(*p) || *p == ',')
        *p++ = '\0';
    *cursor = p;
    return start;
}

extern "C" char *get_cc_directive_value(char **cursor) noexcept
{
    if (cursor == nullptr || *cursor == nullptr)
        return nullptr;
    char *p = *cursor;
    while (white(*p) || *p == ',')
        ++p;
    if (*p == '"')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *start = p;
    while (*p != '\0' && *p != '"' && *p != ',' && !white(*p))
        ++p;
    while (*p == '"' || *p == ',' || white(*p))
        *p++ = '\0';
    *cursor = p;
    return start;
}

extern "C" int parse_args(char *line, char *arguments[HT_MAX_ARGS]) noexcept
{
    if (arguments == nullptr)
        return 0;
    static char empty[1];
    char *const end = line ? line + std::strlen(line) : empty;
    for (int i = 0; i < HT_MAX_ARGS; ++i)
        arguments[i] = end;
    if (line == nullptr)
        return 0;

    int argc = 0;
    bool quotes_honoured = true; // off once a quote was found unclosed
    char *r = line;
    for (;;) {
        while (ctl_or_blank(*r))
            ++r;
        if (*r == '\0' || *r == '#' || argc == HT_MAX_ARGS)
            break;
        char *const arg = r;
        char *w = r;
        bool quoted = false;
        char *quote_w = nullptr;
        char stop = '\0';
        for (;;) {
            const char c = *r;
            if (c == '\0') {
                if (quoted) {
                    // Read the rest again with the quote dropped. The text
                    // after the quote has been copied down to quote_w already.
                    *w = '\0';
                    if (HT_TRACE_ON(HT_TRACE_CONFIG))
                        tfprintf(stderr,
                                 "Config...... closing quote missing in argument %d: %s. "
                                 "Ignoring quote...\n",
                                 argc + 1, arg);
                    quoted = false;
                    quotes_honoured = false;
                    r = quote_w;
                    w = quote_w;
                    continue;
                }
                break;
            }
            if (quoted) {
                if (c == '"') {
                    quoted = false;
                    ++r;
                } else {
                    *w++ = *r++;
                }
                continue;
            }
            if (c == '"' && quotes_honoured) {
                quoted = true;
                quote_w = w;
                ++r;
                continue;
            }
            if (c == '\\' && (r[1] == ' ' || r[1] == '#')) {
                *w++ = r[1];
                r += 2;
                continue;
            }
            if (ctl_or_blank(c) || c == '#') {
                stop = c;
                break;
            }
            *w++ = *r++;
        }
        // Write the terminator only now: w may sit on the separator just read.
        *w = '\0';
        arguments[argc++] = arg;
        if (stop == '\0' || stop == '#')
            break;
        ++r;
    }
    return argc;
}

extern "C" char *standardize(char *text) noexcept
{
    if (text == nullptr)
        return nullptr;
    char *w = text;
    for (const char *r = text; *r; ++r)
        if (*r != '-' && *r != '_')
            *w++ = static_cast<char>(low(*r));
    *w = '\0';
    return text;
}

namespace {

// The standardized form of a keyword candidate, without touching the text.
// Keywords are short: a longer text can still begin with one, but never
// equals one.
struct Standard {
    char buf[24];
    bool overflow = false;

    explicit Standard(const char *text) noexcept
    {
        std::size_t n = 0;
        for (const char *r = text ? text : ""; *r; ++r) {
            if (*r == '-' || *r == '_')
                continue;
            if (n == sizeof buf - 1) {
                overflow = true;
                break;
            }
            buf[n++] = static_cast<char>(low(*r));
        }
        buf[n] = '\0';
    }
    bool is(const char *word) const noexcept { return !overflow && std::strcmp(buf, word) == 0; }
    bool begins(const char *word) const noexcept
    {
        return std::strncmp(buf, word, std::strlen(word)) == 0;
    }
};

} // namespace

extern "C" int positive(const char *text) noexcept
{
    const Standard s(text);
    return s.is("yes") || s.is("on") || s.is("ok") || s.begins("enable") || s.begins("pass") ||
           s.begins("always");
}

extern "C" int negative(const char *text) noexcept
{
    const Standard s(text);
    return s.is("no") || s.is("off") || s.is("none") || s.begins("disable") || s.begins("fail") ||
           s.begins("never");
}

extern "C" int unlimited(const char *text) noexcept
{
    const Standard s(text);
    return s.begins("unlimit") || s.begins("nolimit");
}

extern "C" int is_use(const char *text) noexcept
{
    return Standard(text).begins("use");
}

// ---------------------------------------------------------------------------
// Numbers.

namespace {

char *put_unsigned(unsigned long long v, bool negative, char *buffer, int *length) noexcept
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    char *w = buffer;
    if (negative)
        *w++ = '-';
    while (n > 0)
        *w++ = digits[--n];
    *w = '\0';
    if (length != nullptr)
        *length = static_cast<int>(w - buffer);
    return buffer;
}

unsigned long long magnitude(long long v) noexcept
{
    return v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
}

} // namespace

extern "C" char *HTitoa(int value, char *buffer, int *length) noexcept
{
    return put_unsigned(magnitude(value), value < 0, buffer, length);
}

extern "C" char *HTltoa(long value, char *buffer, int *length) noexcept
{
    return put_unsigned(magnitude(value), value < 0, buffer, length);
}

extern "C" char *HTlutoa(unsigned long value, char *buffer, int *length) noexcept
{
    return put_unsigned(value, false, buffer, length);
}

extern "C" char *HTitox(int value, char *buffer, int *length) noexcept
{
    static const char hex[] = "0123456789ABCDEF";
    uint32_t v = static_cast<uint32_t>(value);
    char digits[8];
    int n = 0;
    do {
        digits[n++] = hex[v & 15];
        v >>= 4;
    } while (v != 0);
    char *w = buffer;
    while (n > 0)
        *w++ = digits[--n];
    *w = '\0';
    if (length != nullptr)
        *length = static_cast<int>(w - buffer);
    return buffer;
}

extern "C" char *HTi0toa(int value, int width, char *buffer, int *length) noexcept
{
    if (width > 20)
        width = 20;
    char digits[24];
    int n = 0;
    unsigned long long v = magnitude(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < width)
        digits[n++] = '0';
    char *w = buffer;
    if (value < 0)
        *w++ = '-';
    while (n > 0)
        *w++ = digits[--n];
    *w = '\0';
    if (length != nullptr)
        *length = static_cast<int>(w - buffer);
    return buffer;
}


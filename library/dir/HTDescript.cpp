#include "HTDescript.h"

#include "HTAAtmpl.h"
#include "HTGlobals.h"
#include "HTIcons.h"
#include "HTMPool.h"
#include "HTTPConn.h"
#include "HTTrace.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

#define DIR_TRACE(...)                                                                                                \
    do {                                                                                                              \
        if (HT_TRACE_ON(HT_TRACE_DIRBRW))                                                                             \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }

char *join(const char *directory, const char *name, HTThdGlobals *g)
{
    const size_t d = std::strlen(directory);
    const bool slash = d > 0 && directory[d - 1] == '/';
    return HTMemPool_vcat(g, directory, slash ? "" : "/", name, static_cast<char *>(nullptr));
}

// At most `limit` bytes of the file into the pool (zero-ended); null when it cannot be opened.
char *read_file(const char *path, size_t limit, size_t *length, HTThdGlobals *g)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // The descriptor is closed before anything can run out of memory.
    auto *buffer = static_cast<char *>(HTMemPoolAlloc(limit + 1, g));
    size_t n = 0;
    while (n < limit) {
        const ssize_t r = read(fd, buffer + n, limit - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n += static_cast<size_t>(r);
    }
    close(fd);
    buffer[n] = '\0';
    *length = n;
    return buffer;
}

bool blank(char c) { return c == ' ' || c == '\t'; }
// A zero byte ends a line's text as its line end does: what follows could
// never be read back from the stored text.
bool line_end(char c) { return c == '\r' || c == '\n' || c == '\0'; }
bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// One line [p, end): the stored "template text", or null.
char *parse_line(const char *p, const char *end, HTThdGlobals *g)
{
    while (p < end && blank(*p))
        ++p;
    if (p == end || (*p != 'D' && *p != 'd'))
        return nullptr;
    while (p < end && !blank(*p) && !line_end(*p))
        ++p;
    while (p < end && blank(*p))
        ++p;
    const char *tmpl = p;
    while (p < end && !blank(*p) && !line_end(*p))
        ++p;
    const size_t tmpl_length = static_cast<size_t>(p - tmpl);
    while (p < end && blank(*p))
        ++p;
    const char *text = p;
    while (p < end && !line_end(*p))
        ++p;
    const size_t text_length = static_cast<size_t>(p - text);
    if (tmpl_length == 0 || text_length == 0)
        return nullptr;
    auto *line = static_cast<char *>(HTMemPoolAlloc(tmpl_length + 1 + text_length + 1, g));
    std::memcpy(line, tmpl, tmpl_length);
    line[tmpl_length] = ' ';
    std::memcpy(line + tmpl_length + 1, text, text_length);
    line[tmpl_length + 1 + text_length] = '\0';
    return line;
}

const char *find_case(const char *from, const char *end, const char *word)
{
    const size_t n = std::strlen(word);
    for (const char *p = from; p + n <= end; ++p)
        if (strncasecmp(p, word, n) == 0)
            return p;
    return nullptr;
}

} // namespace

extern "C" HTDirDescription *HTReadDescriptions(const char *directory, HTThdGlobals *pool) noexcept
{
    HTThdGlobals *g = globals(pool);
    if (directory == nullptr)
        return nullptr;
    const char *path = join(directory, HT_DESCRIPT_FILE, g);
    size_t length = 0;
    char *text = read_file(path, HT_DESCRIPT_MAX_FILE, &length, g);
    if (text == nullptr) {
        DIR_TRACE("DirBrowse... No description file %s\n", path);
        return nullptr;
    }
    HTDirDescription *first = nullptr, **at = &first;
    const char *p = text, *end = text + length;
    while (p < end) {
        // A line, or its next HT_DESCRIPT_LINE bytes when it is longer.
        const char *stop = p;
        while (stop < end && *stop != '\n' && stop - p < HT_DESCRIPT_LINE)
            ++stop;
        const bool newline = stop < end && *stop == '\n';
        char *kept = parse_line(p, stop, g);
        if (kept != nullptr) {
            DIR_TRACE("Description. %s\n", kept);
            auto *d = static_cast<HTDirDescription *>(HTMemPoolAlloc(sizeof(HTDirDescription), g));
            d->line = kept;
            d->next = nullptr;
            *at = d;
            at = &d->next;
        }
        p = newline ? stop + 1 : stop;
    }
    return first;
}

extern "C" const char *HTGetDescription(const HTDirDescription *list, const char *directory, const char *name,
                                        const HTAtom *format, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (name == nullptr)
        return nullptr;
    for (const HTDirDescription *d = list; d; d = d->next) {
        const char *sep = std::strchr(d->line, ' ');
        if (sep == nullptr)
            continue;
        const size_t n = static_cast<size_t>(sep - d->line);
        char tmpl[HT_DESCRIPT_LINE + 1];
        if (n >= sizeof tmpl)
            continue;
        std::memcpy(tmpl, d->line, n);
        tmpl[n] = '\0';
        if (HTAA_templateMatch(tmpl, name))
            return sep + 1;
    }
    const HTStaticConfig *c = HTDir_config(g);
    if (c->dir_peek_title && format != nullptr && format == WWW_HTML && directory != nullptr) {
        char *title = HTPeekTitle(directory, name, g);
        if (title != nullptr)
            return FitMaxDescrLength(EncodeScriptCharacters(title, g), g);
    }
    return nullptr;
}

extern "C" void HTFreeDescriptions(HTDirDescription *) noexcept {}

extern "C" char *HTPeekTitle(const char *directory, const char *name, HTThdGlobals *pool) noexcept
{
    HTThdGlobals *g = globals(pool);
    if (directory == nullptr || name == nullptr)
        return nullptr;
    size_t length = 0;
    char *text = read_file(join(directory, name, g), HT_PEEK_TITLE_BYTES, &length, g);
    if (text == nullptr)
        return nullptr;
    const char *end = text + length;
    const char *open = find_case(text, end, "<TITLE>");
    if (open == nullptr)
        return nullptr;
    const char *p = open + 7;
    const char *close = find_case(p, end, "</TITLE>");
    const char *stop = close ? close : end;
    while (p < stop && space(*p))
        ++p;
    auto *out = static_cast<char *>(HTMemPoolAlloc(static_cast<size_t>(stop - p) + 1, g));
    char *o = out;
    while (p < stop) {
        if (space(*p)) {
            *o++ = ' ';
            while (p < stop && space(*p))
                ++p;
        } else {
            *o++ = *p++;
        }
    }
    *o = '\0';
    return out;
}

extern "C" char *FitMaxDescrLength(char *text, HTThdGlobals *context) noexcept
{
    if (text == nullptr)
        return nullptr;
    const intptr_t max = HTDir_config(context)->dir_max_description;
    if (max > 0 && std::strlen(text) > static_cast<size_t>(max))
        text[max] = '\0';
    return text;
}

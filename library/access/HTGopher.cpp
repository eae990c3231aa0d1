// HTGopher: the Gopher loader and its pages.

#include "HTGopher.h"

#include "HTAtom.h"
#include "HTEscHTML.h"
#include "HTGlobals.h"
#include "HTIcons.h"
#include "HTHex.hpp"
#include "HTInputSocket.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTOutStream.h"
#include "HTParse.h"
#include "HTSockCopy.h"
#include "HTSocket.h"
#include "HTSuffix.h"
#include "HTTCP.h"
#include "HTTPConn.h"
#include "HTTrace.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/stat.h>

#define GOPHER_TRACE(...)                                                                                             \
    do {                                                                                                              \
        if (HT_TRACE_ON(HT_TRACE_GOPHER))                                                                             \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

namespace {

constexpr int kGopherPort = 70;
constexpr size_t kMenuLine = 1032;  // a menu line's buffer, its terminator included
constexpr size_t kCsoLine = 1048;   // a CSO line's longest text
constexpr int kMenuEnd = 0xFF;      // ends a menu like the end of input
constexpr int kStatusOK = 200;
constexpr const char *kSaveFormat = "www/save";
constexpr const char *kErrorHost = "error.host:1";

// Bytes written as themselves in a link's selector.
constexpr std::array<bool, 256> kAcceptable = [] {
    std::array<bool, 256> t{};
    for (const char *p = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./-_$"; *p; ++p)
        t[static_cast<unsigned char>(*p)] = true;
    return t;
}();

// Bytes written as themselves in a link that is a whole URL (a 'w' entry)
// or a host: everything of RFC 3986 that means nothing to HTML attributes.
constexpr std::array<bool, 256> kUrlSafe = [] {
    std::array<bool, 256> t{};
    for (const char *p = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~:/?#[]@!$&()*+,;=%"; *p;
         ++p)
        t[static_cast<unsigned char>(*p)] = true;
    return t;
}();

const HTGopherItemType kText = {"gopher-text", "[ FILE ] ", "text/plain", "7bit"};
const HTGopherItemType kMenu = {"gopher-menu", " [ DIR ] ", nullptr, nullptr};
const HTGopherItemType kIndex = {"gopher-index", " [ (?) ] ", "application/search", "binary"};
const HTGopherItemType kBinary = {"gopher-binary", " [ BIN ] ", "binary", "binary"};
const HTGopherItemType kTelnet = {"gopher-telnet", " [ TEL ] ", "application/telnet", "binary"};
const HTGopherItemType kImage = {"gopher-image", " [ IMG ] ", "image/gif", "binary"};
const HTGopherItemType kMovie = {"gopher-movie", " [ MOV ] ", "video/mpeg", "binary"};
const HTGopherItemType kPdf = {"gopher-pdf", " [ PDF ]", "application/pdf", "binary"};
const HTGopherItemType kHtml = {"gopher-html", " [ HTM ] ", "text/html", "8bit"};
const HTGopherItemType kSound = {"gopher-sound", " [ SND ] ", "audio/wav", "binary"};
const HTGopherItemType kUnknown = {"gopher-unknown", " [ UNK ] ", nullptr, nullptr};

HTThdGlobals *ctx(HTThdGlobals *g) { return g ? g : lib_gettp(); }

// ---- output: everything goes straight to the stream, nothing is allocated ----

void put(HTStream *s, const char *text, size_t n)
{
    if (n > 0)
        s->isa->write(s, text, static_cast<int>(n));
}
void put(HTStream *s, const char *text) { put(s, text, std::strlen(text)); }

// Outside text, HTML-escaped.
void put_html(HTStream *s, const char *text, size_t n, HTThdGlobals *g)
{
    if (n > 0)
        put(s, HTEscapeHTMLSpan(text, n, g));
}
void put_html(HTStream *s, const char *text, HTThdGlobals *g) { put_html(s, text, std::strlen(text), g); }

// Bytes outside `keep` as '%' and two lower-case hexadecimal digits.
void put_escaped(HTStream *s, const char *text, size_t n, const std::array<bool, 256> &keep)
{
    static const char kHex[] = "0123456789abcdef";
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keep[c])
            continue;
        put(s, text + run, i - run);
        const char e[3] = {'%', kHex[c >> 4], kHex[c & 15]};
        put(s, e, 3);
        run = i + 1;
    }
    put(s, text + run, n - run);
}

// A piece of a line.
struct Span {
    const char *p = nullptr;
    size_t n = 0;
    bool present = false;
};

bool equals(const Span &s, const char *text) { return s.present && s.n == std::strlen(text) && std::memcmp(s.p, text, s.n) == 0; }

// A stream that collects what it is given into pool memory: the link of an
// entry, built once and written through write_anchor.
struct Collect {
    const HTStreamClass *isa;
    HTThdGlobals *g;
    char *bytes;
    size_t n;
    size_t cap;
};

int collect_write(HTStream *me, const char *data, int length)
{
    auto *c = reinterpret_cast<Collect *>(me);
    const auto k = static_cast<size_t>(length);
    if (c->n + k + 1 > c->cap) {
        size_t cap = c->cap * 2 + k + 64;
        auto *b = static_cast<char *>(HTMemPoolAlloc(cap, c->g));
        if (c->n > 0)
            std::memcpy(b, c->bytes, c->n);
        c->bytes = b;
        c->cap = cap;
    }
    std::memcpy(c->bytes + c->n, data, k);
    c->n += k;
    c->bytes[c->n] = '\0';
    return 0;
}
int collect_put_string(HTStream *me, const char *text) { return collect_write(me, text, static_cast<int>(std::strlen(text))); }
int collect_put_character(HTStream *me, int ch)
{
    const char c = static_cast<char>(ch);
    return collect_write(me, &c, 1);
}
int collect_nothing(HTStream *, void *) { return 0; }
const HTStreamClass kCollectClass = {"GopherLink", collect_nothing, collect_nothing, collect_put_character,
                                     collect_put_string, collect_write, nullptr, nullptr, nullptr};

// ---- input: a socket through the input buffer, or an answer in memory ----

struct Reader {
    HTInputSocket *in = nullptr;
    const char *p = nullptr;
    const char *end = nullptr;

    int next()
    {
        if (p == end) {
            if (in == nullptr)
                return -1;
            int n = HT_INPUT_BUFFER_SIZE;
            const char *b = HTInputSocket_getBlock(in, &n);
            if (b == nullptr || n <= 0)
                return -1;
            p = b;
            end = b + n;
        }
        return static_cast<unsigned char>(*p++);
    }
};

// ---- menus ----

struct MenuLine {
    char type;
    Span name, selector, host, port;
    size_t hostport_n; // host and port as host:port, written in place
};

// Splits the line in place at its TABs: type and name, selector, host, port.
MenuLine split(char *line, size_t n)
{
    MenuLine m{};
    m.type = n > 0 ? line[0] : '\0';
    Span *fields[] = {&m.name, &m.selector, &m.host, &m.port};
    const char *end = line + n;
    const char *p = n > 0 ? line + 1 : line;
    for (Span *f : fields) {
        const char *tab = static_cast<const char *>(std::memchr(p, '\t', static_cast<size_t>(end - p)));
        f->p = p;
        f->n = static_cast<size_t>((tab ? tab : end) - p);
        f->present = true;
        if (tab == nullptr)
            break;
        p = tab + 1;
    }
    // A line that is no item stays as it came (only 'w' entries need no port).
    if (m.selector.present && (m.port.present || m.type == 'w')) {
        // The first backslash of the selector is a path separator.
        if (char *b = static_cast<char *>(std::memchr(const_cast<char *>(m.selector.p), '\\', m.selector.n)))
            *b = '/';
    }
    if (m.port.present) {
        // The TAB before the port becomes ':' (host and port read as host:port);
        // a port "0" is left out.
        char *tab = const_cast<char *>(m.host.p) + m.host.n;
        if (equals(m.port, "0")) {
            m.hostport_n = m.host.n;
        } else {
            *tab = ':';
            m.hostport_n = m.host.n + 1 + m.port.n;
        }
    }
    return m;
}

// The entry's link into `out`.
void put_link(HTStream *out, const MenuLine &m)
{
    if (m.type == '8' || m.type == 'T') {
        put(out, m.type == '8' ? "telnet://" : "tn3270://");
        if (m.selector.n > 0) {
            put_escaped(out, m.selector.p, m.selector.n, kAcceptable);
            put(out, "@");
        }
        put_escaped(out, m.host.p, m.hostport_n, kUrlSafe);
        put(out, "/");
        return;
    }
    put(out, "//");
    put_escaped(out, m.host.p, m.hostport_n, kUrlSafe);
    put(out, "/");
    put_escaped(out, &m.type, 1, kAcceptable);
    put_escaped(out, m.selector.p, m.selector.n, kAcceptable);
}

char *link_of(const MenuLine &m, HTThdGlobals *g)
{
    Collect c{&kCollectClass, g, nullptr, 0, 0};
    auto *s = reinterpret_cast<HTStream *>(&c);
    if (m.type == 'w')
        put_escaped(s, m.selector.p, m.selector.n, kUrlSafe);
    else
        put_link(s, m);
    if (c.bytes == nullptr)
        return HTMemPoolStrdup("", g);
    return c.bytes;
}

bool text_only(const MenuLine &m)
{
    if (m.type == '3' || m.type == 'i')
        return true;
    // The link gopher://error.host:1/0 that some servers send for their errors.
    return m.type == '0' && m.selector.n == 0 && m.hostport_n == std::strlen(kErrorHost) &&
           std::memcmp(m.host.p, kErrorHost, m.hostport_n) == 0;
}

// A copy of the span as a text of its own (pool memory).
char *text_of(const Span &s, HTThdGlobals *g)
{
    auto *t = static_cast<char *>(HTMemPoolAlloc(s.n + 1, g));
    if (s.n > 0)
        std::memcpy(t, s.p, s.n);
    t[s.n] = '\0';
    return t;
}

void menu_item_html(char *line, size_t n, HTStream *out, HTThdGlobals *g)
{
    MenuLine m = split(line, n);
    const HTGopherItemType *row = HTGopher_itemType(static_cast<unsigned char>(m.type));
    if (m.type == 'w' && m.selector.present) {
        write_anchor(text_of(m.name, g), link_of(m, g), row->icon, row->label, row->content_type, row->encoding, out, g);
        return;
    }
    if (!m.port.present) {
        GOPHER_TRACE("Gopher...... Bad menu item.\n");
        put_html(out, line, n, g);
        put(out, "\n");
        return;
    }
    if (text_only(m)) {
        put_html(out, m.name.p, m.name.n, g);
        put(out, "\n");
        return;
    }
    write_anchor(text_of(m.name, g), link_of(m, g), row->icon, row->label, row->content_type, row->encoding, out, g);
    put(out, "\n");
}

void menu_item_text(char *line, size_t n, HTStream *out, HTThdGlobals *g)
{
    MenuLine m = split(line, n);
    const HTGopherItemType *row = HTGopher_itemType(static_cast<unsigned char>(m.type));
    if (!m.port.present && !(m.type == 'w' && m.selector.present)) {
        put(out, line, n);
        put(out, "\n");
        return;
    }
    if (m.type != 'w' && text_only(m)) {
        put(out, m.name.p, m.name.n);
        put(out, "\n");
        return;
    }
    put(out, row->label);
    put(out, m.name.p, m.name.n);
    put(out, " ");
    if (m.type != 'w' && m.type != '8' && m.type != 'T')
        put(out, "gopher:");
    put(out, link_of(m, g));
    put(out, "\n");
}

// Reads the menu line by line; `save`: plain text instead of HTML.
void render_menu(Reader &r, HTAnchor *anchor, HTStream *out, bool save, HTThdGlobals *g)
{
    const char *title = HTAnchor_title(anchor);
    if (save) {
        put(out, title ? title : "Gopher Menu");
        put(out, "\n\n");
    } else if (title) {
        put(out, "<h1>");
        put_html(out, title, g);
        put(out, "</h1>");
    } else {
        put(out, "<h2>Gopher Menu</h2><hr>");
    }
    if (!save)
        put(out, "<pre>");
    char line[kMenuLine];
    constexpr size_t kLongest = kMenuLine - 1;
    size_t n = 0;
    bool more = true;
    while (more) {
        const int c = r.next();
        if (c != '\n' && c != -1 && c != kMenuEnd) {
            // A line too long for the buffer keeps overwriting its last byte.
            if (n < kLongest)
                line[n++] = static_cast<char>(c);
            else
                line[kLongest - 1] = static_cast<char>(c);
            continue;
        }
        if (c != '\n') {
            // The end of the menu ends its last line as well.
            more = false;
            if (n == 0)
                break;
        }
        size_t len = n;
        if (len > 0 && line[len - 1] == '\r')
            --len; // the CR before the LF belongs to no field
        line[len] = '\0';
        n = 0;
        GOPHER_TRACE("Gopher...... Menu item: %s\n", line);
        if (len == 1 && line[0] == '.')
            break;
        if (save)
            menu_item_text(line, len, out, g);
        else
            menu_item_html(line, len, out, g);
    }
    if (!save)
        put(out, "</pre>");
    out->isa->free(out, nullptr);
}

// ---- CSO answers ----

void render_cso(Reader &r, HTStream *out, bool save, HTThdGlobals *g)
{
    put(out, save ? "CSO Search Results\n\n" : "<h1>CSO Search Results</h1><pre>");
    char line[kCsoLine + 1];
    int previous = -1;
    bool more = true;
    while (more) {
        size_t n = 0;
        int c;
        while ((c = r.next()) != -1 && c != '\n') {
            if (n < kCsoLine)
                line[n++] = static_cast<char>(c);
        }
        if (c == -1) {
            more = false;
            if (n == 0)
                break;
        }
        if (n > 0 && line[n - 1] == '\r')
            --n;
        line[n] = '\0';
        if (n == 0)
            continue;
        if (line[0] == '2')
            break;
        if (line[0] == '5') {
            if (n < 5)
                continue; // no text after the code
            if (save) {
                put(out, line + 4, n - 4);
                put(out, "\n");
            } else {
                put(out, "<h2>");
                put_html(out, line + 4, n - 4, g);
                put(out, "</h2>");
            }
            break;
        }
        if (line[0] != '-')
            continue;
        const char *first = static_cast<const char *>(std::memchr(line, ':', n));
        const char *second =
            first ? static_cast<const char *>(std::memchr(first + 1, ':', static_cast<size_t>(line + n - first - 1)))
                  : nullptr;
        if (second == nullptr)
            continue;
        const int record = static_cast<unsigned char>(second[-1]);
        const char *value = second + 1;
        const size_t vn = static_cast<size_t>(line + n - value);
        if (save) {
            if (record != previous && previous != -1)
                put(out, "\n");
            put(out, value, vn);
        } else if (record != previous) {
            put(out, "</pre><h2>");
            put_html(out, value, vn, g);
            put(out, "</h2><pre>");
        } else {
            put_html(out, value, vn, g);
        }
        put(out, "\n");
        previous = record;
    }
    if (!save)
        put(out, "\n</pre>\n");
    out->isa->free(out, nullptr);
}

// ---- the loader ----

// A digit's value; a byte that is no hexadecimal digit counts as 0.
int hex(char c)
{
    const int v = ht::hex_value(static_cast<unsigned char>(c));
    return v < 0 ? 0 : v;
}

// Appends the percent-decoded text (n bytes) at `o`; the new end. A '%'
// without two characters after it ends the decoding.
char *decode(const char *text, size_t n, char *o)
{
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%') {
            *o++ = text[i];
            continue;
        }
        if (i + 2 >= n)
            break;
        *o++ = static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
        i += 2;
    }
    return o;
}

// Appends the query with every '+' as a blank.
char *plus_to_blank(const char *q, char *o)
{
    for (; *q; ++q)
        *o++ = *q == '+' ? ' ' : *q;
    return o;
}

bool save_format(const HTRequest *request)
{
    const char *name = request->output_format ? HTAtom_getName(request->output_format) : nullptr;
    return name != nullptr && std::strcmp(name, kSaveFormat) == 0;
}

// The page that asks for the keywords of a search (type 7) or a CSO query (type 2).
int search_page(HTRequest *request, char type, HTThdGlobals *g)
{
    HTAnchor *anchor = request->anchor;
    const char *address = HTAnchor_address(anchor) ? HTAnchor_address(anchor) : "";
    const bool save = save_format(request);
    if (type == '2' && save) {
        request->error_code = HT_ERR_NO_SAVE;
        return HT_LOAD_EMPTY_URL;
    }
    HTStream *out = save ? HTOutStream_newRaw(request, nullptr, kStatusOK, "text/plain", HT_OUT_LENGTH_UNKNOWN, g)
                         : HTOutStream_newHTML(request, nullptr, kStatusOK, g);
    if (out == nullptr)
        return HT_LOAD_FAILED;
    if (save) {
        put(out, address);
        put(out, " index");
        put(out, "\nThis is a searchable Gopher index.");
        put(out, " Please enter keywords to search for.\n");
    } else {
        put(out, "<h1>");
        put_html(out, address, g);
        put(out, " index</h1><isindex>");
        if (type == '7') {
            put(out, "\nThis is a searchable Gopher index.");
            put(out, " Please enter keywords to search for.\n");
        } else {
            put(out, "\nThis is a searchable index of a CSO database.\n");
            put(out, " Please enter keywords to search for. The keywords that you enter");
            put(out, " will allow you to search on a person's name in the database.\n");
        }
        if (HTAnchor_title(anchor) == nullptr)
            HTAnchor_setTitle(anchor, address);
    }
    out->isa->free(out, nullptr);
    return HT_LOAD_OK;
}

// The content type of an item passed on as it is.
const char *item_type(char type, const char *selector)
{
    switch (type) {
    case '4':
    case '5':
    case '6':
    case '9':
    case ':':
    case 'I': {
        HTAtom *format = nullptr;
        HTSuffix_lookup(selector, &format, nullptr);
        if (format == nullptr || format == WWW_UNKNOWN)
            return HT_SUFFIX_DEFAULT_TYPE;
        return HTSuffix_contentType(format);
    }
    case 'b': return "application/book";
    case 'g': return "image/gif";
    case 'h': return "text/html";
    case 's': return "audio/basic";
    default: return "text/plain";
    }
}

void end_socket(HTSocket *s, HTRequest *request)
{
    HTHTTP_timer(s, request, 0);
    HTSocket_close(s, __FILE__, __LINE__, request);
    DecLibSNMPOutboundAssociations();
}

// A socket failure: error code and result from errno `err`.
int socket_failure(HTSocket *s, HTRequest *request, int err, const char *where)
{
    request->error_code = err;
    if (s != nullptr)
        end_socket(s, request);
    errno = err;
    return HTInetStatus(where);
}

} // namespace

extern "C" const HTGopherItemType *HTGopher_itemType(int type) noexcept
{
    switch (type) {
    case '0': return &kText;
    case '1': return &kMenu;
    case '2':
    case '7': return &kIndex;
    case '4':
    case '5':
    case '6':
    case '9': return &kBinary;
    case '8':
    case 'T': return &kTelnet;
    case ':':
    case 'I':
    case 'g': return &kImage;
    case ';': return &kMovie;
    case 'P': return &kPdf;
    case 'h': return &kHtml;
    case 's': return &kSound;
    case 'w': return &kText;
    default: return &kUnknown;
    }
}

extern "C" int HTGopher_acceptable(int byte) noexcept
{
    return byte >= 0 && byte < 256 && kAcceptable[static_cast<size_t>(byte)] ? 1 : 0;
}

extern "C" void write_anchor(const char *name, const char *link, const char *icon, const char *label,
                             const char *contentType, const char *encoding, HTStream *stream,
                             HTThdGlobals *pool) noexcept
{
    HTThdGlobals *g = ctx(pool);
    if (stream == nullptr)
        return;
    put(stream, "<a href=\"");
    put_html(stream, link ? link : "", g);
    put(stream, "\" TITLE=\"");
    put_html(stream, name ? name : "", g);
    put(stream, "\">");
    if (icon != nullptr) {
        // A menu looks like a directory, anything else like a file of the row's type.
        const mode_t mode = std::strcmp(icon, kMenu.icon) == 0 ? S_IFDIR : S_IFREG;
        const HTDirIcon *i = HTGetIcon(mode, contentType ? HTAtom_for(contentType) : nullptr,
                                       encoding ? HTAtom_for(encoding) : nullptr, g);
        if (i != nullptr && i->image != nullptr) {
            const HTStaticConfig *c = HTDir_config(g);
            put(stream, "<img src=\"");
            put_html(stream, HTFullSelfReference(nullptr, i->image, static_cast<int>(c->proxy_port), 1, g), g);
            if (label != nullptr) {
                put(stream, "\" alt=\"");
                put_html(stream, label, g);
            }
            put(stream, "\" hspace=5 border=0>");
        }
    }
    put_html(stream, name ? name : "", g);
    put(stream, "</a>");
}

namespace {

Reader socket_reader(HTSocket *socket, HTRequest *request)
{
    Reader r;
    r.in = socket ? HTInputSocket_new(socket, request) : nullptr;
    return r;
}

void menu_from(HTSocket *socket, HTRequest *request, HTAnchor *anchor, HTStream *stream, bool save, HTThdGlobals *g)
{
    if (stream == nullptr)
        return;
    Reader r = socket_reader(socket, request);
    render_menu(r, anchor, stream, save, g);
}

void cso_from(HTSocket *socket, HTRequest *request, HTStream *stream, bool save, HTThdGlobals *g)
{
    if (stream == nullptr)
        return;
    Reader r = socket_reader(socket, request);
    render_cso(r, stream, save, g);
}

} // namespace

extern "C" void parse_menu(HTSocket *socket, HTAnchor *anchor, HTStream *stream, HTThdGlobals *pool) noexcept
{
    menu_from(socket, nullptr, anchor, stream, false, ctx(pool));
}

extern "C" void save_menu(HTSocket *socket, HTAnchor *anchor, HTStream *stream, HTThdGlobals *pool) noexcept
{
    menu_from(socket, nullptr, anchor, stream, true, ctx(pool));
}

extern "C" void parse_cso(HTSocket *socket, HTStream *stream, HTThdGlobals *context) noexcept
{
    cso_from(socket, nullptr, stream, false, ctx(context));
}

extern "C" void save_cso(HTSocket *socket, HTStream *stream, HTThdGlobals *context) noexcept
{
    cso_from(socket, nullptr, stream, true, ctx(context));
}

extern "C" void HTGopher__menuText(const char *answer, size_t length, HTAnchor *anchor, HTStream *stream, int save,
                                   HTThdGlobals *pool) noexcept
{
    Reader r;
    r.p = answer;
    r.end = answer + length;
    render_menu(r, anchor, stream, save != 0, ctx(pool));
}

extern "C" void HTGopher__csoText(const char *answer, size_t length, HTStream *stream, int save,
                                  HTThdGlobals *context) noexcept
{
    Reader r;
    r.p = answer;
    r.end = answer + length;
    render_cso(r, stream, save != 0, ctx(context));
}

extern "C" int HTLoadGopher(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = ctx(context);
    if (request == nullptr || request->anchor == nullptr)
        return HT_LOAD_FAILED;
    HTAnchor *anchor = request->anchor;
    const char *address = HTAnchor_physical(anchor);
    if (address == nullptr) {
        request->error_code = HT_ERR_BAD_URL;
        return HT_LOAD_NO_URL;
    }
    if (*address == '\0') {
        request->error_code = HT_ERR_EMPTY_URL;
        return HT_LOAD_EMPTY_URL;
    }
    GOPHER_TRACE("Gopher...... Looking for %s\n", address);

    char *hostport = HTParse(address, "", PARSE_HOST, g);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kGopherPort);
    errno = 0;
    const int resolved = HTParseInet(&sa, hostport ? hostport : "", g);
    if (resolved != 0) {
        request->error_code = errno != 0 ? errno : HT_ERR_BAD_URL;
        return resolved;
    }
    char *host = HTMemPoolStrdup(hostport, g);
    if (char *colon = std::strchr(host, ':'))
        *colon = '\0';

    // The item type and the selector: "/<type><selector>".
    const char *path = HTParse(address, "", PARSE_PATH | PARSE_PUNCTUATION, g);
    char type = '1';
    const char *selector = "";
    if (path != nullptr && path[0] == '/' && path[1] != '\0') {
        type = path[1];
        selector = path + 2;
    }
    const char *query = nullptr;
    size_t selectorLength = std::strlen(selector);
    if (type == '7' || type == '2') {
        const char *q = std::strchr(selector, '?');
        if (q == nullptr || q[1] == '\0')
            return search_page(request, type, g);
        query = q + 1;
        selectorLength = static_cast<size_t>(q - selector);
    }

    // The command: at most the selector and the query, a TAB, "query " and CR LF.
    auto *command = static_cast<char *>(HTMemPoolAlloc(std::strlen(selector) + 16, g));
    char *o = command;
    if (type == '2') {
        std::memcpy(o, "query ", 6);
        o = plus_to_blank(query, o + 6);
    } else {
        o = decode(selector, selectorLength, o);
        if (type == '7') {
            *o++ = '\t';
            o = plus_to_blank(query, o);
        }
    }
    *o++ = '\r';
    *o++ = '\n';
    const int commandLength = static_cast<int>(o - command);
    *o = '\0';

    HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, host, ntohs(sa.sin_port), request);
    if (s == nullptr) {
        const int err = errno;
        GOPHER_TRACE("Gopher...... Unable to open socket to remote host for `%s'.\n", address);
        return socket_failure(nullptr, request, err, "socket");
    }
    HTHTTP_timer(s, request, 1);
    IncLibSNMPOutboundAssociations();
    const int before = s->socket;
    if (HTSocket_connect(&s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa, request) != 0) {
        const int err = s && s->error ? s->error : errno;
        GOPHER_TRACE("Gopher...... Unable to connect to remote host for `%s'.\n", address);
        return socket_failure(s, request, err, "connect");
    }
    if (s->socket != before) {
        GOPHER_TRACE("Gopher...... connect changed socket %d to %d'.\n", before, s->socket);
        HTHTTP_timer(s, request, 1);
    }
    GOPHER_TRACE("Gopher...... Connected, writing command `%s' to socket %d\n", command, s->socket);
    if (HTSocket_write(s, command, commandLength, request) != commandLength) {
        const int err = s->error ? s->error : errno;
        GOPHER_TRACE("Gopher...... Unable to send command.\n");
        return socket_failure(s, request, err, "send");
    }

    int result = HT_LOAD_OK;
    const bool save = save_format(request);
    if (type == '1' || type == '7' || type == '2') {
        HTStream *out = save ? HTOutStream_newRaw(request, nullptr, kStatusOK, "text/plain", HT_OUT_LENGTH_UNKNOWN, g)
                             : HTOutStream_newHTML(request, nullptr, kStatusOK, g);
        if (out == nullptr) {
            result = HT_LOAD_FAILED;
        } else if (type == '2') {
            cso_from(s, request, out, save, g);
        } else {
            menu_from(s, request, anchor, out, save, g);
        }
    } else {
        HTStream *out =
            HTOutStream_newRaw(request, nullptr, kStatusOK, item_type(type, selector), HT_OUT_LENGTH_UNKNOWN, g);
        if (out == nullptr) {
            result = HT_LOAD_FAILED;
        } else if (HTSockCopy_toStream(s, out, request, g) < 0) {
            out->isa->abort(out, nullptr);
            result = HT_LOAD_FAILED;
        } else {
            out->isa->free(out, nullptr);
        }
    }
    end_socket(s, request);
    return result;
}

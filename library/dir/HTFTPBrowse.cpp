#include "HTFTPBrowse.h"

#include "HTError.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTFTPOut.hpp"
#include "HTParse.h"
#include "HTString.h"
#include "HTTrace.h"
#include "nls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Listing columns of the page (the directory pages' flag bits).
constexpr unsigned kColPermissions = 0x2;
constexpr unsigned kColLinks = 0x4;
constexpr unsigned kColOwner = 0x8;
constexpr unsigned kColGroup = 0x10;
constexpr unsigned kColSize = 0x20;
constexpr unsigned kColDate = 0x40;
constexpr unsigned kPageColumns = kColPermissions | kColLinks | kColOwner | kColGroup | kColSize | kColDate;
// Bounds of the name column.
constexpr size_t kNameWidthMin = 20;
constexpr size_t kNameWidthMax = 40;

// Catalogue texts of the directory pages.
constexpr int kMsgIndexOf = 435;
constexpr int kMsgName = 436;
constexpr int kMsgSize = 437;
constexpr int kMsgLastModified = 438;
constexpr int kMsgPermission = 439;
constexpr int kMsgLink = 440;
constexpr int kMsgOwner = 441;
constexpr int kMsgGroup = 442;
constexpr int kMsgWelcome = 444;
constexpr int kMsgParent = 445;
constexpr int kMsgEmpty = 446;
constexpr int kMsgOneFile = 447;
constexpr int kMsgFiles = 448;
constexpr int kMsgBytesUsed = 449;

const char *msg(int number, const char *dflt)
{
    return nlsGetString(NLS_ORVANEPROXY, 1, number, dflt);
}

// A text growing in the pool.
struct Text {
    char *data = nullptr;
    size_t length = 0;
    size_t room = 0;
    HTThdGlobals *g = nullptr;

    void reserve(size_t more)
    {
        if (length + more + 1 <= room)
            return;
        size_t r = room == 0 ? 512 : room;
        while (r < length + more + 1)
            r *= 2;
        auto *grown = static_cast<char *>(HTMemPoolAlloc(r, g));
        if (length != 0)
            std::memcpy(grown, data, length);
        data = grown;
        room = r;
    }
    void add(const char *bytes, size_t n)
    {
        reserve(n);
        std::memcpy(data + length, bytes, n);
        length += n;
        data[length] = '\0';
    }
    void add(const char *s) { add(s, std::strlen(s)); }
    void fill(char c, size_t n)
    {
        reserve(n);
        std::memset(data + length, c, n);
        length += n;
        data[length] = '\0';
    }
    // HTML-escaped: & < > " become character references.
    void add_html(const char *s, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            switch (s[i]) {
            case '&': add("&amp;", 5); break;
            case '<': add("&lt;", 4); break;
            case '>': add("&gt;", 4); break;
            case '"': add("&quot;", 6); break;
            default: add(s + i, 1); break;
            }
        }
    }
    void add_html(const char *s) { add_html(s, std::strlen(s)); }
    void clear() { length = 0; if (data != nullptr) data[0] = '\0'; }
};

// A stream that keeps what it is given.
struct PageStream : HTStream {
    Text text;
};

int page_write(HTStream *me, const char *data, int length)
{
    if (length > 0)
        static_cast<PageStream *>(me)->text.add(data, static_cast<size_t>(length));
    return 0;
}
int page_put_string(HTStream *me, const char *text)
{
    return page_write(me, text, static_cast<int>(std::strlen(text)));
}
int page_put_character(HTStream *me, int c)
{
    const char ch = static_cast<char>(c);
    return page_write(me, &ch, 1);
}
int page_free(HTStream *, void *) { return 0; }
int page_abort(HTStream *, void *) { return 0; }
int page_status(HTStream *, int *out) { if (out) *out = 0; return 0; }
int page_message(HTStream *, int, void *) { return 0; }
int page_put_headers(HTStream *, void *) { return 0; }

const HTStreamClass kPageClass = {"FTPPage", page_free, page_abort, page_put_character, page_put_string,
                                  page_write, page_status, page_message, page_put_headers};

bool put(HTStream *stream, const Text &t)
{
    return t.length == 0 || stream->isa->write(stream, t.data, static_cast<int>(t.length)) >= 0;
}

// The size column: an 8-character field, "%5dK", "%5.1fM" and so on from its start.
void size_field(uint64_t bytes, bool directory, char field[9])
{
    std::memset(field, ' ', 8);
    field[8] = '\0';
    char text[32];
    if (directory) {
        field[7] = '-';
        return;
    }
    if (bytes > 999) {
        const double k = static_cast<double>(bytes) / 1024.0;
        if (k + 0.999 < 1000) {
            std::snprintf(text, sizeof text, "%5dK", static_cast<int>(k + 0.5));
        } else {
            const double m = k / 1024.0;
            if (m < 9.9) {
                std::snprintf(text, sizeof text, "%5.1fM", m + 0.05);
            } else if (m < 1000) {
                std::snprintf(text, sizeof text, "%5dM", static_cast<int>(m + 0.5));
            } else {
                const double gb = m / 1024.0;
                if (gb < 9.9)
                    std::snprintf(text, sizeof text, "%5.1fG", gb + 0.05);
                else
                    std::snprintf(text, sizeof text, "%5lldG", static_cast<long long>(gb + 0.5));
            }
        }
    } else {
        std::snprintf(text, sizeof text, "%5dK", bytes != 0 ? 1 : 0);
    }
    const size_t n = std::min<size_t>(std::strlen(text), 8);
    std::memcpy(field, text, n);
}

void permission_field(unsigned mode, char out[11])
{
    const unsigned kind = mode & HT_FTP_MODE_KIND;
    out[0] = kind == HT_FTP_MODE_FILE ? '-' : kind == HT_FTP_MODE_DIR ? 'd' : kind == HT_FTP_MODE_LINK ? 'l' : '?';
    static const unsigned bits[3][3] = {{0x100, 0x80, 0x40}, {0x20, 0x10, 0x8}, {0x4, 0x2, 0x1}};
    static const unsigned special[3] = {0x800, 0x400, 0x200};
    static const char mark[3] = {'s', 's', 't'};
    for (int t = 0; t < 3; ++t) {
        out[1 + 3 * t] = (mode & bits[t][0]) ? 'r' : '-';
        out[2 + 3 * t] = (mode & bits[t][1]) ? 'w' : '-';
        const bool x = (mode & bits[t][2]) != 0;
        if (mode & special[t])
            out[3 + 3 * t] = x ? mark[t] : static_cast<char>(mark[t] - 'a' + 'A');
        else
            out[3 + 3 * t] = x ? 'x' : '-';
    }
    out[10] = '\0';
}

bool is_dir(const HTFTPDirEntry &e)
{
    return (e.mode & HT_FTP_MODE_KIND) == HT_FTP_MODE_DIR;
}

// The header cells, and the column text of one entry (the header's length
// in blanks, overwritten from the left by the cells).
void header_cells(unsigned shown, Text *out)
{
    out->add(" ");
    struct {
        unsigned bit;
        int number;
        const char *label;
        const char *tag;
    } cols[] = {
        {kColDate, kMsgLastModified, "Last modified", "<th align=left >"},
        {kColSize, kMsgSize, "Size", "<th align=right>"},
        {kColPermissions, kMsgPermission, "Permission", "<th align=left >"},
        {kColLinks, kMsgLink, "Link", "<th align=left >"},
        {kColOwner, kMsgOwner, "Owner", "<th align=left >"},
        {kColGroup, kMsgGroup, "Group", "<th align=left >"},
    };
    for (const auto &c : cols) {
        if (!(shown & c.bit))
            continue;
        out->add(c.tag);
        out->add(msg(c.number, c.label));
        out->add("<br><hr>");
    }
}

void column_text(const HTFTPDirEntry &e, unsigned shown, size_t width, Text *out)
{
    const size_t start = out->length;
    char buffer[64];
    if (shown & kColDate) {
        out->add("<td align=left> ");
        struct tm tm;
        if (e.date != 0 && localtime_r(&e.date, &tm) != nullptr &&
            std::strftime(buffer, sizeof buffer, "%d-%m-%Y  %H:%M", &tm) != 0)
            out->add(buffer);
        else
            out->add("-");
        out->add(" ");
    }
    if (shown & kColSize) {
        out->add("<td align=right>");
        char field[9];
        size_field(e.size, is_dir(e), field);
        out->add(field, 8);
        out->add(" ");
    }
    if (shown & kColPermissions) {
        out->add("<td align=left> ");
        char perm[11];
        permission_field(e.mode, perm);
        out->add(perm, 10);
        out->add(" ");
    }
    if (shown & kColLinks) {
        out->add("<td align=left> ");
        std::snprintf(buffer, sizeof buffer, "%4llu ", static_cast<unsigned long long>(e.links));
        out->add(buffer);
    }
    for (unsigned bit : {kColOwner, kColGroup}) {
        if (!(shown & bit))
            continue;
        out->add("<td align=left> ");
        const char *who = bit == kColOwner ? e.owner : e.group;
        if (who == nullptr)
            who = "";
        const size_t n = std::min<size_t>(std::strlen(who), 8);
        out->add_html(who, n);
        out->fill(' ', 8 - n);
        out->add(" ");
    }
    const size_t used = out->length - start;
    if (used < width)
        out->fill(' ', width - used);
}

// Rows in the directory pages' order: a precedes b when the name
// comparator called as (b, a) is negative, that is names descending.
bool precedes(const HTFTPDirEntry &a, const HTFTPDirEntry &b)
{
    return strcasecomp(b.name, a.name) < 0;
}

// The parent link of the path, or null for none.
const char *parent_link(const char *path, HTThdGlobals *g)
{
    static const char kRoot[] = "/%2F";
    const size_t n = std::strlen(path);
    if (strncasecomp(path, kRoot, 4) == 0) {
        // Absolute on the server: the link names the parent from the root.
        const char *rest = path + 4;
        size_t m = std::strlen(rest);
        while (m > 0 && rest[m - 1] == '/')
            --m;
        if (m == 0)
            return nullptr;
        while (m > 0 && rest[m - 1] != '/')
            --m;
        while (m > 0 && rest[m - 1] == '/')
            --m;
        char *link = HTMemPool_vcat(g, kRoot, "/", static_cast<const char *>(nullptr));
        if (m != 0)
            link = HTMemPool_vcat(g, kRoot, HTMemPoolStrdup_len(rest, m, g), "/", static_cast<const char *>(nullptr));
        return link;
    }
    const char *slash = n > 1 ? std::strchr(path + 1, '/') : nullptr;
    if (slash == nullptr) {
        // "/name": one segment.
        if (n > 1)
            return HTMemPool_vcat(g, path + 1, "/..", static_cast<const char *>(nullptr));
        return nullptr;
    }
    if (path[n - 1] == '/')
        return "..";
    const char *last = std::strrchr(path, '/');
    return HTMemPool_vcat(g, last + 1, "/..", static_cast<const char *>(nullptr));
}

// The base of row links: "./" for a path ending in "/", else its last segment and "/".
const char *link_base(const char *path, HTThdGlobals *g)
{
    const size_t n = std::strlen(path);
    if (n == 0 || path[n - 1] == '/')
        return "./";
    const char *last = std::strrchr(path, '/');
    return HTMemPool_vcat(g, last != nullptr ? last + 1 : path, "/", static_cast<const char *>(nullptr));
}

} // namespace

extern "C" unsigned HTFTP_columnsOf(int style) noexcept
{
    switch (style) {
    case 1: case 2: case 7: case 10: case 14:
        return HT_FTP_COL_LINKS | HT_FTP_COL_OWNER | HT_FTP_COL_GROUP | HT_FTP_COL_SIZE | HT_FTP_COL_DATE;
    case 3: case 9: case 11:
        return HT_FTP_COL_SIZE | HT_FTP_COL_DATE;
    default:
        return 0;
    }
}

extern "C" int HTDirOutFtpTop(HTStream *stream, const char *path, const char *header, const char *welcome,
                              HTThdGlobals *context) noexcept
{
    if (stream == nullptr || path == nullptr)
        return -1;
    Text t;
    t.g = context;
    char *title = HTMemPoolStrdup(path, context);
    HTUnEscape(title);
    const char *index_of = msg(kMsgIndexOf, "Index of ");
    Text shown_title;
    shown_title.g = context;
    if (title[0] != '\0')
        shown_title.add_html(title);
    else
        shown_title.add(msg(kMsgWelcome, "Welcome Directory"));
    t.add("<html>\n<head>\n   <title>");
    t.add(index_of);
    t.add(shown_title.data, shown_title.length);
    t.add("</title>\n</head>\n<body>\n<center><h2>");
    t.add(index_of);
    t.add(shown_title.data, shown_title.length);
    t.add("</h2></center>\n<hr>\n");
    if (welcome != nullptr && welcome[0] != '\0') {
        t.add("<pre>");
        t.add_html(welcome);
        t.add("</pre>");
    }
    t.add("<table width=95% cellspacing=1 cellpadding=0 align=center>\n<tr><th><th align=left>");
    t.add(msg(kMsgName, "Name"));
    t.add("<br><hr>");
    t.add(header != nullptr ? header : "");
    t.add("</tr>\n");
    if (const char *parent = parent_link(path, context)) {
        t.add("<tr><td><a href=\"");
        t.add(parent);
        t.add("\">");
        t.add(msg(kMsgParent, "Parent directory"));
        t.add("</a>\n</tr>\n");
    }
    return put(stream, t) ? 0 : -1;
}

extern "C" int HTFTPWritePage(HTStream *stream, const char *path, HTFTPDirEntry *entries, size_t count,
                              unsigned columns, const char *welcome, HTThdGlobals *context) noexcept
{
    if (stream == nullptr || path == nullptr || (entries == nullptr && count != 0))
        return -1;
    unsigned shown = kPageColumns & kColPermissions;
    if (columns & HT_FTP_COL_DATE)
        shown |= kPageColumns & kColDate;
    if (columns & HT_FTP_COL_SIZE)
        shown |= kPageColumns & kColSize;
    if (columns & HT_FTP_COL_LINKS)
        shown |= kPageColumns & kColLinks;
    if (columns & HT_FTP_COL_OWNER)
        shown |= kPageColumns & kColOwner;
    if (columns & HT_FTP_COL_GROUP)
        shown |= kPageColumns & kColGroup;
    Text header;
    header.g = context;
    header_cells(shown, &header);
    if (HTDirOutFtpTop(stream, path, header.data, welcome, context) != 0)
        return -1;

    std::stable_sort(entries, entries + count, precedes);
    size_t width = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        width = std::max(width, std::strlen(entries[i].name) + (is_dir(entries[i]) ? 1 : 0));
        total = entries[i].size > UINT64_MAX - total ? UINT64_MAX : total + entries[i].size;
    }
    width = std::max(std::min(width, kNameWidthMax), kNameWidthMin);

    const char *base = link_base(path, context);
    Text row;
    row.g = context;
    for (size_t i = 0; i < count; ++i) {
        const HTFTPDirEntry &e = entries[i];
        const bool dir = is_dir(e);
        row.clear();
        char *named = dir ? HTMemPool_cat(e.name, "/", context) : e.name;
        char *link = HTMemPool_cat(base, HTEscape(named, URL_PATH, context), context);
        if (HT_TRACE_ON(HT_TRACE_FTP))
            tfprintf(stderr, "OutList..... %s\n", link);
        row.add("<tr><td><td><a href=\"");
        row.add(link);
        row.add("\">");
        size_t shown_length = std::strlen(named);
        if (shown_length > width) {
            if (dir) {
                row.add_html(named, width - 2);
                row.add("&gt;/");
            } else {
                row.add_html(named, width - 1);
                row.add("&gt;");
            }
            shown_length = width;
        } else {
            row.add_html(named, shown_length);
        }
        row.add("</a>");
        row.fill(' ', width - shown_length);
        row.add(" ");
        column_text(e, shown, header.length, &row);
        row.add("</tr>\n");
        if (!put(stream, row))
            return -1;
    }

    Text bottom;
    bottom.g = context;
    bottom.add("</table><hr><center>");
    char buffer[64];
    if (count == 0) {
        bottom.add(msg(kMsgEmpty, "Empty directory"));
    } else if (count == 1) {
        bottom.add(msg(kMsgOneFile, "1 file"));
    } else {
        std::snprintf(buffer, sizeof buffer, msg(kMsgFiles, "%u files"), static_cast<unsigned>(count));
        bottom.add(buffer);
    }
    if (total != 0) {
        char field[9];
        size_field(total, false, field);
        const char *p = field;
        while (*p == ' ')
            ++p;
        size_t n = std::strlen(p);
        while (n > 0 && p[n - 1] == ' ')
            --n;
        bottom.add("; ");
        bottom.add(p, n);
        bottom.add(msg(kMsgBytesUsed, " bytes used"));
    }
    bottom.add("</center></body></html>");
    return put(stream, bottom) ? 0 : -1;
}

extern "C" int HTFTPBrowseDirectory(HTRequest *request, const char *path, HTInputSocket *data,
                                    HTFTPListState *state, const char *welcome, HTThdGlobals *context) noexcept
{
    if (request == nullptr || path == nullptr || data == nullptr || state == nullptr)
        return HT_LOAD_FAILED;
    HTFTPDirEntry *entries = nullptr;
    size_t count = 0;
    size_t room = 0;
    bool continued = false;
    for (;;) {
        char *line = HTInputSocket_getLineEx(data, HT_FTP_LIST_LINE_LIMIT, request);
        if (line == nullptr)
            break;
        const size_t length = std::strlen(line);
        // Pieces of an over-long line are no entries.
        const bool piece = continued;
        continued = length >= HT_FTP_LIST_LINE_LIMIT;
        if (piece || continued)
            continue;
        const int header = std::strncmp(line, "total ", 6) == 0 ||
                           (state->first_line && std::strstr(line, "not available") != nullptr);
        if (count == room) {
            room = room == 0 ? 64 : room * 2;
            auto *grown = static_cast<HTFTPDirEntry *>(HTMemPoolAlloc(room * sizeof(HTFTPDirEntry), context));
            if (count != 0)
                std::memcpy(grown, entries, count * sizeof *grown);
            entries = grown;
        }
        HTFTPDirEntry *e = &entries[count];
        if (HTFTP_parse_dir_entry(state, line, header, e, 0, context) != 1)
            continue;
        if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0)
            continue;
        ++count;
    }
    // The page is kept whole, so that it goes with its length and a failure leaves room for the error page.
    PageStream page;
    page.isa = &kPageClass;
    page.text.g = context;
    if (HTFTPWritePage(&page, path, entries, count, HTFTP_columnsOf(state->style), welcome, context) != 0)
        return HT_LOAD_FAILED;
    if (htftp::send_head(request, 200, "OK", "text/html", static_cast<long long>(page.text.length)) != 0 ||
        htftp::send_body(request, page.text.data, page.text.length) != 0)
        return HT_LOAD_FAILED;
    return HT_LOAD_OK;
}

#include "HTDirBrowse.h"

#include "HTDescript.h"
#include "HTError.h"
#include "HTEscHTML.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTOutStream.h"
#include "HTParse.h"
#include "HTString.h"
#include "HTSuffix.h"
#include "HTTPConn.h"
#include "HTTrace.h"
#include "nls.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

#define DIR_TRACE(...)                                                                                                \
    do {                                                                                                              \
        if (HT_TRACE_ON(HT_TRACE_DIRBRW))                                                                             \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

// Catalogue numbers of the page's texts.
enum {
    kMsgIndexOf = 435,
    kMsgName = 436,
    kMsgSize = 437,
    kMsgLastModified = 438,
    kMsgPermission = 439,
    kMsgLink = 440,
    kMsgOwner = 441,
    kMsgGroup = 442,
    kMsgDescription = 443,
    kMsgWelcome = 444,
    kMsgParent = 445,
    kMsgEmpty = 446,
    kMsgOneFile = 447,
    kMsgFiles = 448,
    kMsgBytesUsed = 449,
    kMsgNoOpen = 452,
};

const char kNoBrowseText[] = "Directory browsing failed - unable to read directory";

HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }

const char *msg(int number, const char *dflt)
{
    const char *t = nlsGetString(NLS_ORVANEPROXY, 1, number, dflt);
    return t && *t ? t : dflt;
}

// A growing text in the request's pool: doubling keeps the copies linear
// and the pool's dead areas below the final size.
struct Text {
    char *p;
    size_t n;
    size_t cap;
    HTThdGlobals *g;
};

void text_init(Text *t, size_t cap, HTThdGlobals *g)
{
    t->g = g;
    t->cap = cap < 64 ? 64 : cap;
    t->p = static_cast<char *>(HTMemPoolAlloc(t->cap, g));
    t->n = 0;
    t->p[0] = '\0';
}

void text_room(Text *t, size_t more)
{
    if (t->n + more + 1 <= t->cap)
        return;
    size_t cap = t->cap * 2;
    while (cap < t->n + more + 1)
        cap *= 2;
    auto *p = static_cast<char *>(HTMemPoolAlloc(cap, t->g));
    std::memcpy(p, t->p, t->n + 1);
    t->p = p;
    t->cap = cap;
}

void add(Text *t, const char *s, size_t n)
{
    text_room(t, n);
    std::memcpy(t->p + t->n, s, n);
    t->n += n;
    t->p[t->n] = '\0';
}

void add(Text *t, const char *s) { add(t, s, std::strlen(s)); }

void add_blanks(Text *t, size_t n)
{
    text_room(t, n);
    std::memset(t->p + t->n, ' ', n);
    t->n += n;
    t->p[t->n] = '\0';
}

void addf(Text *t, const char *format, ...) __attribute__((format(printf, 2, 3)));
void addf(Text *t, const char *format, ...)
{
    char buf[128];
    va_list a;
    va_start(a, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, a);
    va_end(a);
    if (n > 0)
        add(t, buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

int put(HTStream *s, const char *text, size_t n)
{
    if (n == 0)
        return 0;
    return s->isa->write(s, text, static_cast<int>(n)) < 0 ? -1 : 0;
}

int put(HTStream *s, const char *text) { return put(s, text, std::strlen(text)); }

int put(HTStream *s, const Text &t) { return put(s, t.p, t.n); }

// Unescaped first, so that an address already escaped is not escaped twice.
char *escape_path(const char *text, HTThdGlobals *g)
{
    char *plain = HTMemPoolStrdup(text, g);
    HTUnEscape(plain);
    return HTEscape(plain, URL_PATH, g);
}

// The icon's image as a URL on this server; the same icon recurs on
// every row, so the last few answers are kept.
struct SelfRefs {
    const HTDirIcon *icon[8];
    char *text[8];
    int used;
};

const char *self_ref(SelfRefs *cache, const HTDirIcon *icon, HTThdGlobals *g)
{
    for (int i = 0; i < cache->used; ++i)
        if (cache->icon[i] == icon)
            return cache->text[i];
    const HTStaticConfig *c = HTDir_config(g);
    char *t = HTFullSelfReference(nullptr, icon->image, static_cast<int>(c->proxy_port), 1, g);
    const int slot = cache->used < 8 ? cache->used++ : 7;
    cache->icon[slot] = icon;
    cache->text[slot] = t;
    return t;
}

void add_img(Text *t, const char *image, const HTDirIcon *icon)
{
    add(t, "<img src=\"");
    add(t, image);
    add(t, "\" alt=\"");
    add(t, icon->alt);
    add(t, "\"> ");
}

// Writes every byte of directory/README; nothing when it does not open.
int put_readme(HTStream *s, const char *path, HTThdGlobals *g)
{
    const size_t n = std::strlen(path);
    const char *file = HTMemPool_vcat(g, path, n && path[n - 1] == '/' ? "" : "/", "README",
                                      static_cast<char *>(nullptr));
    DIR_TRACE("HTReadMe.... Looking for file `%s'\n", file);
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    // A pool buffer, taken before the descriptor is open across any write.
    char *buf = static_cast<char *>(HTMemPoolAlloc(8192, g));
    int r = put(s, "<pre>");
    for (;;) {
        const ssize_t k = read(fd, buf, 8192);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        if (put(s, buf, static_cast<size_t>(k)) < 0)
            r = -1;
    }
    close(fd);
    if (put(s, "</pre>") < 0)
        r = -1;
    return r;
}

int put_welcome(HTStream *s, const HTDirFtpInfo *ftp, HTThdGlobals *g)
{
    if (ftp == nullptr || ftp->welcome == nullptr)
        return 0;
    int r = put(s, "<pre>");
    if (put(s, HTEscapeHTML(ftp->welcome, g)) < 0)
        r = -1;
    if (put(s, "</pre>") < 0)
        r = -1;
    return r;
}

// The path part of the anchor's address, unescaped (null: none).
char *title_path(const HTAnchor *anchor, HTThdGlobals *g)
{
    const char *address = anchor ? HTAnchor_address(anchor) : nullptr;
    if (address == nullptr || *address == '\0')
        return nullptr;
    const char *p = address;
    const char *scheme = std::strstr(address, "://");
    if (scheme != nullptr && std::strchr(address, '/') > scheme) {
        p = std::strchr(scheme + 3, '/');
        if (p == nullptr)
            return nullptr;
    }
    size_t n = std::strcspn(p, "?#");
    if (n == 0)
        return nullptr;
    char *path = HTMemPoolStrdup_len(p, n, g);
    HTUnEscape(path);
    return *path ? path : nullptr;
}

// The parent row's link, or null when the page has no parent row.
char *parent_link(const char *path, HTThdGlobals *g)
{
    if (path == nullptr || std::strcmp(path, "/") == 0)
        return nullptr;
    const char *inner = std::strchr(path + 1, '/');
    const size_t n = std::strlen(path);
    if (inner == nullptr && path[0] != '/')
        return nullptr;
    if (inner != nullptr && path[n - 1] == '/')
        return HTMemPoolStrdup("..", g);
    const char *last = std::strrchr(path, '/');
    return HTMemPool_vcat(g, HTEscape(last + 1, URL_PATH, g), "/..", static_cast<char *>(nullptr));
}

void header_cell(Text *t, const char *tag, int number, const char *dflt)
{
    add(t, tag);
    add(t, msg(number, dflt));
    add(t, "<br><hr>");
}

char *header_cells(unsigned columns, int description, int *width, HTThdGlobals *g)
{
    Text t;
    text_init(&t, 256, g);
    add(&t, " ");
    const char *left = "<th align=left >";
    if (columns & HT_DIR_DATE)
        header_cell(&t, left, kMsgLastModified, "Last modified");
    if (columns & HT_DIR_SIZE)
        header_cell(&t, "<th align=right>", kMsgSize, "Size");
    if (columns & HT_DIR_PERMISSIONS)
        header_cell(&t, left, kMsgPermission, "Permission");
    if (columns & HT_DIR_LINKS)
        header_cell(&t, left, kMsgLink, "Link");
    if (columns & HT_DIR_OWNER)
        header_cell(&t, left, kMsgOwner, "Owner");
    if (columns & HT_DIR_GROUP)
        header_cell(&t, left, kMsgGroup, "Group");
    if (description)
        header_cell(&t, left, kMsgDescription, "Description");
    if (width)
        *width = static_cast<int>(t.n);
    return t.p;
}

// Names of user and group ids, looked up once per id and page.
struct IdName {
    unsigned long id;
    const char *name;   // null: the id has no name
    int valid;
};

// The name of a user (group false) or group id, from the system's databases.
const char *id_name(IdName *cache, unsigned long id, bool group, HTThdGlobals *g)
{
    if (cache->valid && cache->id == id)
        return cache->name;
    char buf[4096];
    const char *name = nullptr;
    if (group) {
        struct group gr, *found = nullptr;
        if (getgrgid_r(static_cast<gid_t>(id), &gr, buf, sizeof buf, &found) == 0 && found)
            name = gr.gr_name;
    } else {
        struct passwd pw, *found = nullptr;
        if (getpwuid_r(static_cast<uid_t>(id), &pw, buf, sizeof buf, &found) == 0 && found)
            name = pw.pw_name;
    }
    cache->id = id;
    cache->valid = 1;
    cache->name = name ? HTMemPoolStrdup(name, g) : nullptr;
    return cache->name;
}

void id_cell(Text *t, const char *name, unsigned long id)
{
    add(t, "<td align=left> ");
    if (name != nullptr)
        addf(t, "%-8.8s ", name);
    else
        addf(t, "%8lu ", id);
}

long long saturating_add(long long a, long long b)
{
    if (b > 0 && a > LLONG_MAX - b)
        return LLONG_MAX;
    return a + b;
}

// What a page of a local directory gathers before it is written.
struct Listing {
    HTDirTree *tree;
    long long total;
    int name_width;
    unsigned count;
};

// Reads the open directory into the listing; allocation failures leave
// through out_of_memory with the directory still open (the caller's frame
// closes it).
void read_entries(DIR *d, const char *dir, const HTDirDescription *descriptions, size_t width, Listing *out,
                  HTThdGlobals *g)
{
    const HTStaticConfig *c = HTDir_config(g);
    const unsigned flags = static_cast<unsigned>(c->dir_flags);
    const unsigned columns = flags & HT_DIR_COLUMNS;
    IdName users{}, groups{};
    int dots = 0;
    const size_t dir_length = std::strlen(dir);
    Text full;
    text_init(&full, dir_length + 256, g);
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (e == nullptr)
            break;
        if (e->d_ino == 0)
            continue;
        const char *name = e->d_name;
        if (dots < 2 && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)) {
            ++dots;
            continue;
        }
        if (name[0] == '.' && !(flags & HT_DIR_HIDDEN))
            continue;
        HTAtom *format = nullptr, *encoding = nullptr;
        HTSuffix_lookup(name, &format, &encoding);
        full.n = 0;
        add(&full, dir, dir_length);
        add(&full, name);
        struct stat st;
        if (lstat(full.p, &st) != 0) {
            DIR_TRACE("HTBrowse.... OUPS, lstat failed on %s (errno: %d)\n", full.p, errno);
            continue;
        }
        auto *entry = static_cast<HTDirEntry *>(HTMemPoolAlloc(sizeof(HTDirEntry), g));
        std::memset(entry, 0, sizeof *entry);
        entry->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
        entry->is_link = S_ISLNK(st.st_mode) ? 1 : 0;
        entry->name = HTMemPool_vcat(g, name, entry->is_dir ? "/" : "", static_cast<char *>(nullptr));
        entry->size = st.st_size;
        entry->mtime = st.st_mtime;
        const int n = static_cast<int>(std::strlen(entry->name));
        if (n > out->name_width)
            out->name_width = n;
        out->total = saturating_add(out->total, st.st_size > 0 ? st.st_size : 0);
        if (flags & HT_DIR_ICONS) {
            entry->icon = HTGetIcon(st.st_mode, format, encoding, g);
            entry->href = HTGetHref(name, g);
        }
        if (width > 0) {
            HTDirCells cells{};
            cells.columns = columns;
            cells.description_on = c->dir_description != 0;
            cells.mtime = st.st_mtime;
            cells.has_time = 1;
            cells.size = st.st_size;
            cells.is_dir = entry->is_dir;
            cells.mode = st.st_mode;
            cells.links = st.st_nlink;
            cells.owner = columns & HT_DIR_OWNER ? id_name(&users, st.st_uid, false, g) : nullptr;
            cells.owner_id = st.st_uid;
            cells.group = columns & HT_DIR_GROUP ? id_name(&groups, st.st_gid, true, g) : nullptr;
            cells.group_id = st.st_gid;
            if (cells.description_on)
                cells.description = HTGetDescription(descriptions, dir, name, format, g);
            entry->columns = HTDirColumnText(&cells, width, g);
        }
        if (flags & HT_DIR_BY_SIZE)
            entry->key = &entry->size;
        else if (flags & HT_DIR_BY_TIME)
            entry->key = &entry->mtime;
        else
            entry->key = entry->name;
        HTDirTree_add(out->tree, entry, g);
        ++out->count;
    }
}

struct ReadJob {
    DIR *d;
    const char *dir;
    const HTDirDescription *descriptions;
    size_t width;
    Listing *out;
    HTThdGlobals *g;
};

// The directory stream is the one thing here the pool does not own: a
// failure while it is open closes it on the way out.
void read_guarded(ReadJob *job)
{
    ReadJob *volatile j = job;
    HTExceptFrame frame;
    HTExcept_push(&frame, j->g);
    if (setjmp(frame.env) != 0) {
        closedir(j->d);
        HTExcept__raise();
    }
    read_entries(j->d, j->dir, j->descriptions, j->width, j->out, j->g);
    HTExcept_pop(&frame, j->g);
}

// The base of the row links, from the address asked for.
char *row_base(const HTRequest *request, HTThdGlobals *g)
{
    const char *address = request && request->anchor ? HTAnchor_address(request->anchor) : nullptr;
    if (address == nullptr)
        address = "";
    const char *slash = std::strrchr(address, '/');
    const char *base;
    if (slash == nullptr)
        base = HTMemPool_vcat(g, address, "/", static_cast<char *>(nullptr));
    else if (slash[1] != '\0')
        base = HTMemPool_vcat(g, slash + 1, "/", static_cast<char *>(nullptr));
    else if (std::strcmp(address, "/") == 0)
        base = "/";
    else
        base = "./";
    return escape_path(base, g);
}

// The list's order: `a` goes before `b`.
bool before(HTDirCompare compare, const HTDirEntry *a, const HTDirEntry *b) { return compare(b->key, a->key) < 0; }

} // namespace

// ---- sizes, permissions, comparators ----

extern "C" char *HTDirSizeK(char *buffer, double k) noexcept
{
    if (k + 0.999 < 1000) {
        std::snprintf(buffer, HT_DIR_SIZE_BUFFER, "%5dK", static_cast<int>(k + 0.5));
        return buffer;
    }
    const double m = k / 1024;
    if (m < 9.9) {
        std::snprintf(buffer, HT_DIR_SIZE_BUFFER, "%5.1fM", m + 0.05);
    } else if (m < 1000) {
        std::snprintf(buffer, HT_DIR_SIZE_BUFFER, "%5dM", static_cast<int>(m + 0.5));
    } else {
        const double gb = m / 1024;
        if (gb < 9.9)
            std::snprintf(buffer, HT_DIR_SIZE_BUFFER, "%5.1fG", gb + 0.05);
        else
            std::snprintf(buffer, HT_DIR_SIZE_BUFFER, "%5lldG", static_cast<long long>(gb + 0.5));
    }
    return buffer;
}

extern "C" char *HTDirSize(long long bytes, char *buffer, int width, HTThdGlobals *context) noexcept
{
    if (width < 0)
        width = 0;
    if (width > HT_DIR_SIZE_MAX_WIDTH)
        width = HT_DIR_SIZE_MAX_WIDTH;
    if (bytes < 0)
        bytes = 0;
    char text[HT_DIR_SIZE_BUFFER];
    if (bytes > 999)
        HTDirSizeK(text, static_cast<double>(bytes) / 1024);
    else if (HTDir_config(context)->dir_exact_bytes)
        std::snprintf(text, sizeof text, "%lld", bytes);
    else
        std::snprintf(text, sizeof text, "%5dK", bytes > 0 ? 1 : 0);
    const int n = static_cast<int>(std::strlen(text));
    const int pad = width > n ? width - n : 0;
    std::memset(buffer, ' ', static_cast<size_t>(pad));
    std::memcpy(buffer + pad, text, static_cast<size_t>(n) + 1);
    return buffer;
}

namespace {

void triplet(unsigned mode, int shift, unsigned special, char set, char unset, char *out)
{
    out[0] = mode & (04u << shift) ? 'r' : '-';
    out[1] = mode & (02u << shift) ? 'w' : '-';
    const bool x = mode & (01u << shift);
    if (mode & special)
        out[2] = x ? set : unset;
    else
        out[2] = x ? 'x' : '-';
}

char type_char(unsigned mode)
{
    if (S_ISREG(mode))
        return '-';
    if (S_ISDIR(mode))
        return 'd';
    if (S_ISLNK(mode))
        return 'l';
    return '?';
}

} // namespace

extern "C" char *FilePerm2(unsigned mode, char *buffer) noexcept { return FilePerm(mode, 7, buffer); }

extern "C" char *FilePerm(unsigned mode, int parts, char *buffer) noexcept
{
    char *p = buffer;
    *p++ = type_char(mode);
    if (parts & 1) {
        triplet(mode, 6, S_ISUID, 's', 'S', p);
        p += 3;
    }
    if (parts & 2) {
        triplet(mode, 3, S_ISGID, 's', 'S', p);
        p += 3;
    }
    if (parts & 4) {
        triplet(mode, 0, S_ISVTX, 't', 'T', p);
        p += 3;
    }
    *p = '\0';
    return buffer;
}

extern "C" int HTDirStrCmp(const void *a, const void *b) noexcept
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

extern "C" int HTDirStrCaseCmp(const void *a, const void *b) noexcept
{
    return strcasecomp(static_cast<const char *>(a), static_cast<const char *>(b));
}

extern "C" int HTDirLintCmp(const void *a, const void *b) noexcept
{
    const long long x = *static_cast<const long long *>(a), y = *static_cast<const long long *>(b);
    return y > x ? 1 : (y < x ? -1 : 0);
}

// ---- the entries' order ----

extern "C" HTDirTree *HTDirTree_new(HTDirCompare compare, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    auto *t = static_cast<HTDirTree *>(HTMemPoolAlloc(sizeof(HTDirTree), g));
    std::memset(t, 0, sizeof *t);
    t->compare = compare ? compare : HTDirStrCaseCmp;
    t->sorted = 1;
    return t;
}

extern "C" void HTDirTree_add(HTDirTree *tree, HTDirEntry *entry, HTThdGlobals *context) noexcept
{
    if (tree == nullptr || entry == nullptr)
        return;
    if (tree->count == tree->capacity) {
        const size_t cap = tree->capacity ? tree->capacity * 2 : 64;
        auto *e = static_cast<HTDirEntry **>(HTMemPoolAlloc(cap * sizeof(HTDirEntry *), globals(context)));
        if (tree->count)
            std::memcpy(e, tree->entries, tree->count * sizeof(HTDirEntry *));
        tree->entries = e;
        tree->capacity = cap;
    }
    tree->entries[tree->count++] = entry;
    tree->sorted = tree->count < 2;
}

// A bottom-up merge sort: stable, n log n whatever the arrival order (a
// listing that arrives sorted costs no more than any other).
extern "C" void HTDirTree_sort(HTDirTree *tree, HTThdGlobals *context) noexcept
{
    if (tree == nullptr || tree->sorted || tree->count < 2) {
        if (tree)
            tree->sorted = 1;
        return;
    }
    const size_t n = tree->count;
    auto *spare = static_cast<HTDirEntry **>(HTMemPoolAlloc(n * sizeof(HTDirEntry *), globals(context)));
    HTDirEntry **from = tree->entries, **to = spare;
    for (size_t run = 1; run < n; run *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * run) {
            const size_t mid = lo + run < n ? lo + run : n;
            const size_t hi = lo + 2 * run < n ? lo + 2 * run : n;
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                to[k++] = before(tree->compare, from[j], from[i]) ? from[j++] : from[i++];
            while (i < mid)
                to[k++] = from[i++];
            while (j < hi)
                to[k++] = from[j++];
        }
        HTDirEntry **swap = from;
        from = to;
        to = swap;
    }
    tree->entries = from;
    tree->sorted = 1;
}

// ---- cells and the page ----

extern "C" char *InitBody2(int *width, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    const HTStaticConfig *c = HTDir_config(g);
    return header_cells(static_cast<unsigned>(c->dir_flags) & HT_DIR_COLUMNS, c->dir_description != 0, width, g);
}

extern "C" char *InitBody(unsigned ftpMask, int *width, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    const HTStaticConfig *c = HTDir_config(g);
    unsigned present = HT_DIR_PERMISSIONS;
    if (ftpMask & HT_FTP_HAS_DATE)
        present |= HT_DIR_DATE;
    if (ftpMask & HT_FTP_HAS_SIZE)
        present |= HT_DIR_SIZE;
    if (ftpMask & HT_FTP_HAS_LINKS)
        present |= HT_DIR_LINKS;
    if (ftpMask & HT_FTP_HAS_OWNER)
        present |= HT_DIR_OWNER;
    if (ftpMask & HT_FTP_HAS_GROUP)
        present |= HT_DIR_GROUP;
    return header_cells(static_cast<unsigned>(c->dir_flags) & present, c->dir_description != 0, width, g);
}

extern "C" char *HTDirColumnText(const HTDirCells *cells, size_t width, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    Text t;
    text_init(&t, width + 16, g);
    const unsigned col = cells->columns;
    if (col & HT_DIR_DATE) {
        add(&t, "<td align=left> ");
        struct tm tm;
        const time_t when = static_cast<time_t>(cells->mtime);
        char date[64];
        if (cells->has_time && localtime_r(&when, &tm) != nullptr &&
            std::strftime(date, sizeof date, "%d-%m-%Y  %H:%M", &tm) > 0)
            addf(&t, "%-17s ", date);
        else
            addf(&t, "%-17s ", "-");
    }
    if (col & HT_DIR_SIZE) {
        add(&t, "<td align=right>");
        char size[HT_DIR_SIZE_BUFFER];
        if (cells->is_dir)
            addf(&t, "%*s ", HT_DIR_SIZE_FIELD, "-");
        else
            addf(&t, "%s ", HTDirSize(cells->size, size, HT_DIR_SIZE_FIELD, g));
    }
    if (col & HT_DIR_PERMISSIONS) {
        char perm[HT_DIR_PERM_BUFFER];
        add(&t, "<td align=left> ");
        addf(&t, "%s ", FilePerm2(cells->mode, perm));
    }
    if (col & HT_DIR_LINKS) {
        add(&t, "<td align=left> ");
        addf(&t, "%4llu ", cells->links);
    }
    if (col & HT_DIR_OWNER)
        id_cell(&t, cells->owner, cells->owner_id);
    if (col & HT_DIR_GROUP)
        id_cell(&t, cells->group, cells->group_id);
    if (cells->description_on) {
        add(&t, "<td align=left> ");
        if (cells->description != nullptr) {
            const intptr_t max = HTDir_config(g)->dir_max_description;
            size_t n = std::strlen(cells->description);
            if (max > 0 && n > static_cast<size_t>(max))
                n = static_cast<size_t>(max);
            add(&t, " ");
            add(&t, cells->description, n);
        }
    }
    if (t.n < width)
        add_blanks(&t, width - t.n);
    return t.p;
}

extern "C" int HTDirOutTop(HTStream *stream, const HTAnchor *anchor, const char *header, const char *path,
                           const HTDirFtpInfo *ftp, int, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (stream == nullptr)
        return -1;
    const HTStaticConfig *c = HTDir_config(g);
    const char *index = msg(kMsgIndexOf, "Index of ");
    char *plain = title_path(anchor, g);
    const char *title = plain ? HTEscapeHTML(plain, g) : msg(kMsgWelcome, "Welcome Directory");
    const char *parent = parent_link(plain, g);
    Text t;
    text_init(&t, 1024, g);
    add(&t, "<html>\n<head>\n   <title>");
    add(&t, index);
    add(&t, title);
    add(&t, "</title>\n</head>\n");
    if (c->dir_background && *c->dir_background) {
        add(&t, "<body background=\"");
        add(&t, HTFullSelfReference(nullptr, c->dir_background, static_cast<int>(c->proxy_port), 1, g));
        add(&t, "\">\n");
    } else {
        add(&t, "<body>\n");
    }
    add(&t, "<center><h2>");
    add(&t, index);
    add(&t, title);
    add(&t, "</h2></center>\n<hr>\n");
    int r = put(stream, t);
    if (ftp == nullptr) {
        if (c->dir_readme == HT_DIR_README_TOP && path && put_readme(stream, path, g) < 0)
            r = -1;
    } else if (c->dir_ftp_welcome == HT_DIR_README_TOP && put_welcome(stream, ftp, g) < 0) {
        r = -1;
    }
    t.n = 0;
    add(&t, "<table width=95% cellspacing=1 cellpadding=0 align=center>\n<tr><th><th align=left>");
    add(&t, msg(kMsgName, "Name"));
    add(&t, "<br><hr>");
    add(&t, header ? header : "");
    add(&t, "</tr>\n");
    if (parent != nullptr) {
        add(&t, "<tr>");
        const HTDirIcon *icon = (c->dir_flags & HT_DIR_ICONS) ? HTGetParentIcon(g) : nullptr;
        if (icon != nullptr) {
            add(&t, "<td>");
            add_img(&t, HTFullSelfReference(nullptr, icon->image, static_cast<int>(c->proxy_port), 1, g), icon);
            add(&t, " ");
        }
        add(&t, "<td><a href=\"");
        add(&t, parent);
        add(&t, "\">");
        add(&t, msg(kMsgParent, "Parent directory"));
        add(&t, "</a>\n</tr>\n");
    }
    if (put(stream, t) < 0)
        r = -1;
    return r;
}

extern "C" int HTDirOutList(HTStream *stream, HTDirTree *tree, const char *base, const char *path, int,
                            int nameWidth, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (stream == nullptr || tree == nullptr)
        return -1;
    HTDirTree_sort(tree, g);
    const HTStaticConfig *c = HTDir_config(g);
    const unsigned flags = static_cast<unsigned>(c->dir_flags);
    const bool icons = flags & HT_DIR_ICONS;
    const bool italics = flags & HT_DIR_LINK_ITALICS;
    SelfRefs refs{};
    // The rule links' directory: the path without its final '/'.
    size_t dir_length = path ? std::strlen(path) : 0;
    while (dir_length > 0 && path[dir_length - 1] == '/')
        --dir_length;
    const char *dir = path ? HTMemPoolStrdup_len(path, dir_length, g) : "";
    if (base == nullptr)
        base = "";
    Text row, shown;
    text_init(&row, 1024, g);
    text_init(&shown, 256, g);
    int r = 0;
    for (size_t i = 0; i < tree->count; ++i) {
        const HTDirEntry *e = tree->entries[i];
        const char *link = HTMemPool_vcat(g, base, HTEscape(e->name, URL_PATH, g), static_cast<char *>(nullptr));
        DIR_TRACE("OutList..... %s\n", link);
        // The name as shown: cut to the width first, then escaped, marker last.
        const size_t length = std::strlen(e->name);
        size_t visible = length;
        shown.n = 0;
        if (nameWidth > 0 && length > static_cast<size_t>(nameWidth)) {
            const char *marker = e->is_dir && nameWidth >= 2 ? ">/" : ">";
            const size_t keep = static_cast<size_t>(nameWidth) - std::strlen(marker);
            add(&shown, HTEscapeHTMLSpan(e->name, keep, g));
            add(&shown, marker);
            visible = static_cast<size_t>(nameWidth);
        } else {
            add(&shown, HTEscapeHTML(e->name, g));
        }
        const bool link_italics = e->is_link && italics;
        row.n = 0;
        const HTDirIcon *icon = icons ? e->icon : nullptr;
        if ((flags & HT_DIR_ICON_FIRST) && icon != nullptr) {
            add(&row, "<tr><td><a href=\"");
            add(&row, link);
            add(&row, "\">");
            add_img(&row, self_ref(&refs, icon, g), icon);
            add(&row, "</a> ");
            if (e->columns)
                add(&row, e->columns);
            add(&row, "<td>");
            if (link_italics)
                add(&row, "<i>");
            add(&row, shown.p, shown.n);
            if (link_italics)
                add(&row, "</i>");
        } else {
            add(&row, "<tr><td>");
            if (icon != nullptr) {
                if (e->href) {
                    add(&row, "<a href=\"");
                    add(&row, e->href->url);
                    add(&row, escape_path(HTMemPool_vcat(g, dir, "/", e->name, static_cast<char *>(nullptr)), g));
                    add(&row, "\">");
                }
                add_img(&row, self_ref(&refs, icon, g), icon);
                add(&row, " ");
                if (e->href)
                    add(&row, "</a>");
            }
            if (link_italics)
                add(&row, "<i>");
            add(&row, "<td><a href=\"");
            add(&row, link);
            add(&row, "\">");
            add(&row, shown.p, shown.n);
            add(&row, "</a>");
            if (link_italics)
                add(&row, "</i>");
        }
        if (e->columns) {
            if (nameWidth > 0 && visible < static_cast<size_t>(nameWidth))
                add_blanks(&row, static_cast<size_t>(nameWidth) - visible);
            add(&row, " ");
            add(&row, e->columns);
        }
        add(&row, "</tr>\n");
        if (put(stream, row) < 0)
            r = -1;
    }
    return r;
}

extern "C" int HTDirOutBottom(HTStream *stream, unsigned count, const char *path, const HTDirFtpInfo *ftp,
                              long long totalBytes, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (stream == nullptr)
        return -1;
    const HTStaticConfig *c = HTDir_config(g);
    Text t;
    text_init(&t, 256, g);
    add(&t, "</table><hr><center>");
    if (count == 0)
        add(&t, msg(kMsgEmpty, "Empty directory"));
    else if (count == 1)
        add(&t, msg(kMsgOneFile, "1 file"));
    else
        addf(&t, msg(kMsgFiles, "%u files"), count);
    if (totalBytes > 0) {
        char size[HT_DIR_SIZE_BUFFER];
        const char *s = HTDirSize(totalBytes, size, HT_DIR_SIZE_FIELD, g);
        while (*s == ' ')
            ++s;
        add(&t, "; ");
        add(&t, s);
        add(&t, msg(kMsgBytesUsed, " bytes used"));
    }
    add(&t, "</center></body></html>");
    int r = put(stream, t);
    if (ftp == nullptr) {
        if (c->dir_readme == HT_DIR_README_BOTTOM && path && put_readme(stream, path, g) < 0)
            r = -1;
    } else if (c->dir_ftp_welcome == HT_DIR_README_BOTTOM && put_welcome(stream, ftp, g) < 0) {
        r = -1;
    }
    return r;
}

extern "C" int HTDirSaveList(HTStream *stream, HTDirTree *tree, HTThdGlobals *context) noexcept
{
    if (stream == nullptr || tree == nullptr)
        return -1;
    HTDirTree_sort(tree, globals(context));
    int r = 0;
    for (size_t i = 0; i < tree->count; ++i)
        if (put(stream, tree->entries[i]->name) < 0 || put(stream, "\n", 1) < 0)
            r = -1;
    return r;
}

extern "C" int HTBrowseDirectory(HTRequest *request, const char *path, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (path == nullptr)
        path = "";
    DIR_TRACE("HTBrowse.... Browsing `%s'\n", path);
    const size_t n = std::strlen(path);
    const char *dir = n && path[n - 1] == '/' ? HTMemPoolStrdup(path, g)
                                              : HTMemPool_vcat(g, path, "/", static_cast<char *>(nullptr));
    const char *base = row_base(request, g);
    const HTStaticConfig *c = HTDir_config(g);
    const unsigned flags = static_cast<unsigned>(c->dir_flags);
    HTDirCompare compare = flags & (HT_DIR_BY_SIZE | HT_DIR_BY_TIME) ? HTDirLintCmp
                           : flags & HT_DIR_CASE_ORDER               ? HTDirStrCmp
                                                                     : HTDirStrCaseCmp;
    const HTDirDescription *descriptions = c->dir_description ? HTReadDescriptions(dir, g) : nullptr;
    int header_width = 0;
    const char *header = InitBody2(&header_width, g);
    size_t width = static_cast<size_t>(header_width);
    if (c->dir_description && c->dir_max_description > 0)
        width += static_cast<size_t>(c->dir_max_description);
    Listing listing{};
    listing.tree = HTDirTree_new(compare, g);

    DIR *opened = opendir(dir);
    if (opened == nullptr) {
        const int err = errno;
        char *text = HTHTTP_message(g, kMsgNoOpen,
                                    "Directory browsing failed - unable to open directory (opendir), "
                                    "errno:  %d, errmsg:\n%s",
                                    err, std::strerror(err));
        HTDetailedError_set(HT_DERR_DIRNOBROWSE, g);
        g->detailed_error_text = kNoBrowseText;
        return HTLoadError(request, 403, text, g);
    }
    ReadJob job{opened, dir, descriptions, width, &listing, g};
    read_guarded(&job);
    closedir(opened);

    int name_width = listing.name_width;
    if (c->dir_max_name > 0 && name_width > c->dir_max_name)
        name_width = static_cast<int>(c->dir_max_name);
    if (c->dir_min_name > 0 && name_width < c->dir_min_name)
        name_width = static_cast<int>(c->dir_min_name);
    HTStream *page = HTOutStream_newHTML(request, nullptr, 200, g);
    if (page == nullptr)
        return HT_LOAD_FAILED;
    HTDirOutTop(page, request ? request->anchor : nullptr, header, dir, nullptr, name_width, g);
    if (listing.count > 0)
        HTDirOutList(page, listing.tree, base, dir, static_cast<int>(width), name_width, g);
    HTDirOutBottom(page, listing.count, dir, nullptr, listing.total, g);
    page->isa->free(page, nullptr);
    return HT_LOAD_OK;
}

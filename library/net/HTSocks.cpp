// HTSocks: the SOCKS rule file, the old-style server and the rule matching.

#include "HTSocks.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTString.h"
#include "HTTCP.h"
#include "HTTrace.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstring>

namespace {

int resolve_inet(struct sockaddr_in *address, const char *text)
{
    return HTParseInet(address, text, nullptr);
}

HTSocksResolver resolver = resolve_inet;

bool tracing()
{
    return HT_TRACE_ON(HT_TRACE_SOCKS);
}

HTStaticConfig *writable(HTStaticConfig *config)
{
    return config ? config : &HTMyStaticConfig;
}

void free_entry(HTSocksEntry *e)
{
    if (e == nullptr)
        return;
    HTSocksList_deleteAndFreeContents(e->servers);
    HTAlloc_free(e);
}

void free_rules(HTStaticConfig *c)
{
    HTList *rules = c->socks_rules;
    c->socks_rules = nullptr;
    if (rules == nullptr)
        return;
    // Element by element: an element left empty by an allocation failure does not end the walk.
    for (HTList *e = rules->next; e != nullptr; e = e->next)
        free_entry(static_cast<HTSocksEntry *>(e->object));
    HTList_delete(rules, nullptr);
}

// Appends the servers of the comma-separated text to `list`, in order. The
// list is reachable by its owner before anything is allocated for it, so an
// allocation that leaves through out_of_memory loses nothing: elements are
// taken first (holding null) and filled afterwards, back to front.
void fill_server_list(HTList *list, const char *text)
{
    struct sockaddr_in found[HT_SOCKS_LINE_MAX / 2 + 1];
    int n = 0;
    const char *p = text;
    char item[HT_SOCKS_LINE_MAX + 1];
    while (*p != '\0' && n < static_cast<int>(sizeof found / sizeof found[0])) {
        const char *comma = std::strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (len > 0 && len < sizeof item) {
            std::memcpy(item, p, len);
            item[len] = '\0';
            struct sockaddr_in a;
            std::memset(&a, 0, sizeof a);
            a.sin_family = AF_INET;
            a.sin_port = htons(HT_SOCKS_PORT);
            if (resolver(&a, item) == 0)
                found[n++] = a;
            else if (tracing())
                tfprintf(stderr, "SocksServ... couldn't figure out \"%s\"\n", item);
        }
        if (comma == nullptr)
            break;
        p = comma + 1;
    }
    // HTList_addObject puts each new element first: adding back to front keeps the order.
    for (int i = n - 1; i >= 0; --i) {
        HTList_addObject(list, nullptr, nullptr);
        auto *a = static_cast<struct sockaddr_in *>(HTAlloc_malloc(sizeof(struct sockaddr_in)));
        if (a == nullptr)
            out_of_memory("HTSocks", "HTSocks_parseServerList", __LINE__, sizeof(struct sockaddr_in));
        *a = found[i];
        list->next->object = a;
    }
}

struct Operator {
    const char *word;
    int op;
};

constexpr Operator operators[] = {
    {"eq", HT_SOCKS_OP_EQ}, {"neq", HT_SOCKS_OP_NEQ}, {"lt", HT_SOCKS_OP_LT},
    {"gt", HT_SOCKS_OP_GT}, {"le", HT_SOCKS_OP_LE},   {"ge", HT_SOCKS_OP_GE},
};

bool port_passes(int op, int port, int p)
{
    switch (op) {
    case HT_SOCKS_OP_EQ: return p == port;
    case HT_SOCKS_OP_LT: return p < port;
    case HT_SOCKS_OP_GT: return p > port;
    case HT_SOCKS_OP_NEQ: return p != port;
    case HT_SOCKS_OP_LE: return p <= port;
    case HT_SOCKS_OP_GE: return p >= port;
    default: return true;
    }
}

// Reads one line into `line` (room for HT_SOCKS_LINE_MAX + 2 bytes: the
// text, its newline and the terminator). Returns false at the end of the
// file; *too_long when the line had more than HT_SOCKS_LINE_MAX characters
// (the rest of it has been read and dropped).
bool read_line(FILE *file, char *line, bool *too_long)
{
    size_t n = 0;
    *too_long = false;
    int c;
    bool any = false;
    while ((c = getc(file)) != EOF) {
        any = true;
        if (c == '\n') {
            line[n++] = '\n';
            break;
        }
        if (n < HT_SOCKS_LINE_MAX)
            line[n++] = static_cast<char>(c);
        else
            *too_long = true;
    }
    line[n] = '\0';
    return any;
}

void ignore(const char *original, const char *because, const char *word)
{
    if (!tracing())
        return;
    tfprintf(stderr, "SocksConf...  ignoring line: %s", original);
    if (because != nullptr)
        tfprintf(stderr, because, word);
}

// One line of the rule file; an entry is appended to the rules or nothing.
void load_line(HTStaticConfig *c, char *line)
{
    char original[HT_SOCKS_LINE_MAX + 2];
    std::memcpy(original, line, std::strlen(line) + 1);
    char *args[HT_MAX_ARGS];
    const int argc = parse_args(line, args);
    if (argc < 3) {
        if (tracing())
            tfprintf(stderr, "SocksConf... not enuff args...\n");
        return;
    }
    char first[HT_SOCKS_LINE_MAX + 2];
    std::memcpy(first, args[0], std::strlen(args[0]) + 1);
    standardize(args[0]);
    int type;
    if (std::strncmp(args[0], "direct", 6) == 0)
        type = HT_SOCKS_DIRECT;
    else if (std::strncmp(args[0], "deny", 4) == 0)
        type = HT_SOCKS_DENY;
    else if (std::strncmp(args[0], "sockd", 5) == 0)
        type = HT_SOCKS_SOCKD;
    else {
        if (tracing()) {
            tfprintf(stderr, "SocksConf... ignoring line: %s", original);
            tfprintf(stderr, "SocksConf...  because unknown line type\n");
        }
        return;
    }

    // The entry joins the rules at once (its element first), so that an
    // allocation leaving through out_of_memory leaves nothing unreachable;
    // a bad line takes it out again.
    HTList_appendObject(c->socks_rules, nullptr, nullptr);
    HTList *slot = c->socks_rules;
    while (slot->next != nullptr)
        slot = slot->next;
    HTSocksEntry *e = HTSocksEntry_new(type);
    slot->object = e;
    auto drop = [&](const char *because, const char *word) {
        HTList_removeObject(c->socks_rules, e, nullptr);
        free_entry(e);
        ignore(original, because, word);
    };

    int i = 1;
    if (type == HT_SOCKS_SOCKD) {
        // The list is taken from the word as written: host names keep their case, '-' and '_'.
        const char *list = std::strstr(first, "@=");
        if (list != nullptr) {
            list += 2;
        } else if (std::strncmp(args[1], "@=", 2) == 0) {
            list = args[1] + 2;
            i = 2;
        }
        if (list != nullptr) {
            e->servers = HTList_new(nullptr);
            fill_server_list(e->servers, list);
        }
        if (list == nullptr || HTList_isEmptyF(e->servers)) {
            if (tracing())
                tfprintf(stderr, "SocksConf... Unable to parse server list...\n");
            drop(nullptr, nullptr);
            return;
        }
    }
    if (i < argc && std::strncmp(args[i], "*=", 2) == 0)
        ++i;
    if (i + 1 >= argc) {
        drop("SocksConf...  because the destination or the mask is missing%s\n", "");
        return;
    }
    for (int k = 0; k < 2; ++k) {
        struct sockaddr_in *a = k == 0 ? &e->destination : &e->mask;
        a->sin_family = AF_INET;
        if (resolver(a, args[i + k]) != 0) {
            drop("SocksConf...  because we couldn't parse address %s\n", args[i + k]);
            return;
        }
    }
    i += 2;
    if (i < argc) {
        standardize(args[i]);
        for (const Operator &o : operators)
            if (std::strcmp(args[i], o.word) == 0)
                e->op = o.op;
        if (e->op == HT_SOCKS_OP_NONE) {
            if (tracing())
                tfprintf(stderr, "SocksConfig.  ignoring port info \"%s\" is an unknown port operation.\n",
                         args[i]);
        } else {
            const int port = i + 1 < argc ? GetPort(args[i + 1]) : -1;
            if (port < 0) {
                if (tracing())
                    tfprintf(stderr, "SocksConfig. failed to resolve port: %s\n",
                             i + 1 < argc ? args[i + 1] : "(none)");
                drop(nullptr, nullptr);
                return;
            }
            e->port = port;
        }
    }
}

} // namespace

void HTSocks__setResolver(HTSocksResolver r) noexcept
{
    resolver = r ? r : resolve_inet;
}

extern "C" HTSocksEntry *HTSocksEntry_new(int type) noexcept
{
    auto *e = static_cast<HTSocksEntry *>(HTAlloc_calloc(1, sizeof(HTSocksEntry)));
    if (e == nullptr)
        out_of_memory("HTSocks", "HTSocksEntry_new", __LINE__, sizeof(HTSocksEntry));
    e->type = type;
    return e;
}

extern "C" HTList *HTSocks_parseServerList(const char *text) noexcept
{
    if (text == nullptr)
        return nullptr;
    HTList *list = HTList_new(nullptr);
    fill_server_list(list, text);
    if (HTList_isEmptyF(list)) {
        HTList_delete(list, nullptr);
        return nullptr;
    }
    return list;
}

extern "C" void HTSocksList_deleteAndFreeContents(HTList *list) noexcept
{
    if (list != nullptr)
        HTList_deleteAndFreeContents(list, nullptr);
}

extern "C" int GetPort(const char *word) noexcept
{
    if (word == nullptr || *word == '\0')
        return -1;
    if (std::strspn(word, "0123456789") == std::strlen(word)) {
        long value = 0;
        for (const char *d = word; *d; ++d) {
            value = value * 10 + (*d - '0');
            if (value > 65535)
                return -1;
        }
        return static_cast<int>(value);
    }
    struct servent entry, *result = nullptr;
    char work[1024];
    if (getservbyname_r(word, "tcp", &entry, work, sizeof work, &result) == 0 && result != nullptr)
        return ntohs(static_cast<uint16_t>(result->s_port));
    if (tracing())
        tfprintf(stderr, "GetPort..... unable to grok port \"%s\".\n", word);
    return -1;
}

extern "C" int Socks_init(HTStaticConfig *config) noexcept
{
    HTStaticConfig *c = writable(config);
    Socks_free(c);
    c->socks_old_style = 0;
    c->socks_server = 0;
    c->socks_user = HTAlloc_strdup(HT_SOCKS_DEFAULT_USER);
    if (c->socks_user == nullptr)
        out_of_memory("HTSocks", "Socks_init", __LINE__, sizeof HT_SOCKS_DEFAULT_USER);
    return 0;
}

extern "C" int Socks_loadConfiguration(FILE *file, HTStaticConfig *config) noexcept
{
    HTStaticConfig *c = writable(config);
    free_rules(c);
    c->socks_rules = HTList_new(nullptr);
    if (tracing())
        tfprintf(stderr, "SocksConf... at the beginning of the file.\n");
    if (file == nullptr)
        return 0;
    char line[HT_SOCKS_LINE_MAX + 2];
    bool too_long = false;
    while (read_line(file, line, &too_long)) {
        if (too_long) {
            if (tracing())
                tfprintf(stderr, "SocksConf... line longer than %d characters skipped.\n",
                         HT_SOCKS_LINE_MAX);
            continue;
        }
        if (line[0] == '#' || line[0] == '\n' || line[0] == '\0')
            continue;
        if (tracing())
            tfprintf(stderr, "SocksConf... got line: %s", line);
        load_line(c, line);
    }
    if (tracing())
        tfprintf(stderr, "SocksConf... list %lx has %d elements; placed in config %lx.\n",
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c->socks_rules)),
                 HTList_count(c->socks_rules),
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c)));
    return 0;
}

extern "C" int Socks_setServer(const char *name, HTStaticConfig *config) noexcept
{
    HTStaticConfig *c = writable(config);
    if (tracing())
        tfprintf(stderr, "Socks....... server: \"%s\" (old-style).\n", name ? name : "");
    if (name == nullptr)
        return 0;
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    uint32_t address = HTParseInet(&a, name, nullptr) == 0 ? a.sin_addr.s_addr : inet_addr(name);
    if (address != 0 && address != INADDR_NONE) {
        c->socks_server = address;
        c->socks_old_style = 1;
        if (tracing())
            tfprintf(stderr, "Old......... style socks configured correctly.\n");
    }
    return 0;
}

extern "C" void Socks_free(HTStaticConfig *config) noexcept
{
    HTStaticConfig *c = writable(config);
    free_rules(c);
    HTAlloc_free(c->socks_user);
    c->socks_user = nullptr;
}

extern "C" int check_cconf(const struct sockaddr_in *destination, HTList **servers,
                           const HTStaticConfig *config) noexcept
{
    const HTStaticConfig *c = config ? config : &HTMyStaticConfig;
    const bool t = tracing();
    if (c->socks_rules == nullptr) {
        if (t)
            tfprintf(stderr, "check_conf.. flexible-client SOCKS not configured.\n");
        return HT_SOCKS_DIRECT;
    }
    const uint32_t d = destination ? destination->sin_addr.s_addr : 0;
    if (d == 0 || d == htonl(INADDR_LOOPBACK) || d == INADDR_NONE) {
        if (t)
            tfprintf(stderr, "check_conf.. degenerate connection; go direct.\n");
        return HT_SOCKS_DIRECT;
    }
    const int p = ntohs(destination->sin_port);
    HTList *cursor = c->socks_rules;
    int index = 0;
    while (void *o = HTList_nextObjectF(&cursor)) {
        const auto *e = static_cast<const HTSocksEntry *>(o);
        if (t)
            tfprintf(stderr, "check_conf.. checking entry %d\n", index);
        const uint32_t m = e->mask.sin_addr.s_addr;
        if ((e->destination.sin_addr.s_addr & m) == (d & m) && port_passes(e->op, e->port, p)) {
            if (servers != nullptr)
                *servers = e->servers;
            if (t)
                tfprintf(stderr, "check_conf.. matched entry %d\n", index);
            return e->type;
        }
        ++index;
    }
    if (t)
        tfprintf(stderr, "check_conf.. doing the default, be direct\n");
    return HT_SOCKS_DIRECT;
}

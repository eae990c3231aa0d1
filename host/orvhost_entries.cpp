// The host's callback table: behaviour for the shared services, for every
// entry the variables use, and for the body and output entries; every other
// entry records its call and answers 0.

#include "orvhost.h"

#include "HTAtom.h"
#include "HTTrace.h"
#include "htapi_cb.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

namespace orvhost {
namespace {

Request &req(void *h)
{
    return request_of(h);
}

// Which variables each accessor entry serves; another one is a routing
// mistake of the library, recorded for the tests.
bool serves(int entry, int var)
{
    auto in = [var](int lo, int hi) { return var >= lo && var <= hi; };
    switch (entry) {
    case HTCB_CLIENT_TEXT:
        return var == HTAPI_CLIENT_ADDR || var == HTAPI_CLIENT_NAME || var == HTAPI_REMOTE_HOST;
    case HTCB_CLIENT_SET_TEXT:
        return var == HTAPI_CLIENT_ADDR || var == HTAPI_REMOTE_HOST || var == HTAPI_REMOTE_IDENT;
    case HTCB_CLIENT_NUMBER:
        return var == HTAPI_CLIENT_PORT;
    case HTCB_REQUEST_TEXT:
        return in(HTAPI_METHOD, HTAPI_REQ_CONTENT_CHARSET);
    case HTCB_REQUEST_SET_TEXT:
        return var == HTAPI_PATH || var == HTAPI_PATH_INFO || var == HTAPI_PATH_TRANSLATED ||
               var == HTAPI_PPATH || var == HTAPI_QUERY_STRING || var == HTAPI_ERRORINFO ||
               var == HTAPI_CBR_CHOSENSERVER || var == HTAPI_USE_PROXY ||
               var == HTAPI_USE_TRANSLATEDURI || var == HTAPI_NOTMODIFIED_TO_OK;
    case HTCB_REQUEST_NUMBER:
        return in(HTAPI_REQ_CONTENT_LENGTH, HTAPI_PROXIED_CONTENT_LENGTH);
    case HTCB_REQUEST_FLAG:
        return in(HTAPI_USE_CONNMGMT, HTAPI_QOS_CONTROL);
    case HTCB_REQUEST_SET_FLAG:
        return var == HTAPI_USE_CONNMGMT || var == HTAPI_TAV_PRIV_HDRS;
    case HTCB_RESPONSE_TEXT:
        return in(HTAPI_RESP_CONTENT_TYPE, HTAPI_RESP_CONTENT_CHARSET) || var == HTAPI_EXPIRES ||
               var == HTAPI_LAST_MODIFIED;
    case HTCB_RESPONSE_SET_TEXT:
        return in(HTAPI_RESP_CONTENT_TYPE, HTAPI_WWW_AUTHENTICATE) &&
               var != HTAPI_RESP_CONTENT_LENGTH;
    case HTCB_RESPONSE_SET_NUMBER:
        return var == HTAPI_RESP_CONTENT_LENGTH;
    case HTCB_SERVER_TEXT:
        return in(HTAPI_SERVER_NAME, HTAPI_SERVER_LEVEL);
    case HTCB_SERVER_NUMBER:
        return in(HTAPI_SERVER_PORT, HTAPI_TOTALKBYTES);
    case HTCB_CONFIG_TEXT:
        return in(HTAPI_LOGFILEDATEEXT, HTAPI_MAXACTIVETHREADS);
    case HTCB_CACHE_TEXT:
        return var == HTAPI_GC_FILENAME;
    case HTCB_CACHE_NUMBER:
        return in(HTAPI_CACHE_HIT, HTAPI_CACHE_TASK);
    case HTCB_CACHE_REAL:
        return in(HTAPI_GC_EXPIRES, HTAPI_GC_LOAD_DELAY);
    case HTCB_CACHE_SET:
        return in(HTAPI_CACHE_MISS, HTAPI_GC_EVALUATION);
    case HTCB_FILTER_TEXT:
        return in(HTAPI_FILTER_DB_OPTIONS, HTAPI_FILTER_EXCEPTION_URL);
    case HTCB_FILTER_NUMBER:
        return in(HTAPI_FILTER_PLUGIN_ENABLE, HTAPI_FILTER_RULES);
    case HTCB_QOS_TEXT:
        return var == HTAPI_QOSGROUP || var == HTAPI_QOSUSER;
    case HTCB_QOS_SET_TEXT:
        return in(HTAPI_QOSGROUP, HTAPI_MSG_CTR);
    case HTCB_QOS_SET_NUMBER:
        return var == HTAPI_MSG_CTRLEN;
    case HTCB_PICS_TEXT:
        return in(HTAPI_PICS_SERVICENAME, HTAPI_PICS_LABEL);
    case HTCB_AUTH_TEXT:
        return in(HTAPI_AUTH_TYPE, HTAPI_PASSWORD);
    case HTCB_USER_SET_TEXT:
        return in(HTAPI_REMOTE_USER, HTAPI_PASSWORD);
    case HTCB_SSL_TEXT:
        return in(HTAPI_CLIENT_CERT_DN, HTAPI_SSL_SESSIONID);
    case HTCB_RCA_TEXT:
        return in(HTAPI_RCA_OWNER, HTAPI_RCA_TIMEOUTS);
    case HTCB_SSI_TEXT:
        return in(HTAPI_SSI_ROOT, HTAPI_SSI_INCLUDE);
    case HTCB_MODRW_TEXT:
        return var == HTAPI_MODRW_PREFIX;
    case HTCB_CLIENT_FIELD:
    case HTCB_ORIGIN_FIELD:
        return in(HTAPI_FIELD_METHOD, HTAPI_FIELD_ACCEPT_RANGES);
    case HTCB_ORIGIN_SET_FIELD:
        return var == HTAPI_FIELD_METHOD || var == HTAPI_FIELD_RESPONSE ||
               var == HTAPI_FIELD_REASON || var == HTAPI_FIELD_CONTENT_CHARSET ||
               var == HTAPI_FIELD_CONTENT_TYPE_PARAMETERS;
    default:
        return false;
    }
}

bool routed(int entry, int var)
{
    if (serves(entry, var))
        return true;
    Host::get().problem("entry " + std::to_string(entry) + " asked for variable " +
                        std::to_string(var));
    return false;
}

template <class M> const char *text_in(const M &map, int var)
{
    auto it = map.find(var);
    return it == map.end() ? nullptr : it->second.c_str();
}

template <int E> const char *request_text(void *h, int var) noexcept
{
    if (E == HTCB_REQUEST_TEXT)
        if (Live *l = Live::of(h); l != nullptr && l->service != nullptr) {
            // The request line's parts come from the request record.
            if (var == HTAPI_METHOD)
                return l->service->method;
            if (var == HTAPI_URL) {
                // Until a plug-in sets another (entry 48, as proxying does).
                const char *set = text_in(req(h).text, HTAPI_URL);
                return set != nullptr ? set : l->service->url;
            }
            if (var == HTAPI_QUERY_STRING)
                return l->service->query;
        }
    return routed(E, var) ? text_in(req(h).text, var) : nullptr;
}

template <int E> int request_set_text(void *h, int var, const char *value) noexcept
{
    if (!routed(E, var))
        return -1;
    req(h).text[var] = value;
    return 0;
}

template <int E> long request_number(void *h, int var) noexcept
{
    if (!routed(E, var))
        return 0;
    auto &m = req(h).number;
    auto it = m.find(var);
    return it == m.end() ? 0 : it->second;
}

template <int E> int request_set_number(void *h, int var, long value) noexcept
{
    if (!routed(E, var))
        return -1;
    req(h).number[var] = value;
    return 0;
}

const char *server_text_of(void *, int var) noexcept
{
    return routed(HTCB_SERVER_TEXT, var) ? text_in(Host::get().server_text, var) : nullptr;
}

const char *config_text(void *, int var) noexcept
{
    return routed(HTCB_CONFIG_TEXT, var) ? text_in(Host::get().server_text, var) : nullptr;
}

unsigned long server_number_of(void *, int var) noexcept
{
    if (!routed(HTCB_SERVER_NUMBER, var))
        return 0;
    auto &m = Host::get().server_number;
    auto it = m.find(var);
    return it == m.end() ? 0 : it->second;
}

int request_flag(void *h, int var) noexcept
{
    if (!routed(HTCB_REQUEST_FLAG, var))
        return 0;
    auto &m = req(h).flag;
    auto it = m.find(var);
    return it == m.end() ? 0 : it->second;
}

int request_set_flag(void *h, int var, int value) noexcept
{
    if (!routed(HTCB_REQUEST_SET_FLAG, var))
        return -1;
    req(h).flag[var] = value;
    return 0;
}

double cache_real(void *h, int var) noexcept
{
    if (!routed(HTCB_CACHE_REAL, var))
        return 0;
    auto &m = req(h).real;
    auto it = m.find(var);
    return it == m.end() ? 0.0 : it->second;
}

int cache_set(void *h, int var, double value) noexcept
{
    if (!routed(HTCB_CACHE_SET, var))
        return -1;
    req(h).real[var] = value;
    return 0;
}

int user_set_text(void *h, void *user, int var, const char *value) noexcept
{
    Request &r = req(h);
    if (!routed(HTCB_USER_SET_TEXT, var) || user != r.user_record())
        return -1;
    r.user_fields[var] = value;
    r.text[var] = value;
    return 0;
}

int filter_period(void *h, HTAPIFilterPeriod *p) noexcept
{
    Request &r = req(h);
    if (!r.has_period)
        return 1;
    *p = r.period;
    return 0;
}

// ---- request memory ----

void *pool_alloc(std::size_t size, void *h) noexcept
{
    return h ? req(h).pool.alloc(size) : nullptr;
}

char *pool_strdup(const char *text, void *h) noexcept
{
    if (text == nullptr)
        return nullptr;
    const std::size_t n = std::strlen(text);
    auto *p = static_cast<char *>(pool_alloc(n + 1, h));
    if (p)
        std::memcpy(p, text, n + 1);
    return p;
}

char *pool_strcat(const char *a, const char *b, void *h) noexcept
{
    const std::size_t na = a ? std::strlen(a) : 0;
    const std::size_t nb = b ? std::strlen(b) : 0;
    auto *p = static_cast<char *>(pool_alloc(na + nb + 1, h));
    if (p) {
        if (na)
            std::memcpy(p, a, na);
        if (nb)
            std::memcpy(p + na, b, nb);
        p[na + nb] = '\0';
    }
    return p;
}

void *pool_calloc(std::size_t count, std::size_t size, void *h) noexcept
{
    std::size_t n = 0;
    if (__builtin_mul_overflow(count, size, &n))
        return nullptr;
    void *p = pool_alloc(n, h);
    if (p)
        std::memset(p, 0, n);
    return p;
}

// ---- shared services ----

pthread_key_t thread_key() noexcept
{
    return Host::get().key();
}

int int_hook() noexcept
{
    return 0;
}

int trace(FILE *, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    Host::get().record_trace(vformat(format, args));
    va_end(args);
    return 0;
}

int log_line(int kind, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    Host::get().record_log(std::to_string(kind) + ": " + vformat(format, args));
    va_end(args);
    return 0;
}

const char *atom(const char *text) noexcept
{
    return text ? HTAtom_getName(HTAtom_for(text)) : nullptr;
}

int trace_level() noexcept
{
    return static_cast<int>(tc[HT_TRACE_LEVEL_WORD]);
}

void set_trace_level(int level) noexcept
{
    tc[HT_TRACE_LEVEL_WORD] = static_cast<uint32_t>(level);
}

int trace_category(int category) noexcept
{
    return HTTrace_module(category);
}

int to_upper(int c) noexcept
{
    return std::toupper(static_cast<unsigned char>(c));
}

char *trim(char *text) noexcept
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (blank(*text))
        ++text;
    std::size_t n = std::strlen(text);
    while (n > 0 && blank(text[n - 1]))
        text[--n] = '\0';
    return text;
}

const char *reason_phrase(int code) noexcept
{
    static const std::pair<int, const char *> kPhrases[] = {
        {100, "Continue"},     {200, "OK"},           {201, "Created"},
        {202, "Accepted"},     {204, "No Content"},   {206, "Partial Content"},
        {301, "Moved Permanently"}, {302, "Found"},   {304, "Not Modified"},
        {400, "Bad Request"},  {401, "Unauthorized"}, {403, "Forbidden"},
        {404, "Not Found"},    {412, "Precondition Failed"},
        {500, "Internal Server Error"}, {502, "Bad Gateway"}, {503, "Service Unavailable"}};
    for (const auto &p : kPhrases)
        if (p.first == code)
            return p.second;
    return "Unknown";
}

char *format_date(char *buffer, std::size_t size) noexcept
{
    const std::time_t t = Host::get().fixed_now ? Host::get().fixed_now : std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    if (std::strftime(buffer, size, "%a, %d %b %Y %H:%M:%S GMT", &tm) == 0 && size)
        buffer[0] = '\0';
    return buffer;
}

// The charset parameter of "a=b; charset=x; ...": the value, quotes removed.
char *charset_parameter(const char *parameters, void *h) noexcept
{
    const char *p = parameters;
    while (p && *p) {
        while (*p == ' ' || *p == '\t' || *p == ';')
            ++p;
        const char *name = p;
        while (*p && *p != '=' && *p != ';')
            ++p;
        const std::size_t name_length = static_cast<std::size_t>(p - name);
        if (*p != '=')
            continue;
        const char *value = ++p;
        while (*p && *p != ';')
            ++p;
        if (name_length == 7 && strncasecmp(name, "charset", 7) == 0) {
            std::string v(value, p);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
                v.pop_back();
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            return const_cast<char *>(req(h).keep(v));
        }
    }
    return nullptr;
}

int origin_address(void *, const char *host, struct sockaddr_in *address) noexcept
{
    std::string dotted = host;
    auto &known = Host::get().addresses;
    if (auto it = known.find(host); it != known.end())
        dotted = it->second;
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    return inet_pton(AF_INET, dotted.c_str(), &address->sin_addr) == 1 ? 0 : 1;
}

// ---- MD4 ----

void *md4_new(void *h) noexcept
{
    auto *m = static_cast<Md4 *>(pool_alloc(sizeof(Md4), h));
    if (m)
        md4_init(m);
    return m;
}

void md4_add(void *m, const unsigned char *data, std::size_t length) noexcept
{
    md4_update(static_cast<Md4 *>(m), data, length);
}

void md4_end(unsigned char digest[16], void *m) noexcept
{
    md4_final(digest, static_cast<Md4 *>(m));
}

char *md4_text(const unsigned char digest[16], char text[33]) noexcept
{
    for (int i = 0; i < 16; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

// ---- user variables ----

struct UserVar {
    bool binary;
    std::string bytes;
};
using UserVars = std::map<std::string, UserVar>;

int uservar_set(void **table, const char *name, const void *value, std::size_t length,
                int binary) noexcept
{
    if (*table == nullptr)
        *table = new UserVars;
    auto &vars = *static_cast<UserVars *>(*table);
    if (value == nullptr)
        vars.erase(name);
    else
        vars[name] = UserVar{binary != 0, std::string(static_cast<const char *>(value), length)};
    return 0;
}

int uservar_has(void *table, const char *name) noexcept
{
    return table && static_cast<UserVars *>(table)->count(name) ? 1 : 0;
}

const void *uservar_get(void *table, const char *name, int binary, std::size_t *length) noexcept
{
    if (table == nullptr)
        return nullptr;
    auto &vars = *static_cast<UserVars *>(table);
    auto it = vars.find(name);
    if (it == vars.end() || it->second.binary != (binary != 0))
        return nullptr;
    *length = it->second.bytes.size();
    return it->second.bytes.data();
}

void uservar_release(void *table) noexcept
{
    delete static_cast<UserVars *>(table);
}

char **uservar_list(void *table, void *h) noexcept
{
    std::vector<std::string> items;
    if (table != nullptr)
        for (const auto &[name, v] : *static_cast<UserVars *>(table))
            if (!v.binary)
                items.push_back(name + "=" + v.bytes.c_str());
    return req(h).keep_list(items);
}

// ---- headers ----

bool named(const Header &x, const char *name)
{
    return strcasecmp(x.name.c_str(), name) == 0;
}

// Edits by mode: 0 replace all, 1 replace the first or add, 2 add, 3 delete
// all. Returns how many lines were removed or replaced.
unsigned long edit(Headers &list, const char *name, const char *value, unsigned long mode)
{
    unsigned long n = 0;
    if (mode == 1) {
        for (Header &x : list)
            if (named(x, name)) {
                x.value = value;
                return 1;
            }
        list.push_back({name, value, {}});
        return 0;
    }
    if (mode != 2)
        for (auto it = list.begin(); it != list.end();)
            it = named(*it, name) ? (++n, list.erase(it)) : it + 1;
    if (mode != 3)
        list.push_back({name, value, {}});
    return n;
}

const char *line_of(void *h, const Headers &list, const char *name, unsigned long which) noexcept
{
    for (const Header &x : list)
        if (named(x, name) && which-- == 0)
            return req(h).keep(x.raw.empty() ? x.name + ": " + x.value : x.raw);
    return nullptr;
}

const char *all_lines(void *h, const Headers &list) noexcept
{
    std::string s;
    for (const Header &x : list)
        s += x.name + ": " + x.value + "\r\n";
    return req(h).keep(std::move(s));
}

int response_header_set(void *h, const char *name, const char *value, unsigned long mode) noexcept
{
    edit(req(h).response_headers, name, value, mode);
    return 0;
}

int response_header_replace(void *h, const char *name, const char *value,
                            unsigned long selector) noexcept
{
    Request &r = req(h);
    r.last_selector = selector;
    edit(r.response_headers, name, value, value && *value ? 0 : 3);
    return 0;
}

unsigned long proxy_header_edit(void *h, const char *name, const char *value,
                                unsigned long mode) noexcept
{
    return edit(req(h).proxy_headers, name, value, mode);
}

unsigned long proxy_header_delete(void *h, const char *name, unsigned long selector) noexcept
{
    req(h).last_selector = selector;
    return edit(req(h).proxy_headers, name, "", 3);
}

unsigned long proxy_header_replace(void *h, const char *name, const char *value,
                                   unsigned long selector) noexcept
{
    req(h).last_selector = selector;
    return edit(req(h).proxy_headers, name, value, 0);
}

const char *request_header(void *h, const char *name, unsigned long selector) noexcept
{
    if (Live *l = Live::of(h); l != nullptr && l->service != nullptr)
        return l->client_line(name, selector);
    req(h).last_selector = selector;
    return line_of(h, req(h).request_headers, name, selector);
}

const char *origin_header(void *h, const char *name) noexcept
{
    if (Live *l = Live::of(h))
        return l->line(name);
    return line_of(h, req(h).origin_headers, name, 0);
}

const char *client_field(void *h, int field) noexcept
{
    if (!routed(HTCB_CLIENT_FIELD, field))
        return nullptr;
    if (Live *l = Live::of(h); l != nullptr && l->service != nullptr && field == HTAPI_FIELD_HEADERS)
        return l->model.keep(std::string(l->service->headers, l->service->headers_length));
    if (field == HTAPI_FIELD_HEADERS)
        return all_lines(h, req(h).request_headers);
    return text_in(req(h).client_field, field);
}

const char *origin_field(void *h, int field) noexcept
{
    if (!routed(HTCB_ORIGIN_FIELD, field))
        return nullptr;
    if (field == HTAPI_FIELD_HEADERS)
        return all_lines(h, req(h).origin_headers);
    return text_in(req(h).origin_field, field);
}

int origin_set_field(void *h, int field, const char *value) noexcept
{
    if (!routed(HTCB_ORIGIN_SET_FIELD, field))
        return -1;
    req(h).origin_field[field] = value;
    return 0;
}

// A Cache-Control line of the message that carries no-transform.
int no_transform(void *h, int side) noexcept
{
    const Headers &list = side == HTAPI_SIDE_PROXY ? req(h).proxy_headers : req(h).response_headers;
    for (const Header &x : list) {
        if (!named(x, "Cache-Control"))
            continue;
        std::string v = x.value;
        for (char &c : v)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (v.find("no-transform") != std::string::npos)
            return 1;
    }
    return 0;
}

// The new tag against If-None-Match (a match: not modified) and If-Match (no
// match: the precondition fails).
int etag_match(void *h, const char *etag) noexcept
{
    auto lists = [&](const char *header) {
        for (const Header &x : req(h).request_headers)
            if (named(x, header))
                return std::optional<std::string>(x.value);
        return std::optional<std::string>();
    };
    auto contains = [etag](const std::string &list) {
        if (trim(std::string(list).data()) == std::string("*"))
            return true;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t comma = list.find(',', start);
            if (comma == std::string::npos)
                comma = list.size();
            std::string item = list.substr(start, comma - start);
            if (std::string(trim(item.data())) == etag)
                return true;
            start = comma + 1;
        }
        return false;
    };
    if (auto none = lists("If-None-Match"); none && contains(*none))
        return HTAPI_ETAG_NOT_MODIFIED;
    if (auto match = lists("If-Match"); match && !contains(*match))
        return HTAPI_ETAG_PRECONDITION;
    return HTAPI_ETAG_NO_MATCH;
}

int set_status(void *h, int code, const char *reason) noexcept
{
    Request &r = req(h);
    if (code >= 0)
        r.status = code;
    if (reason != nullptr)
        r.reason = reason;
    return 0;
}

// ---- CGI, SSI, redirection ----

const char *cgi_get(void *h, const char *name) noexcept
{
    const std::string prefix = std::string(name) + "=";
    for (const std::string &v : req(h).cgi)
        if (v.compare(0, prefix.size(), prefix) == 0)
            return v.c_str() + prefix.size();
    return nullptr;
}

int cgi_set(void *h, const char *assignment) noexcept
{
    const char *eq = std::strchr(assignment, '=');
    if (eq == nullptr)
        return -1;
    const std::string prefix(assignment, eq + 1);
    for (std::string &v : req(h).cgi)
        if (v.compare(0, prefix.size(), prefix) == 0) {
            v = assignment;
            return 0;
        }
    req(h).cgi.emplace_back(assignment);
    return 0;
}

char **cgi_all(void *h) noexcept
{
    return req(h).keep_list(req(h).cgi);
}

const char *map_text(const std::map<std::string, std::string> &m, const char *name)
{
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second.c_str();
}

// ---- the client connection ----

const char *read_block(void *input, std::size_t *count) noexcept
{
    if (Live *l = Live::of_input(input))
        return l->read(count);
    return static_cast<BodySource *>(input)->block(count);
}

int read_byte(void *input) noexcept
{
    if (Live *l = Live::of_input(input))
        return l->read_byte();
    return static_cast<BodySource *>(input)->byte();
}

int pre_read(HTAPIReqHeader *, void *h) noexcept
{
    if (Live *l = Live::of(h); l != nullptr && l->service != nullptr) {
        static_cast<HTAPIHandle *>(h)->preread = 0;
        return hostservice_continue(l->service);
    }
    ++req(h).prereads;
    static_cast<HTAPIHandle *>(h)->preread = 0;
    return 0;
}

HTStream *conversion_stream(void *h, const char *type, HTStream *sink) noexcept
{
    auto &list = req(h).conversions;
    list.push_back(std::make_unique<ConversionStream>(type, sink));
    return list.back()->stream();
}

int set_script(void *h, const char *script) noexcept
{
    req(h).text[HTAPI_SCRIPT_NAME] = script;
    return 0;
}

int set_url(void *h, const char *url) noexcept
{
    req(h).text[HTAPI_URL] = url;
    return HTTPD_DONE;
}

char *client_protocol_buffer(void *h, std::size_t *size) noexcept
{
    *size = sizeof req(h).protocol;
    return req(h).protocol;
}

// ---- the table ----

template <int N> void put(HTAPICallback *t, typename plugrt::Cb<N>::fn *f)
{
    t[N] = reinterpret_cast<HTAPICallback>(f);
}

template <int N, class F> struct Stub;
template <int N, class R, class... A> struct Stub<N, R(A...)> {
    static R call(A...) noexcept
    {
        Host::get().record_stub(N);
        if constexpr (!std::is_void_v<R>)
            return R{};
    }
};
template <int N, class R, class... A> struct Stub<N, R(A..., ...)> {
    static R call(A..., ...) noexcept
    {
        Host::get().record_stub(N);
        if constexpr (!std::is_void_v<R>)
            return R{};
    }
};

template <int... N> void stubs(HTAPICallback *t, std::integer_sequence<int, N...>)
{
    (put<N>(t, &Stub<N, typename plugrt::Cb<N>::fn>::call), ...);
}

} // namespace

void Host::fill()
{
    HTAPICallback *t = table_;
    stubs(t, std::make_integer_sequence<int, HTAPI_NCALLBACKS>{});

    // Shared services.
    put<HTCB_THREAD_KEY>(t, thread_key);
    put<HTCB_INT_HOOK>(t, int_hook);
    put<HTCB_STRCASECMP>(t, [](const char *a, const char *b) noexcept { return strcasecmp(a, b); });
    put<HTCB_STRNCASECMP>(t, [](const char *a, const char *b, int n) noexcept {
        return strncasecmp(a, b, static_cast<std::size_t>(n));
    });
    put<HTCB_TRACE>(t, trace);
    put<HTCB_LOG>(t, log_line);
    put<HTCB_ATOM>(t, atom);
    put<HTCB_USERVAR_RELEASE>(t, uservar_release);
    put<HTCB_READ_BLOCK>(t, read_block);
    put<HTCB_POOL_ALLOC>(t, pool_alloc);
    put<HTCB_POOL_STRDUP>(t, pool_strdup);
    put<HTCB_POOL_STRCAT>(t, pool_strcat);
    put<HTCB_POOL_CALLOC>(t, pool_calloc);
    put<HTCB_TRACE_LEVEL>(t, trace_level);
    put<HTCB_SET_TRACE_LEVEL>(t, set_trace_level);
    put<HTCB_TRACE_CATEGORY>(t, trace_category);
    put<HTCB_TOUPPER>(t, to_upper);
    put<HTCB_READ_BYTE>(t, read_byte);

    // What the variables use.
    put<HTCB_TRIM>(t, trim);
    put<HTCB_USERVAR_SET>(t, uservar_set);
    put<HTCB_USERVAR_HAS>(t, uservar_has);
    put<HTCB_USERVAR_GET>(t, uservar_get);
    put<HTCB_USERVAR_LIST>(t, uservar_list);
    put<HTCB_SOFTWARE_NAME>(t, []() noexcept { return Host::get().software_name.c_str(); });
    put<HTCB_SOFTWARE_VERSION>(t, []() noexcept { return Host::get().software_version.c_str(); });
    put<HTCB_CHARSET_PARAMETER>(t, charset_parameter);
    put<HTCB_FORMAT_DATE>(t, format_date);
    put<HTCB_MD4_NEW>(t, md4_new);
    put<HTCB_MD4_UPDATE>(t, md4_add);
    put<HTCB_MD4_FINAL>(t, md4_end);
    put<HTCB_MD4_TEXT>(t, md4_text);
    put<HTCB_ETAG_MATCH>(t, etag_match);
    put<HTCB_REASON_PHRASE>(t, reason_phrase);
    put<HTCB_SET_STATUS>(t, set_status);
    put<HTCB_RESPONSE_HEADER_SET>(t, response_header_set);
    put<HTCB_RESPONSE_HEADER_REPLACE>(t, response_header_replace);
    put<HTCB_REQUEST_HEADER>(t, request_header);
    put<HTCB_PROXY_HEADER_DELETE>(t, proxy_header_delete);
    put<HTCB_PROXY_HEADER_REPLACE>(t, proxy_header_replace);
    put<HTCB_PROXY_HEADER_EDIT>(t, proxy_header_edit);
    put<HTCB_ORIGIN_HEADER>(t, origin_header);
    put<HTCB_CLIENT_FIELD>(t, client_field);
    put<HTCB_ORIGIN_FIELD>(t, origin_field);
    put<HTCB_ORIGIN_SET_FIELD>(t, origin_set_field);
    put<HTCB_NO_TRANSFORM>(t, no_transform);
    put<HTCB_ORIGIN_ADDRESS>(t, origin_address);
    put<HTCB_CLIENT_PROTOCOL_BUFFER>(t, client_protocol_buffer);
    put<HTCB_SET_SCRIPT>(t, set_script);
    put<HTCB_SET_URL>(t, set_url);
    put<HTCB_CGI_GET>(t, cgi_get);
    put<HTCB_CGI_SET>(t, cgi_set);
    put<HTCB_CGI_ALL>(t, cgi_all);
    put<HTCB_SSI_GET>(t, [](void *h, const char *n) noexcept { return map_text(req(h).ssi, n); });
    put<HTCB_SSI_GLOBALS>(t, [](void *h) noexcept { return req(h).keep_list(req(h).ssi_globals); });
    put<HTCB_REDIRECT_GET>(t, [](void *h, const char *n) noexcept { return map_text(req(h).redirect, n); });
    put<HTCB_FILTER_PERIOD>(t, filter_period);
    put<HTCB_CACHE_FILE_NAME>(t, [](void *h) noexcept {
        return req(h).cache_file_name.empty() ? nullptr : req(h).cache_file_name.c_str();
    });
    put<HTCB_PICS_SET_LABEL>(t, [](void *h, const char *label) noexcept {
        req(h).text[HTAPI_PICS_LABEL] = label;
        return 0;
    });
    put<HTCB_MODRW_SET_PREFIX>(t, [](void *h, const char *prefix) noexcept {
        req(h).text[HTAPI_MODRW_PREFIX] = prefix;
        return 0;
    });
    put<HTCB_MODRW_SET_ENABLE>(t, [](void *h, int v) noexcept { return req(h).modrw_enable = v, 0; });
    put<HTCB_MODRW_ENABLE>(t, [](void *h) noexcept { return req(h).modrw_enable; });
    put<HTCB_MODRW_TAGBUF>(t, [](void *h) noexcept {
        return req(h).modrw_tagbuf.empty() ? nullptr : req(h).modrw_tagbuf.c_str();
    });
    put<HTCB_MODRW_TAGLEN>(t, [](void *h) noexcept { return req(h).modrw_taglen; });
    put<HTCB_MODRW_TAGRESET>(t, [](void *h, int v) noexcept { return req(h).modrw_tagreset = v, 0; });
    put<HTCB_USER_SET_TEXT>(t, user_set_text);
    put<HTCB_SERVER_TEXT>(t, server_text_of);
    put<HTCB_SERVER_NUMBER>(t, server_number_of);
    put<HTCB_CONFIG_TEXT>(t, config_text);
    put<HTCB_REQUEST_FLAG>(t, request_flag);
    put<HTCB_REQUEST_SET_FLAG>(t, request_set_flag);
    put<HTCB_CACHE_REAL>(t, cache_real);
    put<HTCB_CACHE_SET>(t, cache_set);
    put<HTCB_CLIENT_TEXT>(t, request_text<HTCB_CLIENT_TEXT>);
    put<HTCB_REQUEST_TEXT>(t, request_text<HTCB_REQUEST_TEXT>);
    put<HTCB_RESPONSE_TEXT>(t, request_text<HTCB_RESPONSE_TEXT>);
    put<HTCB_CACHE_TEXT>(t, request_text<HTCB_CACHE_TEXT>);
    put<HTCB_FILTER_TEXT>(t, request_text<HTCB_FILTER_TEXT>);
    put<HTCB_QOS_TEXT>(t, request_text<HTCB_QOS_TEXT>);
    put<HTCB_PICS_TEXT>(t, request_text<HTCB_PICS_TEXT>);
    put<HTCB_AUTH_TEXT>(t, request_text<HTCB_AUTH_TEXT>);
    put<HTCB_SSL_TEXT>(t, request_text<HTCB_SSL_TEXT>);
    put<HTCB_RCA_TEXT>(t, request_text<HTCB_RCA_TEXT>);
    put<HTCB_SSI_TEXT>(t, request_text<HTCB_SSI_TEXT>);
    put<HTCB_MODRW_TEXT>(t, request_text<HTCB_MODRW_TEXT>);
    put<HTCB_CLIENT_SET_TEXT>(t, request_set_text<HTCB_CLIENT_SET_TEXT>);
    put<HTCB_REQUEST_SET_TEXT>(t, request_set_text<HTCB_REQUEST_SET_TEXT>);
    put<HTCB_RESPONSE_SET_TEXT>(t, request_set_text<HTCB_RESPONSE_SET_TEXT>);
    put<HTCB_QOS_SET_TEXT>(t, request_set_text<HTCB_QOS_SET_TEXT>);
    put<HTCB_CLIENT_NUMBER>(t, request_number<HTCB_CLIENT_NUMBER>);
    put<HTCB_REQUEST_NUMBER>(t, request_number<HTCB_REQUEST_NUMBER>);
    put<HTCB_CACHE_NUMBER>(t, request_number<HTCB_CACHE_NUMBER>);
    put<HTCB_RESPONSE_SET_NUMBER>(t, request_set_number<HTCB_RESPONSE_SET_NUMBER>);
    put<HTCB_QOS_SET_NUMBER>(t, request_set_number<HTCB_QOS_SET_NUMBER>);
    put<HTCB_FILTER_NUMBER>(t, [](void *h, int var) noexcept {
        return static_cast<unsigned long>(request_number<HTCB_FILTER_NUMBER>(h, var));
    });

    // The body and the output.
    put<HTCB_PRE_READ>(t, pre_read);
    put<HTCB_CONVERSION_STREAM>(t, conversion_stream);

    fill_plugrt();
}

} // namespace orvhost

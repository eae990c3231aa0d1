// HTTCP: IPv4 address text, name resolution, host names, server addresses.

#include "HTTCP.h"

#include "HTAlloc.h"
#include "HTDNSCache.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTThread.h"
#include "HTTrace.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr std::size_t resolver_buffer = 4096;

// ---- host names -------------------------------------------------------------

// Plain locks taken and released by hand; nothing under them reports
// through out_of_memory.
pthread_mutex_t names_lock = PTHREAD_MUTEX_INITIALIZER;
bool names_known = false;
char *host_name = nullptr;
char *domain_name = nullptr;

// The system's fully qualified name: gethostname, completed by the resolver
// when the short name has no domain, into *out (heap text, or null when the
// system has none). False when memory for the copy was short.
bool system_name(char **out)
{
    *out = nullptr;
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return true;
    name[sizeof name - 1] = '\0';
    const char *found = name;
    struct hostent entry, *result = nullptr;
    char work[resolver_buffer];
    if (std::strchr(name, '.') == nullptr) {
        int err = 0;
        if (gethostbyname_r(name, &entry, work, sizeof work, &result, &err) == 0 &&
            result != nullptr && result->h_name != nullptr && std::strchr(result->h_name, '.'))
            found = result->h_name;
    }
    *out = HTAlloc_strdup(found);
    return *out != nullptr;
}

char *domain_of(const char *name)
{
    const char *dot = name ? std::strchr(name, '.') : nullptr;
    return HTAlloc_strdup(dot ? dot : "");
}

void forget_names()
{
    HTAlloc_free(host_name);
    HTAlloc_free(domain_name);
    host_name = domain_name = nullptr;
    names_known = false;
}

// Found once; when memory runs short neither name is kept, and the next
// call looks again.
void find_names()
{
    if (names_known)
        return;
    char *host;
    if (!system_name(&host))
        return;
    char *domain = host ? domain_of(host) : nullptr;
    if (host != nullptr && domain == nullptr) {
        HTAlloc_free(host);
        return;
    }
    host_name = host;
    domain_name = domain;
    names_known = true;
}

// ---- server address list ------------------------------------------------------

struct Address {
    std::atomic<Address *> next{nullptr};
    char text[HT_INET_STRING_SIZE + 48];
};

// Appends take the lock; readers walk the list without it (entries are
// published with release stores and never removed).
pthread_mutex_t list_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Address *> list_head{nullptr};
Address *list_tail = nullptr;

} // namespace

extern "C" char *HTInetString(const struct sockaddr_in *address, char *buffer) noexcept
{
    if (buffer == nullptr)
        return nullptr;
    if (address == nullptr) {
        buffer[0] = '\0';
        return buffer;
    }
    // The address is in network order: its bytes in memory are the four numbers.
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&address->sin_addr.s_addr);
    char *w = buffer;
    for (int i = 0; i < 4; ++i) {
        const unsigned v = b[i];
        if (i > 0)
            *w++ = '.';
        if (v >= 100)
            *w++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *w++ = static_cast<char>('0' + v / 10 % 10);
        *w++ = static_cast<char>('0' + v % 10);
    }
    *w = '\0';
    return buffer;
}

extern "C" int HTInetStatus(const char *where) noexcept
{
    const int err = errno;
    if (HT_TRACE_ON(HT_TRACE_TCP)) {
        char text[256];
        const char *message = strerror_r(err, text, sizeof text);
        tfprintf(stderr, "TCP......... Error %d in `errno' after call to %s() failed.\n\t%s\n", err,
                 where ? where : "", message && *message ? message : "Unknown error");
    }
    return -err;
}

extern "C" int HTParseInet(struct sockaddr_in *address, const char *text, HTThdGlobals *context) noexcept
{
    if (address == nullptr || text == nullptr)
        return -1;
    const bool tracing = HT_TRACE_ON(HT_TRACE_TCP);
    // Parsed from a copy: the caller's text may be shared.
    char host[1024];
    const size_t len = std::strlen(text);
    if (len >= sizeof host)
        return -1;
    std::memcpy(host, text, len + 1);
    char *colon = std::strchr(host, ':');
    if (colon != nullptr) {
        *colon = '\0';
        if (colon[1] >= '0' && colon[1] <= '9') {
            unsigned long port = 0;
            for (const char *d = colon + 1; *d >= '0' && *d <= '9'; ++d) {
                port = port * 10 + static_cast<unsigned long>(*d - '0');
                if (port > 65535)
                    return -1;
            }
            address->sin_port = htons(static_cast<uint16_t>(port));
        }
    }
    if (host[0] == '\0')
        return -1;
    address->sin_family = AF_INET;
    if (std::strspn(host, "0123456789.") == std::strlen(host)) {
        struct in_addr in;
        if (inet_aton(host, &in) == 0)
            return -1;
        address->sin_addr = in;
    } else {
        uint32_t cached = 0;
        if (HTDNSCache_lookup(host, &cached)) {
            address->sin_addr.s_addr = cached;
        } else {
            if (tracing)
                tfprintf(stderr, "calling..... gethostbyname(%s)\n", host);
            struct hostent entry, *result = nullptr;
            char work[resolver_buffer];
            int err = 0;
            struct timespec before {}, after {};
            clock_gettime(CLOCK_MONOTONIC, &before);
            const int rc = gethostbyname_r(host, &entry, work, sizeof work, &result, &err);
            clock_gettime(CLOCK_MONOTONIC, &after);
            if (HTThdGlobals *g = context ? context : lib_gettp())
                g->dns_lookup_usec = (after.tv_sec - before.tv_sec) * 1000000LL +
                                     (after.tv_nsec - before.tv_nsec) / 1000;
            if (rc != 0 || result == nullptr || result->h_addrtype != AF_INET || result->h_length != 4 ||
                result->h_addr_list == nullptr || result->h_addr_list[0] == nullptr) {
                if (tracing)
                    tfprintf(stderr, "lookup...... for '%s' failed; h_errno=%d.\n", host, err);
                return -1;
            }
            std::memcpy(&address->sin_addr.s_addr, result->h_addr_list[0], 4);
            const uint32_t found = address->sin_addr.s_addr;
            HTDNSCache_add(host, &found, nullptr);
        }
    }
    if (tracing) {
        const unsigned char *b = reinterpret_cast<const unsigned char *>(&address->sin_addr.s_addr);
        tfprintf(stderr, "resolved.... address %d.%d.%d.%d:%d\n", b[0], b[1], b[2], b[3],
                 ntohs(address->sin_port));
    }
    return 0;
}

extern "C" char *HTGetHostName(const struct sockaddr_in *address) noexcept
{
    if (address == nullptr)
        return nullptr;
    struct hostent entry, *result = nullptr;
    char work[resolver_buffer];
    int err = 0;
    if (gethostbyaddr_r(&address->sin_addr, sizeof address->sin_addr, AF_INET, &entry, work,
                        sizeof work, &result, &err) != 0 ||
        result == nullptr || result->h_name == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_DNS))
            tfprintf(stderr, "DNS......... Can't find internet node name for peer!!\n");
        return nullptr;
    }
    return HTAlloc_strdup(result->h_name);
}

extern "C" const char *HTHostName(void) noexcept
{
    pthread_mutex_lock(&names_lock);
    find_names();
    const char *name = host_name;
    pthread_mutex_unlock(&names_lock);
    return name;
}

extern "C" const char *HTDomainName(void) noexcept
{
    pthread_mutex_lock(&names_lock);
    find_names();
    const char *name = domain_name;
    pthread_mutex_unlock(&names_lock);
    return name;
}

extern "C" void HTSetHostName(const char *name) noexcept
{
    if (name == nullptr || *name == '\0')
        return;
    char *full;
    if (std::strchr(name, '.') != nullptr) {
        full = HTAlloc_strdup(name);
    } else {
        char *sys;
        if (!system_name(&sys))
            out_of_memory("HTTCP", "HTSetHostName", __LINE__, std::strlen(name) + 1);
        const char *dot = sys ? std::strchr(sys, '.') : nullptr;
        const std::size_t n = std::strlen(name), d = dot ? std::strlen(dot) : 0;
        full = static_cast<char *>(HTAlloc_malloc(n + d + 1));
        if (full != nullptr) {
            std::memcpy(full, name, n);
            std::memcpy(full + n, dot ? dot : "", d + 1);
        }
        HTAlloc_free(sys);
    }
    char *domain = full ? domain_of(full) : nullptr;
    if (domain == nullptr) {
        // The names in use stay as they were.
        HTAlloc_free(full);
        out_of_memory("HTTCP", "HTSetHostName", __LINE__, std::strlen(name) + 1);
    }
    pthread_mutex_lock(&names_lock);
    forget_names();
    host_name = full;
    domain_name = domain;
    names_known = true;
    pthread_mutex_unlock(&names_lock);
}

extern "C" void HTUnSetHostName(void) noexcept
{
    pthread_mutex_lock(&names_lock);
    forget_names();
    pthread_mutex_unlock(&names_lock);
}

namespace {

// Appends one address; false when memory is short (nothing appended).
bool add_server_address(const char *address, int trace)
{
    void *block = HTAlloc_malloc(sizeof(Address));
    if (block == nullptr)
        return false;
    auto *a = new (block) Address;
    std::strncpy(a->text, address, sizeof a->text - 1);
    a->text[sizeof a->text - 1] = '\0';
    if (trace && HT_TRACING())
        tfprintf(stderr, "RCA CFG..... Adding new address:  %s\n", a->text);
    pthread_mutex_lock(&list_lock);
    if (list_tail == nullptr)
        list_head.store(a, std::memory_order_release);
    else
        list_tail->next.store(a, std::memory_order_release);
    list_tail = a;
    pthread_mutex_unlock(&list_lock);
    return true;
}

} // namespace

extern "C" void ServerIPListAdd(const char *address, int trace) noexcept
{
    if (address != nullptr && !add_server_address(address, trace))
        out_of_memory("HTTCP", "ServerIPListAdd", __LINE__, sizeof(Address));
}

extern "C" int checkServerIPList(const char *address, int trace) noexcept
{
    (void)trace;
    if (address == nullptr)
        return 0;
    for (Address *a = list_head.load(std::memory_order_acquire); a != nullptr;
         a = a->next.load(std::memory_order_acquire))
        if (std::strcmp(a->text, address) == 0)
            return 1;
    return 0;
}

extern "C" int InitIPAddresses(int socket) noexcept
{
    constexpr int buffer_size = 32000;
    char *buffer = static_cast<char *>(HTAlloc_calloc(1, buffer_size));
    if (buffer == nullptr)
        out_of_memory("HTTCP", "InitIPAddresses", __LINE__, buffer_size);
    int added = -1;
    bool short_of_memory = false;
    struct ifconf conf;
    conf.ifc_len = buffer_size;
    conf.ifc_buf = buffer;
    if (ioctl(socket, SIOCGIFCONF, &conf) == 0) {
        added = 0;
        const int n = conf.ifc_len / static_cast<int>(sizeof(struct ifreq));
        for (int i = 0; i < n && !short_of_memory; ++i) {
            const struct ifreq &r = conf.ifc_req[i];
            if (r.ifr_addr.sa_family != AF_INET)
                continue;
            struct sockaddr_in in;
            std::memcpy(&in, &r.ifr_addr, sizeof in);
            char text[HT_INET_STRING_SIZE];
            if (add_server_address(HTInetString(&in, text), 1))
                ++added;
            else
                short_of_memory = true;
        }
    } else {
        HTInetStatus("ioctl");
    }
    HTAlloc_free(buffer);
    // Reported once the buffer is released; the addresses added stay listed.
    if (short_of_memory || !add_server_address("0.0.0.0", 1))
        out_of_memory("HTTCP", "InitIPAddresses", __LINE__, sizeof(Address));
    return added;
}

// ---- addresses of the served connection ----------------------------------------
//
// The session keeps each address as a sockaddr_in in its 16-byte field
// (family 0: not asked yet) and the texts in its buffers.

static_assert(sizeof(struct sockaddr_in) == 16, "sockaddr_in fills the session's address field");

namespace {

HTSessionGlobals *session_of(HTThdGlobals *context)
{
    HTThdGlobals *g = context ? context : lib_gettp();
    return g ? g->session : nullptr;
}

// Fills `field` from the socket once; false when there is no IPv4 address.
bool known_address(HTSessionGlobals *s, unsigned char field[16], bool peer)
{
    struct sockaddr_in in;
    std::memcpy(&in, field, sizeof in);
    if (in.sin_family == AF_INET)
        return true;
    struct sockaddr_storage any;
    socklen_t len = sizeof any;
    const int rc = peer ? getpeername(s->client_socket, reinterpret_cast<struct sockaddr *>(&any), &len)
                        : getsockname(s->client_socket, reinterpret_cast<struct sockaddr *>(&any), &len);
    if (rc != 0) {
        HTInetStatus(peer ? "getpeername" : "getsockname");
        return false;
    }
    if (any.ss_family != AF_INET)
        return false;
    std::memcpy(field, &any, sizeof in);
    return true;
}

} // namespace

extern "C" int ClientPort(HTThdGlobals *context) noexcept
{
    HTSessionGlobals *s = session_of(context);
    if (s == nullptr || s->client_socket < 0)
        return 0;
    const bool tracing = HT_TRACE_ON(HT_TRACE_TCP);
    struct sockaddr_in in;
    std::memcpy(&in, s->client_address, sizeof in);
    if (in.sin_family == AF_INET) {
        if (tracing)
            tfprintf(stderr, "No need..... to call getpeername() for client port. \n");
    } else {
        if (tracing)
            tfprintf(stderr, "Fetching.... client port with getpeername(). \n");
        if (!known_address(s, s->client_address, true))
            return 0;
        std::memcpy(&in, s->client_address, sizeof in);
    }
    return ntohs(in.sin_port);
}

extern "C" const char *FetchHTClientHost(HTThdGlobals *context) noexcept
{
    HTSessionGlobals *s = session_of(context);
    if (s == nullptr)
        return "";
    if (s->client_socket < 0) {
        s->client_host[0] = '\0';
        return s->client_host;
    }
    const bool tracing = HT_TRACE_ON(HT_TRACE_TCP);
    if (s->client_host[0] != '\0') {
        if (tracing)
            tfprintf(stderr, "No need..... to call getpeername().\n");
        return s->client_host;
    }
    if (tracing)
        tfprintf(stderr, "Fetching.... client IP address with getpeername().\n");
    if (known_address(s, s->client_address, true)) {
        struct sockaddr_in in;
        std::memcpy(&in, s->client_address, sizeof in);
        HTInetString(&in, s->client_host);
    }
    return s->client_host;
}

extern "C" const char *FetchHTServerAddr(HTThdGlobals *context) noexcept
{
    HTSessionGlobals *s = session_of(context);
    if (s == nullptr)
        return "";
    if (s->client_socket < 0) {
        s->server_addr[0] = '\0';
        return s->server_addr;
    }
    const bool tracing = HT_TRACE_ON(HT_TRACE_TCP);
    if (s->server_addr[0] != '\0') {
        if (tracing)
            tfprintf(stderr, "Server...... address already known & formatted.\n");
        return s->server_addr;
    }
    if (tracing)
        tfprintf(stderr, "Fetching.... server IP address with getsockname().\n");
    if (known_address(s, s->server_address, false)) {
        struct sockaddr_in in;
        std::memcpy(&in, s->server_address, sizeof in);
        HTInetString(&in, s->server_addr);
    }
    return s->server_addr;
}

namespace {

struct NameLookup {
    struct sockaddr_in address;
    HTSessionGlobals *session;
};

// Runs on its own thread. The session waits for the event before it is reset
// or released (HTClientName_forget), so it outlives this thread's use of it.
void *look_up_client_name(void *arg)
{
    auto *job = static_cast<NameLookup *>(arg);
    HTSessionGlobals *s = job->session;
    s->client_name = HTGetHostName(&job->address);
    HTAlloc_free(job);
    pevent_set(s->name_event);
    return nullptr;
}

} // namespace

namespace {

int forget_on_init(int, int, int context, void *value) noexcept
{
    if (context == HT_CONTEXT_SESSION)
        HTClientName_forget(static_cast<HTThdGlobals *>(value));
    return 0;
}

int forget_on_destroy(int, int, void *value) noexcept
{
    auto *g = static_cast<HTThdGlobals *>(value);
    if (g == nullptr)
        return 0;
    HTClientName_forget(g);
    pevent_destroy(g->session->name_event);
    g->session->name_event = 0;
    return 0;
}

} // namespace

extern "C" int HTClientName_register(void) noexcept
{
    static std::atomic<int> slot{-1};
    int s = slot.load(std::memory_order_acquire);
    if (s < 0) {
        s = HTWorkThread_addModule("HTClientName", nullptr, forget_on_destroy, forget_on_init,
                                   forget_on_init);
        slot.store(s, std::memory_order_release);
    }
    return s;
}

extern "C" int HTClientName_start(HTThdGlobals *context, const struct sockaddr_in *address) noexcept
{
    if (HTClientName_register() < 0)
        return -1;
    HTSessionGlobals *s = session_of(context);
    if (s == nullptr || address == nullptr)
        return -1;
    if (s->name_state != HT_NAME_NONE)
        return 1;
    if (s->name_event == 0 && (s->name_event = pevent_create()) == 0)
        return -1;
    auto *job = static_cast<NameLookup *>(HTAlloc_malloc(sizeof(NameLookup)));
    if (job == nullptr)
        return -1;
    job->address = *address;
    job->session = s;
    s->client_name = nullptr;
    s->name_state = HT_NAME_RUNNING;
    pthread_t t{};
    if (pthread_create(&t, nullptr, look_up_client_name, job) != 0) {
        HTAlloc_free(job);
        s->name_state = HT_NAME_NONE;
        return -1;
    }
    pthread_detach(t);
    return 0;
}

extern "C" const char *FetchClientHostName(HTThdGlobals *context) noexcept
{
    HTSessionGlobals *s = session_of(context);
    const bool tracing = HT_TRACE_ON(HT_TRACE_DNS);
    if (s == nullptr || s->name_state == HT_NAME_NONE) {
        if (tracing)
            tfprintf(stderr, "DNS......... lookup never started...returning NULL.\n");
        return nullptr;
    }
    // The completion event is auto-reset: it can be waited for once only, so
    // the answer is remembered and a second call must not wait again.
    if (s->name_state == HT_NAME_RUNNING) {
        pevent_wait(s->name_event);
        s->name_state = HT_NAME_DONE;
    }
    if (tracing)
        tfprintf(stderr, "DNS......... lookup returned %s.\n", s->client_name ? s->client_name : "-NULL-");
    return s->client_name;
}

extern "C" void HTClientName_forget(HTThdGlobals *context) noexcept
{
    HTSessionGlobals *s = session_of(context);
    if (s == nullptr)
        return;
    if (s->name_state == HT_NAME_RUNNING)
        pevent_wait(s->name_event);
    HTAlloc_free(s->client_name);
    s->client_name = nullptr;
    s->name_state = HT_NAME_NONE;
}

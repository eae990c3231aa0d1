// HTSocket: the socket layer.

#include "HTSocket.h"

#include "HTAlloc.h"
#include "HTClock.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTMPool.h"
#include "HTSecure.h"
#include "HTSocks.h"
#include "HTThread.h"
#include "HTTrace.h"
#include "htstab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

HTPerformanceCounters GlobalPerformanceCounters;

extern "C" void HTPerf_add(int word, uint32_t amount) noexcept
{
    if (word >= 0 && word < HT_PERF_WORDS)
        __atomic_fetch_add(&GlobalPerformanceCounters.word[word], amount, __ATOMIC_RELAXED);
}

namespace {

const HTStaticConfig *config_of(const HTRequest *request)
{
    return request && request->config ? request->config : &HTMyStaticConfig;
}

void stamp(HTRequest *request)
{
    if (request != nullptr)
        request->last_activity = HTtime();
}

unsigned long ptr(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

void free_options(HTSocketOption *o)
{
    while (o != nullptr) {
        HTSocketOption *next = o->next;
        HTAlloc_free(o->value);
        HTAlloc_free(o);
        o = next;
    }
}

// ---- the free queue ----

std::once_flag queue_once;
pmutex queue_lock = 0; // HTSocketQueue_mtx
HTQueue *queue = nullptr;

void queue_create()
{
    std::call_once(queue_once, [] {
        queue_lock = pmutex_create();
        queue = HTQueue_new(nullptr);
    });
}

// n zeroed objects; called without the lock, since out_of_memory may leave
// through a recovery frame.
HTSocket *new_objects(int n, const char *operation)
{
    auto *block = static_cast<HTSocket *>(HTAlloc_calloc(static_cast<size_t>(n), sizeof(HTSocket)));
    if (block == nullptr)
        out_of_memory("HTSocket", operation, __LINE__, n * sizeof(HTSocket));
    return block;
}

void push_locked(HTSocket *s)
{
    s->queued = 1;
    s->socket = -1;
    s->pooled = 0;
    HTQueue_push(queue, s, nullptr);
}

void fresh(HTSocket *s)
{
    s->socket = -1;
    s->error = 0;
    s->pooled = 1;
    s->queued = 0;
    s->options = nullptr;
    s->secure = 0;
    s->secure_state = 0;
    s->bytes_read = 0;
    s->bytes_written = 0;
}

void set_udp_buffer(HTSocket *s, int option, intptr_t size, const char *which)
{
    if (size == 0)
        return;
    const int value = static_cast<int>(size);
    if (setsockopt(s->socket, SOL_SOCKET, option, &value, sizeof value) != 0) {
        s->error = errno;
        if (HT_TRACE_ON(HT_TRACE_TCP))
            tfprintf(stderr, "UDP......... %s buffer could not be set to %d; errno was %d.\n", which,
                     value, errno);
    } else if (HT_TRACE_ON(HT_TRACE_TCP)) {
        tfprintf(stderr, "UDP......... %s buffer for socket %d set to %d.\n", which, s->socket, value);
    }
}

int set_nonblocking(int fd, int on)
{
    int value = on;
    return ioctl(fd, FIONBIO, &value);
}

// The transcript of a secure-socket toolkit's raw I/O: bytes in lower-case
// hexadecimal, 26 to a line.
void dump(const void *data, int length)
{
    if (length <= 0 || !HT_TRACE_ON(HT_TRACE_SSL))
        return;
    const auto *b = static_cast<const unsigned char *>(data);
    char line[26 * 3 + 1];
    for (int start = 0; start < length; start += 26) {
        char *w = line;
        for (int i = start; i < length && i < start + 26; ++i)
            w += std::snprintf(w, 4, "%x ", b[i]);
        *w = '\0';
        tfprintf(stderr, "%s\n", line);
    }
    tfprintf(stderr, "SSL....... I/O Dump complete.\n");
}

} // namespace

// ---- free queue ----

extern "C" void HTSocketQueue_init(int n) noexcept
{
    queue_create();
    if (n <= 0)
        return;
    HTSocket *block = new_objects(n, "HTSocketQueue_init");
    pmutex_request(queue_lock);
    for (int i = 0; i < n; ++i)
        push_locked(&block[i]);
    pmutex_release(queue_lock);
}

extern "C" HTSocket *HTSocketQueue_get(void) noexcept
{
    queue_create();
    pmutex_request(queue_lock);
    auto *s = static_cast<HTSocket *>(HTQueue_pop(queue, nullptr));
    pmutex_release(queue_lock);
    if (s == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_SOCKET))
            tfprintf(stderr,
                     "Socket...... The socket queue is empty, creating another 100 new socket structs.\n");
        HTSocket *block = new_objects(HT_SOCKET_QUEUE_GROWTH, "HTSocketQueue_get");
        pmutex_request(queue_lock);
        for (int i = 1; i < HT_SOCKET_QUEUE_GROWTH; ++i)
            push_locked(&block[i]);
        pmutex_release(queue_lock);
        s = &block[0];
    } else if (HT_TRACE_ON(HT_TRACE_SOCKET)) {
        tfprintf(stderr, "Socket...... Getting a socket struct from the queue.\n");
    }
    fresh(s);
    return s;
}

extern "C" void HTSocketQueue_return(HTSocket *s) noexcept
{
    if (s == nullptr || s->queued)
        return;
    if (HT_TRACE_ON(HT_TRACE_SOCKET))
        tfprintf(stderr, "Socket...... Returning socket struct (%lx) to the queue.\n", ptr(s));
    queue_create();
    pmutex_request(queue_lock);
    push_locked(s);
    pmutex_release(queue_lock);
}

int HTSocketQueue__count(void) noexcept
{
    queue_create();
    pmutex_request(queue_lock);
    const int n = HTQueue_count(queue);
    pmutex_release(queue_lock);
    return n;
}

// ---- creation and closing ----

extern "C" HTSocket *HTSocket_newInStruct(HTSocket *s, int domain, int type, int protocol,
                                          const char *host, int port, HTRequest *request) noexcept
{
    if (s == nullptr)
        return nullptr;
    const int fd = socket(domain, type, protocol);
    const int err = errno;
    if (HT_TRACE_ON(HT_TRACE_SOCKET))
        tfprintf(stderr, "socket...... %d created for %s:%d errno=%d\n", fd, host ? host : "", port,
                 fd < 0 ? err : 0);
    if (fd < 0) {
        s->error = err;
        return nullptr;
    }
    s->socket = fd;
    HTSocketTable_addSocket(fd, request);
    if (type == SOCK_DGRAM) {
        const HTStaticConfig *c = config_of(request);
        set_udp_buffer(s, SO_SNDBUF, c->udp_send_buffer, "send");
        set_udp_buffer(s, SO_RCVBUF, c->udp_receive_buffer, "receive");
    }
    return s;
}

extern "C" HTSocket *HTSocket_new(int domain, int type, int protocol, const char *host, int port,
                                  HTRequest *request) noexcept
{
    HTSocket *s = HTSocketQueue_get();
    if (HTSocket_newInStruct(s, domain, type, protocol, host, port, request) == nullptr) {
        HTSocketQueue_return(s);
        return nullptr;
    }
    return s;
}

extern "C" HTSocket *HTSocket_accept(HTSocket *listening, struct sockaddr *address, socklen_t *length) noexcept
{
    if (listening == nullptr)
        return nullptr;
    HTSocket *s = HTSocketQueue_get();
    const int fd = accept(listening->socket, address, length);
    if (fd < 0) {
        listening->error = errno;
        if (HT_TRACE_ON(HT_TRACE_TCP))
            tfprintf(stderr, "TCP......... Accept failed for socket %d, errno %d\n", listening->socket,
                     listening->error);
        HTSocketQueue_return(s);
        return nullptr;
    }
    s->socket = fd;
    if (HT_TRACE_ON(HT_TRACE_TCP))
        tfprintf(stderr, "TCP......... Accept - new connection on socket %d\n", fd);
    return s;
}

extern "C" int HTSocket_closeNoFree(HTSocket *s, const char *file, int line, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKET);
    if (t)
        tfprintf(stderr, "socket...... HTSocket_closeNoFree on socket %d\n", s->socket);
    int rc = 0;
    const int fd = s->socket;
    if (fd >= 0) {
        HTSocketTable_removeSocket(fd, request);
        if (s->secure)
            HTSecure_close(s, request);
        s->secure_state = 0;
        rc = close(fd);
        if (rc != 0) {
            s->error = errno;
            if (HT_TRACE_AT(HT_TRACE_SOCKET, 22))
                tfprintf(stderr, "NETCLOSE.... failed for socket(%d) errno(%d) at %s:%d\n", fd, s->error,
                         file ? file : "", line);
        }
        if (t)
            tfprintf(stderr, "socket...... %d closed for %s:%d\n", fd, file ? file : "", line);
    }
    s->socket = -1;
    free_options(s->options);
    s->options = nullptr;
    return rc;
}

extern "C" int HTSocket_close(HTSocket *s, const char *file, int line, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    const int rc = HTSocket_closeNoFree(s, file, line, request);
    if (s->pooled)
        HTSocketQueue_return(s);
    return rc;
}

extern "C" int HTSocket_gcClose(HTSocket *s, const char *file, int line) noexcept
{
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKET);
    if (s == nullptr || s->socket < 0) {
        if (t)
            tfprintf(stderr, "NETGCCLOSE.. s = 0x%lx s->socket=%d\n", ptr(s), s ? s->socket : -1);
        return -1;
    }
    const int fd = s->socket;
    if (s->secure)
        HTSecure_close(s, nullptr);
    s->secure_state = 0;
    const int rc = close(fd);
    if (rc != 0) {
        s->error = errno;
        if (HT_TRACE_AT(HT_TRACE_SOCKET, 22))
            tfprintf(stderr, "NETGCCLOSE.. failed for socket(%d) errno(%d) at %s:%d\n", fd, s->error,
                     file ? file : "", line);
    }
    if (t)
        tfprintf(stderr, "NETGCCLOSE.. %d closed for %s:%d status=%d\n", fd, file ? file : "", line, rc);
    s->socket = -1;
    free_options(s->options);
    s->options = nullptr;
    if (s->pooled) {
        if (t)
            tfprintf(stderr, "NETGCCLOSE.... Return HTSocket 0x%lx.\n", ptr(s));
        HTSocketQueue_return(s);
    }
    return rc;
}

// ---- I/O ----

extern "C" int HTSocket_read(HTSocket *s, void *buffer, int length, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    int r = s->secure ? HTSecure_read(s, buffer, length, request)
                      : static_cast<int>(recv(s->socket, buffer, static_cast<size_t>(length), 0));
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKS);
    if (r < 0) {
        s->error = errno;
        if (s->error == EAGAIN) {
            if (t)
                tfprintf(stderr, "Socket...... recv() returned EWOULDBLOCK; setting bytes to 0.\n");
            r = 0;
        }
    }
    if (r != -1) {
        HTPerf_add(HT_PERF_BYTES_READ, static_cast<uint32_t>(r));
        stamp(request);
    }
    if (t)
        tfprintf(stderr, "Socket...... read %d bytes on socket %d.\n", r, s->socket);
    if (r > 0)
        s->bytes_read += static_cast<uint32_t>(r);
    return r;
}

extern "C" int HTSocket_write(HTSocket *s, const void *buffer, int length, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    HTSocketTable_checkSocket(s->socket, request);
    const char *p = static_cast<const char *>(buffer);
    int total = 0;
    while (total < length) {
        const int left = length - total;
        const int r = s->secure ? HTSecure_write(s, p + total, left, request)
                                : static_cast<int>(send(s->socket, p + total, static_cast<size_t>(left),
                                                        MSG_NOSIGNAL));
        if (r <= 0) {
            s->error = errno;
            if (total == 0)
                return r;
            break;
        }
        total += r;
        stamp(request);
    }
    if (total != 0) {
        HTPerf_add(HT_PERF_BYTES_WRITTEN, static_cast<uint32_t>(total));
        s->bytes_written += static_cast<uint32_t>(total);
        if (HT_TRACE_ON(HT_TRACE_SOCKS))
            tfprintf(stderr, "Socket...... wrote %d bytes on socket %d.\n", total, s->socket);
    }
    return total;
}

extern "C" int HTSocket_writemsg(HTSocket *s, const void *buffer, int length, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    HTSocketTable_checkSocket(s->socket, request);
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKS);
    if (s->secure) {
        if (request != nullptr && request->send_control != nullptr) {
            // The wrapper finds the send-control data in the thread's slot.
            auto *copy = static_cast<uintptr_t *>(HTMemPoolAlloc(2 * sizeof(uintptr_t), request->pool));
            copy[0] = reinterpret_cast<uintptr_t>(request->send_control);
            copy[1] = static_cast<uintptr_t>(request->send_control_length);
            const int rc = pthread_setspecific(tqos_key, copy);
            if (t)
                tfprintf(stderr, "Socket...... setspecific returns %d.\n", rc);
        }
        const int r = HTSecure_write(s, buffer, length, request);
        if (r < 0)
            s->error = errno;
        else
            s->bytes_written += static_cast<uint32_t>(r);
        return r;
    }
    struct iovec iov;
    iov.iov_base = const_cast<void *>(buffer);
    iov.iov_len = static_cast<size_t>(length < 0 ? 0 : length);
    struct msghdr m;
    std::memset(&m, 0, sizeof m);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    if (request != nullptr && request->send_control != nullptr) {
        m.msg_control = const_cast<void *>(request->send_control);
        m.msg_controllen = request->send_control_length;
    }
    const int r = static_cast<int>(HTSocket_sendmsg(s, &m, 0));
    if (r >= 0) {
        HTPerf_add(HT_PERF_BYTES_WRITTEN, static_cast<uint32_t>(r));
        if (t)
            tfprintf(stderr, "Socket......sendmsg %d bytes on socket %d.\n", r, s->socket);
    }
    return r;
}

extern "C" int HTSocket_spliceIn(HTSocket *s, int pipe_in, int length, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    if (s->secure) {
        s->error = EINVAL;
        return -1;
    }
    const ssize_t r = splice(s->socket, nullptr, pipe_in, nullptr, static_cast<size_t>(length < 0 ? 0 : length),
                             SPLICE_F_MOVE);
    if (r < 0) {
        s->error = errno;
        return -1;
    }
    HTPerf_add(HT_PERF_BYTES_READ, static_cast<uint32_t>(r));
    stamp(request);
    s->bytes_read += static_cast<uint32_t>(r);
    if (HT_TRACE_ON(HT_TRACE_SOCKS))
        tfprintf(stderr, "Socket...... spliced %d bytes in from socket %d.\n", static_cast<int>(r), s->socket);
    return static_cast<int>(r);
}

extern "C" int HTSocket_spliceOut(HTSocket *s, int pipe_out, int length, HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    if (s->secure) {
        s->error = EINVAL;
        return -1;
    }
    HTSocketTable_checkSocket(s->socket, request);
    const ssize_t r = splice(pipe_out, nullptr, s->socket, nullptr, static_cast<size_t>(length < 0 ? 0 : length),
                             SPLICE_F_MOVE);
    if (r < 0) {
        s->error = errno;
        return -1;
    }
    HTPerf_add(HT_PERF_BYTES_WRITTEN, static_cast<uint32_t>(r));
    stamp(request);
    s->bytes_written += static_cast<uint32_t>(r);
    if (HT_TRACE_ON(HT_TRACE_SOCKS))
        tfprintf(stderr, "Socket...... spliced %d bytes out to socket %d.\n", static_cast<int>(r), s->socket);
    return static_cast<int>(r);
}

namespace {

ssize_t counted_in(HTSocket *s, ssize_t r)
{
    if (r >= 0)
        s->bytes_read += static_cast<uint32_t>(r);
    else
        s->error = errno;
    return r;
}

ssize_t counted_out(HTSocket *s, ssize_t r)
{
    if (r >= 0)
        s->bytes_written += static_cast<uint32_t>(r);
    else
        s->error = errno;
    return r;
}

} // namespace

extern "C" ssize_t HTSocket_recv(HTSocket *s, void *buffer, size_t length, int flags) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_in(s, recv(s->socket, buffer, length, flags));
}

extern "C" ssize_t HTSocket_recvfrom(HTSocket *s, void *buffer, size_t length, int flags,
                                     struct sockaddr *from, socklen_t *fromLength) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_in(s, recvfrom(s->socket, buffer, length, flags, from, fromLength));
}

extern "C" ssize_t HTSocket_recvmsg(HTSocket *s, struct msghdr *message, int flags) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_in(s, recvmsg(s->socket, message, flags));
}

extern "C" ssize_t HTSocket_send(HTSocket *s, const void *buffer, size_t length, int flags) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_out(s, send(s->socket, buffer, length, flags | MSG_NOSIGNAL));
}

extern "C" ssize_t HTSocket_sendto(HTSocket *s, const void *buffer, size_t length, int flags,
                                   const struct sockaddr *to, socklen_t toLength) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_out(s, sendto(s->socket, buffer, length, flags | MSG_NOSIGNAL, to, toLength));
}

extern "C" ssize_t HTSocket_sendmsg(HTSocket *s, const struct msghdr *message, int flags) noexcept
{
    if (s == nullptr)
        return -1;
    return counted_out(s, sendmsg(s->socket, message, flags | MSG_NOSIGNAL));
}

extern "C" int receive_all(HTSocket *s, void *buffer, int length, int flags) noexcept
{
    if (s == nullptr)
        return -1;
    char *p = static_cast<char *>(buffer);
    int got = 0;
    while (got < length) {
        const ssize_t r = HTSocket_recv(s, p + got, static_cast<size_t>(length - got), flags);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<int>(r);
    }
    return got;
}

extern "C" int HTSocket_isready(HTSocket *s, int timeoutMs) noexcept
{
    if (s == nullptr)
        return -1;
    struct pollfd p;
    p.fd = s->socket;
    p.events = POLLIN | POLLPRI;
    p.revents = 0;
    const int r = poll(&p, 1, timeoutMs);
    if (r < 0)
        s->error = errno;
    if (HT_TRACE_ON(HT_TRACE_PERSIST))
        tfprintf(stderr, "Poll returned %d with the following return events 0x%x\n", r,
                 static_cast<unsigned>(p.revents));
    if (r > 0 && (p.revents & (POLLERR | POLLHUP)))
        return -1;
    return r;
}

extern "C" uint32_t HTSocket_getReadBytes(HTSocket *s) noexcept
{
    if (s == nullptr)
        return 0;
    const uint32_t n = s->bytes_read;
    s->bytes_read = 0;
    return n;
}

extern "C" uint32_t HTSocket_getWriteBytes(HTSocket *s) noexcept
{
    if (s == nullptr)
        return 0;
    const uint32_t n = s->bytes_written;
    s->bytes_written = 0;
    return n;
}

// ---- connecting ----

extern "C" int HTSocket_connectSocks(HTSocket *s, const struct sockaddr_in *destination,
                                     const struct sockaddr_in *server, HTRequest *request) noexcept
{
    if (s == nullptr || destination == nullptr || server == nullptr)
        return -1;
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKS);
    if (t)
        tfprintf(stderr, "Socks....... Attempting to connect to socks server %lu\n",
                 static_cast<unsigned long>(server->sin_addr.s_addr));
    struct sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(HT_SOCKS_PORT);
    to.sin_addr = server->sin_addr;
    if (connect(s->socket, reinterpret_cast<const struct sockaddr *>(&to), sizeof to) != 0) {
        s->error = errno;
        if (t)
            tfprintf(stderr, "Socks....... it didn't want to talk to us (errno=%d).\n", s->error);
        return -1;
    }
    stamp(request);

    // Version 4, command 1 (connect), port and address in network order.
    unsigned char ask[8];
    ask[0] = 4;
    ask[1] = 1;
    std::memcpy(ask + 2, &destination->sin_port, 2);
    std::memcpy(ask + 4, &destination->sin_addr.s_addr, 4);
    const char *user = config_of(request)->socks_user;
    if (user == nullptr)
        user = HT_SOCKS_DEFAULT_USER;
    const int user_length = static_cast<int>(std::strlen(user)) + 1;
    unsigned char reply[8];
    int got = -1;
    if (HTSocket_writemsg(s, ask, 8, request) == 8 &&
        HTSocket_writemsg(s, user, user_length, request) == user_length)
        got = receive_all(s, reply, 8, 0);
    stamp(request);
    // A short or failed exchange is this server's failure; bytes that never
    // arrived are never looked at.
    if (got != 8) {
        if (s->error == 0)
            s->error = ECONNRESET;
        if (t)
            tfprintf(stderr, "Socks....... receive failed: reply code=%d, errno=%d\n", -1, s->error);
        return -1;
    }
    if (reply[1] == 90)
        return 0;
    s->error = ECONNREFUSED;
    if (t)
        tfprintf(stderr, "Socks....... receive failed: reply code=%d, errno=%d\n", reply[1], errno);
    return -1;
}

extern "C" int HTSocks_connectServerList(HTSocket **sp, const struct sockaddr *destination,
                                         socklen_t length, HTList *servers, HTRequest *request) noexcept
{
    if (sp == nullptr || *sp == nullptr || destination == nullptr ||
        destination->sa_family != AF_INET || length < sizeof(struct sockaddr_in))
        return -1;
    HTSocket *s = *sp;
    HTSocketTable_checkSocket(s->socket, request);
    const auto *dest = reinterpret_cast<const struct sockaddr_in *>(destination);
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKS);
    HTList *cursor = servers;
    void *object = HTList_nextObjectF(&cursor);
    while (object != nullptr) {
        const auto *server = static_cast<const struct sockaddr_in *>(object);
        if (t)
            tfprintf(stderr, "Socks....... calling connectSocks with %lu\n",
                     static_cast<unsigned long>(server->sin_addr.s_addr));
        const int rc = HTSocket_connectSocks(s, dest, server, request);
        if (t)
            tfprintf(stderr, "Socks....... connect rc=%d\n", rc);
        if (rc == 0) {
            if (t)
                tfprintf(stderr, "Socks....... connected to server\n");
            return 0;
        }
        if (rc == -2) {
            if (t)
                tfprintf(stderr, "Socks....... unable to receive data from socks server...\n");
            return -1;
        }
        object = HTList_nextObjectF(&cursor);
        if (object == nullptr)
            break;
        // The next server gets a new socket with the options of this one.
        HTSocketOption *options = s->options;
        s->options = nullptr;
        HTSocket_closeNoFree(s, __FILE__, __LINE__, request);
        HTSocket *fresh_socket = HTSocket_new(AF_INET, SOCK_STREAM, IPPROTO_TCP, "socks", HT_SOCKS_PORT,
                                              request);
        if (fresh_socket == nullptr) {
            free_options(options);
            return -1;
        }
        if (s->pooled)
            HTSocketQueue_return(s);
        fresh_socket->options = options;
        for (HTSocketOption *o = options; o != nullptr; o = o->next)
            if (setsockopt(fresh_socket->socket, o->level, o->name, o->value, o->length) != 0) {
                fresh_socket->error = errno;
                if (t)
                    tfprintf(stderr, "Socks....... unable to set option for new socket %d, errno %d\n",
                             fresh_socket->socket, errno);
            }
        *sp = s = fresh_socket;
    }
    return -1;
}

extern "C" int HTSocket_connect(HTSocket **sp, const struct sockaddr *address, socklen_t length,
                                HTRequest *request) noexcept
{
    if (sp == nullptr || *sp == nullptr)
        return -1;
    HTSocket *s = *sp;
    HTSocketTable_checkSocket(s->socket, request);
    const HTStaticConfig *c = config_of(request);
    const bool t = HT_TRACE_ON(HT_TRACE_SOCKS);
    const bool inet = address != nullptr && address->sa_family == AF_INET &&
                      length >= sizeof(struct sockaddr_in);
    if (c->local_address != 0 && inet) {
        struct sockaddr_in local;
        std::memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = static_cast<in_addr_t>(c->local_address);
        const int rc = bind(s->socket, reinterpret_cast<const struct sockaddr *>(&local), sizeof local);
        if (rc != 0)
            s->error = errno;
        if (t)
            tfprintf(stderr, "Socks....... ret = %d, bind outgoing connection to IP 0x%x.\n", rc,
                     static_cast<unsigned>(c->local_address));
    }
    if (inet && c->socks_old_style) {
        if (t)
            tfprintf(stderr, "Socks....... old-style configured.\n");
        struct sockaddr_in server;
        std::memset(&server, 0, sizeof server);
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = static_cast<in_addr_t>(c->socks_server);
        return HTSocket_connectSocks(s, reinterpret_cast<const struct sockaddr_in *>(address), &server,
                                     request);
    }
    if (inet && c->flexible_socks) {
        if (t)
            tfprintf(stderr, "Socks....... checking if socks.conf says to use socks...\n");
        HTList *servers = nullptr;
        const int rc = check_cconf(reinterpret_cast<const struct sockaddr_in *>(address), &servers, c);
        if (t)
            tfprintf(stderr, "Socks....... check_cconf says \"%d\".\n", rc);
        if (rc == HT_SOCKS_SOCKD) {
            if (t)
                tfprintf(stderr, "Socks....... socks config sez: connect with socks servers=\"%p\"...\n",
                         static_cast<void *>(servers));
            const int r = HTSocks_connectServerList(sp, address, length, servers, request);
            if (r == -1 && t)
                tfprintf(stderr, "Socks....... unable to connect with socks servers=\"%p\"...\n",
                         static_cast<void *>(servers));
            return r;
        }
        if (rc == HT_SOCKS_DENY) {
            if (t)
                tfprintf(stderr, "Socks....... socks.conf says \"deny the ford to the hostiles\".\n");
            s->error = errno = EACCES;
            return -1;
        }
        if (t)
            tfprintf(stderr, "Socks....... socks.conf says be direct.\n");
    } else if (t) {
        tfprintf(stderr,
                 "Socks....... flexibleSocks directive set to off or no socks.conf in config %lx; going direct.\n",
                 ptr(c));
    }
    const int rc = connect(s->socket, address, length);
    if (rc != 0)
        s->error = errno;
    stamp(request);
    return rc;
}

// ---- options and the other calls ----

extern "C" int HTSocket_setBlocking(HTSocket *s, int flag) noexcept
{
    if (s == nullptr)
        return -1;
    const int rc = set_nonblocking(s->socket, flag ? 0 : 1);
    if (rc != 0)
        s->error = errno;
    return rc;
}

extern "C" int HTSocket_setsockopt(HTSocket *s, int level, int name, const void *value, socklen_t length,
                                   HTRequest *request) noexcept
{
    if (s == nullptr)
        return -1;
    const int rc = setsockopt(s->socket, level, name, value, length);
    if (rc != 0)
        s->error = errno;
    const HTStaticConfig *c = config_of(request);
    if (!c->socks_old_style && c->flexible_socks) {
        // Kept so that a replacement socket for the next SOCKS server gets it too.
        auto *o = static_cast<HTSocketOption *>(HTAlloc_calloc(1, sizeof(HTSocketOption)));
        if (o == nullptr)
            out_of_memory("HTSocket", "HTSocket_setsockopt", __LINE__, sizeof(HTSocketOption));
        o->value = HTAlloc_malloc(length ? length : 1);
        if (o->value == nullptr) {
            HTAlloc_free(o);
            out_of_memory("HTSocket", "HTSocket_setsockopt", __LINE__, length);
        }
        if (length != 0 && value != nullptr)
            std::memcpy(o->value, value, length);
        o->level = level;
        o->name = name;
        o->length = length;
        HTSocketOption **tail = &s->options;
        while (*tail != nullptr)
            tail = &(*tail)->next;
        *tail = o;
    }
    return rc;
}

namespace {

int saved(HTSocket *s, int rc)
{
    if (rc < 0)
        s->error = errno;
    return rc;
}

} // namespace

extern "C" int HTSocket_getsockopt(HTSocket *s, int level, int name, void *value, socklen_t *length) noexcept
{
    if (s == nullptr)
        return -1;
    return saved(s, getsockopt(s->socket, level, name, value, length));
}

extern "C" int HTSocket_getsockname(HTSocket *s, struct sockaddr *address, socklen_t *length) noexcept
{
    if (s == nullptr)
        return getsockname(0, address, length);
    return saved(s, getsockname(s->socket, address, length));
}

extern "C" int HTSocket_getpeername(HTSocket *s, struct sockaddr *address, socklen_t *length) noexcept
{
    if (s == nullptr)
        return -1;
    return saved(s, getpeername(s->socket, address, length));
}

extern "C" int HTSocket_bind(HTSocket *s, const struct sockaddr *address, socklen_t length) noexcept
{
    if (s == nullptr)
        return -1;
    return saved(s, bind(s->socket, address, length));
}

extern "C" int HTSocket_listen(HTSocket *s, int backlog) noexcept
{
    if (s == nullptr)
        return -1;
    return saved(s, listen(s->socket, backlog));
}

extern "C" int HTSocket_shutdown(HTSocket *s, int how) noexcept
{
    if (s == nullptr)
        return -1;
    return saved(s, shutdown(s->socket, how));
}

extern "C" struct hostent *HTSocket_gethostbyname(const char *name) noexcept
{
    return name ? gethostbyname(name) : nullptr;
}

extern "C" int sock_init(void) noexcept
{
    return 0;
}

// ---- portability helpers ----

extern "C" int HTCloseOnExec(int descriptor) noexcept
{
    const int flags = fcntl(descriptor, F_GETFD);
    if (flags < 0)
        return -1;
    return fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
}

extern "C" int HTMkdir(const char *path, mode_t mode) noexcept
{
    return mkdir(path, mode);
}

extern "C" void HTSetMaxFiles(void) noexcept {}

extern "C" void HTConvertToSlash(char *path) noexcept
{
    (void)path;
}

extern "C" char *HTMakeAbsolutePath(const char *path) noexcept
{
    if (path == nullptr)
        return nullptr;
    if (path[0] == '/')
        return HTAlloc_strdup(path);
    // The system sizes the buffer, so a deep current directory is never cut.
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr)
        return nullptr;
    const size_t a = std::strlen(cwd), b = std::strlen(path);
    auto *out = static_cast<char *>(HTAlloc_malloc(a + b + 2));
    if (out != nullptr) {
        std::memcpy(out, cwd, a);
        out[a] = '/';
        std::memcpy(out + a + 1, path, b + 1);
    }
    std::free(cwd);
    return out;
}

extern "C" char *HTStrtok(char *text, const char *delimiters, char **save) noexcept
{
    return strtok_r(text, delimiters, save);
}

extern "C" void *HTStrtok_allocmem(size_t size, HTThdGlobals *pool) noexcept
{
    return HTMemPoolAlloc(size, pool);
}

extern "C" const char *HTStrerror(int error) noexcept
{
    static thread_local char text[256];
    return strerror_r(error, text, sizeof text);
}

extern "C" void HTGlobalSignalSetup(void) noexcept
{
    const bool t = HT_TRACE_ON(HT_TRACE_SYSCALL);
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        int rc = sigaction(sig, nullptr, &action);
        if (rc != 0) {
            if (t)
                tfprintf(stderr, "sigaction... query returned %d (errno=%d) for SIG %d.\n", rc, errno, sig);
            continue;
        }
        action.sa_flags |= SA_RESTART;
        rc = sigaction(sig, &action, nullptr);
        if (rc != 0 && t)
            tfprintf(stderr, "sigaction... update returned %d (errno=%d) for SIG%d.\n", rc, errno, sig);
        if (sig == SIGPROF) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPROF);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
        }
    }
}

// ---- raw I/O callbacks ----

namespace {

// The toolkit's raw reads and writes, each traced with its transcript.
int raw_io(int descriptor, void *buffer, int length, bool writing)
{
    const bool t = HT_TRACE_ON(HT_TRACE_SSL);
    if (t)
        tfprintf(stderr, writing ? "SSL......... Entered vxlWRITE.\n" : "SSL......... Entered vxlREAD.\n");
    const size_t n = static_cast<size_t>(length < 0 ? 0 : length);
    const int r = static_cast<int>(writing ? send(descriptor, buffer, n, MSG_NOSIGNAL) : recv(descriptor, buffer, n, 0));
    if (t) {
        tfprintf(stderr, writing ? "SSL......... Wrote: %d bytes. Transcript follows.\n"
                                 : "SSL......... Read: %d bytes. Transcript follows.\n",
                 r);
        dump(buffer, r);
    }
    return r;
}

} // namespace

extern "C" int vxlREAD(int descriptor, void *buffer, int length) noexcept
{
    return raw_io(descriptor, buffer, length, false);
}

extern "C" int vxlWRITE(int descriptor, const void *buffer, int length) noexcept
{
    return raw_io(descriptor, const_cast<void *>(buffer), length, true);
}

extern "C" uint32_t vxlGETPEERID(int descriptor) noexcept
{
    if (HT_TRACE_ON(HT_TRACE_SSL))
        tfprintf(stderr, "SSL......... Entered vxlGETPEERID.\n");
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    std::memset(&peer, 0, sizeof peer);
    if (getpeername(descriptor, reinterpret_cast<struct sockaddr *>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET)
        return 0;
    return peer.sin_addr.s_addr;
}

extern "C" int vxlSETSOCKETOPTIONS(int descriptor, int option) noexcept
{
    if (HT_TRACE_ON(HT_TRACE_SSL))
        tfprintf(stderr, "SSL......... Entered vxlSETSOCKOPTS.\n");
    if (option != 900 && option != 901)
        return -1;
    set_nonblocking(descriptor, 0);
    return 0;
}

#include "HTSocket.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTSecure.h"
#include "HTSocks.h"
#include "HTTrace.h"
#include "htc_start.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Socket : public ::testing::Test {
protected:
    void SetUp() override
    {
        htc_test_start();
        config_ = HTStaticConfig{};
        request_ = HTRequest{};
        request_.config = &config_;
    }
    HTStaticConfig config_{};
    HTRequest request_{};
};

// A pooled object around one end of a socket pair.
HTSocket *wrap(int fd)
{
    HTSocket *s = HTSocketQueue_get();
    s->socket = fd;
    return s;
}

// The trace lines written while `run` runs, without their prefixes.
template <typename F>
std::vector<std::string> traced(int module, F run)
{
    peers::TempDir dir;
    const std::string path = dir.file("trace.log");
    HTTraceLog_open(path.c_str());
    const uint32_t level = tc[HT_TRACE_LEVEL_WORD];
    tc[HT_TRACE_LEVEL_WORD] = 66;
    HTTrace_set(module, 1);
    run();
    HTTrace_set(module, 0);
    tc[HT_TRACE_LEVEL_WORD] = level;
    HTTraceLog_close();
    std::vector<std::string> lines;
    std::istringstream in(dir.read("trace.log"));
    for (std::string l; std::getline(in, l);) {
        const auto p = l.find("]: ");
        lines.push_back(p == std::string::npos ? l : l.substr(p + 3));
    }
    return lines;
}

TEST_F(Socket, FirstGetOnAnEmptyQueueMakesAHundred)
{
    const int before = HTSocketQueue__count();
    HTSocket *s = HTSocketQueue_get();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(HTSocketQueue__count(), before == 0 ? 99 : before - 1);
    EXPECT_EQ(s->socket, -1);
    EXPECT_EQ(s->pooled, 1);
    EXPECT_EQ(s->queued, 0);
    HTSocketQueue_return(s);
    EXPECT_EQ(s->queued, 1);
    EXPECT_EQ(s->pooled, 0);
    const int n = HTSocketQueue__count();
    HTSocketQueue_return(s); // already queued: not queued twice
    EXPECT_EQ(HTSocketQueue__count(), n);
}

TEST_F(Socket, QueueGrowthSurvivesAllocationFailure)
{
    // Empty the queue, then make the growth fail once.
    std::vector<HTSocket *> taken;
    while (HTSocketQueue__count() > 0)
        taken.push_back(HTSocketQueue_get());
    HTExceptFrame frame;
    volatile bool failed = false;
    HTExcept_push(&frame, nullptr);
    if (setjmp(frame.env) == 0) {
        HTAlloc_failAt(1, 0);
        HTSocketQueue_get();
        HTExcept_pop(&frame, nullptr);
    } else {
        failed = true;
    }
    HTAlloc_failAt(0, 0);
    EXPECT_TRUE(failed);
    HTSocket *s = HTSocketQueue_get(); // the lock was not left held
    ASSERT_NE(s, nullptr);
    HTSocketQueue_return(s);
    for (HTSocket *t : taken)
        HTSocketQueue_return(t);
}

TEST_F(Socket, CountersAreFetchedOnce)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    HTSocket *a = wrap(sv[0]), *b = wrap(sv[1]);
    const uint32_t read_before = GlobalPerformanceCounters.word[HT_PERF_BYTES_READ];
    const uint32_t written_before = GlobalPerformanceCounters.word[HT_PERF_BYTES_WRITTEN];
    EXPECT_EQ(HTSocket_write(a, "hello", 5, &request_), 5);
    char buf[16];
    EXPECT_EQ(HTSocket_read(b, buf, sizeof buf, &request_), 5);
    EXPECT_EQ(HTSocket_getReadBytes(b), 5u);
    EXPECT_EQ(HTSocket_getReadBytes(b), 0u);
    EXPECT_EQ(HTSocket_getWriteBytes(a), 5u);
    EXPECT_EQ(HTSocket_getWriteBytes(a), 0u);
    EXPECT_EQ(HTSocket_getReadBytes(nullptr), 0u);
    EXPECT_EQ(GlobalPerformanceCounters.word[HT_PERF_BYTES_READ] - read_before, 5u);
    EXPECT_EQ(GlobalPerformanceCounters.word[HT_PERF_BYTES_WRITTEN] - written_before, 5u);
    EXPECT_NE(request_.last_activity, 0);
    HTSocket_close(a, __FILE__, __LINE__, &request_);
    HTSocket_close(b, __FILE__, __LINE__, &request_);
}

TEST_F(Socket, WouldBlockReadsAsZeroWithTheErrorKept)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    HTSocket *a = wrap(sv[0]);
    ASSERT_EQ(HTSocket_setBlocking(a, 0), 0);
    char buf[8];
    EXPECT_EQ(HTSocket_read(a, buf, sizeof buf, &request_), 0);
    EXPECT_EQ(a->error, EAGAIN);
    close(sv[1]);
    ASSERT_EQ(HTSocket_setBlocking(a, 1), 0);
    a->error = 0;
    EXPECT_EQ(HTSocket_read(a, buf, sizeof buf, &request_), 0); // end of stream
    EXPECT_EQ(a->error, 0);
    HTSocket_close(a, __FILE__, __LINE__, nullptr);
}

TEST_F(Socket, WriteReturnsThePartialTotal)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    HTSocket *a = wrap(sv[0]);
    const int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    HTSocket_setBlocking(a, 0);
    std::vector<char> big(1 << 20, 'x');
    const int n = HTSocket_write(a, big.data(), static_cast<int>(big.size()), &request_);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_EQ(HTSocket_getWriteBytes(a), static_cast<uint32_t>(n));
    EXPECT_EQ(HTSocket_write(a, big.data(), 100, &request_), -1); // nothing more fits
    EXPECT_EQ(a->error, EAGAIN);
    HTSocket_close(a, __FILE__, __LINE__, nullptr);
    close(sv[1]);
}

TEST_F(Socket, WriteToAClosedPeerFailsWithoutSigpipe)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    HTSocket *a = wrap(sv[0]);
    // SIGPIPE keeps its default action here: were it raised, the test program would end.
    struct sigaction old, dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    EXPECT_EQ(HTSocket_write(a, "abc", 3, &request_), -1);
    EXPECT_EQ(a->error, EPIPE);
    EXPECT_EQ(HTSocket_writemsg(a, "abc", 3, &request_), -1);
    EXPECT_EQ(HTSocket_send(a, "abc", 3, 0), -1);
    sigaction(SIGPIPE, &old, nullptr);
    HTSocket_close(a, __FILE__, __LINE__, nullptr);
}

TEST_F(Socket, NullObjects)
{
    char buf[4];
    EXPECT_EQ(HTSocket_read(nullptr, buf, 4, nullptr), -1);
    EXPECT_EQ(HTSocket_write(nullptr, buf, 4, nullptr), -1);
    EXPECT_EQ(HTSocket_writemsg(nullptr, buf, 4, nullptr), -1);
    EXPECT_EQ(HTSocket_close(nullptr, __FILE__, __LINE__, nullptr), -1);
    EXPECT_EQ(HTSocket_gcClose(nullptr, __FILE__, __LINE__), -1);
    EXPECT_EQ(HTSocket_isready(nullptr, 0), -1);
    EXPECT_EQ(HTSocket_connect(nullptr, nullptr, 0, nullptr), -1);
    HTSocket *none = nullptr;
    EXPECT_EQ(HTSocket_connect(&none, nullptr, 0, nullptr), -1);
    EXPECT_EQ(HTSocket_accept(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(receive_all(nullptr, buf, 4, 0), -1);
    EXPECT_EQ(HTSocket_newInStruct(nullptr, AF_INET, SOCK_STREAM, 0, "h", 1, nullptr), nullptr);
}

TEST_F(Socket, AcceptedObjectGoesBackToTheQueueOnce)
{
    HTSocket *l = HTSocket_new(AF_INET, SOCK_STREAM, 0, "listener", 0, &request_);
    ASSERT_NE(l, nullptr);
    sockaddr_in a = peers::address("127.0.0.1", 0);
    ASSERT_EQ(HTSocket_bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(HTSocket_listen(l, 4), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(HTSocket_getsockname(l, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    HTSocket *s = HTSocket_accept(l, nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(HTSocket_isready(s, 0), 0);
    send(c, "x", 1, 0);
    EXPECT_GT(HTSocket_isready(s, 1000), 0);
    const int queued = HTSocketQueue__count();
    EXPECT_EQ(HTSocket_close(s, __FILE__, __LINE__, &request_), 0);
    EXPECT_EQ(s->socket, -1);
    EXPECT_EQ(HTSocketQueue__count(), queued + 1);
    EXPECT_EQ(HTSocket_close(s, __FILE__, __LINE__, &request_), 0);
    EXPECT_EQ(HTSocketQueue__count(), queued + 1);
    close(c);

    // A listener that is not listening: the error stays with it.
    HTSocket *bad = HTSocket_new(AF_INET, SOCK_STREAM, 0, "nolisten", 0, &request_);
    HTSocket_setBlocking(bad, 0);
    EXPECT_EQ(HTSocket_accept(bad, nullptr, nullptr), nullptr);
    EXPECT_NE(bad->error, 0);
    HTSocket_close(bad, __FILE__, __LINE__, &request_);
    HTSocket_close(l, __FILE__, __LINE__, &request_);
}

TEST_F(Socket, ReadinessReportsHangUp)
{
    peers::TcpPair p;
    ASSERT_GE(p.server, 0);
    HTSocket *s = wrap(p.server);
    p.server = -1;
    // Closing with unread data resets the connection.
    ASSERT_EQ(send(s->socket, "unread", 6, 0), 6);
    usleep(20000);
    close(p.client);
    p.client = -1;
    EXPECT_EQ(HTSocket_isready(s, 1000), -1);
    HTSocket_close(s, __FILE__, __LINE__, nullptr);
}

TEST_F(Socket, GcCloseNeedsNoRequest)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    HTSocket *a = wrap(sv[0]);
    const int queued = HTSocketQueue__count();
    EXPECT_EQ(HTSocket_gcClose(a, __FILE__, __LINE__), 0);
    EXPECT_EQ(HTSocketQueue__count(), queued + 1);
    EXPECT_EQ(HTSocket_gcClose(a, __FILE__, __LINE__), -1);
    char c;
    EXPECT_EQ(read(sv[1], &c, 1), 0);
    close(sv[1]);
}

TEST_F(Socket, GatheredWriteCarriesTheSendControlData)
{
    // Descriptor passing shows that the control data really goes with the bytes.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    auto *cm = reinterpret_cast<cmsghdr *>(control);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cm), &pipefd[1], sizeof(int));
    request_.send_control = control;
    request_.send_control_length = sizeof control;
    HTSocket *a = wrap(sv[0]);
    EXPECT_EQ(HTSocket_writemsg(a, "ctl", 3, &request_), 3);
    char data[8];
    alignas(cmsghdr) char got[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{data, sizeof data};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = got;
    m.msg_controllen = sizeof got;
    ASSERT_EQ(recvmsg(sv[1], &m, 0), 3);
    cmsghdr *r = CMSG_FIRSTHDR(&m);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->cmsg_type, SCM_RIGHTS);
    int passed = -1;
    std::memcpy(&passed, CMSG_DATA(r), sizeof passed);
    EXPECT_EQ(write(passed, "p", 1), 1);
    char c = 0;
    EXPECT_EQ(read(pipefd[0], &c, 1), 1);
    EXPECT_EQ(c, 'p');
    close(passed);
    close(pipefd[0]);
    close(pipefd[1]);
    HTSocket_close(a, __FILE__, __LINE__, nullptr);
    close(sv[1]);
}

TEST_F(Socket, OptionsAreRememberedOnlyForFlexibleSocks)
{
    HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, "opt", 0, &request_);
    ASSERT_NE(s, nullptr);
    const int one = 1;
    EXPECT_EQ(HTSocket_setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one, &request_), 0);
    EXPECT_EQ(s->options, nullptr);
    config_.flexible_socks = 1;
    const int size = 65536;
    EXPECT_EQ(HTSocket_setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one, &request_), 0);
    EXPECT_EQ(HTSocket_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size, &request_), 0);
    EXPECT_EQ(HTSocket_setsockopt(s, SOL_SOCKET, 12345, &size, sizeof size, &request_), -1);
    ASSERT_NE(s->options, nullptr);
    EXPECT_EQ(s->options->name, TCP_NODELAY);
    ASSERT_NE(s->options->next, nullptr);
    EXPECT_EQ(s->options->next->name, SO_RCVBUF);
    ASSERT_NE(s->options->next->next, nullptr);
    EXPECT_EQ(s->options->next->next->next, nullptr);
    config_.socks_old_style = 1;
    HTSocket_setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one, &request_);
    EXPECT_EQ(s->options->next->next->next, nullptr);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    EXPECT_EQ(s->options, nullptr);
}

TEST_F(Socket, DatagramBuffersFromTheConfiguration)
{
    config_.udp_send_buffer = 50000;
    config_.udp_receive_buffer = 60000;
    HTSocket *s = HTSocket_new(AF_INET, SOCK_DGRAM, 0, "udp", 0, &request_);
    ASSERT_NE(s, nullptr);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(HTSocket_getsockopt(s, SOL_SOCKET, SO_SNDBUF, &v, &len), 0);
    EXPECT_GE(v, 50000);
    ASSERT_EQ(HTSocket_getsockopt(s, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_GE(v, 60000);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
}

TEST_F(Socket, DirectConnectBindsTheLocalAddress)
{
    int port = 0;
    const int l = peers::listen_on("127.0.0.1", 0, &port);
    ASSERT_GE(l, 0);
    config_.local_address = htonl(0x7f000003); // 127.0.0.3
    HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, "direct", port, &request_);
    sockaddr_in to = peers::address("127.0.0.1", port);
    request_.last_activity = 0;
    ASSERT_EQ(HTSocket_connect(&s, reinterpret_cast<sockaddr *>(&to), sizeof to, &request_), 0);
    EXPECT_NE(request_.last_activity, 0);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int c = accept(l, reinterpret_cast<sockaddr *>(&peer), &len);
    ASSERT_GE(c, 0);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text), "127.0.0.3");
    EXPECT_EQ(vxlGETPEERID(c), htonl(0x7f000003));
    close(c);
    close(l);
    HTSocket_close(s, __FILE__, __LINE__, &request_);

    // Refused: connect's own result, its error kept in the object.
    config_.local_address = 0;
    s = HTSocket_new(AF_INET, SOCK_STREAM, 0, "refused", port, &request_);
    EXPECT_EQ(HTSocket_connect(&s, reinterpret_cast<sockaddr *>(&to), sizeof to, &request_), -1);
    EXPECT_EQ(s->error, ECONNREFUSED);
    HTSocket_close(s, __FILE__, __LINE__, &request_);
}

TEST_F(Socket, DenyRuleRefusesTheConnect)
{
    const std::string rules = "deny 127.0.0.0 255.0.0.0\n";
    FILE *f = fmemopen(const_cast<char *>(rules.data()), rules.size(), "r");
    Socks_init(&config_);
    Socks_loadConfiguration(f, &config_);
    std::fclose(f);
    config_.flexible_socks = 1;
    int port = 0;
    const int l = peers::listen_on("127.0.0.2", 0, &port);
    ASSERT_GE(l, 0);
    HTSocket *s = HTSocket_new(AF_INET, SOCK_STREAM, 0, "denied", port, &request_);
    sockaddr_in to = peers::address("127.0.0.2", port);
    EXPECT_EQ(HTSocket_connect(&s, reinterpret_cast<sockaddr *>(&to), sizeof to, &request_), -1);
    EXPECT_EQ(s->error, EACCES);
    pollfd p{l, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0); // nothing reached the listener
    HTSocket_close(s, __FILE__, __LINE__, &request_);
    close(l);
    Socks_free(&config_);
}

TEST_F(Socket, TranscriptOfTheRawIoCallbacks)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unsigned char bytes[30];
    for (int i = 0; i < 30; ++i)
        bytes[i] = static_cast<unsigned char>(i * 9);
    const auto lines = traced(HT_TRACE_SSL, [&] {
        EXPECT_EQ(vxlWRITE(sv[0], bytes, 30), 30);
        vxlWRITE(sv[0], bytes, 0);
    });
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "SSL......... Entered vxlWRITE.");
    EXPECT_EQ(lines[1], "SSL......... Wrote: 30 bytes. Transcript follows.");
    EXPECT_EQ(lines[2], "0 9 12 1b 24 2d 36 3f 48 51 5a 63 6c 75 7e 87 90 99 a2 ab b4 bd c6 cf d8 e1 ");
    EXPECT_EQ(lines[3], "ea f3 fc 5 ");
    EXPECT_EQ(lines[4], "SSL....... I/O Dump complete.");
    EXPECT_EQ(lines[6], "SSL......... Wrote: 0 bytes. Transcript follows.");
    char got[30];
    EXPECT_EQ(vxlREAD(sv[1], got, 30), 30);
    EXPECT_EQ(std::memcmp(got, bytes, 30), 0);
    HTSocket_setBlocking(nullptr, 0);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(vxlSETSOCKETOPTIONS(sv[1], 5), -1);
    EXPECT_NE(fcntl(sv[1], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(vxlSETSOCKETOPTIONS(sv[1], 901), 0);
    EXPECT_EQ(fcntl(sv[1], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(vxlGETPEERID(sv[1]), 0u); // not an IPv4 peer
    close(sv[0]);
    close(sv[1]);
}

// A test backend that moves at most 7 bytes a call, in plain text.
int fake_start(HTSocket *s, const char *, HTRequest *, const char **)
{
    s->secure = 1;
    return 0;
}
int fake_read(HTSocket *s, void *b, int n, HTRequest *)
{
    return static_cast<int>(recv(s->socket, b, static_cast<size_t>(n < 7 ? n : 7), 0));
}
int fake_write(HTSocket *s, const void *b, int n, HTRequest *)
{
    return static_cast<int>(send(s->socket, b, static_cast<size_t>(n < 7 ? n : 7), MSG_NOSIGNAL));
}
int fake_closes = 0;
int fake_close(HTSocket *, HTRequest *)
{
    ++fake_closes;
    return 0;
}
const HTSecureBackend fake = {fake_start, fake_read, fake_write, fake_close};

TEST_F(Socket, SecureSocketsGoThroughTheWrapper)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    HTSocket *a = wrap(sv[0]);
    const char *why = nullptr;
    EXPECT_EQ(HTSecure_startClient(a, "origin", &request_, &why), -1);
    EXPECT_STREQ(why, HT_SECURE_NOT_AVAILABLE);
    EXPECT_EQ(a->secure, 0u);

    HTSecure_setBackend(&fake);
    ASSERT_EQ(HTSecure_startClient(a, "origin", &request_, &why), 0);
    const std::string text = "a secure write that the backend takes 7 bytes at a time";
    EXPECT_EQ(HTSocket_write(a, text.data(), static_cast<int>(text.size()), &request_),
              static_cast<int>(text.size()));
    std::string got(text.size(), '\0');
    ASSERT_EQ(recv(sv[1], got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, text);
    send(sv[1], "0123456789", 10, 0);
    char buf[16];
    EXPECT_EQ(HTSocket_read(a, buf, sizeof buf, &request_), 7);

    // The send-control data reaches the wrapper through the thread's slot.
    int control = 42;
    request_.send_control = &control;
    request_.send_control_length = sizeof control;
    EXPECT_EQ(HTSocket_writemsg(a, "xyz", 3, &request_), 3);
    auto *slot = static_cast<uintptr_t *>(pthread_getspecific(tqos_key));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[0], reinterpret_cast<uintptr_t>(&control));
    EXPECT_EQ(slot[1], sizeof control);

    fake_closes = 0;
    HTSocket_close(a, __FILE__, __LINE__, &request_);
    EXPECT_EQ(fake_closes, 1);
    EXPECT_EQ(a->secure, 0u);
    HTSecure_setBackend(nullptr);
    close(sv[1]);
}

TEST_F(Socket, AbsolutePathOfADeepDirectory)
{
    peers::TempDir dir;
    std::string deep = dir.path.string();
    while (deep.size() < 1500) {
        deep += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    char *old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(deep.c_str()), 0);
    char *p = HTMakeAbsolutePath("file.txt");
    ASSERT_EQ(chdir(old), 0);
    std::free(old);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), deep + "/file.txt");
    HTAlloc_free(p);
    p = HTMakeAbsolutePath("/etc/hosts");
    EXPECT_STREQ(p, "/etc/hosts");
    HTAlloc_free(p);
    EXPECT_EQ(HTMakeAbsolutePath(nullptr), nullptr);
}

TEST_F(Socket, SignalSetUpRestartsCalls)
{
    struct sigaction a;
    std::memset(&a, 0, sizeof a);
    a.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR2, &a, nullptr), 0);
    HTGlobalSignalSetup();
    struct sigaction now;
    ASSERT_EQ(sigaction(SIGUSR2, nullptr, &now), 0);
    EXPECT_NE(now.sa_flags & SA_RESTART, 0);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGPROF));
}

TEST_F(Socket, SmallHelpers)
{
    EXPECT_EQ(sock_init(), 0);
    EXPECT_STREQ(HTStrerror(ENOENT), std::strerror(ENOENT));
    char text[] = "a,b;c";
    char *save = nullptr;
    EXPECT_STREQ(HTStrtok(text, ",;", &save), "a");
    EXPECT_STREQ(HTStrtok(nullptr, ",;", &save), "b");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(HTCloseOnExec(fds[0]), 0);
    EXPECT_NE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    close(fds[0]);
    close(fds[1]);
    ASSERT_NE(HTSocket_gethostbyname("localhost"), nullptr);
    EXPECT_EQ(HTSocket_gethostbyname(nullptr), nullptr);
}

} // namespace

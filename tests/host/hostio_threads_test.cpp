#include "hostio.h"

#include "HTLog.h"
#include "HTSocket.h"
#include "HTWriter.h"
#include "htc_start.h"
#include "hosttimer.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(HostIo, ErrorLogReceivesReports)
{
    htc_test_start();
    peers::TempDir dir("hostio");
    ASSERT_EQ(hostio_openErrorLog(dir.file("error.log").c_str()), 0);
    HTLog_errorReflector("PANIC! Duplicate socket %d created.\n", nullptr, 7);
    std::thread t([] { HTLog_errorReflector("second %s\n", nullptr, "report"); });
    t.join();
    hostio_closeErrorLog();
    HTLog_errorReflector("not logged\n", nullptr);
    const std::string log = dir.read("error.log");
    EXPECT_NE(log.find("] PANIC! Duplicate socket 7 created.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] second report\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("not logged"), std::string::npos);
    EXPECT_EQ(hostio_openErrorLog((dir.file("no/such/dir") + "/x.log").c_str()), -1);
}

TEST(HostIo, ClientThatStopsReadingIsTimedOut)
{
    htc_test_start();
    ASSERT_EQ(hosttimer_start(), 0);
    struct sigaction dfl, old;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    peers::TcpPair pair; // the client end never reads
    HTSocket *s = HTSocketQueue_get();
    s->socket = pair.server;
    pair.server = -1;
    HTRequest request{};
    hostio_watchClient(&request, s->socket);
    hostio_setClientTimeout(300);
    const unsigned long before = hosttimer_expirations();
    HTStream *w = HTWriter_new(s, &request, nullptr);
    const std::string block(256 * 1024, 'z');
    int rc = 0;
    for (int i = 0; i < 400 && rc == 0; ++i)
        rc = HTWriter_write(w, block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(rc, -1); // the timer shut the socket down under the blocked write
    EXPECT_GT(hosttimer_expirations(), before);
    HTWriter_free(w, nullptr);
    hostio_setClientTimeout(0);
    hostio_watchClient(&request, -1);
    EXPECT_EQ(HTClientReadTimeoutOn, nullptr);
    sigaction(SIGPIPE, &old, nullptr);
    hosttimer_stop();
}

TEST(HostTimer, DeadlineEndsABlockedRead)
{
    htc_test_start();
    ASSERT_EQ(hosttimer_start(), 0);
    peers::TcpPair pair;
    ASSERT_EQ(hosttimer_register(pair.client, 200), 0);
    char c;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(pair.client, &c, 1, 0), 0); // shut down: end of stream
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    EXPECT_EQ(hosttimer_unregister(pair.client), -1); // already expired

    // Unregistered in time: nothing happens to the socket.
    ASSERT_EQ(hosttimer_register(pair.server, 100), 0);
    EXPECT_EQ(hosttimer_unregister(pair.server), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(send(pair.server, "x", 1, MSG_NOSIGNAL), 1);
    hosttimer_stop();
    EXPECT_EQ(hosttimer_register(pair.server, 100), -1); // no timer thread
}

} // namespace

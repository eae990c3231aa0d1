// standin-proxy: the stand-in host server as a forward proxy program.
//
//     standin-proxy [--config FILE] [--listen ADDR:PORT] [--check] [--help]
//
// Runs on built-in defaults when no file is given: `standin-proxy --listen
// 127.0.0.1:8080` is a working forward proxy (curl -x http://127.0.0.1:8080
// URL), logging to standard error. --config reads the flat directive file
// (host/README.md); --listen overrides its address and port; --check reads
// everything, reports and exits (0: good). A bad command line or a bad
// configuration line ends it with status 2, a failed start with status 1.
//
// Once it accepts connections it prints "standin-proxy: listening on
// ADDRESS:PORT". SIGUSR1 prints a line of counters ("standin-proxy: stats
// accepts=... requests=... timeouts=... ends=... refused=... sessions=...").
// SIGTERM or SIGINT stops accepting, lets the running requests finish (at
// most kDrainSeconds), stops the worker pool, prints the counters once more
// and exits 0.

#include "HTClock.h"
#include "HTInit.h"
#include "HTMultiSelect.h"
#include "HTSockPool.h"
#include "httpool.h"
#include "hostclient.h"
#include "hostconfig.h"
#include "hosterror.h"
#include "hostio.h"
#include "hostloader.h"
#include "hostplugin.h"
#include "hosttimer.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kExitStart = 1;
constexpr int kExitUsage = 2;
constexpr int kDrainSeconds = 10;
constexpr int kDefaultSelectThreads = 2;
constexpr rlim_t kWantedDescriptors = 65536;

const char kUsage[] =
    "usage: standin-proxy [--config FILE] [--listen ADDR:PORT] [--check] [--help]\n"
    "\n"
    "A forward proxy: clients send absolute URLs (curl -x http://ADDR:PORT URL).\n"
    "\n"
    "  --config FILE       read the directive file FILE (without one, built-in defaults)\n"
    "  --listen ADDR:PORT  accept on this IPv4 address and port (default 127.0.0.1:8080)\n"
    "  --check             read the configuration, report every bad line, and exit\n"
    "  --help              print this text and exit\n";

void print_stats()
{
    HostClientStats s;
    hostclient_stats(&s);
    long sessions[HT_SESSION_STATS];
    HTConnGetSessionStats(sessions);
    std::printf("standin-proxy: stats accepts=%lu requests=%lu timeouts=%lu ends=%lu refused=%lu sessions=%ld\n",
                s.accepts, s.requests, s.timeouts, s.ends, s.refused, sessions[HT_SESSION_STAT_IN_USE]);
    std::fflush(stdout);
}

// "ADDR:PORT" into the client side's settings: 0, or -1 when it is not one.
int set_listen(const char *text)
{
    const char *colon = std::strrchr(text, ':');
    if (colon == nullptr || colon == text || static_cast<size_t>(colon - text) >= sizeof hostclient_settings.listen_address)
        return -1;
    char address[sizeof hostclient_settings.listen_address];
    std::memcpy(address, text, static_cast<size_t>(colon - text));
    address[colon - text] = '\0';
    in_addr a{};
    char *end = nullptr;
    errno = 0;
    const long port = std::strtol(colon + 1, &end, 10);
    if (inet_pton(AF_INET, address, &a) != 1 || end == colon + 1 || *end != '\0' || errno != 0 || port < 0 ||
        port > 65535)
        return -1;
    std::strcpy(hostclient_settings.listen_address, address);
    hostclient_settings.listen_port = static_cast<int>(port);
    return 0;
}

// As many descriptors as the hard limit allows, up to kWantedDescriptors:
// every idle client connection holds one.
void raise_descriptors()
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0)
        return;
    const rlim_t want = r.rlim_max == RLIM_INFINITY || r.rlim_max > kWantedDescriptors ? kWantedDescriptors : r.rlim_max;
    if (r.rlim_cur < want) {
        r.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

// Stops accepting, waits (bounded) for the workers busy with a connection,
// then stops the pool. Connections still open are left to the exit.
void shut_down()
{
    hostclient_stop();
    const time_t until = time(nullptr) + kDrainSeconds;
    while (hostclient_busy() > 0 && time(nullptr) < until) {
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    KillThreadPool(1, nullptr);
}

// Once threads run, returning from main would destroy objects they still
// use (the timer's thread, joinable, ends the process with an abort): a
// start-up failure from then on leaves at once, with the start status.
[[noreturn]] void fail_start()
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(kExitStart);
}

} // namespace

int main(int argc, char **argv)
{
    const char *config = nullptr;
    const char *listen = "127.0.0.1:8080";
    bool listenGiven = false;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "--check") == 0) {
            check = true;
        } else if ((std::strcmp(a, "--config") == 0 || std::strcmp(a, "-c") == 0) && i + 1 < argc) {
            config = argv[++i];
        } else if (std::strcmp(a, "--listen") == 0 && i + 1 < argc) {
            listen = argv[++i];
            listenGiven = true;
        } else {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    // Every thread started from here on inherits the mask: only sigwait
    // below takes these signals.
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The configuration record first, then the library, which reads it.
    if (!config)
        set_listen(listen);
    char error[HOSTCONF_ERROR_MAX];
    const int bad = hostconfig_load(config, nullptr, error);
    if (bad != 0) {
        // Each bad line is on standard error already.
        if (bad < 0)
            std::fprintf(stderr, "standin-proxy: %s\n", error);
        return kExitUsage;
    }
    if ((listenGiven || !config) && set_listen(listen) != 0) {
        std::fprintf(stderr, "standin-proxy: --listen wants ADDR:PORT, not \"%s\"\n", listen);
        return kExitUsage;
    }
    if (HTMyStaticConfig.select_threads == 0)
        HTMyStaticConfig.select_threads = kDefaultSelectThreads;
    if (hostplugin_check() != 0) {
        hostconfig_free(&HTMyStaticConfig);
        return kExitUsage;
    }
    if (check) {
        std::printf("standin-proxy: %s is good\n", config ? config : "the built-in configuration");
        // What the directives made goes before the exit (the leak checker looks then).
        hostconfig_free(&HTMyStaticConfig);
        return 0;
    }
    if (HTInitAll() != HT_INIT_OK) {
        std::fprintf(stderr, "standin-proxy: the library cannot start\n");
        return kExitStart;
    }
    // Each worker reads these once, when it starts, and switches only
    // itself: the main thread keeps its user for the bind below.
    user_id = HTMyStaticConfig.worker_user;
    group_id = HTMyStaticConfig.worker_group;
    if (hostplugin_load() != 0)
        fail_start();
    if (hostclient_startPool() != 0)
        fail_start();
    oSockPoolInit();
    hosterror_install();
    hostloader_install(hostclient_settings.request_timeout);
    if (hosttimer_start() != 0)
        fail_start();
    if (hostclient_settings.request_timeout > 0)
        hostio_setClientTimeout(hostclient_settings.request_timeout * 1000);
    if (hostclient_bind() != 0)
        fail_start();
    raise_descriptors();
    if (hostclient_accept() != 0)
        fail_start();
    std::printf("standin-proxy: listening on %s:%d\n", hostclient_settings.listen_address, hostclient_port());
    std::fflush(stdout);
    for (;;) {
        int sig = 0;
        if (sigwait(&wanted, &sig) != 0)
            continue;
        if (sig == SIGUSR1) {
            print_stats();
            continue;
        }
        shut_down();
        print_stats();
        // Select threads and the collector never end: leave without running
        // the destructors they may still be using.
        _exit(0);
    }
}

// orvhostd: the stand-in host server as a program.
//
//     orvhostd -c CONFIG
//
// Starts the library, reads the configuration file (host/README.md), starts
// the timer and the client side, and prints "orvhostd: listening on
// ADDRESS:PORT" once it accepts connections. SIGUSR1 prints a line of
// counters ("orvhostd: stats accepts=... requests=... timeouts=... ends=...
// refused=... sessions=..."); SIGTERM or SIGINT prints it once more and
// ends the program with status 0. A bad command line or configuration ends
// it with status 2, a failed start with status 1.

#include "HTInit.h"
#include "HTMultiSelect.h"
#include "hosterror.h"
#include "hostclient.h"
#include "hostloader.h"
#include "hostconfig.h"
#include "hosttimer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: orvhostd -c CONFIG\n");
}

void print_stats()
{
    HostClientStats s;
    hostclient_stats(&s);
    long sessions[HT_SESSION_STATS];
    HTConnGetSessionStats(sessions);
    std::printf("orvhostd: stats accepts=%lu requests=%lu timeouts=%lu ends=%lu refused=%lu sessions=%ld\n",
                s.accepts, s.requests, s.timeouts, s.ends, s.refused, sessions[HT_SESSION_STAT_IN_USE]);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const char *config = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "c:")) != -1) {
        if (opt == 'c') {
            config = optarg;
        } else {
            usage();
            return 2;
        }
    }
    if (config == nullptr || optind != argc) {
        usage();
        return 2;
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

    if (HTInitAll() != HT_INIT_OK) {
        std::fprintf(stderr, "orvhostd: the library cannot start\n");
        return 1;
    }
    char error[HOSTCONF_ERROR_MAX];
    const int bad = hostconfig_load(config, nullptr, error);
    if (bad != 0) {
        // Each bad line is on standard error already.
        if (bad < 0)
            std::fprintf(stderr, "orvhostd: %s\n", error);
        return 2;
    }
    hosterror_install();
    hostloader_install(hostclient_settings.request_timeout);
    if (hosttimer_start() != 0 || hostclient_start() != 0)
        return 1;
    std::printf("orvhostd: listening on %s:%d\n", hostclient_settings.listen_address, hostclient_port());
    std::fflush(stdout);
    for (;;) {
        int sig = 0;
        if (sigwait(&wanted, &sig) != 0)
            continue;
        print_stats();
        // The workers and select threads never end: leave without running
        // the destructors they may still be using.
        if (sig != SIGUSR1)
            _exit(0);
    }
}

#include "formsift.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A closed output pipe must surface as a write error (status 2), not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    static char outbuf[1 << 16];
    std::setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
    return formsift_main(argc, argv);
}

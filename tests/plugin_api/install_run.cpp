// The host side of the install check: loads libplugrt from ORVHOST_PLUGRT
// and the plug-in named on the command line, and serves one request with it.

#include "orvhost.h"

#include <dlfcn.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PLUGIN\n", argv[0]);
        return 2;
    }
    std::string error;
    if (orvhost::plugrt(&error) == nullptr) {
        std::fprintf(stderr, "libplugrt: %s\n", error.c_str());
        return 1;
    }
    void *lib = orvhost::load_plugin(argv[1], &error);
    if (lib == nullptr) {
        std::fprintf(stderr, "plug-in: %s\n", error.c_str());
        return 1;
    }
    auto step = reinterpret_cast<int (*)(void *)>(dlsym(lib, "installed_step"));
    if (step == nullptr)
        return 1;
    orvhost::Request request;
    const int r = step(request.handle());
    std::printf("installed plug-in on %s: %d\n", orvhost::plugrt_path(), r);
    return r == 0 && orvhost::Host::get().stub_calls().empty() ? 0 : 1;
}

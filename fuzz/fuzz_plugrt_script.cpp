// A script's result file through HTLoadScriptResultAPI on a request of the
// stand-in host. The whole input is the file. The load must end with the
// loaded result, and the body the target receives must be exactly what
// follows the first empty line (LF or CR LF) outside a skipped over-long line.
#include "orvhost.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr std::size_t kLineMax = 8192;

// The body after the header part; no body when the headers never end.
std::string reference(const std::string &in)
{
    std::size_t at = 0;
    while (at < in.size()) {
        const std::size_t lf = in.find('\n', at);
        if (lf == std::string::npos)
            return {};
        std::size_t length = lf - at;
        if (length <= kLineMax) {
            if (length != 0 && in[lf - 1] == '\r')
                --length;
            if (length == 0)
                return in.substr(lf + 1);
        }
        at = lf + 1;
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const orvhost::Plugrt *api = orvhost::plugrt();
    if (api == nullptr)
        std::abort();
    const std::string file(reinterpret_cast<const char *>(bytes), size);
    FILE *f = std::tmpfile();
    if (f == nullptr)
        return 0;
    std::fwrite(file.data(), 1, file.size(), f);
    std::rewind(f);
    orvhost::Request r;
    const int rc = api->HTLoadScriptResultAPI(f, r.sink.stream(), &r.header(), r.handle());
    std::fclose(f);
    if (rc != HTAPI_SCRIPT_LOADED)
        std::abort();
    if (r.sink.data != reference(file))
        std::abort();
    if (!orvhost::Host::get().stub_calls().empty() || !orvhost::Host::get().problems().empty())
        std::abort();
    return 0;
}

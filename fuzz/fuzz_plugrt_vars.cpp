// Variable names and values through HTTPD_set, HTTPD_replace, httpd_setvar,
// HTTPD_extract, httpd_getvar and the binary user variables, on a request of
// the stand-in host. The first byte chooses the mode and the extract buffer
// size and whether tracing is on, the second the name's length; the rest is
// the name, then the value. Results must be codes of the interface, extracts
// must stay inside their buffers, and a binary user variable must come back
// as it was set.
#include "orvhost.h"

#include "HTTrace.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool api_code(long c)
{
    return (c >= -1 && c <= 11) || c == HTTPD_DONE;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 3)
        return 0;
    const unsigned control = bytes[0];
    const std::size_t name_length = bytes[1] % (size - 2) + 1;
    const std::string name(reinterpret_cast<const char *>(bytes) + 2, name_length);
    const std::string value(reinterpret_cast<const char *>(bytes) + 2 + name_length,
                            size - 2 - name_length);
    const orvhost::Plugrt *api = orvhost::plugrt();
    if (api == nullptr)
        std::abort();
    if (control & 0x80) {
        HTTrace_set(HT_TRACE_QUORAPI, 1);
        tc[HT_TRACE_LEVEL_WORD] = 66;
    }

    orvhost::Request r;
    r.text[HTAPI_URL] = "http://origin.example/a/b?c";
    r.text[HTAPI_QUERY_STRING] = "c";
    r.request_headers = {{"Host", "origin.example", {}}, {"X-A", " 1 ", {}}};
    r.origin_headers = {{"Content-Type", "text/plain", {}}};
    r.cgi = {"A=1"};
    void *h = r.handle();

    unsigned long n = name.size(), v = value.size(), selector = control & 3, mode = control & 3;
    long rc = -99;
    api->HTSET(h, name.data(), &n, value.data(), &v, &rc);
    if (!api_code(rc))
        std::abort();
    api->HTREPLACE(h, name.data(), &n, value.data(), &v, &selector, &rc);
    if (!api_code(rc))
        std::abort();
    const std::string cname = name.substr(0, std::strlen(name.c_str()));
    const std::string cvalue = value.substr(0, std::strlen(value.c_str()));
    if (!cname.empty() && !api_code(api->htsetvar(h, cname.c_str(), cvalue.c_str(), &mode)))
        std::abort();

    // An exactly sized buffer: a write past it shows under the sanitizer.
    const std::size_t room = 1 + ((control >> 2) & 31);
    std::vector<char> buffer(room);
    unsigned long length = room;
    api->HTXTRACT(h, name.data(), &n, buffer.data(), &length, &rc);
    if (rc == HTTPD_SUCCESS && (length >= room || buffer[length] != '\0' ||
                                std::strlen(buffer.data()) != length))
        std::abort();
    if (rc == HTTPD_BUFFER_TOO_SMALL && length <= room)
        std::abort();
    if (rc != HTTPD_SUCCESS && rc != HTTPD_BUFFER_TOO_SMALL && rc != HTTPD_BAD_ARGUMENT)
        std::abort();
    if (!cname.empty()) {
        unsigned long zero = 0;
        const char *got = api->htgetvar(h, cname.c_str(), &zero);
        if (got != nullptr && rc == HTTPD_SUCCESS && cname.size() == name.size() &&
            std::strcmp(got, buffer.data()) != 0)
            std::abort();
    }

    // Binary user variables keep every byte.
    api->HTBINSET(h, name.data(), &n, value.data(), &v, &rc);
    if (rc != HTTPD_SUCCESS)
        std::abort();
    std::vector<char> out(value.size() + 1);
    length = out.size();
    api->HTBINXTRACT(h, name.data(), &n, out.data(), &length, &rc);
    if (rc != HTTPD_SUCCESS || length != value.size() ||
        std::memcmp(out.data(), value.data(), value.size()) != 0)
        std::abort();

    tc[HT_TRACE_LEVEL_WORD] = 0;
    HTTrace_reset();
    if (!orvhost::Host::get().stub_calls().empty() || !orvhost::Host::get().problems().empty())
        std::abort();
    orvhost::Host::get().clear_records();
    return 0;
}

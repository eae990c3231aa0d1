// Response header lists through a transmogrifier's put headers and the
// Warning 214 builder. The first byte chooses whether warnings are wanted,
// the status (100 or 200) and whether the list is given; the rest, split at
// LF, are the header lines. At most one Warning 214 may be added, none when
// one is there, the lines that were there must stay as they were, and the
// module is opened unless the response is an interim one or says
// no-transform.
#include "orvhost.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int opens;

void *module_open(void *handle, long *rc)
{
    ++opens;
    long ignored = 0;
    orvhost::plugrt()->htopen(handle, &ignored);
    *rc = 200;
    return &opens;
}
void module_write(void *handle, const char *data, unsigned long *length, void *, long *rc)
{
    orvhost::plugrt()->HTWRITE(handle, data, length, rc);
}
void module_close(void *handle, void *, long *rc)
{
    orvhost::plugrt()->htclose(handle, rc);
}
void module_error(void *, void *, long *rc)
{
    *rc = 0;
}

bool warning_214(const std::string &line)
{
    if (strncasecmp(line.c_str(), "Warning", 7) != 0)
        return false;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    std::size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
        ++v;
    return line.compare(v, 3, "214") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 1)
        return 0;
    const orvhost::Plugrt *api = orvhost::plugrt();
    if (api == nullptr)
        std::abort();
    const uint8_t mode = bytes[0];
    std::vector<std::string> lines;
    std::string rest(reinterpret_cast<const char *>(bytes) + 1, size - 1);
    for (std::size_t at = 0; at < rest.size();) {
        std::size_t lf = rest.find('\n', at);
        if (lf == std::string::npos)
            lf = rest.size();
        std::string line = rest.substr(at, lf - at);
        if (line.find('\0') == std::string::npos)
            lines.push_back(line);
        at = lf + 1;
    }
    orvhost::Host::get().want_warnings = mode & 1;
    orvhost::Request r;
    r.response.status = mode & 2 ? 100 : 200;
    bool had_214 = false;
    bool no_transform = false;
    for (const std::string &l : lines) {
        r.add_line(l);
        had_214 = had_214 || warning_214(l);
        no_transform = no_transform || (strncasecmp(l.c_str(), "Cache-Control:", 14) == 0 &&
                                        strcasestr(l.c_str(), "no-transform") != nullptr);
    }
    const HTTransmogrifierModule module = {"fuzz", "o", "w", "c", "e",
                                           module_open, module_write, module_close, module_error};
    opens = 0;
    HTStream *s = api->HTTransmogrify_new(r.sink.stream(), &module, r.handle());
    HTAPIResponse *response = mode & 4 ? &r.response : nullptr;
    s->isa->put_headers(s, response);
    if (mode & 8)
        api->_HTTransmogrify_makeWarning(r.handle());
    s->isa->write(s, "x", 1);
    s->isa->free(s, nullptr);

    const std::vector<std::string> after = r.lines();
    if (after.size() < lines.size() || after.size() > lines.size() + 1)
        std::abort();
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (after[i] != lines[i])
            std::abort();
    if (after.size() == lines.size() + 1 && (had_214 || !warning_214(after.back())))
        std::abort();
    const bool interim = response != nullptr && response->status == 100;
    const bool disabled = response != nullptr && no_transform;
    if (opens != (interim || disabled ? 0 : 1))
        std::abort();
    if (r.sink.frees != 1)
        std::abort();
    orvhost::Host::get().want_warnings = 0;
    if (!orvhost::Host::get().stub_calls().empty() || !orvhost::Host::get().problems().empty())
        std::abort();
    return 0;
}

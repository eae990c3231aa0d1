// Fuzzes the description file and title peeking of directory pages, and
// the HTML escaper: the input is written as a directory's ".www_descript"
// and as an HTML file. Every kept description is a template, one blank and
// a text, neither empty, with no line end; a peeked title starts with no
// white space and holds no run of it; escaped text holds no byte that
// could open markup or end an attribute.

#include "HTDescript.h"
#include "HTEscHTML.h"
#include "fuzz_context.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Never destroyed: the clean-up at exit still needs it.
const std::string &directory()
{
    static const std::string &d = *new std::string([] {
        const char *tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzzdescript.XXXXXX";
        if (mkdtemp(t.data()) == nullptr)
            std::abort();
        return t;
    }());
    return d;
}

struct Cleanup {
    ~Cleanup()
    {
        unlink((directory() + "/.www_descript").c_str());
        unlink((directory() + "/t.html").c_str());
        rmdir(directory().c_str());
    }
} cleanup;

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 20000)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::ofstream(directory() + "/.www_descript", std::ios::binary | std::ios::trunc) << input;
    std::ofstream(directory() + "/t.html", std::ios::binary | std::ios::trunc) << input;
    for (HTDirDescription *d = HTReadDescriptions(directory().c_str(), g); d; d = d->next) {
        const char *line = d->line;
        const char *sep = std::strchr(line, ' ');
        if (sep == nullptr || sep == line || sep[1] == '\0' || std::strpbrk(line, "\r\n") != nullptr)
            std::abort();
        if (std::strlen(line) > HT_DESCRIPT_LINE)
            std::abort();
    }
    if (const char *title = HTPeekTitle(directory().c_str(), "t.html", g)) {
        if (space(title[0]))
            std::abort();
        for (const char *p = title; *p; ++p)
            if (space(*p) && (*p != ' ' || space(p[1])))
                std::abort();
    }
    const char *escaped = HTEscapeHTMLSpan(input.data(), input.size(), g);
    if (std::strpbrk(escaped, "<>\"'") != nullptr)
        std::abort();
    fuzz_context_reset(g);
    return 0;
}

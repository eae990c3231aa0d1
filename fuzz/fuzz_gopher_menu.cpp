// Fuzzes the Gopher menu page with random answers: whatever the server
// sends lands HTML-escaped inside the page's fixed frame, and the links
// hold no quote, markup or blank. The first byte picks the anchor's title
// (none, or the rest of the input up to a zero byte); the plain-text form
// runs on the same answer.

#include "HTAnchor.h"
#include "HTGopher.h"
#include "fuzz_context.h"
#include "gopher_page_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 40000)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const bool titled = (data[0] & 1) != 0;
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string title;
    std::string answer = rest;
    if (titled) {
        title = rest.c_str();
        answer = rest.size() > title.size() ? rest.substr(title.size() + 1) : std::string();
    }
    HTAnchor *anchor = HTAnchor_findAddress("gopher://h/1", g);
    if (titled)
        HTAnchor_setTitle(anchor, title.c_str());
    std::string page;
    gopher_check::Sink sink{&gopher_check::kSinkClass, &page};
    HTGopher__menuText(answer.data(), answer.size(), anchor, reinterpret_cast<HTStream *>(&sink), 0, g);
    if (titled) {
        if (page.compare(0, 4, "<h1>") != 0)
            std::abort();
        const size_t close = page.find("</h1><pre>");
        if (close == std::string::npos)
            std::abort();
        // The title part follows the same rules; then the body.
        gopher_check::check(page.substr(0, close + 10), "<h1>", "</h1><pre>", {}, false);
        gopher_check::check(page.substr(close + 5), "<pre>", "</pre>", {"</a>"}, true);
    } else {
        gopher_check::check(page, "<h2>Gopher Menu</h2><hr><pre>", "</pre>", {"</a>"}, true);
    }
    std::string text;
    gopher_check::Sink plain{&gopher_check::kSinkClass, &text};
    HTGopher__menuText(answer.data(), answer.size(), anchor, reinterpret_cast<HTStream *>(&plain), 1, g);
    fuzz_context_reset(g);
    return 0;
}

// Fuzzes the CSO answer page with random answers: whatever the server sends
// lands HTML-escaped inside the page's fixed frame, between the headings
// the renderer writes itself. The plain-text form runs on the same answer.

#include "HTGopher.h"
#include "fuzz_context.h"
#include "gopher_page_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 40000)
        return 0;
    HTThdGlobals *g = fuzz_request();
    const char *answer = reinterpret_cast<const char *>(data);
    std::string page;
    gopher_check::Sink sink{&gopher_check::kSinkClass, &page};
    HTGopher__csoText(answer, size, reinterpret_cast<HTStream *>(&sink), 0, g);
    gopher_check::check(page, "<h1>CSO Search Results</h1><pre>", "\n</pre>\n",
                        {"</pre><h2>", "</h2><pre>", "<h2>", "</h2>"}, false);
    std::string text;
    gopher_check::Sink plain{&gopher_check::kSinkClass, &text};
    HTGopher__csoText(answer, size, reinterpret_cast<HTStream *>(&plain), 1, g);
    fuzz_context_reset(g);
    return 0;
}

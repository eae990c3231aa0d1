// Fuzzes the FTP listing lines: the first byte picks the listing style (and
// whether the line is the first one, a header, with the date flag), the
// rest is the line, parsed in a heap block of exactly its size. An entry
// that is filled has a name and an owner or group inside the pool; the
// style only ever changes as the session's corrections allow. The reply
// readers get the same bytes.

#include "HTFTP.h"
#include "HTFTPDir.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

time_t fixed_now()
{
    return 1781524800;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const int styles[] = {1, 2, 3, 6, 7, 8, 9, 10, 11, 14, 0, 42};
    HTThdGlobals *g = fuzz_request();
    HTFTPDir_setClock(fixed_now);
    const uint8_t control = data[0];
    const size_t n = size - 1;
    char *line = static_cast<char *>(std::malloc(n + 1));
    std::memcpy(line, data + 1, n);
    line[n] = '\0';

    HTFTPListState state{styles[control % 12], (control >> 4) & 1};
    const int before = state.style;
    HTFTPDirEntry entry{};
    const int rc = HTFTP_parse_dir_entry(&state, line, (control >> 5) & 1, &entry, (control >> 6) & 1, g);
    if (rc != 0 && rc != 1)
        std::abort();
    if (rc == 1 && (entry.name == nullptr || entry.name[0] == '\0' || entry.group == nullptr))
        std::abort();
    if (state.style != before && !(before == 9 && state.style == 10) && state.style != 0)
        std::abort();

    // The reply readers, on exactly the input's bytes.
    char *bytes = static_cast<char *>(std::malloc(n == 0 ? 1 : n));
    std::memcpy(bytes, data + 1, n);
    uint32_t address;
    int port;
    if (HTFTP_parsePasv(bytes, n, &address, &port) == 0 && (port <= 0 || port > 65535))
        std::abort();
    HTFTPReply reply{};
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || bytes[i] == '\n') {
            size_t offset = 0;
            const int r = HTFTP_replyLine(&reply, bytes + start, i - start, &offset);
            if (offset > i - start)
                std::abort();
            if (r == HT_FTP_REPLY_BAD || r == HT_FTP_REPLY_DONE)
                break;
            start = i + 1;
        }
    }
    std::free(bytes);
    std::free(line);
    fuzz_context_reset(g);
    return 0;
}

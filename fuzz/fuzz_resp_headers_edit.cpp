// Fuzzes the editing operations of the response header store. The input up
// to the first zero byte is a response head, fed through the writer; the
// rest is a program: each operation is one byte (the operation and a mode)
// followed by a name and a value, each ended by a zero byte. After every
// operation the store must be sound: the count matches the header list,
// every line ends with CR LF, and the status line is a line.

#include "HTClientRespHeaders.h"
#include "HTList.h"
#include "HTStreamStack.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int sink_write(HTStream *, const char *, int) { return 0; }
int sink_message(HTStream *, int number, void *argument)
{
    if (number == HT_STREAM_MSG_IDENTIFY)
        *static_cast<int *>(argument) = 2;
    return 0;
}
int sink_put_headers(HTStream *, void *) { return HT_HEADERS_SENT; }
const HTStreamClass kSink = {"FuzzSink", nullptr, nullptr, nullptr, nullptr,
                             sink_write, nullptr, sink_message, sink_put_headers};

bool ends_with_crlf(const char *line)
{
    const size_t n = std::strlen(line);
    return n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n';
}

void check_list(const HTList *list, int expected_count, bool count_it)
{
    int n = 0;
    for (const HTList *e = list ? list->next : nullptr; e; e = e->next, ++n)
        if (e->object == nullptr)
            std::abort();
    if (count_it && n != expected_count)
        std::abort();
}

void check(HTThdGlobals *g, bool edited_only)
{
    const HTRespHeaders *s = HTStreamStack_store(g);
    check_list(s->headers, s->count, true);
    check_list(s->plugin, 0, false);
    // Lines the edits make always end in CR LF; so does every line the writer stores.
    for (const HTList *e = s->headers ? s->headers->next : nullptr; e; e = e->next)
        if (!ends_with_crlf(static_cast<const char *>(e->object)))
            std::abort();
    if (edited_only && !ends_with_crlf(s->status_line))
        std::abort();
}

// The next zero-terminated piece of [p, end), or the rest.
std::string take(const uint8_t *&p, const uint8_t *end)
{
    const uint8_t *z = static_cast<const uint8_t *>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    const uint8_t *stop = z ? z : end;
    std::string piece(reinterpret_cast<const char *>(p), static_cast<size_t>(stop - p));
    p = z ? z + 1 : end;
    return piece;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 20000)
        return 0;
    HTThdGlobals *g = fuzz_request();
    HTStreamStackStatus_init(g);
    HTStream sink{&kSink};
    const uint8_t *p = data;
    const uint8_t *const end = data + size;
    const std::string head = take(p, end);
    // A head cut short stays in the header phase, so that edits also meet the plug-in list.
    HTStreamStackWriter(head.data(), static_cast<int>(head.size()), &sink, nullptr, g);
    check(g, false);
    bool status_set = false;
    while (p < end) {
        const uint8_t op = *p++;
        const std::string name = take(p, end);
        const std::string value = take(p, end);
        const int arg = static_cast<int>(op >> 3);
        switch (op & 7) {
        case 0:
            HTClientRespHeaders_setHeaderValue(name.c_str(), value.c_str(), arg % 6, g);
            break;
        case 1:
            HTClientRespHeaders_replaceHeaderValue(name.c_str(), (arg & 1) ? nullptr : value.c_str(), arg >> 1, g);
            break;
        case 2:
            if (char *v = HTClientRespHeaders_getNth(name.c_str(), g, arg))
                if (std::strchr(v, '\r') || std::strchr(v, '\n'))
                    std::abort();
            break;
        case 3:
            HTClientRespHeaders_setStatus(arg * 37, (arg & 1) ? nullptr : value.c_str(),
                                          (arg & 2) ? -1 : static_cast<int>(value.size() / 2), g);
            status_set = true;
            break;
        case 4: {
            const char *reason = HTClientRespHeaders_getReason(g);
            const char *status = HTClientRespHeaders_getStatus(g);
            if (reason == nullptr || status == nullptr || std::strchr(reason, '\n'))
                std::abort();
            break;
        }
        case 5:
            HTClientRespHeaders_addHeader(name.c_str(), value.c_str(), g);
            break;
        case 6:
            if (arg & 1)
                HTClientRespHeaders_delete(name.c_str(), g);
            else
                HTClientRespHeaders_delete_one(name.c_str(), g);
            break;
        default:
            HTClientRespHeaders_get(g);
            HTClientRespHeaders_getContentTypeParams(g);
            HTClientRespHeaders_setContentTypeParams(value.c_str(), g);
            HTClientRespHeaders_checkCCHeaders(g);
            if (arg & 1)
                HTStreamStackStatus_mergeHeaders(g);
            break;
        }
        check(g, status_set);
    }
    fuzz_context_reset(g);
    return 0;
}

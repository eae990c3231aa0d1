// The transmogrifier stream, Warning 214, HTTPD_open and HTTPD_close.

#include "mogrify.h"

#include "htapi.h"
#include "htstream.h"

#include <strings.h>

#include <cstring>

namespace plugrt {
namespace {

constexpr long kModuleAccepted = 200; // open's code that keeps the module in the chain
constexpr long kModuleFailed = 399;   // write codes above this disable the module
constexpr int kContinueStatus = 100;
constexpr char kWarningCode[] = "214";
constexpr char kWarningText[] = "Transmogrified";
constexpr int kWarningTextLength = sizeof kWarningText - 1;
constexpr std::size_t kDateBuffer = 44;

bool mogrify_traces() noexcept
{
    return traces(kTraceApi);
}

Transmogrifier *tr_of(HTStream *s)
{
    return reinterpret_cast<Transmogrifier *>(s);
}

// The value of a header line: after its colon and the blanks behind it.
const char *line_value(const char *line)
{
    const char *colon = std::strchr(line, ':');
    if (colon == nullptr)
        return nullptr;
    ++colon;
    while (*colon == ' ' || *colon == '\t')
        ++colon;
    return colon;
}

// A Warning line among the list's first `count` lines whose value starts with 214.
bool has_warning_214(const HTAPIHeaderList *list)
{
    if (list == nullptr)
        return false;
    const HTAPIHeaderLine *l = list->first;
    // Only the lines there when the walk began: lines appended meanwhile are not visited.
    for (std::size_t n = list->count; l != nullptr && n != 0; l = l->next, --n) {
        if (l->text == nullptr || strncasecmp(l->text, "Warning", 7) != 0)
            continue;
        const char *v = line_value(l->text);
        if (v != nullptr && std::strncmp(v, kWarningCode, 3) == 0)
            return true;
    }
    return false;
}

// The Date value copied into pool memory (up to CR, LF or NUL), or now in the host's format.
const char *warning_date(HTAPIHandle *h, const HTAPIHeaderList *list)
{
    auto find = entry<HTCB_FIND_HEADER>();
    const char *line = find ? find(list, "Date") : nullptr;
    const char *v = line ? line_value(line) : nullptr;
    if (v != nullptr) {
        const std::size_t n = std::strcspn(v, "\r\n");
        auto *copy = static_cast<char *>(pool_alloc(h, n + 1));
        if (copy == nullptr)
            return nullptr;
        std::memcpy(copy, v, n);
        copy[n] = '\0';
        return copy;
    }
    auto calloc = entry<HTCB_POOL_CALLOC>();
    auto format = entry<HTCB_FORMAT_DATE>();
    auto *buffer = calloc ? static_cast<char *>(calloc(kDateBuffer, 1, h)) : nullptr;
    if (buffer == nullptr || format == nullptr)
        return nullptr;
    return format(buffer, kDateBuffer);
}

void tell_disabled(Transmogrifier *t, bool tracing)
{
    HTAPI_TRACE(tracing, "mogrify..... calling send message to chunk blower \"%s\": we've been disabled.\n",
                t->name);
    stream_message(t->head.target, HTAPI_MSG_DISABLED, const_cast<char *>(t->name));
}

PluginScope enter(Transmogrifier *t)
{
    return enter_plugin(t->handle, t->head.target, HTAPI_STEP_TRANSMOGRIFIER, t);
}

int tr_put_headers(HTStream *s, void *response_)
{
    Transmogrifier *t = tr_of(s);
    auto *response = static_cast<HTAPIResponse *>(response_);
    HTAPIHandle *h = t->handle;
    HTAPIRequest *r = h->request;
    const bool tracing = mogrify_traces();
    const int step = r->step;
    void *previous = r->api->transmogrifier;
    r->step = HTAPI_STEP_TRANSMOGRIFIER;
    r->api->transmogrifier = t;
    t->response = response;
    if (step != HTAPI_STEP_ERROR) {
        auto no_transform = entry<HTCB_RESPONSE_NO_TRANSFORM>();
        if (no_transform && no_transform(h, response) == 1 &&
            (r->api->flags & HTAPI_FLAG_OVERRIDE_PROXY_NT) == 0) {
            HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier open \"%s\": no-transform header.\n",
                        t->name);
            t->head.state = kTrDisabled;
        }
    }
    HTAPIHeaderList *list = response ? response->headers : nullptr;
    if (list != nullptr)
        if (auto prepare = entry<HTCB_PREPARE_HEADERS>())
            prepare(h, list);
    if (t->head.state == kTrDisabled) {
        tell_disabled(t, tracing);
        HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier open \"%s\": we've been disabled.\n",
                    t->name);
        stream_put_headers(t->head.target, response);
    } else if (response != nullptr && response->status == kContinueStatus) {
        HTAPI_TRACE(tracing, "mogrify..... skip 100 response.\n");
        stream_put_headers(t->head.target, response);
    } else {
        auto want = entry<HTCB_WANT_WARNINGS>();
        if (!has_warning_214(list) && want != nullptr && want(h) != 0) {
            if (make_warning(h, response))
                HTAPI_TRACE(tracing, "mogrify..... successfully added Warning 214 header\n");
            else
                HTAPI_TRACE(tracing, "mogrify..... unsuccessful adding Warning 214 header\n");
        }
        HTAPI_TRACE(tracing, "mogrify..... calling transmogrifier open: \"%s\".\n", t->name);
        long code = 0;
        HTStream *output = r->api->output;
        r->api->output = t->head.target;
        t->context = t->module.open(h, &code);
        r->api->output = output;
        HTAPI_TRACE(tracing, "mogrify..... transmogrifier open \"%s\" returned %d.\n", t->name,
                    static_cast<int>(code));
        if (code != kModuleAccepted) {
            HTAPI_TRACE(tracing,
                        "mogrify..... transmogrifier \"%s\" being disabled, reason: return code from open = %d.\n",
                        t->name, static_cast<int>(code));
            const int state = t->head.state;
            t->head.state = kTrDisabled;
            tell_disabled(t, tracing);
            // A module that opened the chain before refusing has passed the headers already.
            if (state == kTrInitial)
                stream_put_headers(t->head.target, response);
        }
    }
    r->step = step;
    r->api->transmogrifier = previous;
    return 1;
}

int tr_write(HTStream *s, const char *data, int length)
{
    Transmogrifier *t = tr_of(s);
    const bool tracing = mogrify_traces();
    int result = 0;
    const PluginScope scope = enter(t);
    if (t->head.state == kTrDisabled) {
        HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier write \"%s\": we've been disabled.\n",
                    t->name);
        result = stream_write(t->head.target, data, length);
    } else if (t->head.state == kTrDone) {
        HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier write \"%s\": we're already done.\n",
                    t->name);
    } else {
        HTAPI_TRACE(tracing, "mogrify..... calling transmogrifier write: \"%s\".\n", t->name);
        long code = 0;
        unsigned long n = length < 0 ? 0 : static_cast<unsigned long>(length);
        t->module.write(t->handle, data, &n, t->context, &code);
        HTAPI_TRACE(tracing, "mogrify..... transmogrifier write \"%s\" returned %d.\n", t->name,
                    static_cast<int>(code));
        if (code > kModuleFailed) {
            HTAPI_TRACE(tracing,
                        "mogrify..... transmogrifier \"%s\" being disabled, reason: return code from write = %d.\n",
                        t->name, static_cast<int>(code));
            // Closed by the module already: the target is gone, nothing passes any more.
            if (t->head.state != kTrDone)
                t->head.state = kTrDisabled;
        }
    }
    leave_plugin(scope);
    return result;
}

int tr_put_character(HTStream *s, int c)
{
    const char b = static_cast<char>(c);
    return tr_write(s, &b, 1);
}

int tr_put_string(HTStream *s, const char *text)
{
    return tr_write(s, text, text ? static_cast<int>(std::strlen(text)) : 0);
}

// Free and abort: the module closes unless disabled or done; then the target
// is freed unless htclose freed it.
int tr_free(HTStream *s, void *argument)
{
    Transmogrifier *t = tr_of(s);
    const bool tracing = mogrify_traces();
    const PluginScope scope = enter(t);
    if (t->head.state == kTrDisabled) {
        HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier close: \"%s\", we've been disabled.\n",
                    t->name);
    } else if (t->head.state == kTrDone) {
        HTAPI_TRACE(tracing, "mogrify..... NOT calling transmogrifier close \"%s\": we're already done.\n",
                    t->name);
    } else {
        HTAPI_TRACE(tracing, "mogrify..... calling transmogrifier close: \"%s\".\n", t->name);
        long code = 0;
        t->module.close(t->handle, t->context, &code);
        HTAPI_TRACE(tracing, "mogrify..... transmogrifier close \"%s\" returned %d.\n", t->name,
                    static_cast<int>(code));
    }
    leave_plugin(scope);
    int result = 0;
    if (t->head.state != kTrDone) {
        t->head.state = kTrDone;
        HTStream *target = t->head.target;
        result = stream_free(target, argument);
    }
    return result;
}

int tr_message(HTStream *s, int message, void *argument)
{
    Transmogrifier *t = tr_of(s);
    const bool tracing = mogrify_traces();
    switch (message) {
    case HTAPI_MSG_ERROR: {
        HTAPI_TRACE(tracing, "mogrify..... calling transmogrifier error function \"%s\".\n", t->name);
        long code = 0;
        const PluginScope scope = enter(t);
        t->module.error(t->handle, t->context, &code);
        leave_plugin(scope);
        HTAPI_TRACE(tracing, "mogrify..... transmogrifier error \"%s\" returned %d.\n", t->name,
                    static_cast<int>(code));
        // After htclose the target is gone; the state stays done so it is not freed again.
        if (t->head.state != kTrDone)
            t->head.state = kTrInitial;
        return 0;
    }
    case HTAPI_MSG_STATUS:
        if (argument != nullptr)
            *static_cast<int *>(argument) = HTAPI_TR_STATUS_ANSWER;
        return 0;
    case HTAPI_MSG_COUNT:
        if (t->head.state != kTrDisabled && argument != nullptr)
            ++*static_cast<int *>(argument);
        break;
    default:
        if (message >= HTAPI_MSG_LOW_FIRST && message <= HTAPI_MSG_LOW_LAST)
            return 0;
        break;
    }
    return t->head.state == kTrDone ? 0 : stream_message(t->head.target, message, argument);
}

const HTStreamClass kTransmogrifierClass = {
    "TransmogrifierAPI", tr_free,  tr_free,            tr_put_character, tr_put_string,
    tr_write,            HTStream_statusNOP, tr_message, tr_put_headers,
};

// The request's current transmogrifier for htopen and htclose, or null (code 4).
Transmogrifier *current(Frame &f)
{
    HTAPIRequest *r = f.handle()->request;
    if (r == nullptr || r->api == nullptr || r->step != HTAPI_STEP_TRANSMOGRIFIER)
        return nullptr;
    auto *t = static_cast<Transmogrifier *>(r->api->transmogrifier);
    return t != nullptr && t->head.isa == &kTransmogrifierClass ? t : nullptr;
}

} // namespace

bool make_warning(HTAPIHandle *h, HTAPIResponse *response) noexcept
{
    if (h == nullptr || h->request == nullptr)
        return false;
    auto agent_of = entry<HTCB_WARNING_AGENT>();
    auto build = entry<HTCB_WARNING_VALUE>();
    auto add = entry<HTCB_ADD_HEADER>();
    if (agent_of == nullptr || build == nullptr || add == nullptr)
        return false;
    const char *agent = agent_of(h);
    HTAPIHeaderList *list = response ? response->headers : nullptr;
    if (list == nullptr) {
        auto make = entry<HTCB_NEW_HEADER_LIST>();
        list = make ? make(h) : nullptr;
        if (list == nullptr)
            return false;
        if (response != nullptr && response->headers == nullptr)
            response->headers = list;
    }
    if (has_warning_214(list))
        return true;
    const char *date = warning_date(h, list);
    if (date == nullptr)
        return false;
    char *value = build(h, kWarningCode, kWarningText, kWarningTextLength, agent, date);
    if (value == nullptr || add(h, list, "Warning", value) != 0)
        return false;
    ++h->request->warnings;
    return true;
}

} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT HTStream *HTTransmogrify_new(HTStream *target,
                                                      const HTTransmogrifierModule *module,
                                                      void *handle) noexcept
{
    HTAPIHandle *h = resolve_handle(handle);
    if (module == nullptr || module->open == nullptr || module->write == nullptr ||
        module->close == nullptr || module->error == nullptr || h == nullptr ||
        h->request == nullptr || h->request->api == nullptr)
        return target;
    auto *t = static_cast<Transmogrifier *>(pool_alloc(h, sizeof(Transmogrifier)));
    if (t == nullptr)
        return nullptr;
    std::memset(t, 0, sizeof *t);
    t->head = {&kTransmogrifierClass, target, kTrInitial};
    t->name = module->name ? module->name : "";
    t->open_name = module->open_name;
    t->write_name = module->write_name;
    t->close_name = module->close_name;
    t->error_name = module->error_name;
    t->module = *module;
    t->handle = h;
    return reinterpret_cast<HTStream *>(t);
}

extern "C" PLUGRT_EXPORT int _HTTransmogrify_makeWarning(void *handle) noexcept
{
    HTAPIHandle *h = resolve_handle(handle);
    if (h == nullptr || h->request == nullptr)
        return 0;
    HTAPIResponse *response = h->request->response;
    if (response == nullptr)
        if (auto head = entry<HTCB_RESPONSE_HEAD>())
            response = head(h);
    return make_warning(h, response) ? 1 : 0;
}

extern "C" PLUGRT_EXPORT void htopen(void *handle, long *return_code) noexcept
{
    if (return_code != nullptr)
        *return_code = HTTPD_SUCCESS;
    Frame f(Api::Open, handle, return_code, {});
    if (!f.live())
        return;
    Transmogrifier *t = current(f);
    if (t == nullptr || t->head.state != kTrInitial) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    HTStream *target = t->head.target;
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_open calling %s.\n",
                target && target->isa && target->isa->name ? target->isa->name : "(none)");
    t->head.state = kTrOpening;
    stream_put_headers(target, t->response);
    t->head.state = kTrOpen;
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void htclose(void *handle, long *return_code) noexcept
{
    if (return_code != nullptr)
        *return_code = HTTPD_SUCCESS;
    Frame f(Api::Close, handle, return_code, {});
    if (!f.live())
        return;
    Transmogrifier *t = current(f);
    if (t == nullptr || t->head.state == kTrInitial || t->head.state == kTrDone) {
        f.finish(HTTPD_WRONG_STEP);
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_close calling next guy.\n");
    t->head.state = kTrClosing;
    stream_free(t->head.target, nullptr);
    t->head.state = kTrDone;
    f.finish(HTTPD_SUCCESS);
}

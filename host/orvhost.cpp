// The stand-in host: loading, the server record, requests, request memory,
// the body source and the streams of the client connection.

#include "orvhost.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#ifndef ORVHOST_PLUGRT
#error "ORVHOST_PLUGRT (the path of libplugrt) must be defined by the build"
#endif

namespace orvhost {

// ---- loading ----

const char *plugrt_path()
{
    const char *chosen = std::getenv("ORVHOST_PLUGRT");
    return chosen != nullptr && *chosen != '\0' ? chosen : ORVHOST_PLUGRT;
}

namespace {

template <class T> bool find(void *lib, const char *name, T &out)
{
    out = reinterpret_cast<T>(dlsym(lib, name));
    return out != nullptr;
}

Plugrt *load(std::string *error)
{
    void *lib = dlopen(plugrt_path(), RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr) {
        if (error)
            *error = dlerror();
        return nullptr;
    }
    auto *p = new Plugrt;
    p->library = lib;
    bool ok = true;
#define ORVHOST_FIND_(name) ok = find(lib, #name, p->name) && ok;
    ORVHOST_PLUGRT_FUNCTIONS(ORVHOST_FIND_)
#undef ORVHOST_FIND_
    ok = find(lib, "all_api_callbacks", p->all_api_callbacks) && ok;
    ok = find(lib, "HTMyStaticConfig", p->HTMyStaticConfig) && ok;
    ok = find(lib, "tqos_key", p->tqos_key) && ok;
    ok = find(lib, "HTCFs_afterDeleteCallbacks", p->HTCFs_afterDeleteCallbacks) && ok;
    ok = find(lib, "HTTransmogrify_makeWarning", p->HTTransmogrify_makeWarning) && ok;
    ok = find(lib, "CCAPIVersion", p->CCAPIVersion) && ok;
    ok = find(lib, "errmap", p->errmap) && ok;
    if (!ok || p->set_api_callbacks(Host::get().table()) != 0) {
        if (error)
            *error = "libplugrt lacks an export or refused the table";
        delete p;
        return nullptr;
    }
    return p;
}

} // namespace

const Plugrt *plugrt(std::string *error)
{
    static std::mutex m;
    static Plugrt *loaded = nullptr;
    std::lock_guard<std::mutex> lock(m);
    if (loaded == nullptr)
        loaded = load(error);
    return loaded;
}

void *load_plugin(const std::string &path, std::string *error)
{
    void *lib = dlopen(path.c_str(), RTLD_NOW);
    if (lib == nullptr && error)
        *error = dlerror();
    return lib;
}

// ---- streams ----

namespace {

MemorySink *sink_of(HTStream *s)
{
    return static_cast<MemorySink *>(reinterpret_cast<StreamBox *>(s)->owner);
}

const HTStreamClass kSinkClass = {
    "MemorySink",
    [](HTStream *s, void *) { return ++sink_of(s)->frees, 0; },
    [](HTStream *s, void *) { return ++sink_of(s)->aborts, 0; },
    [](HTStream *s, int c) { return sink_of(s)->data.push_back(static_cast<char>(c)), 0; },
    [](HTStream *s, const char *text) { return sink_of(s)->data.append(text), 0; },
    [](HTStream *s, const char *data, int length) {
        MemorySink *m = sink_of(s);
        if (m->fail_writes || length < 0)
            return -1;
        m->data.append(data, static_cast<std::size_t>(length));
        return 0;
    },
    [](HTStream *s, int *out) {
        ++sink_of(s)->statuses;
        if (out)
            *out = 0;
        return 0;
    },
    [](HTStream *s, int message, void *) { return sink_of(s)->messages.push_back(message), 0; },
    [](HTStream *s, void *) { return ++sink_of(s)->put_headers, 1; },
};

ConversionStream *conversion_of(HTStream *s)
{
    return static_cast<ConversionStream *>(reinterpret_cast<StreamBox *>(s)->owner);
}

int pass_write(HTStream *s, const char *data, int length)
{
    ConversionStream *c = conversion_of(s);
    c->written += static_cast<std::size_t>(length);
    return c->sink ? c->sink->isa->write(c->sink, data, length) : -1;
}

const HTStreamClass kConversionClass = {
    "Conversion",
    [](HTStream *s, void *a) { return conversion_of(s)->sink->isa->free(conversion_of(s)->sink, a); },
    [](HTStream *s, void *a) { return conversion_of(s)->sink->isa->abort(conversion_of(s)->sink, a); },
    [](HTStream *s, int c) {
        const char b = static_cast<char>(c);
        return pass_write(s, &b, 1);
    },
    [](HTStream *s, const char *text) { return pass_write(s, text, static_cast<int>(std::strlen(text))); },
    pass_write,
    [](HTStream *, int *out) {
        if (out)
            *out = 0;
        return 0;
    },
    [](HTStream *s, int m, void *a) {
        return conversion_of(s)->sink->isa->message(conversion_of(s)->sink, m, a);
    },
    [](HTStream *s, void *r) {
        return conversion_of(s)->sink->isa->put_headers(conversion_of(s)->sink, r);
    },
};

} // namespace

MemorySink::MemorySink() : box_{{&kSinkClass}, this} {}

ConversionStream::ConversionStream(std::string t, HTStream *s)
    : type(std::move(t)), sink(s), box_{{&kConversionClass}, this}
{
}

BodySource::~BodySource()
{
    std::free(last_);
}

void BodySource::set(std::string bytes, std::size_t piece)
{
    data_ = std::move(bytes);
    pos_ = 0;
    piece_ = piece == 0 ? 1 : piece;
}

const char *BodySource::block(std::size_t *count)
{
    std::free(last_);
    last_ = nullptr;
    std::size_t n = left();
    if (*count < n)
        n = *count;
    if (piece_ < n)
        n = piece_;
    *count = n;
    if (n == 0)
        return nullptr;
    // Exactly the piece, so that a read past it shows under the sanitizers
    // (without the memory for a copy, the body itself).
    const char *piece = data_.data() + pos_;
    last_ = static_cast<char *>(std::malloc(n));
    if (last_ != nullptr)
        piece = static_cast<const char *>(std::memcpy(last_, piece, n));
    pos_ += n;
    return piece;
}

int BodySource::byte()
{
    return pos_ < data_.size() ? static_cast<unsigned char>(data_[pos_++]) : -1;
}

// ---- request memory ----

void *Pool::alloc(std::size_t size)
{
    ++allocations;
    if (fail_at > 0 && allocations >= fail_at)
        return nullptr;
#if defined(HT_POOL_DEBUG) || defined(ORV_SANITIZED)
    // Each allocation its own block, so that the sanitizers see its end.
    void *p = std::malloc(size == 0 ? 1 : size);
    blocks_.push_back(p);
    return p;
#else
    constexpr std::size_t kAlign = alignof(std::max_align_t);
    const std::size_t n = (size + kAlign - 1) / kAlign * kAlign + (size == 0 ? kAlign : 0);
    constexpr std::size_t kBlock = 16384;
    if (n > room_) {
        const std::size_t b = n > kBlock ? n : kBlock;
        next_ = static_cast<char *>(std::malloc(b));
        if (next_ == nullptr)
            return nullptr;
        blocks_.push_back(next_);
        room_ = b;
    }
    void *p = next_;
    next_ += n;
    room_ -= n;
    return p;
#endif
}

void Pool::reset()
{
    for (void *b : blocks_)
        std::free(b);
    blocks_.clear();
    next_ = nullptr;
    room_ = 0;
    allocations = 0;
}

// ---- requests ----

Request::Request(int step)
{
    handle_.request = &request_;
    handle_.host = this;
    request_.step = step;
    request_.method = HTAPI_METHOD_GET;
    request_.header = &header_;
    header_.input = &source;
    header_.output = sink.stream();
    request_.response = &response;
    const Plugrt *p = plugrt();
    if (p != nullptr)
        request_.api = p->HTAPIdata_new(&handle_);
}

Request::~Request()
{
    // A request the plug-in started and did not wait for still writes into
    // this request's memory (its latch, perhaps its description).
    async.drain();
    if (pthread_getspecific(Host::get().key()) == &handle_)
        unbind();
    const Plugrt *p = plugrt();
    if (p != nullptr && request_.api != nullptr)
        p->HTAPIdata_delete(request_.api);
    std::free(handle_.body);
    std::free(request_.user);
    if (script_output != nullptr)
        std::fclose(script_output);
}

void Request::bind()
{
    pthread_setspecific(Host::get().key(), &handle_);
}

void Request::unbind()
{
    pthread_setspecific(Host::get().key(), nullptr);
}

void Request::set_body(std::string bytes, std::size_t piece, bool chunked)
{
    handle_.body_left = chunked ? 0 : bytes.size();
    header_.transfer_coding = chunked ? "chunked" : nullptr;
    source.set(std::move(bytes), piece);
}

const char *Request::keep(std::string text)
{
    kept_.push_back(std::move(text));
    return kept_.back().c_str();
}

char **Request::keep_list(const std::vector<std::string> &items)
{
    std::vector<char *> list;
    for (const std::string &item : items)
        list.push_back(const_cast<char *>(keep(item)));
    list.push_back(nullptr);
    kept_lists_.push_back(std::move(list));
    return kept_lists_.back().data();
}

HTAPIHeaderList *Request::header_list()
{
    if (response.headers == nullptr)
        response.headers = &list_;
    return response.headers;
}

void Request::add_line(std::string line)
{
    HTAPIHeaderList *list = header_list();
    lines_.push_back({nullptr, keep(std::move(line))});
    HTAPIHeaderLine *l = &lines_.back();
    if (list->last != nullptr)
        list->last->next = l;
    else
        list->first = l;
    list->last = l;
    ++list->count;
}

std::vector<std::string> Request::lines() const
{
    std::vector<std::string> out;
    if (response.headers != nullptr)
        for (const HTAPIHeaderLine *l = response.headers->first; l != nullptr; l = l->next)
            out.emplace_back(l->text);
    return out;
}

std::string Request::stored_body() const
{
    return handle_.body ? std::string(handle_.body, handle_.body_used) : std::string();
}

Request &request_of(void *handle)
{
    return *static_cast<Request *>(static_cast<HTAPIHandle *>(handle)->host);
}

// ---- requests of the running proxy ----

namespace {
thread_local Live *current_live = nullptr;
}

Live::Live(int step) : model(step) {}

Live::~Live()
{
    unbind();
}

void Live::bind()
{
    model.bind();
    current_live = this;
}

void Live::unbind()
{
    if (current_live == this) {
        Request::unbind();
        current_live = nullptr;
    }
}

Live *Live::of(const void *handle)
{
    Live *l = current_live;
    return l != nullptr && handle == l->model.handle() ? l : nullptr;
}

Live *Live::of_input(const void *input)
{
    Live *l = current_live;
    return l != nullptr && l->service != nullptr && input != nullptr && input == l->service->input ? l : nullptr;
}

const char *Live::client_line(const char *name, unsigned long which)
{
    const std::size_t n = name ? std::strlen(name) : 0;
    if (service == nullptr || n == 0)
        return nullptr;
    const char *p = service->headers;
    const char *const end = p + service->headers_length;
    while (p < end) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *stop = eol ? eol : end;
        std::size_t k = static_cast<std::size_t>(stop - p);
        if (k > 0 && p[k - 1] == '\r')
            --k;
        if (k > n && p[n] == ':' && strncasecmp(p, name, n) == 0 && which-- == 0)
            return model.keep(std::string(p, k));
        p = eol ? eol + 1 : end;
    }
    return nullptr;
}

const char *Live::read(std::size_t *count)
{
    const std::size_t asked = *count;
    const char *p = hostservice_read(service->input, count);
    if (p == nullptr && asked > 0)
        client_gone = true;
    body_taken += *count;
    return p;
}

int Live::read_byte()
{
    const int c = hostservice_byte(service->input);
    if (c < 0)
        client_gone = true;
    else
        ++body_taken;
    return c;
}

Live *Live::of_list(const HTAPIHeaderList *list)
{
    Live *l = current_live;
    return l != nullptr && list == &l->list_ ? l : nullptr;
}

HTAPIHeaderList *Live::view()
{
    lines_.clear();
    list_ = {};
    if (streams != nullptr)
        hoststream_lines(
            streams, [](void *self, const char *line) { static_cast<Live *>(self)->append(line); }, this);
    model.response.headers = &list_;
    return &list_;
}

const char *Live::line(const char *name)
{
    struct Search {
        const char *name;
        std::size_t n;
        const char *found;
    } search{name, name ? std::strlen(name) : 0, nullptr};
    if (streams == nullptr || name == nullptr)
        return nullptr;
    hoststream_lines(
        streams,
        [](void *arg, const char *text) {
            auto *s = static_cast<Search *>(arg);
            if (s->found == nullptr && strncasecmp(text, s->name, s->n) == 0 && text[s->n] == ':')
                s->found = text;
        },
        &search);
    if (search.found == nullptr)
        return nullptr;
    return model.keep(std::string(search.found, std::strcspn(search.found, "\r\n")));
}

void Live::append(const char *line)
{
    lines_.push_back({nullptr, line});
    HTAPIHeaderLine *l = &lines_.back();
    if (list_.last != nullptr)
        list_.last->next = l;
    else
        list_.first = l;
    list_.last = l;
    ++list_.count;
}

// ---- the server ----

std::string vformat(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(s.data(), s.size() + 1, format, again);
    va_end(again);
    return s;
}


Host &Host::get()
{
    static Host host;
    return host;
}

Host::Host()
{
    pthread_key_create(&key_, nullptr);
    fill();
}

std::vector<std::string> Host::traces()
{
    std::lock_guard<std::mutex> lock(m_);
    return traces_;
}

std::vector<std::string> Host::logs()
{
    std::lock_guard<std::mutex> lock(m_);
    return logs_;
}

std::vector<int> Host::stub_calls()
{
    std::lock_guard<std::mutex> lock(m_);
    return stubs_;
}

std::vector<std::string> Host::problems()
{
    std::lock_guard<std::mutex> lock(m_);
    return problems_;
}

void Host::clear_records()
{
    std::lock_guard<std::mutex> lock(m_);
    traces_.clear();
    logs_.clear();
    stubs_.clear();
    problems_.clear();
}

void Host::record_stub(int entry)
{
    std::lock_guard<std::mutex> lock(m_);
    stubs_.push_back(entry);
}

void Host::record_trace(std::string line)
{
    std::lock_guard<std::mutex> lock(m_);
    traces_.push_back(std::move(line));
}

void Host::record_log(std::string line)
{
    std::lock_guard<std::mutex> lock(m_);
    logs_.push_back(std::move(line));
}

void Host::problem(std::string what)
{
    std::lock_guard<std::mutex> lock(m_);
    problems_.push_back(std::move(what));
}

} // namespace orvhost

// The host's configuration record and quality-of-service key, which
// libplugrt defines too, are duplicates on purpose (the dynamic linker binds every
// module to the program's); AddressSanitizer would report them as an ODR
// violation when libplugrt is loaded.
#if defined(__SANITIZE_ADDRESS__)
#define ORVHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVHOST_ASAN 1
#endif
#endif
#ifdef ORVHOST_ASAN
extern "C" __attribute__((visibility("default"))) const char *__asan_default_suppressions()
{
    return "odr_violation:^HTMyStaticConfig$\nodr_violation:^tqos_key$\n";
}
#endif

// The host's side of the stream, script, log, proxy, label, variant,
// rewriting, cache and asynchronous-request calls of libplugrt.

#include "orvhost.h"

#include "HTParse.h"
#include "hostsubreq.h"
#include "htapi_cb.h"

#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

extern char **environ;

namespace orvhost {
namespace {

Request &req(void *h)
{
    return request_of(h);
}

template <int N> void put(HTAPICallback *t, typename plugrt::Cb<N>::fn *f)
{
    t[N] = reinterpret_cast<HTAPICallback>(f);
}

// ---- the response header list ----

HTAPIHeaderList *new_header_list(void *h) noexcept
{
    if (Live *l = Live::of(h))
        return l->view();
    return req(h).header_list();
}

int add_header(void *h, HTAPIHeaderList *list, const char *name, const char *value) noexcept
{
    if (Live *l = Live::of(h)) {
        const char *line = list == l->model.response.headers ? hoststream_add(l->streams, name, value) : nullptr;
        if (line == nullptr)
            return -1;
        l->append(line);
        return 0;
    }
    Request &r = req(h);
    if (list != r.header_list())
        return -1;
    r.add_line(std::string(name) + ": " + value);
    return 0;
}

const char *find_header(const HTAPIHeaderList *list, const char *name) noexcept
{
    const std::size_t n = std::strlen(name);
    for (const HTAPIHeaderLine *l = list ? list->first : nullptr; l != nullptr; l = l->next)
        if (strncasecmp(l->text, name, n) == 0 && l->text[n] == ':')
            return l->text;
    return nullptr;
}

HTAPIResponse *response_head(void *h) noexcept
{
    return &req(h).response;
}

const char *agent_text(void *) noexcept
{
    return Host::get().warning_agent.c_str();
}

// RFC 9111 warn-value: code, agent, quoted text, quoted date.
char *warning_value(void *h, const char *code, const char *text, int length, const char *agent,
                    const char *date) noexcept
{
    const std::string v = std::string(code) + " " + agent + " \"" + std::string(text, static_cast<std::size_t>(length)) +
                          "\" \"" + date + "\"";
    return const_cast<char *>(req(h).keep(v));
}

int warnings_wanted(void *) noexcept
{
    return Host::get().want_warnings;
}

int prepare_headers(void *h, HTAPIHeaderList *) noexcept
{
    if (Live *l = Live::of(h))
        return l->view(), 0;
    return ++req(h).prepares, 0;
}

int response_no_transform(void *h, HTAPIResponse *response) noexcept
{
    if (Live *l = Live::of(h))
        return hoststream_no_transform(l->streams);
    const HTAPIHeaderList *list = response ? response->headers : nullptr;
    for (const HTAPIHeaderLine *l = list ? list->first : nullptr; l != nullptr; l = l->next) {
        if (strncasecmp(l->text, "Cache-Control:", 14) != 0)
            continue;
        std::string v = l->text + 14;
        for (char &c : v)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (v.find("no-transform") != std::string::npos)
            return 1;
    }
    return 0;
}

HTStream *response_stream(void *h) noexcept
{
    return req(h).header().output;
}

// ---- logs ----

const char *log_file(int kind)
{
    switch (kind) {
    case HTAPI_LOG_ACCESS:
        return "access.log";
    case HTAPI_LOG_ERROR:
        return "error.log";
    case HTAPI_LOG_EVENT:
        return "event.log";
    default:
        return nullptr;
    }
}

std::mutex log_mutex;

int write_log(int kind, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const std::string text = vformat(format, args);
    va_end(args);
    Host &host = Host::get();
    host.record_log(std::to_string(kind) + ": " + text);
    const char *file = log_file(kind);
    if (file != nullptr && !host.work_dir.empty()) {
        std::lock_guard<std::mutex> lock(log_mutex);
        std::ofstream(host.work_dir + "/" + file, std::ios::app) << text;
    }
    return 0;
}

const char *time_stamp() noexcept
{
    static thread_local char stamp[40];
    const std::time_t t = Host::get().fixed_now ? Host::get().fixed_now : std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S +0000", &tm);
    return stamp;
}

// ---- files and scripts ----

int send_file(void *, FILE *file, HTStream *stream) noexcept
{
    if (stream == nullptr)
        return 1;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        if (stream->isa->write(stream, buffer, static_cast<int>(n)) < 0)
            return 1;
    return std::ferror(file) ? 1 : 0;
}

// /bin/sh runs the script with the request's CGI variables as its
// environment; its standard output goes to a file of the work directory.
FILE *run_script(void *h) noexcept
{
    Request &r = req(h);
    auto it = r.text.find(HTAPI_SCRIPT_NAME);
    if (it == r.text.end() || Host::get().work_dir.empty())
        return nullptr;
    r.scripts.push_back(it->second);
    std::string templ = Host::get().work_dir + "/script-XXXXXX";
    const int fd = mkstemp(templ.data());
    if (fd < 0)
        return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    std::vector<char *> env;
    for (std::string &v : r.cgi)
        env.push_back(v.data());
    env.push_back(nullptr);
    std::string script = it->second;
    char sh[] = "/bin/sh";
    char *argv[] = {sh, script.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned == 0)
        waitpid(pid, &status, 0);
    ::close(fd);
    if (spawned != 0)
        return nullptr;
    r.script_output_path = templ;
    r.script_output = std::fopen(templ.c_str(), "r");
    return r.script_output;
}

int script_done(void *h, FILE *output) noexcept
{
    Request &r = req(h);
    if (output != nullptr && output == r.script_output) {
        std::fclose(output);
        r.script_output = nullptr;
        ::unlink(r.script_output_path.c_str());
    }
    return 0;
}

// ---- restart, credentials, labels, variants ----

int restart(void *, int) noexcept
{
    return ++Host::get().restarts, 0;
}

// A user and password, or (password null) an authorization text "user:password".
int check_credentials(void *, const char *user, const char *password) noexcept
{
    if (user == nullptr)
        return 0;
    std::string name = user;
    std::string secret = password ? password : "";
    if (password == nullptr) {
        const std::size_t colon = name.find(':');
        if (colon == std::string::npos)
            return 0;
        secret = name.substr(colon + 1);
        name.resize(colon);
    }
    auto &table = Host::get().credentials;
    auto it = table.find(name);
    return it != table.end() && it->second == secret ? 1 : 0;
}

int supply_label(void *h, const char *label) noexcept
{
    req(h).labels.emplace_back(label);
    return 0;
}

std::string variant_key(const char *uri, const char *dimension, const char *variant)
{
    return std::string(uri) + '\n' + dimension + '\n' + variant;
}

long variant_insert(void *, const char *uri, const char *dimension, const char *variant,
                    const char *file) noexcept
{
    Host::get().variants[variant_key(uri, dimension, variant)] = file;
    return 0;
}

long variant_lookup(void *, const char *uri, const char *dimension, const char *variant) noexcept
{
    return Host::get().variants.count(variant_key(uri, dimension, variant)) ? 1 : 0;
}

// ---- rewriting by prefix ----

// The text with its first matching prefix replaced; false when none matches.
bool rewrite(const std::string &text, bool inverse, std::string *out)
{
    for (const auto &[from, to] : Host::get().rewrites) {
        const std::string &a = inverse ? to : from;
        const std::string &b = inverse ? from : to;
        if (text.compare(0, a.size(), a) == 0) {
            *out = b + text.substr(a.size());
            return true;
        }
    }
    return false;
}

// a: the URL; b: char ** for the result (request memory). 0 rewritten, 1 not.
long url_rewrite(void *h, void *a, void *b, void *, void *, void *) noexcept
{
    std::string out;
    if (!rewrite(static_cast<const char *>(a), false, &out))
        return 1;
    *static_cast<const char **>(b) = req(h).keep(out);
    return 0;
}

// a: from prefix, b: to prefix.
long rewrite_tag_add(void *, void *a, void *b) noexcept
{
    Host::get().rewrites.emplace_back(static_cast<const char *>(a), static_cast<const char *>(b));
    return 0;
}

long rewrite_tag_remove(void *, void *a, void *) noexcept
{
    auto &list = Host::get().rewrites;
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->first == static_cast<const char *>(a)) {
            list.erase(it);
            return 0;
        }
    return 1;
}

char *inv_url_rewrite(void *h, char *url) noexcept
{
    std::string out;
    return rewrite(url, true, &out) ? const_cast<char *>(req(h).keep(out)) : nullptr;
}

// a: a Set-Cookie value; b: char ** for the value with its path= rewritten.
long cookie_rewrite(void *h, void *a, void *b, void *) noexcept
{
    std::string cookie = static_cast<const char *>(a);
    const std::size_t at = cookie.find("path=");
    std::string out;
    if (at == std::string::npos || !rewrite(cookie.substr(at + 5), false, &out))
        return 1;
    *static_cast<const char **>(b) = req(h).keep(cookie.substr(0, at + 5) + out);
    return 0;
}

// ---- URL escaping ----

long encode(const char *input, unsigned long *length, char *output) noexcept
{
    const std::string in(input, *length);
    const char *e = HTEscape(in.c_str(), URL_XALPHAS, nullptr);
    const std::size_t n = e ? std::strlen(e) : 0;
    std::memcpy(output, e ? e : "", n + 1);
    *length = n;
    return 0;
}

long decode(const char *input, unsigned long *length, char *output) noexcept
{
    std::memcpy(output, input, *length);
    output[*length] = '\0';
    *length = std::strlen(HTUnEscape(output));
    return 0;
}

// ---- proxying ----

int prepare_proxy(void *) noexcept
{
    return HTTPD_DONE;
}

// The prepared request goes to its URL through the library's loader; the
// answer (the server's, or the error page of a failure) goes to the client
// through the request's output stream. Negative when the server's answer
// did not come through.
int proxy_run(void *h) noexcept
{
    Request &r = req(h);
    ++r.proxy_runs;
    SubRequest s;
    s.url = r.text[HTAPI_URL];
    static const char *const kByCode[] = {nullptr, "HEAD", "GET", "POST", "PUT"};
    const int code = r.handle()->request->method;
    auto m = r.origin_field.find(HTAPI_FIELD_METHOD);
    if (m != r.origin_field.end())
        s.method = m->second;
    else if (code > 0 && code < 5)
        s.method = kByCode[code];
    else if (r.text.count(HTAPI_METHOD))
        s.method = r.text[HTAPI_METHOD];
    for (const Header &x : r.proxy_headers)
        s.headers.emplace_back(x.name, x.value);
    const HTAPIHandle *handle = r.handle();
    if (handle->body != nullptr)
        s.body.assign(handle->body, handle->body_used);
    SubAnswer a;
    a.forward = r.header().output;
    const bool loaded = sub_load(s, &a);
    r.proxy_response = a.bytes;
    return loaded && a.from_server ? 0 : -1;
}

} // namespace

void Host::fill_plugrt()
{
    HTAPICallback *t = table_;
    // Streams.
    put<HTCB_NEW_HEADER_LIST>(t, new_header_list);
    put<HTCB_ADD_HEADER>(t, add_header);
    put<HTCB_FIND_HEADER>(t, find_header);
    put<HTCB_RESPONSE_HEAD>(t, response_head);
    put<HTCB_WARNING_AGENT>(t, agent_text);
    put<HTCB_WARNING_VALUE>(t, warning_value);
    put<HTCB_WANT_WARNINGS>(t, warnings_wanted);
    put<HTCB_PREPARE_HEADERS>(t, prepare_headers);
    put<HTCB_RESPONSE_NO_TRANSFORM>(t, response_no_transform);
    put<HTCB_RESPONSE_STREAM>(t, response_stream);
    // Logs, files, scripts, the rest of the calls.
    put<HTCB_LOG>(t, write_log);
    put<HTCB_TIME_STAMP>(t, time_stamp);
    put<HTCB_SEND_FILE>(t, send_file);
    put<HTCB_RUN_SCRIPT>(t, run_script);
    put<HTCB_SCRIPT_DONE>(t, script_done);
    put<HTCB_RESTART>(t, restart);
    put<HTCB_CHECK_CREDENTIALS>(t, check_credentials);
    put<HTCB_SUPPLY_LABEL>(t, supply_label);
    put<HTCB_VARIANT_INSERT>(t, variant_insert);
    put<HTCB_VARIANT_LOOKUP>(t, variant_lookup);
    put<HTCB_URL_REWRITE>(t, url_rewrite);
    put<HTCB_REWRITE_TAG_ADD>(t, rewrite_tag_add);
    put<HTCB_REWRITE_TAG_REMOVE>(t, rewrite_tag_remove);
    put<HTCB_INV_URL_REWRITE>(t, inv_url_rewrite);
    put<HTCB_COOKIE_REWRITE>(t, cookie_rewrite);
    put<HTCB_ENCODE>(t, encode);
    put<HTCB_DECODE>(t, decode);
    put<HTCB_PREPARE_PROXY>(t, prepare_proxy);
    put<HTCB_PROXY_RUN>(t, proxy_run);
    fill_cache(t);
    fill_async(t);
}

} // namespace orvhost

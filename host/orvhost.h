/*
 * orvhost: the stand-in proxy server, first slice.
 *
 * What libplugrt needs from the server it is loaded into: the 172-entry
 * callback table, a request model behind it (method, URL, the headers of
 * both exchanges, CGI environment, user variables, counters), request
 * memory, a body source and a memory sink as the client connection, and the
 * loading itself (libplugrt and plug-ins with dlopen RTLD_NOW, the table
 * installed, each request thread's handle kept under entry 0's key).
 *
 * A program that links this library exports the common library's names that
 * libplugrt binds to, and the server's own copies of HTMyStaticConfig and
 * tqos_key (see CMakeLists.txt). Entries without behaviour yet record their
 * calls (stub_calls) and answer 0, so a test can tell that none was used.
 */
#ifndef ORVHOST_H
#define ORVHOST_H

#include "hostservice.h"
#include "hoststream.h"
#include "plugrt_host.h"

#include <netinet/in.h>

#include <cstdarg>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orvhost {

// ---- loading ----

// The exports of a loaded libplugrt, found as a server finds them: by dlsym.
#define ORVHOST_PLUGRT_FUNCTIONS(X)                                                          \
    X(set_api_callbacks) X(null_int_callback) X(HTAPIdata_new) X(HTAPIdata_delete)           \
    X(HTUser_new) X(copyToProxyBuffer) X(HTXTRACT) X(HTBINXTRACT) X(HTSET) X(HTBINSET)       \
    X(HTREPLACE) X(htgetvar) X(htsetvar) X(htgetvarint) X(htsetvarint) X(HTREAD) X(HTWRITE)  \
    X(HTATTRIB) X(HTREVTRA) X(HTTRANS) X(HTFilterstream_new) X(HTCGI_new)                    \
    X(HTTransmogrify_new) X(_HTTransmogrify_makeWarning) X(HTLoadScriptResultAPI)            \
    X(HTStream_messageSender) X(HTStream_statusNOP) X(HTStream_putHeaders) X(htopen) X(htclose)  \
    X(asyncreq_init_handle) X(asyncreq_start_req) X(asyncreq_stop_req) X(asyncreq_wait_for_req) \
    X(asyncreq_term_handle) X(asyncreq_count) X(HTAPIAsyncReq_done) X(HTCREATASYN)           \
    X(HTSTARTHTTPR) X(HTWAITASYN) X(HTDELASYN) X(HTCACHBLE) X(HTCACHEGINV) X(HTCACHEGOWN)      \
    X(HTCAPEEK) X(CCLOOKUP) X(CCCREATE) X(CCREAD) X(CCWRITE) X(HTTPD_CC_WriteHeaders)          \
    X(HTTPD_CC_WriteData) X(CCDELETE) X(CCINVAL) X(CCLOCK) X(CCUNLOCK) X(CCSWAP) X(CCGCONF)    \
    X(CCGATTR) X(CCSATTR) X(HTTPD_CC_CDFEnable) X(HTTPD_CC_Dis_CDF) X(HTTPD_CC_Ena_CDF)       \
    X(HTGETCUR) X(HTDROPCUR) X(HTINSCUR) X(HTAUTHEN) X(HTEXEC) X(HTFILE) X(HTENC) X(HTDEC)    \
    X(HTLOGE) X(HTLOGT) X(HTLOGA) X(HTLOGV) X(HTREST) X(HTPROXY) X(HTNOAUPXY) X(HTSUPLBL)       \
    X(htvins) X(htvfind) X(HTURLRW) X(HTINVURLRW) X(HTCOOKIERW) X(HTADDRWTAG) X(HTREMRWTAG)     \
    X(HTMPMALLOC) X(HTMPCALLOC) X(HTMPSTRDUP) X(HTMPSTRCAT) X(HTMPFREE)

struct Plugrt {
    void *library = nullptr;
#define ORVHOST_PLUGRT_MEMBER_(name) decltype(&::name) name = nullptr;
    ORVHOST_PLUGRT_FUNCTIONS(ORVHOST_PLUGRT_MEMBER_)
#undef ORVHOST_PLUGRT_MEMBER_
    HTAPICallback **all_api_callbacks = nullptr;
    uintptr_t *HTMyStaticConfig = nullptr;
    pthread_key_t *tqos_key = nullptr;
    uintptr_t *HTCFs_afterDeleteCallbacks = nullptr;
    uintptr_t *HTTransmogrify_makeWarning = nullptr;
    const int *CCAPIVersion = nullptr;
    const int *errmap = nullptr;
};

// The libplugrt to load: ORVHOST_PLUGRT from the environment when set, else
// the one of this build tree.
const char *plugrt_path();

/*
 * Loads libplugrt once per process (RTLD_NOW) and installs the host's table.
 * Null when it cannot be loaded; *error then holds dlerror's text.
 */
const Plugrt *plugrt(std::string *error = nullptr);

// Loads a plug-in (RTLD_NOW); null with dlerror's text in *error.
void *load_plugin(const std::string &path, std::string *error = nullptr);

// ---- streams ----

// A stream record: the class pointer first, then the object it stands for.
struct StreamBox {
    HTStream stream;
    void *owner;
};

// The client connection's output: keeps what is written; every operation counts.
class MemorySink {
public:
    MemorySink();
    HTStream *stream() { return &box_.stream; }

    std::string data;
    int frees = 0;
    int aborts = 0;
    int statuses = 0;
    int put_headers = 0;
    std::vector<int> messages;
    bool fail_writes = false; // writes answer -1

private:
    StreamBox box_;
};

// Entry 43's stream: remembers the content type and passes writes on.
class ConversionStream {
public:
    ConversionStream(std::string type, HTStream *sink);
    HTStream *stream() { return &box_.stream; }
    const std::string type;
    HTStream *const sink;
    std::size_t written = 0;

private:
    StreamBox box_;
};

// The client's request body: handed out in pieces of `piece` bytes (from 1),
// each in a heap block of exactly its size, then the end of input.
class BodySource {
public:
    ~BodySource();
    void set(std::string bytes, std::size_t piece = SIZE_MAX);
    const char *block(std::size_t *count); // entry 45
    int byte();                            // entry 127
    std::size_t left() const { return data_.size() - pos_; }

private:
    std::string data_;
    std::size_t pos_ = 0;
    std::size_t piece_ = SIZE_MAX;
    char *last_ = nullptr;
};

// ---- requests ----

struct Header {
    std::string name;
    std::string value;
    std::string raw; // when set, the line as it stands (which may lack its ':')
};
using Headers = std::vector<Header>;

// Asynchronous requests (entry 157) started for one owner and not yet
// finished: a request of the model, or the thread that started them. A
// finished request has reported its completion to the latch and written its
// description, so once the count is 0 neither is touched again; memory that
// holds them (the request's pool, the context's) may go only then. The
// latch itself cannot be asked: the plug-in may have deleted it. The owner
// drains it before that memory goes.
class Pending {
public:
    Pending() = default;
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    void add();
    void done();
    void drain(); // waits for 0
    int count();

private:
    std::mutex m_;
    std::condition_variable changed_;
    int n_ = 0;
};

// Request memory: released with the request. The n-th allocation can be made to fail.
class Pool {
public:
    ~Pool() { reset(); }
    void *alloc(std::size_t size);
    void reset();
    long allocations = 0; // since the request began
    long fail_at = 0;     // > 0: that allocation (counted from 1) and every later one fail

private:
    std::vector<void *> blocks_;
    char *next_ = nullptr;
    std::size_t room_ = 0;
};

class Request {
public:
    explicit Request(int step = HTAPI_STEP_SERVICE);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    HTAPIHandle *handle() { return &handle_; }
    HTAPIdata *api() { return request_.api; }
    HTAPIReqHeader &header() { return header_; }
    void set_step(int step) { request_.step = step; }
    void set_method(int method) { request_.method = method; }
    void *user_record() const { return request_.user; }

    // The calling thread's current request (entry 0's key); null unbinds.
    void bind();
    static void unbind();

    // The body: plain (its length counts down) or chunked.
    void set_body(std::string bytes, std::size_t piece = SIZE_MAX, bool chunked = false);
    std::string stored_body() const;

    // Its asynchronous requests: the pool is not released before they end.
    Pending async;
    Pool pool;
    BodySource source;
    MemorySink sink;

    // Variables by HTAPI_* id, for the request-scoped accessor entries.
    std::map<int, std::string> text;
    std::map<int, long> number;
    std::map<int, int> flag;
    std::map<int, double> real;
    std::map<int, std::string> client_field; // HTAPI_FIELD_*; HEADERS comes from the headers
    std::map<int, std::string> origin_field;

    Headers request_headers;  // from the client
    Headers response_headers; // to the client
    Headers proxy_headers;    // to the origin
    Headers origin_headers;   // from the origin
    unsigned long last_selector = 0;

    std::vector<std::string> cgi; // "NAME=value"
    std::map<std::string, std::string> ssi;
    std::map<std::string, std::string> redirect;
    std::vector<std::string> ssi_globals;

    int status = 200;
    std::string reason = "OK";
    char protocol[16] = "HTTP/1.1";
    HTAPIFilterPeriod period{};
    bool has_period = false;
    std::string cache_file_name;
    std::string modrw_tagbuf;
    int modrw_enable = 0;
    int modrw_taglen = 0;
    int modrw_tagreset = 0;
    std::map<int, std::string> user_fields; // entry 100, by HTAPI_* id
    int prereads = 0;
    std::vector<std::unique_ptr<ConversionStream>> conversions;

    // The response of the stream chain (entry 98) and its header list
    // (entries 84 to 86, 113 to 116): made on first need, kept for the request.
    HTAPIResponse response{200, nullptr};
    HTAPIHeaderList *header_list();
    void add_line(std::string line);
    std::vector<std::string> lines() const;
    int prepares = 0;                  // entry 115
    std::vector<std::string> labels;   // entry 76
    std::vector<std::string> scripts;  // entry 10
    FILE *script_output = nullptr;     // entry 9 until entry 53
    std::string script_output_path;
    int proxy_runs = 0;                // entry 54
    std::string proxy_response;        // its answer (head and body): the server's, or an error page

    // Texts and lists the host hands out, kept for the request's life.
    const char *keep(std::string text);
    char **keep_list(const std::vector<std::string> &items);

private:
    std::deque<std::string> kept_;
    std::deque<HTAPIHeaderLine> lines_;
    HTAPIHeaderList list_{};
    std::deque<std::vector<char *>> kept_lists_;
    HTAPIHandle handle_{};
    HTAPIRequest request_{};
    HTAPIReqHeader header_{};
};

// A proxied request of the running host, as plug-ins see it. The model
// holds the records libplugrt reads (handle, request object, API data,
// step and output stream) and answers the calls that do not touch the
// response; the response header entries (84 to 86, 98, 115, 116) act on the
// worker's response header store through `streams`, whose lines the view
// lists for libplugrt's walks.
class Live {
public:
    explicit Live(int step);
    ~Live();
    Live(const Live &) = delete;
    Live &operator=(const Live &) = delete;

    Request model;
    ::HostStreams *streams = nullptr;
    // A service step's request: its texts and header lines, the client input
    // (entries 45 and 127 read it while bound), and what the reads found.
    const ::HostServiceRequest *service = nullptr;
    unsigned long long body_taken = 0; // bytes read from the client
    bool client_gone = false;          // a read found the client silent or gone

    // The thread's current request: bound for plug-in calls, unbound after.
    void bind();
    void unbind();
    // The live request behind a handle, or behind the view list, or the one
    // reading the client input; null for a model.
    static Live *of(const void *handle);
    static Live *of_input(const void *input);
    static Live *of_list(const HTAPIHeaderList *list);

    // The view, rebuilt from the store (and kept as the response's list).
    HTAPIHeaderList *view();
    void append(const char *line);
    // The store's first line of the header name, without its line end (request memory); null: none.
    const char *line(const char *name);
    // The service request's `which`-th (from 0) client header line of the name, without its line end.
    const char *client_line(const char *name, unsigned long which);
    // Entries 45 and 127 on the client input.
    const char *read(std::size_t *count);
    int read_byte();

private:
    std::deque<HTAPIHeaderLine> lines_;
    HTAPIHeaderList list_{};
};

// printf's formatting of the arguments, as a string.
std::string vformat(const char *format, va_list args);

// The request behind a handle.
Request &request_of(void *handle);

// ---- the server ----

class Host {
public:
    static Host &get();

    const HTAPICallback *table() const { return table_; }
    pthread_key_t key() const { return key_; }

    // Server-wide variables (entries 72, 73, 159, 37, 38) and known host names (49).
    std::map<int, std::string> server_text;
    std::map<int, unsigned long> server_number;
    std::string software_name = "Orvane-Proxy";
    std::string software_version = "1.0";
    std::map<std::string, std::string> addresses;
    std::time_t fixed_now = 0; // entry 58; 0: the clock

    // Entries of the plug-in calls: warnings (112, 114), files of the logs and of script
    // output (23, 9), restarts (41), credentials (44), variants (111, 125),
    // rewriting prefixes (160 to 162, 170, 171).
    int want_warnings = 0;
    std::string warning_agent = "orvhost";
    std::string work_dir;      // "": logs are only recorded, scripts cannot run
    int restarts = 0;
    std::map<std::string, std::string> credentials; // user to password
    std::map<std::string, std::string> variants;    // uri, dimension, variant to file
    std::vector<std::pair<std::string, std::string>> rewrites; // from prefix, to prefix

    // Trace lines through entry 15, and log lines through entry 23 ("kind: text").
    std::vector<std::string> traces();
    std::vector<std::string> logs();
    // Entries without behaviour that were called, and accessor calls for a
    // variable that is not the entry's.
    std::vector<int> stub_calls();
    std::vector<std::string> problems();
    void clear_records();

    void record_stub(int entry);
    void record_trace(std::string line);
    void record_log(std::string line);
    void problem(std::string what);

private:
    Host();
    void fill(); // every entry of the table (orvhost_entries.cpp)
    void fill_plugrt(); // streams, asynchronous requests, cache, logs (orvhost_plugrt.cpp)
    HTAPICallback table_[HTAPI_NCALLBACKS];
    pthread_key_t key_;
    std::mutex m_;
    std::vector<std::string> traces_;
    std::vector<std::string> logs_;
    std::vector<int> stubs_;
    std::vector<std::string> problems_;
};

// ---- asynchronous requests (entry 157) ----

// The description a plug-in hands to HTTPD_start_http_req (plain C layout).
// The host fills status and length before it reports the completion.
struct AsyncDescription {
    const char *url;      // loaded by the library (GET); null: nothing loaded
    int hold;             // 1: held until async_release lets it go
    int status;           // out: the answer's status code (an error page's on a failure), 0 without one
    unsigned long length; // out: bytes of the answer's body as sent (a chunked one with its framing)
};

/*
 * Starts the worker pool with one normal worker and `workers` workers of the
 * internal block (2), the internal-pool switch on; entry 157 queues each
 * request there as internal work, so a plug-in waiting on a latch never
 * holds the workers its requests need. Once per process; true when running.
 * A program whose pool is already running with an internal block calls
 * async_attach instead.
 */
bool async_start(int workers);
// Entry 157 uses the pool the program started (its internal block 2).
void async_attach();
// Ends the pool once no started request is left (a latch may still count).
void async_stop();
// Lets `n` held requests go on.
void async_release(int n);
// Requests queued or running.
int async_running();
// Waits until every asynchronous request the calling thread started has
// ended: before the thread's context memory is reset.
void async_drain_thread();
// Entry 157 answers "not started" while set.
extern int async_refuse;

// ---- the in-memory cache (entries 64, 126, 128 to 151, 154, 156) ----

// Host cache results, mapped by libplugrt through errmap (5 + 12 = 17, 23 + 12 = 35).
enum CacheResult : long {
    kCacheOk = 0,
    kCacheNotFound = 1,
    kCacheLocked = 2,
    kCacheExists = 3,
    kCacheNoHandle = 5,
    kCacheTooSmall = 6,
    kCacheBadArguments = 23
};
// States of an entry: 1 being written, 2 complete, 3 invalidated.
enum CacheState : int { kEntryWriting = 1, kEntryComplete = 2, kEntryInvalid = 3 };

struct CacheEntryView {
    bool found = false;
    int state = 0;
    std::string headers;
    std::string data;
    bool locked = false;
    HTAPICacheAttributes attributes{};
};

// The store's controls and views, for the tests.
void cache_reset(std::size_t capacity = 64);
CacheEntryView cache_view(const std::string &key);
std::size_t cache_size();
void cache_force_next(long result); // the next operation answers this
void cache_no_handle(bool on);      // entry 133 gives no handle
void cache_set_owner(const std::string &url, const std::string &owner);
int cache_open_handles();

void fill_cache(HTAPICallback *t);
void fill_async(HTAPICallback *t);

// MD4 of RFC 1320.
struct Md4 {
    uint32_t state[4];
    uint64_t count; // bytes
    unsigned char buffer[64];
};
void md4_init(Md4 *m);
void md4_update(Md4 *m, const unsigned char *data, std::size_t length);
void md4_final(unsigned char digest[16], Md4 *m);
std::string md4_hex(const std::string &text);

} // namespace orvhost

#endif

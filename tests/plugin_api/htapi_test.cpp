// The frame over every request-bound entry point, the callback table, the
// API data and user records, the exported constants and the unsupported
// calls.

#include "plugrt_fixture.h"

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using orvhost::Request;

constexpr unsigned long kTooLong = 0x80000000ul;

// One entry point: a call with good arguments and calls with each kind of
// bad argument. A call returns the code it stored (or returned).
using Call = std::function<long(PlugrtTest &t, Request &r, void *handle, long *rc)>;
struct Entry {
    const char *api;
    bool has_rc;    // the code goes through a result pointer
    Call good;
    long good_code;
    std::vector<Call> bad;
    long bad_code;
};

// A length argument: absent (a null pointer) or a value copied for each call.
struct Len {
    bool absent;
    unsigned long value;
    unsigned long *at(unsigned long &slot) const
    {
        slot = value;
        return absent ? nullptr : &slot;
    }
};
constexpr Len kNone{true, 0};
constexpr Len len(unsigned long v)
{
    return {false, v};
}

// Every test request holds PATH, which the good reads look up.
void prepare(Request &r)
{
    r.text[HTAPI_PATH] = "/p";
}

std::vector<Entry> entries(const orvhost::Plugrt *api)
{
    static char buffer[64];
    static const Len n4 = len(4), zero = len(0), huge = len(kTooLong), room = len(64), one = len(1);
    std::vector<Entry> e;

    // A call of an entry point taking (name, length, value or buffer, length).
    const auto named = [](auto entry) {
        return [entry](const char *name, Len nl, auto value, Len vl) {
            return Call([=](PlugrtTest &, Request &, void *h, long *rc) {
                unsigned long a, b;
                entry(h, name, nl.at(a), value, vl.at(b), rc);
                return rc ? *rc : 0;
            });
        };
    };
    const auto xtract = named(api->HTXTRACT);
    e.push_back({"HTTPD_extract", true, xtract("PATH", n4, buffer, room), HTTPD_SUCCESS,
                 {xtract(nullptr, n4, buffer, room), xtract("PATH", kNone, buffer, room),
                  xtract("PATH", zero, buffer, room), xtract("PATH", huge, buffer, room),
                  xtract("PATH", n4, nullptr, room), xtract("PATH", n4, buffer, kNone),
                  xtract("PATH", n4, buffer, zero), xtract("PATH", n4, buffer, huge)},
                 HTTPD_BAD_ARGUMENT});

    const auto binx = [api](const char *name, Len nl, void *buf, Len bl) {
        return Call([=](PlugrtTest &, Request &r, void *h, long *rc) {
            unsigned long a, b;
            auto store = reinterpret_cast<HTCB_USERVAR_SET_fn *>(
                orvhost::Host::get().table()[HTCB_USERVAR_SET]);
            store(&r.api()->user_variables, "bin1", "xyz", 3, 1);
            api->HTBINXTRACT(h, name, nl.at(a), buf, bl.at(b), rc);
            return rc ? *rc : 0;
        });
    };
    e.push_back({"HTTPD_binextract", true, binx("bin1", n4, buffer, room), HTTPD_SUCCESS,
                 {binx(nullptr, n4, buffer, room), binx("bin1", zero, buffer, room),
                  binx("bin1", n4, nullptr, room), binx("bin1", n4, buffer, zero),
                  binx("bin1", huge, buffer, room), binx("bin1", n4, buffer, kNone)},
                 HTTPD_BAD_ARGUMENT});

    const auto set = named(api->HTSET);
    e.push_back({"HTTPD_set", true, set("var1", n4, "v", one), HTTPD_SUCCESS,
                 {set(nullptr, n4, "v", one), set("var1", kNone, "v", one), set("var1", zero, "v", one),
                  set("var1", n4, nullptr, one), set("var1", n4, "v", kNone), set("var1", n4, "v", huge),
                  set("var1", huge, "v", one)},
                 HTTPD_BAD_ARGUMENT});

    const auto binset = named(api->HTBINSET);
    e.push_back({"HTTPD_binset", true, binset("bin2", n4, "v", one), HTTPD_SUCCESS,
                 {binset(nullptr, n4, "v", one), binset("bin2", zero, "v", one),
                  binset("bin2", n4, nullptr, one), binset("bin2", n4, "v", kNone),
                  binset("bin2", n4, "v", huge)},
                 HTTPD_BAD_ARGUMENT});

    const auto rep = [api](const char *name, Len nl, const char *v, Len vl, bool selector) {
        return Call([=](PlugrtTest &, Request &, void *h, long *rc) {
            unsigned long a, b, sel = 0;
            api->HTREPLACE(h, name, nl.at(a), v, vl.at(b), selector ? &sel : nullptr, rc);
            return rc ? *rc : 0;
        });
    };
    e.push_back({"HTTPD_replace", true, rep("var3", n4, "v", one, true), HTTPD_SUCCESS,
                 {rep(nullptr, n4, "v", one, true), rep("var3", kNone, "v", one, true),
                  rep("var3", zero, "v", one, true), rep("var3", n4, "v", one, false),
                  rep("var3", n4, "v", huge, true)},
                 HTTPD_BAD_ARGUMENT});

    const auto getvar = [api](const char *name, bool selector) {
        return Call([=](PlugrtTest &, Request &, void *h, long *) {
            unsigned long sel = 0;
            return api->htgetvar(h, name, selector ? &sel : nullptr) ? HTTPD_SUCCESS : HTTPD_BAD_ARGUMENT;
        });
    };
    e.push_back({"httpd_getvar", false, getvar("PATH", true), HTTPD_SUCCESS,
                 {getvar(nullptr, true), getvar("", true), getvar("PATH", false)}, HTTPD_BAD_ARGUMENT});

    const auto setvar = [api](const char *name, const char *v, bool mode) {
        return Call([=](PlugrtTest &, Request &, void *h, long *) {
            unsigned long m = 2;
            return api->htsetvar(h, name, v, mode ? &m : nullptr);
        });
    };
    e.push_back({"httpd_setvar", false, setvar("var4", "v", true), HTTPD_SUCCESS,
                 {setvar(nullptr, "v", true), setvar("", "v", true), setvar("var4", nullptr, true),
                  setvar("var4", "v", false)},
                 HTTPD_BAD_ARGUMENT});

    const auto getint = [api](const char *name, bool out) {
        return Call([=](PlugrtTest &, Request &, void *h, long *) {
            int v = 0;
            return api->htgetvarint(h, name, out ? &v : nullptr);
        });
    };
    e.push_back({"httpd_getvarint", false, getint("CLIENT_RBYTES", true), HTTPD_SUCCESS,
                 {getint(nullptr, true), getint("", true), getint("CLIENT_RBYTES", false)},
                 HTTPD_FAILURE});

    const auto setint = [api](const char *name) {
        return Call([=](PlugrtTest &, Request &, void *h, long *) { return api->htsetvarint(h, name, 1); });
    };
    e.push_back({"httpd_setvarint", false, setint("_THP_MODRW_ENABLE"), HTTPD_SUCCESS,
                 {setint(nullptr), setint("")}, HTTPD_FAILURE});

    const auto read = [api](char *buf, Len l) {
        return Call([=](PlugrtTest &, Request &r, void *h, long *rc) {
            r.set_body("abc");
            unsigned long a;
            api->HTREAD(h, buf, l.at(a), rc);
            return rc ? *rc : 0;
        });
    };
    e.push_back({"HTTPD_read", true, read(buffer, room), HTTPD_END_OF_BODY,
                 {read(nullptr, room), read(buffer, kNone), read(buffer, zero), read(buffer, huge)},
                 HTTPD_BAD_ARGUMENT});

    const auto write = [api](const char *data, Len l) {
        return Call([=](PlugrtTest &, Request &, void *h, long *rc) {
            unsigned long a;
            api->HTWRITE(h, data, l.at(a), rc);
            return rc ? *rc : 0;
        });
    };
    e.push_back({"HTTPD_write", true, write("hi", len(2)), HTTPD_SUCCESS,
                 {write(nullptr, one), write("hi", kNone), write("hi", zero), write("hi", huge)},
                 HTTPD_BAD_ARGUMENT});
    return e;
}

class Frame : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        prepare(*rq);
        rq->text[HTAPI_QUERY_STRING] = "q";
    }
    std::vector<std::string> only(const std::string &part)
    {
        std::vector<std::string> out;
        for (const auto &l : traces())
            if (l.find(part) != std::string::npos)
                out.push_back(l);
        return out;
    }
};

} // namespace

TEST_F(Frame, GoodCallsDoTheirWork)
{
    for (const Entry &e : entries(api)) {
        long rc = -99;
        EXPECT_EQ(e.good(*this, *rq, h, &rc), e.good_code) << e.api;
    }
}

TEST_F(Frame, NullResultPointerEndsTheCallAfterTheCalledLine)
{
    for (const Entry &e : entries(api)) {
        if (!e.has_rc)
            continue;
        Request r;
        prepare(r);
        trace_on();
        e.good(*this, r, r.handle(), nullptr);
        EXPECT_EQ(traces(), std::vector<std::string>{"plug-in..... " + std::string(e.api) + "() called \n"})
            << e.api;
        EXPECT_EQ(r.sink.data, "") << e.api;
    }
}

TEST_F(Frame, BadArgumentsOfEveryEntryPoint)
{
    for (const Entry &e : entries(api)) {
        int i = 0;
        for (const Call &bad : e.bad) {
            Request r;
            prepare(r);
            long rc = -99;
            EXPECT_EQ(bad(*this, r, r.handle(), &rc), e.bad_code) << e.api << " case " << i;
            EXPECT_EQ(r.sink.data, "") << e.api;
            ++i;
        }
    }
}

TEST_F(Frame, NullHandleIsTheThreadsRequestAfterOneWarning)
{
    for (const Entry &e : entries(api)) {
        Request r;
        prepare(r);
        r.bind();
        trace_on();
        long rc = -99;
        EXPECT_EQ(e.good(*this, r, nullptr, &rc), e.good_code) << e.api;
        EXPECT_EQ(only("WARNING: handle is NULL").size(), 1u) << e.api;
        EXPECT_EQ(only("WARNING").front(),
                  "plug-in..... WARNING: handle is NULL; compatablity problems may occur!\n");
        Request::unbind();
    }
}

TEST_F(Frame, NullHandleWithoutACurrentRequestGives3)
{
    Request::unbind();
    for (const Entry &e : entries(api)) {
        if (!e.has_rc)
            continue;
        long rc = -99;
        EXPECT_EQ(e.good(*this, *rq, nullptr, &rc), HTTPD_BAD_ARGUMENT) << e.api;
    }
}

TEST_F(Frame, TracingOffCallsNoTraceEntry)
{
    for (const Entry &e : entries(api)) {
        long rc = -99;
        e.good(*this, *rq, h, &rc);
        for (const Call &bad : e.bad)
            bad(*this, *rq, h, &rc);
    }
    EXPECT_TRUE(traces().empty());
}

TEST_F(Frame, ExactLinesOfAnExtract)
{
    trace_on();
    std::string v;
    EXPECT_EQ(extract("query-string", &v), HTTPD_SUCCESS);
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "plug-in..... HTTPD_extract() called \n",
                            "plug-in..... HTTPD_extract() args..... name= query-string ; name size= 12\n",
                            "plug-in..... HTTPD_extract()...  Looking up server and CGI variables: QUERY_STRING\n",
                            "plug-in..... HTTPD_extract() return code 0\n"}));
    trace_on();
    EXPECT_EQ(extract("mine"), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "plug-in..... HTTPD_extract() called \n",
                            "plug-in..... HTTPD_extract() args..... name= mine ; name size= 4\n",
                            "plug-in..... HTTPD_extract()...  Looking up server and CGI variables: MINE\n",
                            "plug-in..... HTTPD_extract()...  Looking up user's variables\n",
                            "plug-in..... HTTPD_extract() return code 3\n"}));
}

TEST_F(Frame, ExactLinesOfAReadAndAWrite)
{
    rq->set_body("0123456789");
    char buffer[16];
    unsigned long n = sizeof buffer;
    long rc = -99;
    trace_on();
    api->HTREAD(h, buffer, &n, &rc);
    EXPECT_EQ(rc, HTTPD_END_OF_BODY);
    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "0x%lx",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(buffer)));
    EXPECT_EQ(traces(), (std::vector<std::string>{
                            "plug-in..... HTTPD_read() called \n",
                            "plug-in..... HTTPD_read() args..... buffer= " + std::string(pointer) +
                                " ; buffer size= 16\n",
                            "Stored...... rellocate space from 0B with delta 11B\n",
                            "Stored...... request body 10 bytes\n",
                            "plug-in..... HTTPD_read() return code 8\n"}));
    trace_on();
    n = 10;
    api->HTWRITE(h, buffer, &n, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(traces(), (std::vector<std::string>{"plug-in..... HTTPD_write() called \n",
                                                  "plug-in..... HTTPD_write() args..... value size= 10\n",
                                                  "plug-in..... HTTPD_write() return code 0\n"}));
}

namespace {

// Installs a copy of the host's table with some entries left out; puts the
// host's table back at the end.
class Without {
public:
    Without(const orvhost::Plugrt *api, std::initializer_list<int> missing) : api_(api)
    {
        HTAPICallback t[HTAPI_NCALLBACKS];
        std::memcpy(t, orvhost::Host::get().table(), sizeof t);
        for (int n : missing)
            t[n] = nullptr;
        api_->set_api_callbacks(t);
    }
    ~Without() { api_->set_api_callbacks(orvhost::Host::get().table()); }

private:
    const orvhost::Plugrt *api_;
};

} // namespace

TEST_F(Frame, AMissingEntryGivesMinusOne)
{
    const struct {
        int missing;
        const char *name;
    } rows[] = {{HTCB_POOL_ALLOC, "QUERY_STRING"}, {HTCB_TOUPPER, "QUERY_STRING"},
                {HTCB_REQUEST_TEXT, "QUERY_STRING"}, {HTCB_POOL_STRDUP, "QUERY_STRING"},
                {HTCB_USERVAR_GET, "mine"}, {HTCB_SERVER_TEXT, "SERVER_NAME"},
                {HTCB_TRIM, "HTTP_X-H"}};
    rq->request_headers = {{"X-H", "h", {}}};
    for (const auto &r : rows) {
        Without w(api, {r.missing});
        EXPECT_EQ(extract(r.name), HTTPD_UNSUPPORTED) << r.missing;
    }
    {
        Without w(api, {HTCB_THREAD_KEY});
        long rc = -99;
        char b[8];
        unsigned long n = 5, room = sizeof b;
        api->HTXTRACT(nullptr, "QUERY", &n, b, &room, &rc);
        EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
    }
    {
        Without w(api, {HTCB_READ_BLOCK});
        rq->set_body("abc");
        char b[8];
        unsigned long n = sizeof b;
        long rc = -99;
        api->HTREAD(h, b, &n, &rc);
        EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
    }
}

TEST_F(Frame, MissingTraceEntriesMeanNoLinesOrTheHostsOwnTest)
{
    trace_on();
    {
        Without w(api, {HTCB_TRACE_LEVEL});
        EXPECT_EQ(extract("QUERY_STRING"), HTTPD_SUCCESS);
    }
    {
        Without w(api, {HTCB_TRACE});
        EXPECT_EQ(extract("QUERY_STRING"), HTTPD_SUCCESS);
    }
    EXPECT_TRUE(traces().empty());
    {
        // Without entry 89 the common library's switch of the category decides.
        Without w(api, {HTCB_TRACE_CATEGORY});
        EXPECT_EQ(extract("QUERY_STRING"), HTTPD_SUCCESS);
        EXPECT_EQ(traces().size(), 4u);
        HTTrace_set(HT_TRACE_QUORAPI, 0);
        orvhost::Host::get().clear_records();
        EXPECT_EQ(extract("QUERY_STRING"), HTTPD_SUCCESS);
        EXPECT_TRUE(traces().empty());
    }
}

TEST_F(Frame, NoTableAtAllGivesMinusOne)
{
    HTAPICallback *const installed = *api->all_api_callbacks;
    *api->all_api_callbacks = nullptr;
    long rc = -99;
    char b[8];
    unsigned long n = 5, room = sizeof b;
    api->HTXTRACT(h, "QUERY", &n, b, &room, &rc);
    EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
    api->HTWRITE(h, "x", &n, &rc);
    EXPECT_EQ(rc, HTTPD_UNSUPPORTED);

    // The first set_api_callbacks makes an empty table even for null.
    EXPECT_EQ(api->set_api_callbacks(nullptr), 0);
    HTAPICallback *fresh = *api->all_api_callbacks;
    ASSERT_NE(fresh, nullptr);
    for (int i = 0; i < HTAPI_NCALLBACKS; ++i)
        EXPECT_TRUE(i == HTCB_INT_HOOK || fresh[i] == nullptr) << i;
    EXPECT_EQ(fresh[HTCB_INT_HOOK], reinterpret_cast<HTAPICallback>(api->null_int_callback));
    EXPECT_EQ(api->null_int_callback(), 0);
    api->HTXTRACT(h, "QUERY", &n, b, &room, &rc);
    EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
    EXPECT_EQ(api->htgetvar(h, "QUERY", &room), nullptr);
    // Null leaves the table as it is; a table is copied, not kept.
    EXPECT_EQ(api->set_api_callbacks(nullptr), 0);
    EXPECT_EQ(*api->all_api_callbacks, fresh);
    HTAPICallback copy[HTAPI_NCALLBACKS];
    std::memcpy(copy, orvhost::Host::get().table(), sizeof copy);
    EXPECT_EQ(api->set_api_callbacks(copy), 0);
    std::memset(copy, 0, sizeof copy);
    EXPECT_EQ(extract("QUERY_STRING"), HTTPD_SUCCESS);
    std::free(fresh);
    *api->all_api_callbacks = installed;
}

TEST_F(Frame, UnsupportedCallsTraceAndGiveMinusOne)
{
    const struct {
        decltype(api->HTATTRIB) call;
        const char *line;
    } rows[] = {{api->HTATTRIB, "plug-in..... HTTPD_attributes() unsupported.\n"},
                {api->HTREVTRA, "plug-in..... HTTPD_reverse_translate() unsupported.\n"},
                {api->HTTRANS, "plug-in..... HTTPD_translate() unsupported.\n"}};
    for (const auto &r : rows) {
        trace_on();
        long rc = 0;
        r.call(h, nullptr, nullptr, nullptr, nullptr, nullptr, &rc);
        EXPECT_EQ(rc, HTTPD_UNSUPPORTED);
        r.call(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(traces(), (std::vector<std::string>{r.line, r.line}));
    }
}

TEST_F(Frame, ApiDataRecordOnCreationAndDeletion)
{
    trace_on();
    Request r;
    HTAPIdata *d = r.api();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->flags & HTAPI_FLAGS_LIBRARY, 0u);
    EXPECT_EQ(d->output, nullptr);
    EXPECT_EQ(d->user_variables, nullptr);
    EXPECT_STREQ(d->convert_request_body, "NO");
    EXPECT_EQ(d->chunk_state, HTAPI_CHUNK_SIZE_LINE);
    for (uintptr_t w : d->host)
        EXPECT_EQ(w, 0u);
    EXPECT_EQ(traces(), std::vector<std::string>{"plug-in..... Create a new API data structure\n"});

    // The library's bits are cleared, the host's left.
    void *raw = std::malloc(sizeof(HTAPIdata));
    auto pool_hook = [](std::size_t, void *p) noexcept -> void * { return p; };
    HTAPICallback t[HTAPI_NCALLBACKS];
    std::memcpy(t, orvhost::Host::get().table(), sizeof t);
    t[HTCB_POOL_ALLOC] = reinterpret_cast<HTAPICallback>(+pool_hook);
    api->set_api_callbacks(t);
    static_cast<HTAPIdata *>(raw)->flags = 0xFFFFFFFFu;
    HTAPIdata *made = api->HTAPIdata_new(raw);
    api->set_api_callbacks(orvhost::Host::get().table());
    ASSERT_EQ(made, raw);
    EXPECT_EQ(made->flags, 0x03FFFFFFu);
    std::free(raw);

    unsigned long n = 3, v = 1;
    long rc = -99;
    api->HTSET(r.handle(), "one", &n, "1", &v, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(d->user_variables, nullptr);
    trace_on();
    api->HTAPIdata_delete(d);
    EXPECT_EQ(d->user_variables, nullptr);
    api->HTAPIdata_delete(nullptr);
    EXPECT_EQ(traces(), std::vector<std::string>{"plug-in..... Deleting API data structure\n"});
}

TEST_F(Frame, UserRecordHasEightWordsTheLastSevenZero)
{
    auto *u = static_cast<uintptr_t *>(api->HTUser_new());
    ASSERT_NE(u, nullptr);
    for (int i = 1; i < HT_USER_WORDS; ++i)
        EXPECT_EQ(u[i], 0u);
    u[HT_USER_WORDS - 1] = 1; // the whole record is the caller's
    std::free(u);
}

TEST_F(Frame, ExportedConstants)
{
    EXPECT_EQ(api->CCAPIVersion[0], 1);
    EXPECT_EQ(api->CCAPIVersion[1], 0);
    EXPECT_EQ(api->errmap[0], 0);
    for (int r = 1; r <= 30; ++r)
        EXPECT_EQ(api->errmap[r], 12 + r) << r;
    for (int r = 31; r < HT_ERRMAP_SIZE; ++r)
        EXPECT_EQ(api->errmap[r], 0) << r;
    EXPECT_EQ(api->errmap[5], 17);
    EXPECT_EQ(api->errmap[23], 35);
}

TEST_F(Frame, CopyToProxyBufferChecksItsArguments)
{
    unsigned long n = 3;
    long rc = 0;
    api->copyToProxyBuffer(h, nullptr, &n, &rc, 0);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);
    rc = 0;
    api->copyToProxyBuffer(h, "abc", nullptr, &rc, 0);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);
    api->copyToProxyBuffer(h, "abc", &n, nullptr, 0);
    rc = 0;
    api->copyToProxyBuffer(h, "abc", &n, &rc, 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(rq->stored_body(), "abc");
    rq->bind();
    rc = 0;
    api->copyToProxyBuffer(nullptr, "de", &(n = 2), &rc, 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(rq->stored_body(), "abcde");
}

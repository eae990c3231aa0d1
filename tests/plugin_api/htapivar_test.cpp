// Server variables: every known name with its aliases and format, read-only
// and settable names, the header families, no-transform, entity tags, user
// variables and the integer variables.

#include "plugrt_fixture.h"

#include <cstring>
#include <functional>

namespace {

using orvhost::Host;
using orvhost::Request;

// A request and server in which every host variable has its own value.
void populate(Request &r)
{
    r.text = {{HTAPI_CLIENT_ADDR, "10.0.0.7"},
              {HTAPI_CLIENT_NAME, "client.example"},
              {HTAPI_REMOTE_HOST, "rhost"},
              {HTAPI_METHOD, "GET"},
              {HTAPI_URL, "http://origin.example:8080/dir/page.html?x=1"},
              {HTAPI_PATH, "/dir/page.html"},
              {HTAPI_PATH_INFO, "/info"},
              {HTAPI_PATH_TRANSLATED, "/srv/info"},
              {HTAPI_PPATH, "/p"},
              {HTAPI_QUERY_STRING, "x=1"},
              {HTAPI_SCRIPT_NAME, "/cgi/s"},
              {HTAPI_DOCUMENT_ROOT, "/srv"},
              {HTAPI_ORIGINAL_HOST, "orig.example"},
              {HTAPI_ORIGINAL_URL, "http://orig/"},
              {HTAPI_REFERER_URL, "http://ref/"},
              {HTAPI_REQUEST_PORT, "8080"},
              {HTAPI_INIT_STRING, "init"},
              {HTAPI_ERRORINFO, "err"},
              {HTAPI_PROXY_ACCESS, "allow"},
              {HTAPI_CBR_CHOSENSERVER, "cbr1"},
              {HTAPI_USE_PROXY, "http://parent:3128/"},
              {HTAPI_NOTMODIFIED_TO_OK, "no"},
              {HTAPI_REQ_CONTENT_TYPE, "text/html"},
              {HTAPI_REQ_CONTENT_ENCODING, "gzip"},
              {HTAPI_REQ_CONTENT_TYPE_PARAMETERS, "charset=utf-8"},
              {HTAPI_REQ_CONTENT_CHARSET, "utf-8"},
              {HTAPI_EXPIRES, "Thu, 01 Jan 2026 00:00:00 GMT"},
              {HTAPI_LAST_MODIFIED, "Wed, 31 Dec 2025 00:00:00 GMT"},
              {HTAPI_GC_FILENAME, "/cache/f1"},
              {HTAPI_FILTER_DB_OPTIONS, "db"},
              {HTAPI_FILTER_ADDITIONAL_URL, "http://add/"},
              {HTAPI_FILTER_EXCEPTION_URL, "http://exc/"},
              {HTAPI_QOSGROUP, "gold"},
              {HTAPI_QOSUSER, "alice"},
              {HTAPI_PICS_PATHNAME, "/pics"},
              {HTAPI_PICS_LABEL, "(pics-1.1)"},
              {HTAPI_AUTH_TYPE, "Basic"},
              {HTAPI_AUTH_STRING, "dXNlcjpwdw=="},
              {HTAPI_REMOTE_USER, "user"},
              {HTAPI_USERNAME, "user"},
              {HTAPI_PASSWORD, "pw"},
              {HTAPI_CLIENT_CERT_DN, "CN=c"},
              {HTAPI_CLIENT_CERT, "MIIB"},
              {HTAPI_CONN_CIPHER_SUITE, "AES128"},
              {HTAPI_SSL_SESSIONID, "abcd"},
              {HTAPI_RCA_OWNER, "peer2"},
              {HTAPI_RCA_TIMEOUTS, "3"},
              {HTAPI_SSI_ROOT, "/ssi"},
              {HTAPI_SSI_FILE, "f.shtml"},
              {HTAPI_SSI_DIR, "/ssi/d"},
              {HTAPI_SSI_PARENT, "p.shtml"},
              {HTAPI_SSI_INCLUDE, "inc.shtml"},
              {HTAPI_MODRW_PREFIX, "/junction"}};
    r.number = {{HTAPI_CLIENT_PORT, 40000},      {HTAPI_REQ_CONTENT_LENGTH, 1234},
                {HTAPI_PROXIED_CONTENT_LENGTH, 5678}, {HTAPI_CACHE_HIT, 1},
                {HTAPI_CACHE_UPDATE, 0},         {HTAPI_CACHE_TASK, -1},
                {HTAPI_FILTER_PLUGIN_ENABLE, 1}, {HTAPI_FILTER_RULES, 255}};
    r.flag = {{HTAPI_USE_CONNMGMT, 1}, {HTAPI_TAV_PRIV_HDRS, 0}, {HTAPI_CONFIG_LOG_SUPPRESS, 1},
              {HTAPI_QOS_CONTROL, 0}};
    r.real = {{HTAPI_GC_EXPIRES, 1.5},     {HTAPI_GC_LAST_CHECKED, 2.25},
              {HTAPI_GC_LAST_ACCESS, 3.125}, {HTAPI_GC_FILESIZE, 4096},
              {HTAPI_GC_LOAD_DELAY, 0.0001}};
    r.client_field = {{HTAPI_FIELD_RESPONSE, "200"},
                      {HTAPI_FIELD_STATUS, "200 OK"},
                      {HTAPI_FIELD_REASON, "OK"},
                      {HTAPI_FIELD_CONTENT_TYPE, "text/html"},
                      {HTAPI_FIELD_CONTENT_TYPE_PARAMETERS, "q=1"},
                      {HTAPI_FIELD_HOST, "proxy.example"},
                      {HTAPI_FIELD_USER_AGENT, "agent/1"},
                      {HTAPI_FIELD_CONTENT_CHARSET, "utf-8"},
                      {HTAPI_FIELD_CONTENT_ENCODING, "identity"},
                      {HTAPI_FIELD_CONTENT_LENGTH, "10"},
                      {HTAPI_FIELD_EXPIRES, "never"},
                      {HTAPI_FIELD_LAST_MODIFIED, "then"},
                      {HTAPI_FIELD_ACCEPT_RANGES, "bytes"}};
    r.origin_field = {{HTAPI_FIELD_METHOD, "POST"},
                      {HTAPI_FIELD_RESPONSE, "200"},
                      {HTAPI_FIELD_STATUS, "200 OK"},
                      {HTAPI_FIELD_REASON, "OK"},
                      {HTAPI_FIELD_CONTENT_CHARSET, "latin1"},
                      {HTAPI_FIELD_CONTENT_TYPE_PARAMETERS, "level=1"}};
    r.request_headers = {{"Host", "proxy.example", {}},
                         {"X-Custom", "  spaced value \t", {}},
                         {"Authorization", "Basic xyz", {}},
                         {"Broken", "", "Broken header without a colon"}};
    r.origin_headers = {{"Content-Type", "text/plain", {}},     {"Content-Length", "42", {}},
                        {"Content-Encoding", "br", {}},         {"Last-Modified", "Mon", {}},
                        {"Accept-Ranges", "none", {}},          {"WWW-Authenticate", "Basic realm=x", {}},
                        {"User-Agent", "origin/2", {}},         {"X-Origin", "yes", {}}};
    r.cgi = {"REMOTE_ADDR=10.0.0.7", "HTTP_HOST=proxy.example"};
    r.ssi = {{"ECHO", "x"}};
    r.ssi_globals = {"g1=v1", "g2=v2"};
    r.redirect = {{"URL", "http://r/"}};
    r.cache_file_name = "/cache/entry";
    r.modrw_tagbuf = "tags";
    r.has_period = true;
    r.period = {"8", "12", "13", "17", (1u << 1) | (1u << 5)};

    Host &host = Host::get();
    host.server_text = {{HTAPI_SERVER_NAME, "proxy.example"}, {HTAPI_SERVER_ADDR, "192.0.2.1"},
                        {HTAPI_SERVER_PROTOCOL, "HTTP/1.1"},  {HTAPI_SERVER_ROOT, "/opt/orvane"},
                        {HTAPI_SERVER_LEVEL, "1.0.0.0"},      {HTAPI_RULE_FILE_PATH, "/etc/rules"},
                        {HTAPI_MAXACTIVETHREADS, "64"}};
    host.server_number = {{HTAPI_SERVER_PORT, 8080},
                          {HTAPI_CONNECTIONS, 12},
                          {HTAPI_TOTALTRANSACTIONS, 4000000000ul},
                          {HTAPI_TOTALKBYTES, 77}};
    host.addresses = {{"origin.example", "198.51.100.9"}};
}

class Vars : public PlugrtTest {
protected:
    void SetUp() override
    {
        PlugrtTest::SetUp();
        populate(*rq);
    }
    void TearDown() override
    {
        Host::get().server_text.clear();
        Host::get().server_number.clear();
        Host::get().addresses.clear();
        PlugrtTest::TearDown();
    }
    std::string lines(const orvhost::Headers &list)
    {
        std::string s;
        for (const auto &x : list)
            s += x.name + ": " + x.value + "\r\n";
        return s;
    }
    std::string header(const orvhost::Headers &list, const std::string &name)
    {
        std::string all;
        for (const auto &x : list)
            if (x.name == name)
                all += (all.empty() ? "" : "|") + x.value;
        return all;
    }
};

struct Known {
    const char *names; // aliases separated by blanks
    const char *value;
};

// Each known name (and its aliases) with the value the populated request gives.
const Known kKnown[] = {
    {"ACCEPT_RANGES", "bytes"},
    {"ALL_VARIABLES", "REMOTE_ADDR=10.0.0.7\nHTTP_HOST=proxy.example\n"},
    {"AUTH_STRING", "dXNlcjpwdw=="},
    {"AUTH_TYPE", "Basic"},
    {"CACHE_FILE_NAME", "/cache/entry"},
    {"CACHE_HIT", "1"},
    {"CACHE_TASK", "-1"},
    {"CACHE_UPDATE", "0"},
    {"CBR_CHOSENSERVER", "cbr1"},
    {"CGI_REMOTE_ADDR", "10.0.0.7"},
    {"CLIENT_ADDR CLIENTADDR REMOTE_ADDR", "10.0.0.7"},
    {"CLIENT_AUTH CLIENTAUTH SSLMODE", "OFF"},
    {"CLIENT_CERT", "MIIB"},
    {"CLIENT_CERT_DN", "CN=c"},
    {"CLIENTMETHOD REQUEST_METHOD", "GET"},
    {"CLIENT_NAME CLIENTNAME", "client.example"},
    {"CLIENT_PORT CLIENTPORT", "40000"},
    {"CLIENT_PROTOCOL CLIENTPROTOCOL", "HTTP/1.1"},
    {"CONFIG_LOG_SUPPRESS", "1"},
    {"CONNECTIONS", "12"},
    {"CONN_CIPHER_SUITE", "AES128"},
    {"CONTENT_CHARSET", "utf-8"},
    {"CONTENT_ENCODING", "gzip"},
    {"CONTENT_LENGTH REQUEST_CONTENT_LENGTH", "1234"},
    {"CONTENT_TYPE REQUEST_CONTENT_TYPE content-type Content_Type", "text/html"},
    {"CONTENT_TYPE_PARAMETERS", "charset=utf-8"},
    {"CONVERT_REQUEST_BODY", "NO"},
    {"DOCUMENT_NAME PATH", "/dir/page.html"},
    {"DOCUMENT_ROOT", "/srv"},
    {"DOCUMENT_URI DOCUMENT_URL URL URI", "http://origin.example:8080/dir/page.html?x=1"},
    {"ERRORINFO", "err"},
    {"EXPIRES", "Thu, 01 Jan 2026 00:00:00 GMT"},
    {"FILTER_ADDITIONAL_URL", "http://add/"},
    {"FILTER_DB_OPTIONS", "db"},
    {"FILTER_EFFECTIVE_PERIOD",
     "from 8 o'clock, to 12 o'clock, and from 13 o'clock, to 17 o'clock, on Monday Friday "},
    {"FILTER_EXCEPTION_URL", "http://exc/"},
    {"FILTER_PLUGIN_ENABLE", "enable"},
    {"FILTER_RULES", "0xff"},
    {"GATEWAY_INTERFACE", "QuorAPI/2.0"},
    {"GC_EXPIRES", "1.5000"},
    {"GC_FILENAME", "/cache/f1"},
    {"GC_FILESIZE", "4096.0000"},
    {"GC_LAST_ACCESS", "3.1250"},
    {"GC_LAST_CHECKED", "2.2500"},
    {"GC_LOAD_DELAY", "0.0001"},
    {"HTTP_ACCEPT_RANGES", "bytes"},
    {"HTTP_AUTHORIZATION", "Basic xyz"},
    {"HTTP_CONTENT_CHARSET", "utf-8"},
    {"HTTP_CONTENT_ENCODING", "identity"},
    {"HTTP_CONTENT_LENGTH", "10"},
    {"HTTP_CONTENT_TYPE", "text/html"},
    {"HTTP_CONTENT_TYPE_PARAMETERS", "q=1"},
    {"HTTP_EXPIRES", "never"},
    {"HTTP_HEADERS REQHDR",
     "Host: proxy.example\r\nX-Custom:   spaced value \t\r\nAuthorization: Basic xyz\r\n"
     "Broken: \r\n"},
    {"HTTP_HOST", "proxy.example"},
    {"HTTP_LAST_MODIFIED", "then"},
    {"HTTP_REASON", "OK"},
    {"HTTP_RESPONSE", "200"},
    {"HTTP_STATUS", "200 OK"},
    {"HTTP_USER_AGENT", "agent/1"},
    {"HTTP_X-Custom http_x-custom", "spaced value"},
    {"INIT_STRING", "init"},
    {"LAST_MODIFIED", "Wed, 31 Dec 2025 00:00:00 GMT"},
    {"LOGFILEDATEEXT", "%b%d%Y"},
    {"MAXACTIVETHREADS", "64"},
    {"NOTMODIFIED_TO_OK", "no"},
    {"ORIGIN_ADDR", "198.51.100.9"},
    {"ORIGINAL_HOST", "orig.example"},
    {"ORIGINAL_URL", "http://orig/"},
    {"OVERRIDE_HTTP_NOTRANSFORM OVERRIDE_PROXY_NOTRANSFORM", "disabled"},
    {"PASSWORD", "pw"},
    {"PATH_INFO", "/info"},
    {"PATH_TRANSLATED", "/srv/info"},
    {"PEAKCONNECTIONS", "0"},
    {"PICS_LABEL", "(pics-1.1)"},
    {"PICS_PATHNAME", "/pics"},
    {"PICS_SERVICENAME", ""},
    {"PICS_SITENAME", "LOCAL"},
    {"PPATH", "/p"},
    {"PROXIED_CONTENT_LENGTH", "5678"},
    {"PROXY_ACCESS", "allow"},
    {"PROXY_ACCEPT_RANGES", "none"},
    {"PROXY_CONTENT_CHARSET", "latin1"},
    {"PROXY_CONTENT_ENCODING", "br"},
    {"PROXY_CONTENT_LENGTH RESPONSE_CONTENT_LENGTH", "42"},
    {"PROXY_CONTENT_TYPE RESPONSE_CONTENT_TYPE", "text/plain"},
    {"PROXY_CONTENT_TYPE_PARAMETERS", "level=1"},
    {"PROXY_HEADERS CLIENT_RESPONSE_HEADERS",
     "Content-Type: text/plain\r\nContent-Length: 42\r\nContent-Encoding: br\r\n"
     "Last-Modified: Mon\r\nAccept-Ranges: none\r\nWWW-Authenticate: Basic realm=x\r\n"
     "User-Agent: origin/2\r\nX-Origin: yes\r\n"},
    {"PROXY_LAST_MODIFIED", "Mon"},
    {"PROXY_METHOD", "POST"},
    {"PROXY_REASON", "OK"},
    {"PROXY_RESPONSE", "200"},
    {"PROXY_STATUS", "200 OK"},
    {"PROXY_USER_AGENT", "origin/2"},
    {"PROXY_WWW_AUTHENTICATE", "Basic realm=x"},
    {"PROXY_X-Origin", "yes"},
    {"QOSGROUP", "gold"},
    {"QOSUSER", "alice"},
    {"QOS_CONTROL", "NO"},
    {"QUERY_STRING", "x=1"},
    {"RCA_OWNER", "peer2"},
    {"RCA_TIMEOUTS", "3"},
    {"REDIRECT_URL", "http://r/"},
    {"REFERER_URL", "http://ref/"},
    {"REMOTE_HOST", "rhost"},
    {"REMOTE_USER", "user"},
    {"REQUEST_PORT", "8080"},
    {"RULE_FILE_PATH RULEFILE_PATH RULE_FILEPATH RULEFILEPATH", "/etc/rules"},
    {"SCRIPT_NAME", "/cgi/s"},
    {"SERVER_ADDR", "192.0.2.1"},
    {"SERVER_LEVEL SERVERLEVEL", "1.0.0.0"},
    {"SERVER_NAME SERVERNAME server-name", "proxy.example"},
    {"SERVER_PORT SERVERPORT", "8080"},
    {"SERVER_PROTOCOL", "HTTP/1.1"},
    {"SERVER_ROOT", "/opt/orvane"},
    {"SERVER_SOFTWARE SERVERSOFTWARE", "Orvane-Proxy/1.0"},
    {"SSI_DIR", "/ssi/d"},
    {"SSI_ECHO", "x"},
    {"SSI_FILE", "f.shtml"},
    {"SSI_GLOBAL_VARS SSI_GLOBAL_VARIABLES", "g1=v1\ng2=v2\n"},
    {"SSI_INCLUDE", "inc.shtml"},
    {"SSI_PARENT", "p.shtml"},
    {"SSI_ROOT", "/ssi"},
    {"SSL_SESSIONID", "abcd"},
    {"TAV_PRIV_HDRS", "0"},
    {"TOTALKBYTES", "77"},
    {"TOTALTRANSACTIONS", "4000000000"},
    {"TRACE", "OFF"},
    {"URI_PATH", "/dir/page.html?x=1"},
    {"USE_CONNMGMT", "YES"},
    {"USE_PROXY", "http://parent:3128/"},
    {"USERNAME", "user"},
    {"_THP_MODRW_PREFIX", "/junction"},
    {"_THP_MODRW_TAGBUF", "tags"},
};

std::vector<std::string> split(const char *names)
{
    std::vector<std::string> out;
    std::string s(names);
    for (std::size_t p = 0; p < s.size();) {
        std::size_t q = s.find(' ', p);
        if (q == std::string::npos)
            q = s.size();
        out.push_back(s.substr(p, q - p));
        p = q + 1;
    }
    return out;
}

} // namespace

TEST_F(Vars, EveryKnownNameItsAliasesAndItsFormat)
{
    for (const Known &k : kKnown)
        for (const std::string &name : split(k.names)) {
            std::string v;
            EXPECT_EQ(extract(name, &v), HTTPD_SUCCESS) << name;
            EXPECT_EQ(v, k.value) << name;
            EXPECT_EQ(last_length, std::strlen(k.value)) << name;
        }
}

TEST_F(Vars, UrlDigestIsTheMd4OfTheUrl)
{
    EXPECT_EQ(value_of("URL_MD4"), orvhost::md4_hex(rq->text[HTAPI_URL]));
}

TEST_F(Vars, NamesTheHostHasNoValueForAreNotFound)
{
    rq->text.erase(HTAPI_QUERY_STRING);
    Host::get().server_text.erase(HTAPI_SERVER_NAME);
    for (const char *name : {"QUERY_STRING", "SERVER_NAME", "HTTP_X-Absent", "PROXY_X-Absent",
                             "CGI_NOPE", "REDIRECT_NOPE", "SSI_NOPE", "HTTP_Broken", "NOT_A_VARIABLE"}) {
        std::string v;
        EXPECT_EQ(extract(name, &v), HTTPD_BAD_ARGUMENT) << name;
        EXPECT_EQ(last_length, 0u) << name;
    }
}

TEST_F(Vars, RequestHeaderLookupPassesTheSelector)
{
    rq->request_headers.push_back({"X-Custom", "second", {}});
    unsigned long selector = 1;
    char *v = api->htgetvar(h, "HTTP_X-Custom", &selector);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "second");
    EXPECT_EQ(rq->last_selector, 1u);
}

TEST_F(Vars, UriPathScansACopyAndLeavesTheUrl)
{
    const std::string url = rq->text[HTAPI_URL];
    EXPECT_EQ(value_of("URI_PATH"), "/dir/page.html?x=1");
    EXPECT_EQ(rq->text[HTAPI_URL], url);
    rq->text[HTAPI_URL] = "http://host.only";
    EXPECT_EQ(value_of("URI_PATH"), "/");
}

TEST_F(Vars, OriginAddressOfANumericHostAndOfAnUnknownOne)
{
    rq->text[HTAPI_URL] = "http://user@203.0.113.5:81/x";
    EXPECT_EQ(value_of("ORIGIN_ADDR"), "203.0.113.5");
    rq->text[HTAPI_URL] = "http://unknown.example/x";
    EXPECT_EQ(extract("ORIGIN_ADDR"), HTTPD_BAD_ARGUMENT);
}

TEST_F(Vars, TraceLevelWords)
{
    const struct {
        uint32_t level;
        const char *word;
    } rows[] = {{0, "OFF"}, {21, "OFF"}, {22, "V"}, {43, "V"}, {44, "VV"}, {65, "VV"}, {66, "MTV"}};
    for (const auto &r : rows) {
        tc[HT_TRACE_LEVEL_WORD] = r.level;
        std::string v;
        EXPECT_EQ(extract("TRACE", &v), HTTPD_SUCCESS);
        EXPECT_EQ(v, r.word) << r.level;
    }
    tc[HT_TRACE_LEVEL_WORD] = 0;
}

TEST_F(Vars, BufferExactlyTheValueLengthIsTooSmall)
{
    std::string v;
    EXPECT_EQ(extract("QUERY_STRING", &v, 3), HTTPD_BUFFER_TOO_SMALL);
    EXPECT_EQ(last_length, 4u);
    EXPECT_EQ(extract("QUERY_STRING", &v, 4), HTTPD_SUCCESS);
    EXPECT_EQ(v, "x=1");
    EXPECT_EQ(last_length, 3u);
}

TEST_F(Vars, EveryReadOnlyNameGives5)
{
    for (const char *name :
         {"ALL_VARIABLES", "AUTH_TYPE", "AUTH_STRING", "CLIENT_AUTH", "CLIENT_RESPONSE_HEADERS",
          "DOCUMENT_NAME", "DOCUMENT_ROOT", "GATEWAY_INTERFACE", "ORIGINAL_HOST", "PICS_SITENAME",
          "PICS_SERVICENAME", "PICS_PATHNAME", "PROXIED_CONTENT_LENGTH", "REFERER_URL",
          "REQUEST_METHOD", "REQUEST_PORT", "REQHDR", "REQUEST_CONTENT_TYPE",
          "REQUEST_CONTENT_LENGTH", "RESPONSE_CONTENT_LENGTH", "RESPONSE_CONTENT_TYPE",
          "SERVER_ROOT", "SERVER_PORT", "SERVER_ADDR", "SERVER_NAME", "SERVER_PROTOCOL",
          "SERVER_SOFTWARE", "SSLMODE", "SSI_DIR", "SSI_ROOT", "SSI_FILE", "URI_PATH", "URL_MD4",
          "_THP_MODRW_TAGBUF", "HTTP_HEADERS", "HTTP_AUTHORIZATION", "HTTP_PROXY_AUTHORIZATION",
          "PROXY_HEADERS", "server-name", "http-authorization"}) {
        EXPECT_EQ(set(name, "x"), HTTPD_READ_ONLY) << name;
        EXPECT_EQ(replace(name, "x"), HTTPD_READ_ONLY) << name;
    }
    EXPECT_EQ(value_of("SERVER_NAME"), "proxy.example");
}

namespace {

struct Settable {
    const char *name;
    const char *value;
    std::function<std::string(Request &)> observed;
    const char *expected;
};

std::string text_of(Request &r, int var)
{
    auto it = r.text.find(var);
    return it == r.text.end() ? "(none)" : it->second;
}

std::function<std::string(Request &)> text(int var)
{
    return [var](Request &r) { return text_of(r, var); };
}

std::function<std::string(Request &)> number(int var)
{
    return [var](Request &r) { return std::to_string(r.number[var]); };
}

std::function<std::string(Request &)> real(int var)
{
    return [var](Request &r) {
        char b[32];
        std::snprintf(b, sizeof b, "%g", r.real[var]);
        return std::string(b);
    };
}

std::function<std::string(Request &)> response_header(const char *name)
{
    return [name](Request &r) {
        for (const auto &x : r.response_headers)
            if (x.name == name)
                return x.value;
        return std::string("(none)");
    };
}

std::function<std::string(Request &)> proxy_header(const char *name)
{
    return [name](Request &r) {
        for (const auto &x : r.proxy_headers)
            if (x.name == name)
                return x.value;
        return std::string("(none)");
    };
}

std::function<std::string(Request &)> origin(int field)
{
    return [field](Request &r) { return r.origin_field[field]; };
}

std::string status(Request &r)
{
    return std::to_string(r.status) + " " + r.reason;
}

// Each settable name, a value, where the host keeps it and what it holds then.
const Settable kSettable[] = {
    {"ACCEPT_RANGES", "none", text(HTAPI_ACCEPT_RANGES), "none"},
    {"CACHE_MISS", "1", real(HTAPI_CACHE_MISS), "1"},
    {"CACHE_MISS", "yes", real(HTAPI_CACHE_MISS), "0"},
    {"CBR_CHOSENSERVER", "cbr9", text(HTAPI_CBR_CHOSENSERVER), "cbr9"},
    {"CGI_NEW_VAR", "v", [](Request &r) { return r.cgi.back(); }, "NEW_VAR=v"},
    {"CLIENT_PROTOCOL", "HTTP/1.0", [](Request &r) { return std::string(r.protocol); }, "HTTP/1.0"},
    {"CLIENTPROTOCOL", "HTTP/0.9", [](Request &r) { return std::string(r.protocol); }, "HTTP/0.9"},
    {"CONTENT_CHARSET", "utf-8", text(HTAPI_RESP_CONTENT_CHARSET), "charset=utf-8"},
    {"CONTENT_ENCODING", "gzip", text(HTAPI_RESP_CONTENT_ENCODING), "gzip"},
    {"CONTENT_LENGTH", " 77 ", number(HTAPI_RESP_CONTENT_LENGTH), "77"},
    {"CONTENT_TYPE", "image/png", text(HTAPI_RESP_CONTENT_TYPE), "image/png"},
    {"CONTENT_TYPE_PARAMETERS", "level=2; charset=\"latin1\"",
     text(HTAPI_RESP_CONTENT_TYPE_PARAMETERS), "level=2; charset=\"latin1\""},
    {"CONTENT_TYPE_PARAMETERS", "level=2; charset=\"latin1\"", text(HTAPI_RESP_CONTENT_CHARSET),
     "charset=latin1"},
    {"DOCUMENT_URI", "http://a/", text(HTAPI_URL), "http://a/"},
    {"DOCUMENT_URL", "http://b/", text(HTAPI_URL), "http://b/"},
    {"URL", "http://c/", text(HTAPI_URL), "http://c/"},
    {"URI", "http://d/", text(HTAPI_URL), "http://d/"},
    {"ERRORINFO", "bad", text(HTAPI_ERRORINFO), "bad"},
    {"EXPIRES", "Fri, 02 Jan 2026 00:00:00 GMT", text(HTAPI_EXPIRES), "Fri, 02 Jan 2026 00:00:00 GMT"},
    {"GC_BIAS", "2.5", real(HTAPI_GC_BIAS), "2.5"},
    {"GC_EVALUATION", "0.25", real(HTAPI_GC_EVALUATION), "0.25"},
    {"GC_EVALUATION", "1.7", real(HTAPI_GC_EVALUATION), "1"},
    {"GC_EVALUATION", "-3", real(HTAPI_GC_EVALUATION), "0"},
    {"LAST_MODIFIED", "Mon", text(HTAPI_LAST_MODIFIED), "Mon"},
    {"MSG_CLASS", "c1", text(HTAPI_MSG_CLASS), "c1"},
    {"MSG_CTR", "c2", text(HTAPI_MSG_CTR), "c2"},
    {"MSG_CTRLEN", "12", number(HTAPI_MSG_CTRLEN), "12"},
    {"NOTMODIFIED_TO_OK", "yes", text(HTAPI_NOTMODIFIED_TO_OK), "yes"},
    {"PASSWORD", "secret", text(HTAPI_PASSWORD), "secret"},
    {"PATH", "/n", text(HTAPI_PATH), "/n"},
    {"PATH_INFO", "/i", text(HTAPI_PATH_INFO), "/i"},
    {"PATH_TRANSLATED", "/t", text(HTAPI_PATH_TRANSLATED), "/t"},
    {"PICS_LABEL", "(l)", text(HTAPI_PICS_LABEL), "(l)"},
    {"PPATH", "/pp", text(HTAPI_PPATH), "/pp"},
    {"QOSACTIONS", "a", text(HTAPI_QOSACTIONS), "a"},
    {"QOSGROUP", "silver", text(HTAPI_QOSGROUP), "silver"},
    {"QOSUSER", "bob", text(HTAPI_QOSUSER), "bob"},
    {"QUERY_STRING", "q=2", text(HTAPI_QUERY_STRING), "q=2"},
    {"REMOTE_ADDR", "10.9.9.9", text(HTAPI_CLIENT_ADDR), "10.9.9.9"},
    {"REMOTE_HOST", "h2", text(HTAPI_REMOTE_HOST), "h2"},
    {"REMOTE_IDENT", "ident", text(HTAPI_REMOTE_IDENT), "ident"},
    {"REMOTE_USER", "ru", text(HTAPI_REMOTE_USER), "ru"},
    {"USERNAME", "un", text(HTAPI_USERNAME), "un"},
    {"SCRIPT_NAME", "/cgi/t", text(HTAPI_SCRIPT_NAME), "/cgi/t"},
    {"STATUS", "404 Not Here", status, "404 Not Here"},
    {"STATUS", "404", status, "404 Not Found"},
    {"STATUS", "200   \t\x01 Fine", status, "200 Fine"},
    {"USE_CONNMGMT", "NO", [](Request &r) { return std::to_string(r.flag[HTAPI_USE_CONNMGMT]); }, "0"},
    {"USE_CONNMGMT", "maybe", [](Request &r) { return std::to_string(r.flag[HTAPI_USE_CONNMGMT]); }, "1"},
    {"USE_PROXY", "http://p2/", text(HTAPI_USE_PROXY), "http://p2/"},
    {"USE_TRANSLATEDURI", "yes", text(HTAPI_USE_TRANSLATEDURI), "yes"},
    {"TAV_PRIV_HDRS", "anything", [](Request &r) { return std::to_string(r.flag[HTAPI_TAV_PRIV_HDRS]); }, "1"},
    {"WWW_AUTHENTICATE", "Basic", text(HTAPI_WWW_AUTHENTICATE), "Basic"},
    {"_THP_MODRW_PREFIX", "/j2", text(HTAPI_MODRW_PREFIX), "/j2"},
    {"HTTP_RESPONSE", "302", status, "302 Found"},
    {"HTTP_STATUS", "201 Made", status, "201 Made"},
    {"HTTP_REASON", "Fine", status, "200 Fine"},
    {"HTTP_CONTENT_TYPE", "text/css", text(HTAPI_RESP_CONTENT_TYPE), "text/css"},
    {"HTTP_CONTENT_TYPE_PARAMETERS", "a=b", text(HTAPI_RESP_CONTENT_TYPE_PARAMETERS), "a=b"},
    {"HTTP_CONTENT_CHARSET", "koi8-r", text(HTAPI_RESP_CONTENT_CHARSET), "charset=koi8-r"},
    {"HTTP_CONTENT_ENCODING", "br", text(HTAPI_RESP_CONTENT_ENCODING), "br"},
    {"HTTP_CONTENT_LENGTH", "10", response_header("Content-Length"), "10"},
    {"HTTP_CONTENT_MD5", "m", response_header("Content-MD5"), "m"},
    {"HTTP_CONTENT_RANGE", "bytes 0-1/2", response_header("Content-Range"), "bytes 0-1/2"},
    {"HTTP_CONTENT_LOCATION", "/l", response_header("Content-Location"), "/l"},
    {"HTTP_LOCATION", "http://x/", response_header("Location"), "http://x/"},
    {"HTTP_HOST", "h", response_header("Host"), "h"},
    {"HTTP_USER_AGENT", "ua", response_header("User-Agent"), "ua"},
    {"HTTP_EXPIRES", "e", response_header("Expires"), "e"},
    {"HTTP_LAST_MODIFIED", "lm", response_header("Last-Modified"), "lm"},
    {"HTTP_WWW_AUTHENTICATE", "w", response_header("WWW-Authenticate"), "w"},
    {"HTTP_ETAG", "\"t1\"", response_header("ETag"), "\"t1\""},
    {"HTTP_ACCEPT_RANGES", "bytes", response_header("Accept-Ranges"), "bytes"},
    {"HTTP_X-Mine", "m1", response_header("X-Mine"), "m1"},
    {"PROXY_METHOD", "PUT", origin(HTAPI_FIELD_METHOD), "PUT"},
    {"PROXY_RESPONSE", "204", origin(HTAPI_FIELD_RESPONSE), "204"},
    {"PROXY_REASON", "Empty", origin(HTAPI_FIELD_REASON), "Empty"},
    {"PROXY_CONTENT_CHARSET", "ascii", origin(HTAPI_FIELD_CONTENT_CHARSET), "ascii"},
    {"PROXY_CONTENT_TYPE_PARAMETERS", "p=1", origin(HTAPI_FIELD_CONTENT_TYPE_PARAMETERS), "p=1"},
    {"PROXY_HOST", "o", proxy_header("Host"), "o"},
    {"PROXY_CONTENT_TYPE", "text/x", proxy_header("Content-Type"), "text/x"},
    {"PROXY_CONTENT_LENGTH", "3", proxy_header("Content-Length"), "3"},
    {"PROXY_USER_AGENT", "ua2", proxy_header("User-Agent"), "ua2"},
    {"PROXY_CONTENT_ENCODING", "deflate", proxy_header("Content-Encoding"), "deflate"},
    {"PROXY_LAST_MODIFIED", "lm2", proxy_header("Last-Modified"), "lm2"},
    {"PROXY_ACCEPT_RANGES", "none", proxy_header("Accept-Ranges"), "none"},
    {"PROXY_WWW_AUTHENTICATE", "w2", proxy_header("WWW-Authenticate"), "w2"},
    {"PROXY_CONTENT_MD5", "m2", proxy_header("Content-MD5"), "m2"},
    {"PROXY_CONTENT_RANGE", "r2", proxy_header("Content-Range"), "r2"},
    {"PROXY_CONTENT_LOCATION", "/l2", proxy_header("Content-Location"), "/l2"},
    {"PROXY_ETAG", "\"e2\"", proxy_header("ETag"), "\"e2\""},
};

} // namespace

TEST_F(Vars, EverySettableNameReachesItsPlace)
{
    for (const Settable &s : kSettable) {
        Request r;
        r.flag[HTAPI_USE_CONNMGMT] = 1;
        unsigned long n = std::strlen(s.name), v = std::strlen(s.value);
        long rc = -99;
        api->HTSET(r.handle(), s.name, &n, s.value, &v, &rc);
        EXPECT_EQ(rc, HTTPD_SUCCESS) << s.name << "=" << s.value;
        EXPECT_EQ(s.observed(r), s.expected) << s.name << "=" << s.value;
    }
}

TEST_F(Vars, SettableNamesReadBack)
{
    for (const char *name : {"CONVERT_REQUEST_BODY", "QUERY_STRING", "PATH", "ERRORINFO",
                             "USE_PROXY", "PICS_LABEL", "CBR_CHOSENSERVER", "_THP_MODRW_PREFIX"}) {
        EXPECT_EQ(set(name, "round-trip"), HTTPD_SUCCESS) << name;
        EXPECT_EQ(value_of(name), "round-trip") << name;
    }
    EXPECT_EQ(set("OVERRIDE_HTTP_NOTRANSFORM", "x"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("OVERRIDE_HTTP_NOTRANSFORM"), "enabled");
    EXPECT_EQ(set("TAV_PRIV_HDRS", ""), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("TAV_PRIV_HDRS"), "1");
}

TEST_F(Vars, UserRecordIsMadeOnTheFirstNeed)
{
    EXPECT_EQ(rq->user_record(), nullptr);
    EXPECT_EQ(set("USERNAME", "a"), HTTPD_SUCCESS);
    void *user = rq->user_record();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(set("PASSWORD", "b"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->user_record(), user);
    // Words 2 to 8 of the record are zero; the first is the server's.
    for (int i = 1; i < HT_USER_WORDS; ++i)
        EXPECT_EQ(static_cast<uintptr_t *>(user)[i], 0u) << i;
    EXPECT_EQ(rq->user_fields[HTAPI_USERNAME], "a");
    EXPECT_EQ(rq->user_fields[HTAPI_PASSWORD], "b");
}

TEST_F(Vars, ExpiresNowIsTheHostsDate)
{
    Host::get().fixed_now = 1767225600; // 2026-01-01
    EXPECT_EQ(set("EXPIRES", "now"), HTTPD_SUCCESS);
    EXPECT_EQ(set("LAST_MODIFIED", "NOW"), HTTPD_SUCCESS);
    Host::get().fixed_now = 0;
    EXPECT_EQ(rq->text[HTAPI_EXPIRES], "Thu, 01 Jan 2026 00:00:00 GMT");
    EXPECT_EQ(rq->text[HTAPI_LAST_MODIFIED], "Thu, 01 Jan 2026 00:00:00 GMT");
}

TEST_F(Vars, ContentTypeWithParametersIsSplit)
{
    trace_on();
    EXPECT_EQ(set("CONTENT_TYPE", "text/html;  \tcharset=utf-8"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->text[HTAPI_RESP_CONTENT_TYPE], "text/html");
    EXPECT_EQ(rq->text[HTAPI_RESP_CONTENT_TYPE_PARAMETERS], "charset=utf-8");
    EXPECT_EQ(rq->text[HTAPI_RESP_CONTENT_CHARSET], "charset=utf-8");
    const auto t = traces();
    EXPECT_NE(std::find(t.begin(), t.end(),
                        "WARNING: Please use CONTENT_TYPE_PARAMETERS to set value after ;\n"),
              t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "C-Type parameters= charset=utf-8.\n"), t.end());
}

TEST_F(Vars, ContentTypeAndEncodingAreAtoms)
{
    Request other;
    EXPECT_EQ(set("CONTENT_TYPE", "text/plain"), HTTPD_SUCCESS);
    unsigned long n = 12, v = 10;
    long rc = -99;
    api->HTSET(other.handle(), "CONTENT_TYPE", &n, "text/plain", &v, &rc);
    ASSERT_EQ(rc, HTTPD_SUCCESS);
    const auto type = [](Request &r) {
        auto get = reinterpret_cast<HTCB_RESPONSE_TEXT_fn *>(Host::get().table()[HTCB_RESPONSE_TEXT]);
        return get(r.handle(), HTAPI_RESP_CONTENT_TYPE);
    };
    EXPECT_EQ(rq->text[HTAPI_RESP_CONTENT_TYPE], "text/plain");
    EXPECT_STREQ(type(*rq), type(other));
}

TEST_F(Vars, BadKeywordAndNumberValuesGive3)
{
    const struct {
        const char *name;
        const char *value;
    } rows[] = {{"TRACE", "LOUD"},         {"STATUS", "abc"},          {"STATUS", "404x Gone"},
                {"STATUS", "99999999999"}, {"STATUS", "-2147483649"},  {"CONTENT_LENGTH", "12abc"},
                {"CONTENT_LENGTH", ""},    {"CONTENT_LENGTH", "2147483648"},
                {"MSG_CTRLEN", "x"},       {"HTTP_RESPONSE", "200 OK"}};
    for (const auto &r : rows)
        EXPECT_EQ(set(r.name, r.value), HTTPD_BAD_ARGUMENT) << r.name << "=" << r.value;
    EXPECT_EQ(rq->status, 200);
    EXPECT_EQ(rq->number.count(HTAPI_RESP_CONTENT_LENGTH), 0u);
}

TEST_F(Vars, TraceKeywordsSetTheLevel)
{
    const struct {
        const char *word;
        uint32_t level;
    } rows[] = {{"ON", 22}, {"V", 22}, {"vv", 44}, {"MTV", 66}, {"OFF", 0}};
    for (const auto &r : rows) {
        EXPECT_EQ(set("TRACE", r.word), HTTPD_SUCCESS) << r.word;
        EXPECT_EQ(tc[HT_TRACE_LEVEL_WORD], r.level) << r.word;
    }
}

TEST_F(Vars, ConnectionManagementTraces)
{
    trace_on();
    EXPECT_EQ(set("USE_CONNMGMT", "yes"), HTTPD_SUCCESS);
    EXPECT_EQ(set("USE_CONNMGMT", "no"), HTTPD_SUCCESS);
    EXPECT_EQ(set("USE_CONNMGMT", "perhaps"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->flag[HTAPI_USE_CONNMGMT], 0);
    std::vector<std::string> wanted = {
        "plug-in..... HTTPD_set()... USE_CONNMGMT to yes.\n",
        "plug-in..... HTTPD_set()... USE_CONNMGMT to no.\n",
        "plug-in..... HTTPD_set()...USE_CONNMGMT to bad value. Remain old value as \"NO\".\n"};
    const auto t = traces();
    for (const auto &w : wanted)
        EXPECT_NE(std::find(t.begin(), t.end(), w), t.end()) << w;
}

TEST_F(Vars, ProxyHeaderModes)
{
    trace_on();
    rq->proxy_headers = {{"X-A", "1", {}}, {"X-A", "2", {}}};
    unsigned long mode = 2;
    EXPECT_EQ(api->htsetvar(h, "PROXY_X-A", "3", &mode), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-A"), "1|2|3");
    mode = 0;
    EXPECT_EQ(api->htsetvar(h, "PROXY_X-A", "4", &mode), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-A"), "4");
    mode = 1;
    EXPECT_EQ(api->htsetvar(h, "PROXY_X-A", "5", &mode), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-A"), "5");
    mode = 3;
    EXPECT_EQ(api->htsetvar(h, "PROXY_X-A", "", &mode), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-A"), "");
    mode = 7;
    EXPECT_EQ(api->htsetvar(h, "PROXY_X-A", "6", &mode), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-A"), "6");
    const auto t = traces();
    for (const char *w : {"plug-in..... httpd_setvar()...  Adding X-A to the request headers\n",
                          "plug-in..... httpd_setvar()...  replaced 3 \"X-A\" headers with \"X-A: 4\".\n",
                          "plug-in..... httpd_setvar()...  replacing or adding \"X-A\" header.\n",
                          "plug-in..... httpd_setvar()...  deleted 1 \"X-A\" headers.\n",
                          "plug-in..... httpd_setvar()...  Looking up proxy headers\n"})
        EXPECT_NE(std::find(t.begin(), t.end(), w), t.end()) << w;
}

TEST_F(Vars, ReplaceOfProxyAndResponseHeaders)
{
    trace_on();
    rq->proxy_headers = {{"X-B", "1", {}}, {"X-B", "2", {}}};
    rq->response_headers = {{"X-C", "1", {}}};
    EXPECT_EQ(replace("PROXY_X-B", "9", 4), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-B"), "9");
    EXPECT_EQ(rq->last_selector, 4u);
    EXPECT_EQ(replace("PROXY_X-B", "", 5), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->proxy_headers, "X-B"), "");
    EXPECT_EQ(rq->last_selector, 5u);
    EXPECT_EQ(replace("HTTP_X-C", "7", 6), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->response_headers, "X-C"), "7");
    EXPECT_EQ(rq->last_selector, 6u);
    EXPECT_EQ(replace("HTTP_X-C", ""), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->response_headers, "X-C"), "");
    const auto t = traces();
    for (const char *w : {"plug-in..... HTTPD_replace()... replaced  \"X-B\" headers with \"X-B: 9\". \n",
                          "plug-in..... HTTPD_replace()... deleted  \"X-B\" headers. \n",
                          "plug-in..... HTTPD_replace()...  Looking up response line and headers\n"})
        EXPECT_NE(std::find(t.begin(), t.end(), w), t.end()) << w;
}

TEST_F(Vars, ReplaceKeepsItsExceptionsAsUserVariables)
{
    for (const char *name : {"CBR_CHOSENSERVER", "MSG_CLASS", "OVERRIDE_HTTP_NOTRANSFORM",
                             "OVERRIDE_PROXY_NOTRANSFORM", "QOSACTIONS", "QOSGROUP", "QOSUSER",
                             "USE_CONNMGMT", "_THP_MODRW_PREFIX"}) {
        const auto before_text = rq->text;
        const auto before_flags = rq->flag;
        const uint32_t before = rq->api()->flags;
        EXPECT_EQ(replace(name, "kept"), HTTPD_SUCCESS) << name;
        EXPECT_EQ(rq->text, before_text) << name;
        EXPECT_EQ(rq->flag, before_flags) << name;
        EXPECT_EQ(rq->api()->flags, before) << name;
        EXPECT_NE(value_of("LOCAL_VARIABLES").find(std::string(name) + "=kept\n"),
                  std::string::npos)
            << name;
    }
}

TEST_F(Vars, NoTransformRefusesChangesUnlessOverridden)
{
    trace_on();
    rq->response_headers = {{"Cache-Control", "private, No-Transform", {}}};
    const struct {
        const char *name;
        const char *line;
    } refused[] = {
        {"CONTENT_TYPE", "plug-in..... unable to set header, got a no-transform.\n"},
        {"CONTENT_ENCODING", "plug-in..... unable to set header, got a no-transform.\n"},
        {"LAST_MODIFIED", "plug-in..... unable to set header, got a no-transform.\n"},
        {"HTTP_ETAG", "plug-in..... unable to set header, got a no-transform.\n"},
        {"HTTP_CONTENT_RANGE", "plug-in..... unable to set header, got a no-transform.\n"},
        {"HTTP_CONTENT_MD5", "plug-in..... unable to set Content-MD5 header, got a no-transform.\n"},
        {"HTTP_CONTENT_LOCATION",
         "plug-in..... unable to set Content-Location header, got a no-transform.\n"},
    };
    for (const auto &r : refused) {
        Host::get().clear_records();
        EXPECT_EQ(set(r.name, "v"), HTTPD_READ_ONLY) << r.name;
        const auto t = traces();
        EXPECT_NE(std::find(t.begin(), t.end(), r.line), t.end()) << r.name;
    }
    EXPECT_EQ(rq->text.count(HTAPI_RESP_CONTENT_TYPE), 0u);
    EXPECT_EQ(set("HTTP_LOCATION", "/ok"), HTTPD_SUCCESS);
    EXPECT_EQ(set("CONTENT_LENGTH", "1"), HTTPD_SUCCESS);

    EXPECT_EQ(set("OVERRIDE_HTTP_NOTRANSFORM", "on"), HTTPD_SUCCESS);
    for (const auto &r : refused)
        EXPECT_EQ(set(r.name, "v"), HTTPD_SUCCESS) << r.name;
    unsigned long off = 3;
    EXPECT_EQ(api->htsetvar(h, "OVERRIDE_HTTP_NOTRANSFORM", "x", &off), HTTPD_SUCCESS);
    EXPECT_EQ(set("CONTENT_TYPE", "v"), HTTPD_READ_ONLY);
    const auto t = traces();
    for (const char *w : {"plug-in..... enabled override for HTTP no-transform restrictions.\n",
                          "plug-in..... disabled override for HTTP no-transform restrictions.\n"})
        EXPECT_NE(std::find(t.begin(), t.end(), w), t.end()) << w;
}

TEST_F(Vars, ProxyNoTransformRefusesItsFourHeaders)
{
    trace_on();
    rq->proxy_headers = {{"Cache-Control", "no-transform", {}}};
    for (const char *name : {"PROXY_CONTENT_MD5", "PROXY_CONTENT_RANGE", "PROXY_CONTENT_LOCATION",
                             "PROXY_ETAG", "proxy-etag"})
        EXPECT_EQ(set(name, "v"), HTTPD_READ_ONLY) << name;
    EXPECT_EQ(set("PROXY_CONTENT_TYPE", "text/x"), HTTPD_SUCCESS);
    // The response side's override does not lift the proxy side's refusal.
    EXPECT_EQ(set("OVERRIDE_HTTP_NOTRANSFORM", "on"), HTTPD_SUCCESS);
    EXPECT_EQ(set("PROXY_ETAG", "v"), HTTPD_READ_ONLY);
    EXPECT_EQ(set("OVERRIDE_PROXY_NOTRANSFORM", "on"), HTTPD_SUCCESS);
    EXPECT_EQ(set("PROXY_ETAG", "v"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("OVERRIDE_PROXY_NOTRANSFORM"), "enabled");
    const auto t = traces();
    for (const char *w : {"plug-in..... unable to set PROXY header, got a no-transform.\n",
                          "plug-in..... enabled override for PROXY no-transform restrictions.\n"})
        EXPECT_NE(std::find(t.begin(), t.end(), w), t.end()) << w;
}

TEST_F(Vars, EntityTagMatchingAConditionDecidesTheResponse)
{
    const struct {
        int method;
        const char *header;
        const char *list;
        int status;
    } rows[] = {{HTAPI_METHOD_GET, "If-None-Match", "\"a\", \"t\"", 304},
                {HTAPI_METHOD_HEAD, "If-None-Match", "*", 304},
                {3, "If-None-Match", "\"t\"", 412},
                {HTAPI_METHOD_GET, "If-Match", "\"other\"", 412}};
    for (const auto &r : rows) {
        Request q;
        q.set_method(r.method);
        q.request_headers = {{r.header, r.list, {}}};
        unsigned long n = 9, v = 3;
        long rc = -99;
        api->HTSET(q.handle(), "HTTP_ETAG", &n, "\"t\"", &v, &rc);
        EXPECT_EQ(rc, HTTPD_BODY_FAILURE) << r.list;
        EXPECT_EQ(q.api()->status, r.status) << r.list;
        EXPECT_TRUE(q.response_headers.empty());
        // Nothing is written while no output stream exists.
        unsigned long len = 2;
        api->HTWRITE(q.handle(), "hi", &len, &rc);
        EXPECT_EQ(rc, HTTPD_BODY_FAILURE);
        EXPECT_EQ(q.sink.data, "");
    }
    rq->request_headers = {{"If-None-Match", "\"a\"", {}}};
    EXPECT_EQ(set("HTTP_ETAG", "\"b\""), HTTPD_SUCCESS);
    EXPECT_EQ(header(rq->response_headers, "ETag"), "\"b\"");
    EXPECT_EQ(rq->api()->status, 0);
}

TEST_F(Vars, UserVariablesKeepTheCallersSpelling)
{
    EXPECT_EQ(set("My-Var", "one"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("My-Var"), "one");
    EXPECT_EQ(extract("MY-VAR"), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(extract("My_Var"), HTTPD_BAD_ARGUMENT);
    // "HTTP_" alone is a user variable, not a header reference.
    EXPECT_EQ(set("HTTP_", "alone"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("HTTP_"), "alone");
    EXPECT_TRUE(rq->response_headers.empty());
    EXPECT_EQ(set("PROXY_", "alone too"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("PROXY_"), "alone too");
    // CR and LF pass through; a binary zero ends the value.
    EXPECT_EQ(set("lines", "a\r\nb"), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("lines"), "a\r\nb");
    EXPECT_EQ(set("zero", std::string("ab\0cd", 5)), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("zero"), "ab");
    EXPECT_EQ(set("empty", ""), HTTPD_SUCCESS);
    EXPECT_EQ(value_of("empty"), "");
    EXPECT_EQ(replace("My-Var", ""), HTTPD_SUCCESS);
    EXPECT_EQ(extract("My-Var"), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(value_of("LOCAL_VARIABLES"),
              "HTTP_=alone\nPROXY_=alone too\nempty=\nlines=a\r\nb\nzero=ab\n");
}

TEST_F(Vars, BinaryUserVariables)
{
    const std::string bytes("\0\x01\xff\0", 4);
    unsigned long n = 4, v = bytes.size();
    long rc = -99;
    api->HTBINSET(h, "blob", &n, bytes.data(), &v, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    char out[8] = {};
    unsigned long room = 4;
    api->HTBINXTRACT(h, "blob", &n, out, &room, &rc);
    EXPECT_EQ(rc, HTTPD_SUCCESS);
    EXPECT_EQ(room, 4u);
    EXPECT_EQ(std::string(out, 4), bytes);
    room = 3;
    api->HTBINXTRACT(h, "blob", &n, out, &room, &rc);
    EXPECT_EQ(rc, HTTPD_BUFFER_TOO_SMALL);
    EXPECT_EQ(room, 4u);
    // A binary variable is not a text one, and the reverse.
    EXPECT_EQ(extract("blob"), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(set("text", "t"), HTTPD_SUCCESS);
    n = 4;
    room = 8;
    api->HTBINXTRACT(h, "text", &n, out, &room, &rc);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(room, 0u);
    n = 4;
    room = 8;
    api->HTBINXTRACT(h, "BLOB", &n, out, &room, &rc);
    EXPECT_EQ(rc, HTTPD_BAD_ARGUMENT);
}

TEST_F(Vars, CgiVariablesAreSetAsNameValue)
{
    EXPECT_EQ(set("CGI_REMOTE_ADDR", "1.2.3.4"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->cgi[0], "REMOTE_ADDR=1.2.3.4");
    EXPECT_EQ(value_of("CGI_REMOTE_ADDR"), "1.2.3.4");
    EXPECT_EQ(set("CGI_", "alone"), HTTPD_SUCCESS);
    EXPECT_EQ(rq->cgi.size(), 2u);
    EXPECT_EQ(value_of("CGI_"), "alone");
}

TEST_F(Vars, ClientProtocolCopyIsAlwaysTerminated)
{
    const std::string long_value(100, 'P');
    EXPECT_EQ(set("CLIENT_PROTOCOL", long_value), HTTPD_SUCCESS);
    EXPECT_EQ(std::string(rq->protocol), long_value.substr(0, sizeof rq->protocol - 1));
    EXPECT_EQ(value_of("CLIENT_PROTOCOL"), long_value.substr(0, sizeof rq->protocol - 1));
}

TEST_F(Vars, IntegerVariables)
{
    rq->header().client_rbytes = 11;
    rq->header().client_wbytes = 22;
    rq->header().raw_header_length = 33;
    rq->header().raw_body_length = 0xFFFFFFFFul;
    rq->modrw_taglen = 7;
    const struct {
        const char *name;
        int value;
    } rows[] = {{"CLIENT_RBYTES", 11},
                {"CLIENT_WBYTES", 22},
                {"RESPONSE_RAWHEADER_LENGTH", 33},
                {"RESPONSE_RAWBODY_LENGTH", 2147483647},
                {"_THP_MODRW_TAGLEN", 7},
                {"_THP_MODRW_ENABLE", 0}};
    for (const auto &r : rows) {
        int v = -1;
        EXPECT_EQ(api->htgetvarint(h, r.name, &v), 0) << r.name;
        EXPECT_EQ(v, r.value) << r.name;
    }
    EXPECT_EQ(api->htsetvarint(h, "_THP_MODRW_ENABLE", 1), 0);
    EXPECT_EQ(rq->modrw_enable, 1);
    EXPECT_EQ(api->htsetvarint(h, "_THP_MODRW_TAGRESET", 5), 0);
    EXPECT_EQ(rq->modrw_tagreset, 5);
    // Names compare exactly, and only these are known.
    int v = 0;
    trace_on();
    EXPECT_EQ(api->htgetvarint(h, "client_rbytes", &v), 1);
    EXPECT_EQ(api->htsetvarint(h, "CLIENT_RBYTES", 1), 1);
    EXPECT_EQ(api->htgetvarint(h, nullptr, &v), 1);
    const auto t = traces();
    EXPECT_NE(std::find(t.begin(), t.end(), "plug-in...... httpd_getvarint() no such variable\n"), t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "plug-in...... httpd_setvariant() no such variable\n"), t.end());
}

TEST_F(Vars, HeaderObjectAbsentReadsZero)
{
    rq->header().client_rbytes = 5;
    HTAPIRequest *r = h->request;
    HTAPIReqHeader *saved = r->header;
    r->header = nullptr;
    int v = -1;
    EXPECT_EQ(api->htgetvarint(h, "CLIENT_RBYTES", &v), 0);
    EXPECT_EQ(v, 0);
    r->header = saved;
}

TEST_F(Vars, GetvarAndSetvar)
{
    unsigned long selector = 0;
    char *v = api->htgetvar(h, "server_name", &selector);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "proxy.example");
    EXPECT_EQ(api->htgetvar(h, "ABSENT_NAME", &selector), nullptr);
    trace_on();
    EXPECT_EQ(api->htgetvar(h, "", &selector), nullptr);
    EXPECT_EQ(api->htgetvar(h, nullptr, &selector), nullptr);
    EXPECT_EQ(api->htgetvar(h, "URL", nullptr), nullptr);
    unsigned long mode = 2;
    EXPECT_EQ(api->htsetvar(h, nullptr, "v", &mode), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(api->htsetvar(h, "", "v", &mode), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(api->htsetvar(h, "X", nullptr, &mode), HTTPD_BAD_ARGUMENT);
    EXPECT_EQ(api->htsetvar(h, "X", "v", nullptr), HTTPD_BAD_ARGUMENT);
    const auto t = traces();
    EXPECT_EQ(std::count(t.begin(), t.end(), "plug-in..... httpd_getvar() parameter error\n"), 3);
    EXPECT_EQ(api->htgetvar(h, "ABSENT", &selector), nullptr);
    const auto t2 = traces();
    EXPECT_NE(std::find(t2.begin(), t2.end(), "plug-in..... httpd_getvar() got...... -NULL-\n"),
              t2.end());
}

TEST_F(Vars, EveryAllocationFailureIsCleanAndChangesNothing)
{
    // The n-th request allocation fails, for every n until the call succeeds.
    for (const char *name : {"QUERY_STRING", "CONTENT_TYPE", "HTTP_X-Fail", "user_var",
                             "CGI_FAIL", "STATUS", "EXPIRES"}) {
        for (long n = 1;; ++n) {
            Request r;
            r.pool.allocations = 0;
            r.pool.fail_at = n;
            const char *value = std::strcmp(name, "STATUS") == 0    ? "201 Made"
                                : std::strcmp(name, "EXPIRES") == 0 ? "NOW"
                                                                    : "text/html; charset=x";
            unsigned long nl = std::strlen(name), vl = std::strlen(value);
            long rc = -99;
            api->HTSET(r.handle(), name, &nl, value, &vl, &rc);
            if (rc == HTTPD_SUCCESS)
                break;
            EXPECT_EQ(rc, HTTPD_NO_MEMORY) << name << " allocation " << n;
            ASSERT_LT(n, 20) << name;
        }
    }
    for (const char *name : {"URL_MD4", "URI_PATH", "ORIGIN_ADDR", "ALL_VARIABLES", "SERVER_NAME",
                             "HTTP_X-Custom", "GC_EXPIRES", "FILTER_EFFECTIVE_PERIOD"}) {
        for (long n = 1;; ++n) {
            Request r;
            populate(r);
            r.pool.allocations = 0;
            r.pool.fail_at = n;
            std::string v;
            const long rc = extract(name, &v, 512, r.handle());
            if (rc == HTTPD_SUCCESS)
                break;
            EXPECT_EQ(rc, HTTPD_NO_MEMORY) << name << " allocation " << n;
            ASSERT_LT(n, 20) << name;
        }
    }
}

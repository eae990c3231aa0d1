// Server variables: the name table, the read and set sides, the family
// prefixes, user variables, and the entry points HTTPD_extract,
// HTTPD_binextract, HTTPD_set, HTTPD_binset, HTTPD_replace and the four
// httpd_*var* calls.

#include "htapivar.h"

#include "htapi_imports.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace plugrt {
namespace {

// What reading a known name does.
enum class R : unsigned char {
    None,           // not a read name: a user variable
    Const,          // the fixed text
    Text,           // host text (entry, var)
    TextOr,         // host text, the fixed text when the host has none
    Int,            // "%d" of a host number
    Ulong,          // "%lu"
    Real,           // "%.4f"
    Hex,            // "0x%x"
    OneZero,        // "1" or "0"
    YesNo,          // "YES" or "NO"
    EnableDisable,  // "enable" or "disable"
    Field,          // host field (entry, field)
    OriginHeader,   // the origin response header of the fixed name
    HttpHeader,     // the client request header named after "HTTP_"
    ProxyHeader,    // the origin response header named after "PROXY_"
    ClientProtocol, ServerSoftware, Trace, OverrideHttp, OverrideProxy, ConvertBody, AllVariables,
    LocalVariables, SsiGlobals, UriPath, OriginAddr, UrlMd4, FilterPeriod, CacheFileName,
    ModrwTagbuf
};

// What setting a known name does.
enum class S : unsigned char {
    User,           // stored as a user variable
    ReadOnly,       // 5
    Text,           // host text setter (entry, var)
    Number,         // a decimal int, host number setter (entry, var)
    Mark,           // any value sets the host flag
    Miss,           // "1" or not, to the cache setter
    Real,           // strtod, to the cache setter
    RealClamped,    // strtod as a float clamped into 0..1
    ContentType, ContentTypeParameters, Charset, Encoding, Date, Status, Response, Reason, Trace,
    UseConnMgmt, UseProxy, ChosenServer, OverrideHttp, OverrideProxy, UserRecord, Url, Script,
    ClientProtocol, ConvertBody, PicsLabel, ModrwPrefix,
    ResponseHeader, // the response header of the fixed name, or the one named after "HTTP_"
    ETag,
    OriginField,    // host field of the origin exchange
    ProxyHeader     // headers of the request to the origin, fixed name or named after "PROXY_"
};

enum : unsigned char {
    kReplaceAsUser = 1,  // HTTPD_replace keeps it as a user variable
    kNtHttp = 2,         // refused under a no-transform response
    kNtHttpMd5 = 4,      //   (its own trace line)
    kNtHttpLocation = 8, //   (its own trace line)
    kNtProxy = 16,       // refused under a no-transform request to the origin
    kHttpFamily = 32,    // an HTTP_ name
    kProxyFamily = 64    // a PROXY_ name
};

struct Var {
    const char *name;
    R read;
    short rentry;
    short rarg;
    const char *rtext;
    S set;
    short sentry;
    short sarg;
    const char *stext;
    unsigned char flags;
};

#define RD_NONE R::None, 0, 0, nullptr
#define RD(kind, e, a) R::kind, HTCB_##e, HTAPI_##a, nullptr
#define RDX(kind) R::kind, 0, 0, nullptr
#define RDC(text) R::Const, 0, 0, text
#define RDO(text) R::OriginHeader, 0, 0, text
#define ST_USER S::User, 0, 0, nullptr
#define ST_RO S::ReadOnly, 0, 0, nullptr
#define ST(kind, e, a) S::kind, HTCB_##e, HTAPI_##a, nullptr
#define STX(kind) S::kind, 0, 0, nullptr
#define STH(text) S::ResponseHeader, 0, 0, text
#define STP(text) S::ProxyHeader, 0, 0, text

constexpr Var kVars[] = {
    {"ACCEPT_RANGES", RDC("bytes"), ST(Text, RESPONSE_SET_TEXT, ACCEPT_RANGES), 0},
    {"ALL_VARIABLES", RDX(AllVariables), ST_RO, 0},
    {"AUTH_STRING", RD(Text, AUTH_TEXT, AUTH_STRING), ST_RO, 0},
    {"AUTH_TYPE", RD(Text, AUTH_TEXT, AUTH_TYPE), ST_RO, 0},
    {"CACHE_FILE_NAME", RDX(CacheFileName), ST_USER, 0},
    {"CACHE_HIT", RD(OneZero, CACHE_NUMBER, CACHE_HIT), ST_USER, 0},
    {"CACHE_MISS", RD_NONE, ST(Miss, CACHE_SET, CACHE_MISS), 0},
    {"CACHE_TASK", RD(Int, CACHE_NUMBER, CACHE_TASK), ST_USER, 0},
    {"CACHE_UPDATE", RD(OneZero, CACHE_NUMBER, CACHE_UPDATE), ST_USER, 0},
    {"CBR_CHOSENSERVER", RD(Text, REQUEST_TEXT, CBR_CHOSENSERVER),
     ST(ChosenServer, REQUEST_SET_TEXT, CBR_CHOSENSERVER), kReplaceAsUser},
    {"CLIENT_ADDR", RD(Text, CLIENT_TEXT, CLIENT_ADDR), ST_USER, 0},
    {"CLIENTADDR", RD(Text, CLIENT_TEXT, CLIENT_ADDR), ST_USER, 0},
    {"CLIENT_AUTH", RDC("OFF"), ST_RO, 0},
    {"CLIENTAUTH", RDC("OFF"), ST_USER, 0},
    {"CLIENT_CERT", RD(Text, SSL_TEXT, CLIENT_CERT), ST_USER, 0},
    {"CLIENT_CERT_DN", RD(Text, SSL_TEXT, CLIENT_CERT_DN), ST_USER, 0},
    {"CLIENTMETHOD", RD(Text, REQUEST_TEXT, METHOD), ST_USER, 0},
    {"CLIENT_NAME", RD(Text, CLIENT_TEXT, CLIENT_NAME), ST_USER, 0},
    {"CLIENTNAME", RD(Text, CLIENT_TEXT, CLIENT_NAME), ST_USER, 0},
    {"CLIENT_PORT", RD(Int, CLIENT_NUMBER, CLIENT_PORT), ST_USER, 0},
    {"CLIENTPORT", RD(Int, CLIENT_NUMBER, CLIENT_PORT), ST_USER, 0},
    {"CLIENT_PROTOCOL", RDX(ClientProtocol), STX(ClientProtocol), 0},
    {"CLIENTPROTOCOL", RDX(ClientProtocol), STX(ClientProtocol), 0},
    {"CLIENT_RESPONSE_HEADERS", RD(Field, ORIGIN_FIELD, FIELD_HEADERS), ST_RO, 0},
    {"CONFIG_LOG_SUPPRESS", RD(OneZero, REQUEST_FLAG, CONFIG_LOG_SUPPRESS), ST_USER, 0},
    {"CONNECTIONS", RD(Int, SERVER_NUMBER, CONNECTIONS), ST_USER, 0},
    {"CONN_CIPHER_SUITE", RD(Text, SSL_TEXT, CONN_CIPHER_SUITE), ST_USER, 0},
    {"CONTENT_CHARSET", RD(Text, REQUEST_TEXT, REQ_CONTENT_CHARSET),
     ST(Charset, RESPONSE_SET_TEXT, RESP_CONTENT_CHARSET), kNtHttp},
    {"CONTENT_ENCODING", RD(Text, REQUEST_TEXT, REQ_CONTENT_ENCODING),
     ST(Encoding, RESPONSE_SET_TEXT, RESP_CONTENT_ENCODING), kNtHttp},
    {"CONTENT_LENGTH", RD(Int, REQUEST_NUMBER, REQ_CONTENT_LENGTH),
     ST(Number, RESPONSE_SET_NUMBER, RESP_CONTENT_LENGTH), 0},
    {"CONTENT_TYPE", RD(Text, REQUEST_TEXT, REQ_CONTENT_TYPE),
     ST(ContentType, RESPONSE_SET_TEXT, RESP_CONTENT_TYPE), kNtHttp},
    {"CONTENT_TYPE_PARAMETERS", RD(Text, REQUEST_TEXT, REQ_CONTENT_TYPE_PARAMETERS),
     ST(ContentTypeParameters, RESPONSE_SET_TEXT, RESP_CONTENT_TYPE_PARAMETERS), kNtHttp},
    {"CONVERT_REQUEST_BODY", RDX(ConvertBody), STX(ConvertBody), 0},
    {"DOCUMENT_NAME", RD(Text, REQUEST_TEXT, PATH), ST_RO, 0},
    {"DOCUMENT_ROOT", RD(Text, REQUEST_TEXT, DOCUMENT_ROOT), ST_RO, 0},
    {"DOCUMENT_URI", RD(Text, REQUEST_TEXT, URL), STX(Url), 0},
    {"DOCUMENT_URL", RD(Text, REQUEST_TEXT, URL), STX(Url), 0},
    {"ERRORINFO", RD(Text, REQUEST_TEXT, ERRORINFO), ST(Text, REQUEST_SET_TEXT, ERRORINFO), 0},
    {"EXPIRES", RD(Text, RESPONSE_TEXT, EXPIRES), ST(Date, RESPONSE_SET_TEXT, EXPIRES), 0},
    {"FILTER_ADDITIONAL_URL", RD(Text, FILTER_TEXT, FILTER_ADDITIONAL_URL), ST_USER, 0},
    {"FILTER_DB_OPTIONS", RD(Text, FILTER_TEXT, FILTER_DB_OPTIONS), ST_USER, 0},
    {"FILTER_EFFECTIVE_PERIOD", RDX(FilterPeriod), ST_USER, 0},
    {"FILTER_EXCEPTION_URL", RD(Text, FILTER_TEXT, FILTER_EXCEPTION_URL), ST_USER, 0},
    {"FILTER_PLUGIN_ENABLE", RD(EnableDisable, FILTER_NUMBER, FILTER_PLUGIN_ENABLE), ST_USER, 0},
    {"FILTER_RULES", RD(Hex, FILTER_NUMBER, FILTER_RULES), ST_USER, 0},
    {"GATEWAY_INTERFACE", RDC("QuorAPI/2.0"), ST_RO, 0},
    {"GC_BIAS", RD_NONE, ST(Real, CACHE_SET, GC_BIAS), 0},
    {"GC_EVALUATION", RD_NONE, ST(RealClamped, CACHE_SET, GC_EVALUATION), 0},
    {"GC_EXPIRES", RD(Real, CACHE_REAL, GC_EXPIRES), ST_USER, 0},
    {"GC_FILENAME", RD(Text, CACHE_TEXT, GC_FILENAME), ST_USER, 0},
    {"GC_FILESIZE", RD(Real, CACHE_REAL, GC_FILESIZE), ST_USER, 0},
    {"GC_LAST_ACCESS", RD(Real, CACHE_REAL, GC_LAST_ACCESS), ST_USER, 0},
    {"GC_LAST_CHECKED", RD(Real, CACHE_REAL, GC_LAST_CHECKED), ST_USER, 0},
    {"GC_LOAD_DELAY", RD(Real, CACHE_REAL, GC_LOAD_DELAY), ST_USER, 0},
    {"HTTP_ACCEPT_RANGES", RD(Field, CLIENT_FIELD, FIELD_ACCEPT_RANGES), STH("Accept-Ranges"),
     kHttpFamily},
    {"HTTP_AUTHORIZATION", RDX(HttpHeader), ST_RO, kHttpFamily},
    {"HTTP_CONTENT_CHARSET", RD(Field, CLIENT_FIELD, FIELD_CONTENT_CHARSET),
     ST(Charset, RESPONSE_SET_TEXT, RESP_CONTENT_CHARSET), kHttpFamily | kNtHttp},
    {"HTTP_CONTENT_ENCODING", RD(Field, CLIENT_FIELD, FIELD_CONTENT_ENCODING),
     ST(Encoding, RESPONSE_SET_TEXT, RESP_CONTENT_ENCODING), kHttpFamily | kNtHttp},
    {"HTTP_CONTENT_LENGTH", RD(Field, CLIENT_FIELD, FIELD_CONTENT_LENGTH), STH("Content-Length"),
     kHttpFamily},
    {"HTTP_CONTENT_LOCATION", RDX(HttpHeader), STH("Content-Location"),
     kHttpFamily | kNtHttpLocation},
    {"HTTP_CONTENT_MD5", RDX(HttpHeader), STH("Content-MD5"), kHttpFamily | kNtHttpMd5},
    {"HTTP_CONTENT_RANGE", RDX(HttpHeader), STH("Content-Range"), kHttpFamily | kNtHttp},
    {"HTTP_CONTENT_TYPE", RD(Field, CLIENT_FIELD, FIELD_CONTENT_TYPE),
     ST(ContentType, RESPONSE_SET_TEXT, RESP_CONTENT_TYPE), kHttpFamily | kNtHttp},
    {"HTTP_CONTENT_TYPE_PARAMETERS", RD(Field, CLIENT_FIELD, FIELD_CONTENT_TYPE_PARAMETERS),
     ST(ContentTypeParameters, RESPONSE_SET_TEXT, RESP_CONTENT_TYPE_PARAMETERS),
     kHttpFamily | kNtHttp},
    {"HTTP_ETAG", RDX(HttpHeader), S::ETag, 0, 0, "ETag", kHttpFamily | kNtHttp},
    {"HTTP_EXPIRES", RD(Field, CLIENT_FIELD, FIELD_EXPIRES), STH("Expires"), kHttpFamily},
    {"HTTP_HEADERS", RD(Field, CLIENT_FIELD, FIELD_HEADERS), ST_RO, kHttpFamily},
    {"HTTP_HOST", RD(Field, CLIENT_FIELD, FIELD_HOST), STH("Host"), kHttpFamily},
    {"HTTP_LAST_MODIFIED", RD(Field, CLIENT_FIELD, FIELD_LAST_MODIFIED), STH("Last-Modified"),
     kHttpFamily | kNtHttp},
    {"HTTP_LOCATION", RDX(HttpHeader), STH("Location"), kHttpFamily},
    {"HTTP_PROXY_AUTHORIZATION", RDX(HttpHeader), ST_RO, kHttpFamily},
    {"HTTP_REASON", RD(Field, CLIENT_FIELD, FIELD_REASON), STX(Reason), kHttpFamily},
    {"HTTP_RESPONSE", RD(Field, CLIENT_FIELD, FIELD_RESPONSE), STX(Response), kHttpFamily},
    {"HTTP_STATUS", RD(Field, CLIENT_FIELD, FIELD_STATUS), STX(Status), kHttpFamily},
    {"HTTP_USER_AGENT", RD(Field, CLIENT_FIELD, FIELD_USER_AGENT), STH("User-Agent"), kHttpFamily},
    {"HTTP_WWW_AUTHENTICATE", RDX(HttpHeader), STH("WWW-Authenticate"), kHttpFamily},
    {"INIT_STRING", RD(Text, REQUEST_TEXT, INIT_STRING), ST_USER, 0},
    {"LAST_MODIFIED", RD(Text, RESPONSE_TEXT, LAST_MODIFIED),
     ST(Date, RESPONSE_SET_TEXT, LAST_MODIFIED), kNtHttp},
    {"LOCAL_VARIABLES", RDX(LocalVariables), ST_USER, 0},
    {"LOGFILEDATEEXT", R::TextOr, HTCB_CONFIG_TEXT, HTAPI_LOGFILEDATEEXT, "%b%d%Y", ST_USER, 0},
    {"MAXACTIVETHREADS", RD(Text, CONFIG_TEXT, MAXACTIVETHREADS), ST_USER, 0},
    {"MSG_CLASS", RD_NONE, ST(Text, QOS_SET_TEXT, MSG_CLASS), kReplaceAsUser},
    {"MSG_CTR", RD_NONE, ST(Text, QOS_SET_TEXT, MSG_CTR), 0},
    {"MSG_CTRLEN", RD_NONE, ST(Number, QOS_SET_NUMBER, MSG_CTRLEN), 0},
    {"NOTMODIFIED_TO_OK", RD(Text, REQUEST_TEXT, NOTMODIFIED_TO_OK),
     ST(Text, REQUEST_SET_TEXT, NOTMODIFIED_TO_OK), 0},
    {"ORIGIN_ADDR", RDX(OriginAddr), ST_USER, 0},
    {"ORIGINAL_HOST", RD(Text, REQUEST_TEXT, ORIGINAL_HOST), ST_RO, 0},
    {"ORIGINAL_URL", RD(Text, REQUEST_TEXT, ORIGINAL_URL), ST_USER, 0},
    {"OVERRIDE_HTTP_NOTRANSFORM", RDX(OverrideHttp), STX(OverrideHttp), kReplaceAsUser},
    {"OVERRIDE_PROXY_NOTRANSFORM", RDX(OverrideProxy), STX(OverrideProxy), kReplaceAsUser},
    {"PASSWORD", RD(Text, AUTH_TEXT, PASSWORD), ST(UserRecord, USER_SET_TEXT, PASSWORD), 0},
    {"PATH", RD(Text, REQUEST_TEXT, PATH), ST(Text, REQUEST_SET_TEXT, PATH), 0},
    {"PATH_INFO", RD(Text, REQUEST_TEXT, PATH_INFO), ST(Text, REQUEST_SET_TEXT, PATH_INFO), 0},
    {"PATH_TRANSLATED", RD(Text, REQUEST_TEXT, PATH_TRANSLATED),
     ST(Text, REQUEST_SET_TEXT, PATH_TRANSLATED), 0},
    {"PEAKCONNECTIONS", RDC("0"), ST_USER, 0},
    {"PICS_LABEL", RD(Text, PICS_TEXT, PICS_LABEL), STX(PicsLabel), 0},
    {"PICS_PATHNAME", R::TextOr, HTCB_PICS_TEXT, HTAPI_PICS_PATHNAME, "", ST_RO, 0},
    {"PICS_SERVICENAME", R::TextOr, HTCB_PICS_TEXT, HTAPI_PICS_SERVICENAME, "", ST_RO, 0},
    {"PICS_SITENAME", R::TextOr, HTCB_PICS_TEXT, HTAPI_PICS_SITENAME, "LOCAL", ST_RO, 0},
    {"PPATH", RD(Text, REQUEST_TEXT, PPATH), ST(Text, REQUEST_SET_TEXT, PPATH), 0},
    {"PROXIED_CONTENT_LENGTH", RD(Int, REQUEST_NUMBER, PROXIED_CONTENT_LENGTH), ST_RO, 0},
    {"PROXY_ACCESS", RD(Text, REQUEST_TEXT, PROXY_ACCESS), ST_USER, 0},
    {"PROXY_ACCEPT_RANGES", RDO("Accept-Ranges"), STP("Accept-Ranges"), kProxyFamily},
    {"PROXY_CONTENT_CHARSET", RD(Field, ORIGIN_FIELD, FIELD_CONTENT_CHARSET),
     ST(OriginField, ORIGIN_SET_FIELD, FIELD_CONTENT_CHARSET), kProxyFamily},
    {"PROXY_CONTENT_ENCODING", RDO("Content-Encoding"), STP("Content-Encoding"), kProxyFamily},
    {"PROXY_CONTENT_LENGTH", RDO("Content-Length"), STP("Content-Length"), kProxyFamily},
    {"PROXY_CONTENT_LOCATION", RDX(ProxyHeader), STP("Content-Location"), kProxyFamily | kNtProxy},
    {"PROXY_CONTENT_MD5", RDX(ProxyHeader), STP("Content-MD5"), kProxyFamily | kNtProxy},
    {"PROXY_CONTENT_RANGE", RDX(ProxyHeader), STP("Content-Range"), kProxyFamily | kNtProxy},
    {"PROXY_CONTENT_TYPE", RDO("Content-Type"), STP("Content-Type"), kProxyFamily},
    {"PROXY_CONTENT_TYPE_PARAMETERS", RD(Field, ORIGIN_FIELD, FIELD_CONTENT_TYPE_PARAMETERS),
     ST(OriginField, ORIGIN_SET_FIELD, FIELD_CONTENT_TYPE_PARAMETERS), kProxyFamily},
    {"PROXY_ETAG", RDX(ProxyHeader), STP("ETag"), kProxyFamily | kNtProxy},
    {"PROXY_HEADERS", RD(Field, ORIGIN_FIELD, FIELD_HEADERS), ST_RO, kProxyFamily},
    {"PROXY_HOST", RDX(ProxyHeader), STP("Host"), kProxyFamily},
    {"PROXY_LAST_MODIFIED", RDO("Last-Modified"), STP("Last-Modified"), kProxyFamily},
    {"PROXY_METHOD", RD(Field, ORIGIN_FIELD, FIELD_METHOD),
     ST(OriginField, ORIGIN_SET_FIELD, FIELD_METHOD), kProxyFamily},
    {"PROXY_REASON", RD(Field, ORIGIN_FIELD, FIELD_REASON),
     ST(OriginField, ORIGIN_SET_FIELD, FIELD_REASON), kProxyFamily},
    {"PROXY_RESPONSE", RD(Field, ORIGIN_FIELD, FIELD_RESPONSE),
     ST(OriginField, ORIGIN_SET_FIELD, FIELD_RESPONSE), kProxyFamily},
    {"PROXY_STATUS", RD(Field, ORIGIN_FIELD, FIELD_STATUS), STP(nullptr), kProxyFamily},
    {"PROXY_USER_AGENT", RDO("User-Agent"), STP("User-Agent"), kProxyFamily},
    {"PROXY_WWW_AUTHENTICATE", RDO("WWW-Authenticate"), STP("WWW-Authenticate"), kProxyFamily},
    {"QOSACTIONS", RD_NONE, ST(Text, QOS_SET_TEXT, QOSACTIONS), kReplaceAsUser},
    {"QOSGROUP", RD(Text, QOS_TEXT, QOSGROUP), ST(Text, QOS_SET_TEXT, QOSGROUP), kReplaceAsUser},
    {"QOSUSER", RD(Text, QOS_TEXT, QOSUSER), ST(Text, QOS_SET_TEXT, QOSUSER), kReplaceAsUser},
    {"QOS_CONTROL", RD(YesNo, REQUEST_FLAG, QOS_CONTROL), ST_USER, 0},
    {"QUERY_STRING", RD(Text, REQUEST_TEXT, QUERY_STRING),
     ST(Text, REQUEST_SET_TEXT, QUERY_STRING), 0},
    {"RCA_OWNER", RD(Text, RCA_TEXT, RCA_OWNER), ST_USER, 0},
    {"RCA_TIMEOUTS", RD(Text, RCA_TEXT, RCA_TIMEOUTS), ST_USER, 0},
    {"REFERER_URL", RD(Text, REQUEST_TEXT, REFERER_URL), ST_RO, 0},
    {"REMOTE_ADDR", RD(Text, CLIENT_TEXT, CLIENT_ADDR), ST(Text, CLIENT_SET_TEXT, CLIENT_ADDR), 0},
    {"REMOTE_HOST", RD(Text, CLIENT_TEXT, REMOTE_HOST), ST(Text, CLIENT_SET_TEXT, REMOTE_HOST), 0},
    {"REMOTE_IDENT", RD_NONE, ST(Text, CLIENT_SET_TEXT, REMOTE_IDENT), 0},
    {"REMOTE_USER", RD(Text, AUTH_TEXT, REMOTE_USER), ST(UserRecord, USER_SET_TEXT, REMOTE_USER),
     0},
    {"REQHDR", RD(Field, CLIENT_FIELD, FIELD_HEADERS), ST_RO, 0},
    {"REQUEST_CONTENT_LENGTH", RD(Int, REQUEST_NUMBER, REQ_CONTENT_LENGTH), ST_RO, 0},
    {"REQUEST_CONTENT_TYPE", RD(Text, REQUEST_TEXT, REQ_CONTENT_TYPE), ST_RO, 0},
    {"REQUEST_METHOD", RD(Text, REQUEST_TEXT, METHOD), ST_RO, 0},
    {"REQUEST_PORT", RD(Text, REQUEST_TEXT, REQUEST_PORT), ST_RO, 0},
    {"RESPONSE_CONTENT_LENGTH", RDO("Content-Length"), ST_RO, 0},
    {"RESPONSE_CONTENT_TYPE", RDO("Content-Type"), ST_RO, 0},
    {"RULE_FILE_PATH", RD(Text, CONFIG_TEXT, RULE_FILE_PATH), ST_USER, 0},
    {"RULEFILE_PATH", RD(Text, CONFIG_TEXT, RULE_FILE_PATH), ST_USER, 0},
    {"RULE_FILEPATH", RD(Text, CONFIG_TEXT, RULE_FILE_PATH), ST_USER, 0},
    {"RULEFILEPATH", RD(Text, CONFIG_TEXT, RULE_FILE_PATH), ST_USER, 0},
    {"SCRIPT_NAME", RD(Text, REQUEST_TEXT, SCRIPT_NAME), STX(Script), 0},
    {"SERVER_ADDR", RD(Text, SERVER_TEXT, SERVER_ADDR), ST_RO, 0},
    {"SERVER_LEVEL", RD(Text, SERVER_TEXT, SERVER_LEVEL), ST_USER, 0},
    {"SERVERLEVEL", RD(Text, SERVER_TEXT, SERVER_LEVEL), ST_USER, 0},
    {"SERVER_NAME", RD(Text, SERVER_TEXT, SERVER_NAME), ST_RO, 0},
    {"SERVERNAME", RD(Text, SERVER_TEXT, SERVER_NAME), ST_USER, 0},
    {"SERVER_PORT", RD(Int, SERVER_NUMBER, SERVER_PORT), ST_RO, 0},
    {"SERVERPORT", RD(Int, SERVER_NUMBER, SERVER_PORT), ST_USER, 0},
    {"SERVER_PROTOCOL", RD(Text, SERVER_TEXT, SERVER_PROTOCOL), ST_RO, 0},
    {"SERVER_ROOT", RD(Text, SERVER_TEXT, SERVER_ROOT), ST_RO, 0},
    {"SERVER_SOFTWARE", RDX(ServerSoftware), ST_RO, 0},
    {"SERVERSOFTWARE", RDX(ServerSoftware), ST_USER, 0},
    {"SSI_DIR", RD(Text, SSI_TEXT, SSI_DIR), ST_RO, 0},
    {"SSI_FILE", RD(Text, SSI_TEXT, SSI_FILE), ST_RO, 0},
    {"SSI_GLOBAL_VARIABLES", RDX(SsiGlobals), ST_USER, 0},
    {"SSI_GLOBAL_VARS", RDX(SsiGlobals), ST_USER, 0},
    {"SSI_INCLUDE", RD(Text, SSI_TEXT, SSI_INCLUDE), ST_USER, 0},
    {"SSI_PARENT", RD(Text, SSI_TEXT, SSI_PARENT), ST_USER, 0},
    {"SSI_ROOT", RD(Text, SSI_TEXT, SSI_ROOT), ST_RO, 0},
    {"SSLMODE", RDC("OFF"), ST_RO, 0},
    {"SSL_SESSIONID", RD(Text, SSL_TEXT, SSL_SESSIONID), ST_USER, 0},
    {"STATUS", RD_NONE, STX(Status), 0},
    {"TAV_PRIV_HDRS", RD(OneZero, REQUEST_FLAG, TAV_PRIV_HDRS),
     ST(Mark, REQUEST_SET_FLAG, TAV_PRIV_HDRS), 0},
    {"TOTALKBYTES", RD(Ulong, SERVER_NUMBER, TOTALKBYTES), ST_USER, 0},
    {"TOTALTRANSACTIONS", RD(Ulong, SERVER_NUMBER, TOTALTRANSACTIONS), ST_USER, 0},
    {"TRACE", RDX(Trace), STX(Trace), 0},
    {"URI", RD(Text, REQUEST_TEXT, URL), STX(Url), 0},
    {"URI_PATH", RDX(UriPath), ST_RO, 0},
    {"URL", RD(Text, REQUEST_TEXT, URL), STX(Url), 0},
    {"URL_MD4", RDX(UrlMd4), ST_RO, 0},
    {"USE_CONNMGMT", RD(YesNo, REQUEST_FLAG, USE_CONNMGMT),
     ST(UseConnMgmt, REQUEST_SET_FLAG, USE_CONNMGMT), kReplaceAsUser},
    {"USE_PROXY", RD(Text, REQUEST_TEXT, USE_PROXY), ST(UseProxy, REQUEST_SET_TEXT, USE_PROXY), 0},
    {"USE_TRANSLATEDURI", RD_NONE, ST(Text, REQUEST_SET_TEXT, USE_TRANSLATEDURI), 0},
    {"USERNAME", RD(Text, AUTH_TEXT, USERNAME), ST(UserRecord, USER_SET_TEXT, USERNAME), 0},
    {"WWW_AUTHENTICATE", RD_NONE, ST(Text, RESPONSE_SET_TEXT, WWW_AUTHENTICATE), 0},
    {"_THP_MODRW_PREFIX", RD(Text, MODRW_TEXT, MODRW_PREFIX), STX(ModrwPrefix), kReplaceAsUser},
    {"_THP_MODRW_TAGBUF", RDX(ModrwTagbuf), ST_RO, 0},
};

#undef RD_NONE
#undef RD
#undef RDX
#undef RDC
#undef RDO
#undef ST_USER
#undef ST_RO
#undef ST
#undef STX
#undef STH
#undef STP

// The lookup: FNV-1a of the normalised name into an open-addressed index,
// built at compile time; one text comparison per hit.
constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
constexpr uint32_t fnv(const char *s)
{
    uint32_t h = kFnvBasis;
    for (; *s != '\0'; ++s)
        h = (h ^ static_cast<unsigned char>(*s)) * kFnvPrime;
    return h;
}

constexpr std::size_t kVarCount = sizeof kVars / sizeof kVars[0];
constexpr std::size_t kSlots = 512;
static_assert(kVarCount * 2 < kSlots);

struct Slot {
    unsigned short row; // row + 1; 0 empty
    unsigned short length;
    uint32_t hash;
};
struct Index {
    Slot slot[kSlots];
};

constexpr std::size_t text_length(const char *s)
{
    std::size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

constexpr Index build_index()
{
    Index ix{};
    for (std::size_t i = 0; i < kVarCount; ++i) {
        const uint32_t h = fnv(kVars[i].name);
        std::size_t s = h & (kSlots - 1);
        while (ix.slot[s].row != 0)
            s = (s + 1) & (kSlots - 1);
        ix.slot[s] = {static_cast<unsigned short>(i + 1),
                      static_cast<unsigned short>(text_length(kVars[i].name)), h};
    }
    return ix;
}
constexpr Index kIndex = build_index();

constexpr bool same_text(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

constexpr bool names_unique()
{
    for (std::size_t i = 0; i < kVarCount; ++i)
        for (std::size_t j = i + 1; j < kVarCount; ++j)
            if (same_text(kVars[i].name, kVars[j].name))
                return false;
    return true;
}
static_assert(names_unique());

// The row of a normalised name; the hash and the length are compared before the bytes.
const Var *lookup(const char *name, std::size_t length, uint32_t hash) noexcept
{
    for (std::size_t s = hash & (kSlots - 1);; s = (s + 1) & (kSlots - 1)) {
        const Slot &slot = kIndex.slot[s];
        if (slot.row == 0)
            return nullptr;
        if (slot.hash == hash && slot.length == length &&
            std::memcmp(kVars[slot.row - 1].name, name, length) == 0)
            return &kVars[slot.row - 1];
    }
}

// A name as the caller gave it and normalised, both terminated, in request memory.
struct Name {
    const char *orig;
    char *norm;
    std::size_t length;
    uint32_t hash;

    bool family(const char *prefix, std::size_t n) const noexcept
    {
        return length > n && std::memcmp(norm, prefix, n) == 0;
    }
};

// 0, or the code when the copy cannot be made.
long make_name(Frame &f, const char *name, std::size_t length, Name &out) noexcept
{
    auto upper = f.need<HTCB_TOUPPER>();
    // Two terminated copies; on a 32-bit target 2 * (2^31) would wrap.
    std::size_t room = 0;
    if (__builtin_mul_overflow(length + 1, 2, &room))
        return f.no_memory();
    auto *copies = static_cast<char *>(f.alloc(room));
    if (copies == nullptr || upper == nullptr)
        return f.no_memory();
    std::memcpy(copies, name, length);
    copies[length] = '\0';
    char *norm = copies + length + 1;
    uint32_t h = kFnvBasis;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        // Upper-case letters, digits and '_' are their own upper case in
        // every locale: only the others go to the host.
        const bool fixed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        norm[i] = c == '-' ? '_' : fixed ? static_cast<char>(c) : static_cast<char>(upper(c));
        h = (h ^ static_cast<unsigned char>(norm[i])) * kFnvPrime;
    }
    norm[length] = '\0';
    out = {copies, norm, length, h};
    return 0;
}

HTAPIdata *api_record(const Frame &f) noexcept
{
    HTAPIRequest *r = f.handle()->request;
    return r ? r->api : nullptr;
}

// Host accessors by entry number; each case calls the entry with its own prototype.
const char *host_text(Frame &f, int entry, int var) noexcept
{
#define HTAPI_TEXT_CASE_(N)                                      \
    case N: {                                                    \
        auto get = f.need<N>();                                  \
        return get ? get(f.handle(), var) : nullptr;             \
    }
    switch (entry) {
        HTAPI_TEXT_CASE_(HTCB_CLIENT_TEXT)
        HTAPI_TEXT_CASE_(HTCB_REQUEST_TEXT)
        HTAPI_TEXT_CASE_(HTCB_RESPONSE_TEXT)
        HTAPI_TEXT_CASE_(HTCB_SERVER_TEXT)
        HTAPI_TEXT_CASE_(HTCB_CACHE_TEXT)
        HTAPI_TEXT_CASE_(HTCB_FILTER_TEXT)
        HTAPI_TEXT_CASE_(HTCB_QOS_TEXT)
        HTAPI_TEXT_CASE_(HTCB_PICS_TEXT)
        HTAPI_TEXT_CASE_(HTCB_AUTH_TEXT)
        HTAPI_TEXT_CASE_(HTCB_CLIENT_FIELD)
        HTAPI_TEXT_CASE_(HTCB_ORIGIN_FIELD)
        HTAPI_TEXT_CASE_(HTCB_SSL_TEXT)
        HTAPI_TEXT_CASE_(HTCB_RCA_TEXT)
        HTAPI_TEXT_CASE_(HTCB_SSI_TEXT)
        HTAPI_TEXT_CASE_(HTCB_CONFIG_TEXT)
        HTAPI_TEXT_CASE_(HTCB_MODRW_TEXT)
    default:
        return nullptr;
    }
#undef HTAPI_TEXT_CASE_
}

long long host_number(Frame &f, int entry, int var) noexcept
{
#define HTAPI_NUMBER_CASE_(N)                                                     \
    case N: {                                                                     \
        auto get = f.need<N>();                                                   \
        return get ? static_cast<long long>(get(f.handle(), var)) : 0;            \
    }
    switch (entry) {
        HTAPI_NUMBER_CASE_(HTCB_CLIENT_NUMBER)
        HTAPI_NUMBER_CASE_(HTCB_REQUEST_NUMBER)
        HTAPI_NUMBER_CASE_(HTCB_REQUEST_FLAG)
        HTAPI_NUMBER_CASE_(HTCB_SERVER_NUMBER)
        HTAPI_NUMBER_CASE_(HTCB_CACHE_NUMBER)
        HTAPI_NUMBER_CASE_(HTCB_FILTER_NUMBER)
    default:
        return 0;
    }
#undef HTAPI_NUMBER_CASE_
}

// Nonzero: the host refused.
int host_set_text(Frame &f, int entry, int var, const char *value) noexcept
{
#define HTAPI_SET_CASE_(N)                                        \
    case N: {                                                     \
        auto set = f.need<N>();                                   \
        return set ? set(f.handle(), var, value) : -1;            \
    }
    switch (entry) {
        HTAPI_SET_CASE_(HTCB_CLIENT_SET_TEXT)
        HTAPI_SET_CASE_(HTCB_REQUEST_SET_TEXT)
        HTAPI_SET_CASE_(HTCB_RESPONSE_SET_TEXT)
        HTAPI_SET_CASE_(HTCB_QOS_SET_TEXT)
    default:
        return -1;
    }
#undef HTAPI_SET_CASE_
}

// A host setter called with the handle first: 0 from the host is success,
// anything else a refusal (1); a missing entry gives -1.
template <int N, class... A> long host_set(Frame &f, A... args) noexcept
{
    auto set = f.need<N>();
    if (set == nullptr)
        return HTTPD_UNSUPPORTED;
    return set(f.handle(), args...) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
}

// Every variable entry the table names has the prototype its kind calls.
constexpr bool is_text_entry(int e)
{
    switch (e) {
    case HTCB_CLIENT_TEXT: case HTCB_REQUEST_TEXT: case HTCB_RESPONSE_TEXT: case HTCB_SERVER_TEXT:
    case HTCB_CACHE_TEXT: case HTCB_FILTER_TEXT: case HTCB_QOS_TEXT: case HTCB_PICS_TEXT:
    case HTCB_AUTH_TEXT: case HTCB_CLIENT_FIELD: case HTCB_ORIGIN_FIELD: case HTCB_SSL_TEXT:
    case HTCB_RCA_TEXT: case HTCB_SSI_TEXT: case HTCB_CONFIG_TEXT: case HTCB_MODRW_TEXT:
        return true;
    default:
        return false;
    }
}
constexpr bool is_number_entry(int e)
{
    return e == HTCB_CLIENT_NUMBER || e == HTCB_REQUEST_NUMBER || e == HTCB_REQUEST_FLAG ||
           e == HTCB_SERVER_NUMBER || e == HTCB_CACHE_NUMBER || e == HTCB_FILTER_NUMBER;
}
constexpr bool entries_fit()
{
    for (const Var &v : kVars) {
        switch (v.read) {
        case R::Text: case R::TextOr: case R::Field:
            if (!is_text_entry(v.rentry))
                return false;
            break;
        case R::Int: case R::Ulong: case R::Hex: case R::OneZero: case R::YesNo:
        case R::EnableDisable:
            if (!is_number_entry(v.rentry))
                return false;
            break;
        case R::Real:
            if (v.rentry != HTCB_CACHE_REAL)
                return false;
            break;
        default:
            break;
        }
        if (v.set == S::Text && v.sentry != HTCB_CLIENT_SET_TEXT &&
            v.sentry != HTCB_REQUEST_SET_TEXT && v.sentry != HTCB_RESPONSE_SET_TEXT &&
            v.sentry != HTCB_QOS_SET_TEXT)
            return false;
        if (v.set == S::Number && v.sentry != HTCB_RESPONSE_SET_NUMBER &&
            v.sentry != HTCB_QOS_SET_NUMBER)
            return false;
    }
    return true;
}
static_assert(entries_fit());

// A pool copy of a host text (entry 48); null stays null.
const char *pool_text(Frame &f, const char *text, long &code) noexcept
{
    if (text == nullptr)
        return nullptr;
    auto dup = f.need<HTCB_POOL_STRDUP>();
    char *copy = dup ? dup(text, f.handle()) : nullptr;
    if (copy == nullptr)
        code = f.no_memory();
    return copy;
}

// "NAME=value\n" for each text of a null-terminated list, in one pool text.
const char *joined(Frame &f, char *const *list, long &code) noexcept
{
    std::size_t total = 1;
    for (char *const *p = list; p != nullptr && *p != nullptr; ++p)
        if (__builtin_add_overflow(total, std::strlen(*p) + 1, &total))
            total = SIZE_MAX;
    auto *out = total == SIZE_MAX ? nullptr : static_cast<char *>(f.alloc(total));
    if (out == nullptr) {
        code = f.no_memory();
        return nullptr;
    }
    char *w = out;
    for (char *const *p = list; p != nullptr && *p != nullptr; ++p) {
        const std::size_t n = std::strlen(*p);
        std::memcpy(w, *p, n);
        w += n;
        *w++ = '\n';
    }
    *w = '\0';
    return out;
}

// The text after the first ':' of a header line, trimmed (entry 12); null without ':'.
const char *header_value(Frame &f, const char *line, long &code) noexcept
{
    const char *colon = line ? std::strchr(line, ':') : nullptr;
    if (colon == nullptr)
        return nullptr;
    char *copy = f.copy(colon + 1, std::strlen(colon + 1));
    auto trim = f.need<HTCB_TRIM>();
    if (copy == nullptr || trim == nullptr) {
        code = f.no_memory();
        return nullptr;
    }
    return trim(copy);
}

// The request's URL cut by HTParse_scan; a pool copy is cut, never the host's text.
bool scanned_url(Frame &f, plugrt_import::UrlParts &parts, long &code) noexcept
{
    const char *url = host_text(f, HTCB_REQUEST_TEXT, HTAPI_URL);
    if (url == nullptr)
        return false;
    const std::size_t n = std::strlen(url);
    char *copy = f.copy(url, n);
    if (copy == nullptr) {
        code = f.no_memory();
        return false;
    }
    HTParse_scan(copy, &parts, n);
    return true;
}

const char *origin_addr(Frame &f, long &code) noexcept
{
    plugrt_import::UrlParts parts{};
    if (!scanned_url(f, parts, code) || parts.host == nullptr || parts.host[0] == '\0')
        return nullptr;
    // The host part may carry user information and a port.
    char *host = parts.host;
    if (char *at = std::strrchr(host, '@'))
        host = at + 1;
    if (char *colon = std::strchr(host, ':'))
        *colon = '\0';
    auto resolve = f.need<HTCB_ORIGIN_ADDRESS>();
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    if (resolve == nullptr || resolve(f.handle(), host, &address) != 0)
        return nullptr;
    auto *text = static_cast<char *>(f.alloc(plugrt_import::kInetStringSize));
    if (text == nullptr) {
        code = f.no_memory();
        return nullptr;
    }
    return HTInetString(&address, text);
}

const char *url_md4(Frame &f, long &code) noexcept
{
    const char *url = host_text(f, HTCB_REQUEST_TEXT, HTAPI_URL);
    if (url == nullptr)
        return nullptr;
    auto open = f.need<HTCB_MD4_NEW>();
    auto update = f.need<HTCB_MD4_UPDATE>();
    auto final = f.need<HTCB_MD4_FINAL>();
    auto text = f.need<HTCB_MD4_TEXT>();
    if (!open || !update || !final || !text)
        return nullptr;
    void *context = open(f.handle());
    auto *out = static_cast<char *>(f.alloc(33));
    if (context == nullptr || out == nullptr) {
        code = f.no_memory();
        return nullptr;
    }
    unsigned char digest[16];
    update(context, reinterpret_cast<const unsigned char *>(url), std::strlen(url));
    final(digest, context);
    return text(digest, out);
}

const char *filter_period(Frame &f, long &code) noexcept
{
    static const char *const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    auto get = f.need<HTCB_FILTER_PERIOD>();
    HTAPIFilterPeriod p{};
    if (get == nullptr || get(f.handle(), &p) != 0)
        return nullptr;
    const char *d[7];
    for (int i = 0; i < 7; ++i)
        d[i] = (p.days >> i) & 1u ? kDays[i] : "";
    auto s = [](const char *t) { return t ? t : ""; };
    // Each enabled day followed by a blank.
    const char *result = f.format(
        "from %s o'clock, to %s o'clock, and from %s o'clock, to %s o'clock, on %s%s%s%s%s%s%s%s%s%s%s%s%s%s",
        s(p.from1), s(p.to1), s(p.from2), s(p.to2), d[0], *d[0] ? " " : "", d[1], *d[1] ? " " : "",
        d[2], *d[2] ? " " : "", d[3], *d[3] ? " " : "", d[4], *d[4] ? " " : "", d[5],
        *d[5] ? " " : "", d[6], *d[6] ? " " : "");
    if (result == nullptr)
        code = f.no_memory();
    return result;
}

// The text of a known name, or null when the host has none.
const char *read_known(Frame &f, const Var &v, const Name &n, long &code) noexcept
{
    HTAPIdata *api = api_record(f);
    auto fmt_or_fail = [&](const char *t) {
        if (t == nullptr)
            code = f.no_memory();
        return t;
    };
    switch (v.read) {
    case R::None:
        return nullptr;
    case R::Const:
        return v.rtext;
    case R::Text:
    case R::Field:
        return pool_text(f, host_text(f, v.rentry, v.rarg), code);
    case R::TextOr: {
        const char *t = host_text(f, v.rentry, v.rarg);
        return pool_text(f, t ? t : v.rtext, code);
    }
    case R::Int:
        return fmt_or_fail(f.format("%d", static_cast<int>(host_number(f, v.rentry, v.rarg))));
    case R::Ulong:
        return fmt_or_fail(
            f.format("%lu", static_cast<unsigned long>(host_number(f, v.rentry, v.rarg))));
    case R::Real: {
        auto get = f.need<HTCB_CACHE_REAL>();
        return fmt_or_fail(f.format("%.4f", get ? get(f.handle(), v.rarg) : 0.0));
    }
    case R::Hex:
        return fmt_or_fail(
            f.format("0x%x", static_cast<unsigned>(host_number(f, v.rentry, v.rarg))));
    case R::OneZero:
        return host_number(f, v.rentry, v.rarg) ? "1" : "0";
    case R::YesNo:
        return host_number(f, v.rentry, v.rarg) ? "YES" : "NO";
    case R::EnableDisable:
        return host_number(f, v.rentry, v.rarg) ? "enable" : "disable";
    case R::OriginHeader:
    case R::ProxyHeader: {
        const char *name = v.read == R::OriginHeader ? v.rtext : n.orig + 6;
        auto get = f.need<HTCB_ORIGIN_HEADER>();
        return get ? header_value(f, get(f.handle(), name), code) : nullptr;
    }
    case R::HttpHeader: {
        auto get = f.need<HTCB_REQUEST_HEADER>();
        return get ? header_value(f, get(f.handle(), n.orig + 5, 0), code) : nullptr;
    }
    case R::ClientProtocol: {
        auto get = f.need<HTCB_CLIENT_PROTOCOL_BUFFER>();
        std::size_t size = 0;
        const char *buffer = get ? get(f.handle(), &size) : nullptr;
        return buffer && size ? f.copy(buffer, strnlen(buffer, size)) : nullptr;
    }
    case R::ServerSoftware: {
        auto name = f.need<HTCB_SOFTWARE_NAME>();
        auto version = f.need<HTCB_SOFTWARE_VERSION>();
        if (!name || !version)
            return nullptr;
        const char *a = name();
        const char *b = version();
        return fmt_or_fail(f.format("%s/%s", a ? a : "", b ? b : ""));
    }
    case R::Trace: {
        auto level = entry<HTCB_TRACE_LEVEL>();
        const int l = level ? level() : 0;
        return l > 65 ? "MTV" : l > 43 ? "VV" : l > 21 ? "V" : "OFF";
    }
    case R::OverrideHttp:
        return api && (api->flags & HTAPI_FLAG_OVERRIDE_HTTP_NT) ? "enabled" : "disabled";
    case R::OverrideProxy:
        return api && (api->flags & HTAPI_FLAG_OVERRIDE_PROXY_NT) ? "enabled" : "disabled";
    case R::ConvertBody:
        return api ? api->convert_request_body : nullptr;
    case R::AllVariables: {
        auto get = f.need<HTCB_CGI_ALL>();
        return get ? joined(f, get(f.handle()), code) : nullptr;
    }
    case R::LocalVariables: {
        auto get = f.need<HTCB_USERVAR_LIST>();
        return get && api ? joined(f, get(api->user_variables, f.handle()), code) : nullptr;
    }
    case R::SsiGlobals: {
        auto get = f.need<HTCB_SSI_GLOBALS>();
        return get ? joined(f, get(f.handle()), code) : nullptr;
    }
    case R::UriPath: {
        plugrt_import::UrlParts parts{};
        if (!scanned_url(f, parts, code))
            return nullptr;
        return fmt_or_fail(f.format("/%s", parts.absolute ? parts.absolute : ""));
    }
    case R::OriginAddr:
        return origin_addr(f, code);
    case R::UrlMd4:
        return url_md4(f, code);
    case R::FilterPeriod:
        return filter_period(f, code);
    case R::CacheFileName: {
        auto get = f.need<HTCB_CACHE_FILE_NAME>();
        return get ? pool_text(f, get(f.handle()), code) : nullptr;
    }
    case R::ModrwTagbuf: {
        auto get = f.need<HTCB_MODRW_TAGBUF>();
        return get ? pool_text(f, get(f.handle()), code) : nullptr;
    }
    }
    return nullptr;
}

const char *read_user(Frame &f, const Name &n, long &code) noexcept
{
    HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Looking up user's variables\n", f.api());
    HTAPIdata *api = api_record(f);
    auto get = f.need<HTCB_USERVAR_GET>();
    if (get == nullptr || api == nullptr)
        return nullptr;
    std::size_t length = 0;
    const void *value = get(api->user_variables, n.orig, 0, &length);
    return value ? pool_text(f, static_cast<const char *>(value), code) : nullptr;
}

const char *read_family(Frame &f, const Name &n, unsigned long selector, long &code) noexcept
{
    if (n.family("HTTP_", 5)) {
        auto get = f.need<HTCB_REQUEST_HEADER>();
        return get ? header_value(f, get(f.handle(), n.orig + 5, selector), code) : nullptr;
    }
    if (n.family("PROXY_", 6)) {
        HTAPI_TRACE(f.tracing(),
                    "plug-in..... %s()...  looking for \"%s\" in the response headers\n",
                    f.api(), n.orig + 6);
        auto get = f.need<HTCB_ORIGIN_HEADER>();
        return get ? header_value(f, get(f.handle(), n.orig + 6), code) : nullptr;
    }
    if (n.family("CGI_", 4)) {
        auto get = f.need<HTCB_CGI_GET>();
        return get ? pool_text(f, get(f.handle(), n.orig + 4), code) : nullptr;
    }
    if (n.family("REDIRECT_", 9)) {
        auto get = f.need<HTCB_REDIRECT_GET>();
        return get ? pool_text(f, get(f.handle(), n.orig + 9), code) : nullptr;
    }
    if (n.family("SSI_", 4)) {
        auto get = f.need<HTCB_SSI_GET>();
        return get ? pool_text(f, get(f.handle(), n.orig + 4), code) : nullptr;
    }
    return read_user(f, n, code);
}

void family_read_trace(const Frame &f, const Name &n, const Var *v) noexcept
{
    const bool http = v ? (v->flags & kHttpFamily) != 0 : n.family("HTTP_", 5);
    const bool proxy = v ? (v->flags & kProxyFamily) != 0 : n.family("PROXY_", 6);
    if (http)
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Looking in request headers...\n", f.api());
    else if (proxy)
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Looking up proxy headers\n", f.api());
}

// ---- the set side ----

struct SetCall {
    Frame &f;
    SetHow how;
    const Name &name;
    char *value;        // terminated pool copy
    std::size_t length; // of the value
    unsigned long mode;
    unsigned long selector;
};

const char *set_api(const SetCall &c) noexcept
{
    return c.f.api();
}

// A whole decimal number of int range, blanks allowed around it.
bool decimal_int(const char *text, long &out) noexcept
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return false;
    out = v;
    return true;
}

long user_set(const SetCall &c) noexcept
{
    HTAPI_TRACE(c.f.tracing(), "plug-in..... %s()...  No match, adding to the user's variable list\n",
                set_api(c));
    HTAPIdata *api = api_record(c.f);
    auto set = c.f.need<HTCB_USERVAR_SET>();
    if (set == nullptr)
        return HTTPD_UNSUPPORTED;
    if (api == nullptr)
        return HTTPD_FAILURE;
    // An empty value given to HTTPD_replace deletes the variable.
    const bool erase = c.how == SetHow::Replace && c.length == 0;
    const int r = erase ? set(&api->user_variables, c.name.orig, nullptr, 0, 0)
                        : set(&api->user_variables, c.name.orig, c.value, c.length + 1, 0);
    return r == 0 || erase ? HTTPD_SUCCESS : HTTPD_FAILURE;
}

// 5 when a no-transform directive forbids the change (and no override is on).
bool no_transform_refuses(const SetCall &c, unsigned char flags) noexcept
{
    HTAPIdata *api = api_record(c.f);
    const uint32_t fl = api ? api->flags : 0;
    auto test = [&](int side) {
        auto nt = c.f.need<HTCB_NO_TRANSFORM>();
        return nt != nullptr && nt(c.f.handle(), side) == 1;
    };
    if ((flags & (kNtHttp | kNtHttpMd5 | kNtHttpLocation)) &&
        !(fl & HTAPI_FLAG_OVERRIDE_HTTP_NT) && test(HTAPI_SIDE_RESPONSE)) {
        if (flags & kNtHttpMd5)
            HTAPI_TRACE(c.f.tracing(), "plug-in..... unable to set Content-MD5 header, got a no-transform.\n");
        else if (flags & kNtHttpLocation)
            HTAPI_TRACE(c.f.tracing(), "plug-in..... unable to set Content-Location header, got a no-transform.\n");
        else
            HTAPI_TRACE(c.f.tracing(), "plug-in..... unable to set header, got a no-transform.\n");
        return true;
    }
    if ((flags & kNtProxy) && !(fl & HTAPI_FLAG_OVERRIDE_PROXY_NT) && test(HTAPI_SIDE_PROXY)) {
        HTAPI_TRACE(c.f.tracing(), "plug-in..... unable to set PROXY header, got a no-transform.\n");
        return true;
    }
    return false;
}

long response_header(const SetCall &c, const char *header) noexcept
{
    if (c.how == SetHow::Replace) {
        auto replace = c.f.need<HTCB_RESPONSE_HEADER_REPLACE>();
        if (replace == nullptr)
            return HTTPD_UNSUPPORTED;
        return replace(c.f.handle(), header, c.value, c.selector) == 0 ? HTTPD_SUCCESS
                                                                         : HTTPD_FAILURE;
    }
    auto set = c.f.need<HTCB_RESPONSE_HEADER_SET>();
    if (set == nullptr)
        return HTTPD_UNSUPPORTED;
    return set(c.f.handle(), header, c.value, c.mode) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
}

// Headers of the request to the origin. A named field holds one value, so
// "add" replaces it or adds it.
long proxy_header(const SetCall &c, const char *header, bool named) noexcept
{
    Frame &f = c.f;
    if (c.how == SetHow::Replace) {
        if (c.length == 0) {
            auto del = f.need<HTCB_PROXY_HEADER_DELETE>();
            if (del == nullptr)
                return HTTPD_UNSUPPORTED;
            del(f.handle(), header, c.selector);
            HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_replace()... deleted  \"%s\" headers. \n",
                        header);
            return HTTPD_SUCCESS;
        }
        auto replace = f.need<HTCB_PROXY_HEADER_REPLACE>();
        if (replace == nullptr)
            return HTTPD_UNSUPPORTED;
        replace(f.handle(), header, c.value, c.selector);
        HTAPI_TRACE(f.tracing(),
                    "plug-in..... HTTPD_replace()... replaced  \"%s\" headers with \"%s: %s\". \n",
                    header, header, c.value);
        return HTTPD_SUCCESS;
    }
    auto edit = f.need<HTCB_PROXY_HEADER_EDIT>();
    if (edit == nullptr)
        return HTTPD_UNSUPPORTED;
    const unsigned long mode = named && c.mode == 2 ? 1 : c.mode;
    const unsigned long n = edit(f.handle(), header, c.value, mode);
    switch (mode) {
    case 0:
        HTAPI_TRACE(f.tracing(),
                    "plug-in..... %s()...  replaced %lu \"%s\" headers with \"%s: %s\".\n",
                    set_api(c), n, header, header, c.value);
        break;
    case 2:
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Adding %s to the request headers\n",
                    set_api(c), header);
        break;
    case 3:
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  deleted %lu \"%s\" headers.\n", set_api(c),
                    n, header);
        break;
    default:
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  replacing or adding \"%s\" header.\n",
                    set_api(c), header);
        break;
    }
    return HTTPD_SUCCESS;
}

long set_text(Frame &f, int entry, int var, const char *value) noexcept
{
    const int r = host_set_text(f, entry, var, value);
    return r == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
}

const char *atom(Frame &f, const char *text) noexcept
{
    auto a = f.need<HTCB_ATOM>();
    return a ? a(text) : nullptr;
}

long set_parameters(const SetCall &c, const char *parameters) noexcept
{
    Frame &f = c.f;
    long code = set_text(f, HTCB_RESPONSE_SET_TEXT, HTAPI_RESP_CONTENT_TYPE_PARAMETERS, parameters);
    auto charset = f.need<HTCB_CHARSET_PARAMETER>();
    const char *cs = charset ? charset(parameters, f.handle()) : nullptr;
    if (cs != nullptr && code == HTTPD_SUCCESS) {
        const char *stored = f.format("charset=%s", cs);
        if (stored == nullptr)
            return f.no_memory();
        code = set_text(f, HTCB_RESPONSE_SET_TEXT, HTAPI_RESP_CONTENT_CHARSET, stored);
    }
    return code;
}

long set_content_type(const SetCall &c) noexcept
{
    Frame &f = c.f;
    char *semicolon = std::strchr(c.value, ';');
    if (semicolon != nullptr) {
        HTAPI_TRACE(f.tracing(), "WARNING: Please use CONTENT_TYPE_PARAMETERS to set value after ;\n");
        *semicolon = '\0';
    }
    const char *type = atom(f, c.value);
    if (type == nullptr)
        return f.missing() ? HTTPD_UNSUPPORTED : HTTPD_FAILURE;
    long code = set_text(f, HTCB_RESPONSE_SET_TEXT, HTAPI_RESP_CONTENT_TYPE, type);
    if (semicolon != nullptr && code == HTTPD_SUCCESS) {
        const char *p = semicolon + 1;
        while (*p == ' ' || *p == '\t')
            ++p;
        HTAPI_TRACE(f.tracing(), "C-Type parameters= %s.\n", p);
        code = set_parameters(c, p);
    }
    return code;
}

// STATUS: the code, then after the first blank the reason phrase; the
// standard phrase when there is none.
long set_status(const SetCall &c, bool with_reason) noexcept
{
    Frame &f = c.f;
    char *end = nullptr;
    errno = 0;
    const long code = std::strtol(c.value, &end, 10);
    if (end == c.value || errno == ERANGE || code < INT_MIN || code > INT_MAX ||
        (*end != '\0' && *end != ' '))
        return HTTPD_BAD_ARGUMENT;
    const char *reason = nullptr;
    if (with_reason && *end == ' ') {
        reason = end + 1;
        while (*reason != '\0' && (*reason == ' ' || static_cast<unsigned char>(*reason) < 0x20))
            ++reason;
        if (*reason == '\0')
            reason = nullptr;
    } else if (!with_reason) {
        while (*end == ' ')
            ++end;
        if (*end != '\0')
            return HTTPD_BAD_ARGUMENT;
    }
    if (reason == nullptr) {
        auto phrase = f.need<HTCB_REASON_PHRASE>();
        reason = phrase ? phrase(static_cast<int>(code)) : nullptr;
    }
    return host_set<HTCB_SET_STATUS>(f, static_cast<int>(code), reason);
}

long set_trace(const SetCall &c) noexcept
{
    struct Level {
        const char *word;
        int level;
    };
    static const Level kLevels[] = {{"OFF", 0}, {"ON", 22}, {"V", 22}, {"VV", 44}, {"MTV", 66}};
    auto equal = c.f.need<HTCB_STRCASECMP>();
    auto set = c.f.need<HTCB_SET_TRACE_LEVEL>();
    if (equal == nullptr || set == nullptr)
        return HTTPD_UNSUPPORTED;
    for (const Level &l : kLevels) {
        if (equal(c.value, l.word) == 0) {
            set(l.level);
            return HTTPD_SUCCESS;
        }
    }
    return HTTPD_BAD_ARGUMENT;
}

long set_connmgmt(const SetCall &c, const Var &v) noexcept
{
    Frame &f = c.f;
    auto equal = f.need<HTCB_STRCASECMP>();
    auto set = f.need<HTCB_REQUEST_SET_FLAG>();
    if (equal == nullptr || set == nullptr)
        return HTTPD_UNSUPPORTED;
    if (equal(c.value, "YES") == 0) {
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()... USE_CONNMGMT to yes.\n", set_api(c));
        return set(f.handle(), v.sarg, 1) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
    }
    if (equal(c.value, "NO") == 0) {
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()... USE_CONNMGMT to no.\n", set_api(c));
        return set(f.handle(), v.sarg, 0) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
    }
    HTAPI_TRACE(f.tracing(),
                "plug-in..... %s()...USE_CONNMGMT to bad value. Remain old value as \"%s\".\n",
                set_api(c), host_number(f, HTCB_REQUEST_FLAG, v.sarg) ? "YES" : "NO");
    return HTTPD_SUCCESS;
}

long set_override(const SetCall &c, bool http) noexcept
{
    HTAPIdata *api = api_record(c.f);
    if (api == nullptr)
        return HTTPD_FAILURE;
    const uint32_t bit = http ? HTAPI_FLAG_OVERRIDE_HTTP_NT : HTAPI_FLAG_OVERRIDE_PROXY_NT;
    const bool enable = c.mode != 3;
    if (enable)
        api->flags |= bit;
    else
        api->flags &= ~bit;
    HTAPI_TRACE(c.f.tracing(), "plug-in..... %s override for %s no-transform restrictions.\n",
                enable ? "enabled" : "disabled", http ? "HTTP" : "PROXY");
    return HTTPD_SUCCESS;
}

long set_user_record(const SetCall &c, const Var &v) noexcept
{
    Frame &f = c.f;
    HTAPIRequest *r = f.handle()->request;
    auto set = f.need<HTCB_USER_SET_TEXT>();
    if (set == nullptr)
        return HTTPD_UNSUPPORTED;
    if (r == nullptr)
        return HTTPD_FAILURE;
    if (r->user == nullptr)
        r->user = HTUser_new();
    return set(f.handle(), r->user, v.sarg, c.value) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
}

long set_date(const SetCall &c, const Var &v) noexcept
{
    Frame &f = c.f;
    auto equal = f.need<HTCB_STRCASECMP>();
    if (equal == nullptr)
        return HTTPD_UNSUPPORTED;
    const char *date = c.value;
    if (equal(c.value, "NOW") == 0) {
        constexpr std::size_t kDateRoom = 64;
        auto *buffer = static_cast<char *>(f.alloc(kDateRoom));
        auto now = f.need<HTCB_FORMAT_DATE>();
        if (buffer == nullptr || now == nullptr)
            return f.no_memory();
        date = now(buffer, kDateRoom);
    }
    return set_text(f, v.sentry, v.sarg, date);
}

long set_etag(const SetCall &c, const Var &v) noexcept
{
    Frame &f = c.f;
    if (c.length != 0) {
        auto match = f.need<HTCB_ETAG_MATCH>();
        if (match == nullptr)
            return HTTPD_UNSUPPORTED;
        const int m = match(f.handle(), c.value);
        if (m != HTAPI_ETAG_NO_MATCH) {
            HTAPIRequest *r = f.handle()->request;
            HTAPIdata *api = api_record(f);
            const bool get_or_head =
                r && (r->method == HTAPI_METHOD_HEAD || r->method == HTAPI_METHOD_GET);
            if (api != nullptr)
                api->status = m == HTAPI_ETAG_NOT_MODIFIED && get_or_head ? 304 : 412;
            return HTTPD_BODY_FAILURE;
        }
    }
    return response_header(c, v.stext);
}

long set_known(const SetCall &c, const Var &v) noexcept
{
    Frame &f = c.f;
    if (no_transform_refuses(c, v.flags))
        return HTTPD_READ_ONLY;
    switch (v.set) {
    case S::User:
        return user_set(c);
    case S::ReadOnly:
        return HTTPD_READ_ONLY;
    case S::Text:
        return set_text(f, v.sentry, v.sarg, c.value);
    case S::Number: {
        long n = 0;
        if (!decimal_int(c.value, n))
            return HTTPD_BAD_ARGUMENT;
        return v.sentry == HTCB_RESPONSE_SET_NUMBER
                   ? host_set<HTCB_RESPONSE_SET_NUMBER>(f, static_cast<int>(v.sarg), n)
                   : host_set<HTCB_QOS_SET_NUMBER>(f, static_cast<int>(v.sarg), n);
    }
    case S::Mark:
        return host_set<HTCB_REQUEST_SET_FLAG>(f, static_cast<int>(v.sarg), 1);
    case S::Miss:
    case S::Real:
    case S::RealClamped: {
        auto set = f.need<HTCB_CACHE_SET>();
        if (set == nullptr)
            return HTTPD_UNSUPPORTED;
        double d = 0.0;
        if (v.set == S::Miss) {
            d = std::strcmp(c.value, "1") == 0 ? 1.0 : 0.0;
        } else {
            d = std::strtod(c.value, nullptr);
            if (v.set == S::RealClamped) {
                float e = static_cast<float>(d);
                e = !(e >= 0.0f) ? 0.0f : e > 1.0f ? 1.0f : e;
                d = e;
            }
        }
        return set(f.handle(), v.sarg, d) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
    }
    case S::ContentType:
        return set_content_type(c);
    case S::ContentTypeParameters:
        return set_parameters(c, c.value);
    case S::Charset: {
        const char *stored = f.format("charset=%s", c.value);
        return stored ? set_text(f, v.sentry, v.sarg, stored) : f.no_memory();
    }
    case S::Encoding: {
        const char *a = atom(f, c.value);
        return a ? set_text(f, v.sentry, v.sarg, a) : HTTPD_UNSUPPORTED;
    }
    case S::Date:
        return set_date(c, v);
    case S::Status:
        return set_status(c, true);
    case S::Response:
        return set_status(c, false);
    case S::Reason:
        return host_set<HTCB_SET_STATUS>(f, -1, static_cast<const char *>(c.value));
    case S::Trace:
        return set_trace(c);
    case S::UseConnMgmt:
        return set_connmgmt(c, v);
    case S::UseProxy:
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  USE_PROXY to \"%s\".\n", set_api(c), c.value);
        return set_text(f, v.sentry, v.sarg, c.value);
    case S::ChosenServer:
        HTAPI_TRACE(f.tracing(), "Setting CBR_CHOSENSERVER as %s\n", c.value);
        return set_text(f, v.sentry, v.sarg, c.value);
    case S::OverrideHttp:
        return set_override(c, true);
    case S::OverrideProxy:
        return set_override(c, false);
    case S::UserRecord:
        return set_user_record(c, v);
    case S::Url: {
        auto set = f.need<HTCB_SET_URL>();
        if (set == nullptr)
            return HTTPD_UNSUPPORTED;
        return set(f.handle(), c.value) == HTTPD_DONE ? HTTPD_SUCCESS : HTTPD_FAILURE;
    }
    case S::Script:
        return host_set<HTCB_SET_SCRIPT>(f, static_cast<const char *>(c.value));
    case S::ClientProtocol: {
        auto get = f.need<HTCB_CLIENT_PROTOCOL_BUFFER>();
        std::size_t size = 0;
        char *buffer = get ? get(f.handle(), &size) : nullptr;
        if (buffer == nullptr || size == 0)
            return get ? HTTPD_FAILURE : HTTPD_UNSUPPORTED;
        // Always terminated, however long the value.
        std::strncpy(buffer, c.value, size - 1);
        buffer[size - 1] = '\0';
        return HTTPD_SUCCESS;
    }
    case S::ConvertBody: {
        HTAPIdata *api = api_record(f);
        const char *a = atom(f, c.value);
        if (a == nullptr)
            return HTTPD_UNSUPPORTED;
        if (api == nullptr)
            return HTTPD_FAILURE;
        api->convert_request_body = a;
        return HTTPD_SUCCESS;
    }
    case S::PicsLabel:
        return host_set<HTCB_PICS_SET_LABEL>(f, static_cast<const char *>(c.value));
    case S::ModrwPrefix:
        return host_set<HTCB_MODRW_SET_PREFIX>(f, static_cast<const char *>(c.value));
    case S::ResponseHeader:
        return response_header(c, v.stext ? v.stext : c.name.orig + 5);
    case S::ETag:
        return set_etag(c, v);
    case S::OriginField:
        return host_set<HTCB_ORIGIN_SET_FIELD>(f, static_cast<int>(v.sarg),
                                               static_cast<const char *>(c.value));
    case S::ProxyHeader:
        return proxy_header(c, v.stext ? v.stext : c.name.orig + 6, v.stext != nullptr);
    }
    return HTTPD_FAILURE;
}

} // namespace

long read_variable(Frame &f, const char *name, std::size_t length, unsigned long selector,
                   const char **value) noexcept
{
    *value = nullptr;
    Name n;
    if (long code = make_name(f, name, length, n))
        return code;
    HTAPI_TRACE(f.tracing(),
                "plug-in..... %s()...  Looking up server and CGI variables: %s\n", f.api(),
                n.norm);
    long code = HTTPD_SUCCESS;
    const Var *v = lookup(n.norm, n.length, n.hash);
    family_read_trace(f, n, v);
    if (v == nullptr) {
        *value = read_family(f, n, selector, code);
    } else if (v->read == R::None) {
        *value = read_user(f, n, code);
    } else if (v->read == R::HttpHeader) {
        // A known HTTP_ name that is an ordinary request header: with the caller's selector.
        auto get = f.need<HTCB_REQUEST_HEADER>();
        *value = get ? header_value(f, get(f.handle(), n.orig + 5, selector), code) : nullptr;
    } else {
        *value = read_known(f, *v, n, code);
    }
    if (code != HTTPD_SUCCESS) {
        *value = nullptr;
        return code;
    }
    return *value ? HTTPD_SUCCESS : HTTPD_BAD_ARGUMENT;
}

long set_variable(Frame &f, SetHow how, const char *name, std::size_t length, const char *value,
                  std::size_t value_length, unsigned long mode, unsigned long selector) noexcept
{
    Name n;
    if (long code = make_name(f, name, length, n))
        return code;
    char *copy = f.copy(value ? value : "", value ? value_length : 0);
    if (copy == nullptr)
        return f.no_memory();
    const SetCall c{f, how, n, copy, value ? value_length : 0, mode, selector};
    const Var *v = lookup(n.norm, n.length, n.hash);
    const bool http = v ? (v->flags & kHttpFamily) != 0 : n.family("HTTP_", 5);
    const bool proxy = v ? (v->flags & kProxyFamily) != 0 : n.family("PROXY_", 6);
    if (http)
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Looking up response line and headers\n",
                    f.api());
    else if (proxy)
        HTAPI_TRACE(f.tracing(), "plug-in..... %s()...  Looking up proxy headers\n", f.api());
    if (v == nullptr) {
        if (http)
            return response_header(c, n.orig + 5);
        if (proxy)
            return proxy_header(c, n.orig + 6, false);
        if (n.family("CGI_", 4)) {
            auto set = f.need<HTCB_CGI_SET>();
            const char *assignment = f.format("%s=%s", n.orig + 4, copy);
            if (set == nullptr)
                return HTTPD_UNSUPPORTED;
            if (assignment == nullptr)
                return f.no_memory();
            return set(f.handle(), assignment) == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE;
        }
        return user_set(c);
    }
    if (how == SetHow::Replace && (v->flags & kReplaceAsUser))
        return user_set(c);
    return set_known(c, *v);
}

} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT void HTXTRACT(void *handle, const char *name, unsigned long *name_length,
                                       char *buffer, unsigned long *buffer_length,
                                       long *return_code) noexcept
{
    Frame f(Api::Extract, handle, return_code, {name, name_length, buffer, buffer_length, nullptr});
    if (!f.live())
        return;
    buffer[0] = '\0';
    const char *value = nullptr;
    const long code = read_variable(f, name, *name_length, 0, &value);
    if (code != HTTPD_SUCCESS) {
        *buffer_length = 0;
        f.finish(code);
        return;
    }
    const std::size_t n = std::strlen(value);
    // The value's terminator needs room too.
    if (*buffer_length > n) {
        std::memcpy(buffer, value, n + 1);
        *buffer_length = n;
        f.finish(HTTPD_SUCCESS);
    } else {
        *buffer_length = n + 1;
        f.finish(HTTPD_BUFFER_TOO_SMALL);
    }
}

extern "C" PLUGRT_EXPORT void HTBINXTRACT(void *handle, const char *name,
                                          unsigned long *name_length, void *buffer,
                                          unsigned long *buffer_length, long *return_code) noexcept
{
    Frame f(Api::BinExtract, handle, return_code,
            {name, name_length, buffer, buffer_length, nullptr});
    if (!f.live())
        return;
    char *key = f.copy(name, *name_length);
    if (key == nullptr) {
        *buffer_length = 0;
        f.finish(f.no_memory());
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_binextract()...  Looking user defined variable: %s\n",
                key);
    HTAPIRequest *r = f.handle()->request;
    auto get = f.need<HTCB_USERVAR_GET>();
    std::size_t n = 0;
    const void *value =
        get && r && r->api ? get(r->api->user_variables, key, 1, &n) : nullptr;
    void *copy = value ? f.alloc(n) : nullptr;
    if (value == nullptr || copy == nullptr) {
        *buffer_length = 0;
        f.finish(value ? f.no_memory() : HTTPD_BAD_ARGUMENT);
        return;
    }
    std::memcpy(copy, value, n);
    if (*buffer_length >= n) {
        std::memcpy(buffer, copy, n);
        *buffer_length = n;
        f.finish(HTTPD_SUCCESS);
    } else {
        *buffer_length = n;
        f.finish(HTTPD_BUFFER_TOO_SMALL);
    }
}

extern "C" PLUGRT_EXPORT void HTSET(void *handle, const char *name, unsigned long *name_length,
                                    const char *value, unsigned long *value_length,
                                    long *return_code) noexcept
{
    Frame f(Api::Set, handle, return_code, {name, name_length, value, value_length, nullptr});
    if (f.live())
        f.finish(set_variable(f, SetHow::Set, name, *name_length, value, *value_length, 2, 0));
}

extern "C" PLUGRT_EXPORT void HTBINSET(void *handle, const char *name, unsigned long *name_length,
                                       const void *value, unsigned long *value_length,
                                       long *return_code) noexcept
{
    Frame f(Api::BinSet, handle, return_code, {name, name_length, value, value_length, nullptr});
    if (!f.live())
        return;
    char *key = f.copy(name, *name_length);
    auto *bytes = static_cast<char *>(f.alloc(*value_length));
    if (key == nullptr || bytes == nullptr) {
        f.finish(f.no_memory());
        return;
    }
    std::memcpy(bytes, value, *value_length);
    HTAPIRequest *r = f.handle()->request;
    auto set = f.need<HTCB_USERVAR_SET>();
    if (set == nullptr || r == nullptr || r->api == nullptr) {
        f.finish(HTTPD_FAILURE);
        return;
    }
    const int stored = set(&r->api->user_variables, key, bytes, *value_length, 1);
    f.finish(stored == 0 ? HTTPD_SUCCESS : HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTREPLACE(void *handle, const char *name, unsigned long *name_length,
                                        const char *value, unsigned long *value_length,
                                        unsigned long *selector, long *return_code) noexcept
{
    Frame f(Api::Replace, handle, return_code, {name, name_length, value, value_length, selector});
    if (!f.live())
        return;
    const std::size_t n = value != nullptr && value_length != nullptr ? *value_length : 0;
    f.finish(set_variable(f, SetHow::Replace, name, *name_length, value, n, 0, *selector));
}

extern "C" PLUGRT_EXPORT char *htgetvar(void *handle, const char *name,
                                        unsigned long *selector) noexcept
{
    long code = 0;
    Frame f(Api::GetVar, handle, &code, {name, nullptr, nullptr, nullptr, selector});
    if (!f.live())
        return nullptr;
    const std::size_t n = strnlen(name, kMaxLength + 1);
    const char *value = nullptr;
    code = n > kMaxLength ? HTTPD_BAD_ARGUMENT : read_variable(f, name, n, *selector, &value);
    HTAPI_TRACE(f.tracing(), "plug-in..... httpd_getvar() got...... %s\n", value ? value : "-NULL-");
    f.finish(code);
    return const_cast<char *>(value);
}

extern "C" PLUGRT_EXPORT long htsetvar(void *handle, const char *name, const char *value,
                                       unsigned long *mode) noexcept
{
    long code = 0;
    Frame f(Api::SetVar, handle, &code, {name, nullptr, value, nullptr, mode});
    if (!f.live())
        return code;
    const std::size_t n = strnlen(name, kMaxLength + 1);
    const std::size_t v = strnlen(value, kMaxLength + 1);
    f.finish(n > kMaxLength || v > kMaxLength
                 ? HTTPD_BAD_ARGUMENT
                 : set_variable(f, SetHow::SetVar, name, n, value, v, *mode, 0));
    return code;
}

namespace {

constexpr int clamp_int(unsigned long v) noexcept
{
    return v > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

} // namespace

extern "C" PLUGRT_EXPORT long htgetvarint(void *handle, const char *name, int *value) noexcept
{
    long code = 0;
    Frame f(Api::GetVarInt, handle, &code, {name, nullptr, nullptr, nullptr, value});
    if (!f.live())
        return code;
    const HTAPIRequest *r = f.handle()->request;
    const HTAPIReqHeader *h = r ? r->header : nullptr;
    const struct {
        const char *name;
        unsigned long HTAPIReqHeader::*field;
    } kCounters[] = {{"CLIENT_RBYTES", &HTAPIReqHeader::client_rbytes},
                     {"CLIENT_WBYTES", &HTAPIReqHeader::client_wbytes},
                     {"RESPONSE_RAWHEADER_LENGTH", &HTAPIReqHeader::raw_header_length},
                     {"RESPONSE_RAWBODY_LENGTH", &HTAPIReqHeader::raw_body_length}};
    for (const auto &c : kCounters) {
        if (std::strcmp(name, c.name) == 0) {
            *value = h ? clamp_int(h->*c.field) : 0;
            f.finish(HTTPD_SUCCESS);
            return code;
        }
    }
    if (std::strcmp(name, "_THP_MODRW_ENABLE") == 0) {
        auto get = f.need<HTCB_MODRW_ENABLE>();
        *value = get ? get(f.handle()) : 0;
        f.finish(HTTPD_SUCCESS);
    } else if (std::strcmp(name, "_THP_MODRW_TAGLEN") == 0) {
        auto get = f.need<HTCB_MODRW_TAGLEN>();
        *value = get ? get(f.handle()) : 0;
        f.finish(HTTPD_SUCCESS);
    } else {
        HTAPI_TRACE(f.tracing(), HTAPI_GETVARINT_BAD);
        f.finish(HTTPD_FAILURE);
    }
    return code;
}

extern "C" PLUGRT_EXPORT long htsetvarint(void *handle, const char *name, int value) noexcept
{
    long code = 0;
    Frame f(Api::SetVarInt, handle, &code, {name, nullptr, nullptr, nullptr, nullptr});
    if (!f.live())
        return code;
    if (std::strcmp(name, "_THP_MODRW_ENABLE") == 0) {
        auto set = f.need<HTCB_MODRW_SET_ENABLE>();
        if (set)
            set(f.handle(), value);
        f.finish(HTTPD_SUCCESS);
    } else if (std::strcmp(name, "_THP_MODRW_TAGRESET") == 0) {
        auto set = f.need<HTCB_MODRW_TAGRESET>();
        if (set)
            set(f.handle(), value);
        f.finish(HTTPD_SUCCESS);
    } else {
        HTAPI_TRACE(f.tracing(), HTAPI_SETVARINT_BAD);
        f.finish(HTTPD_FAILURE);
    }
    return code;
}

/*
 * plugrt_host.h: what the proxy server (the host) provides to libplugrt.
 *
 * The host loads libplugrt and installs one positional table of 172
 * callbacks with set_api_callbacks before the first plug-in call; every
 * server-side effect of an API call goes through that table. The host also
 * owns the records the library reads at fixed places: the request handle,
 * the request object, the request header object and the per-request API
 * data record, and it creates the output streams.
 *
 * HTAPI_CALLBACKS lists every entry with its number, name, C prototype and
 * role; entries marked reserved are called by nobody and may hold anything.
 * A host fills every entry; the library checks each pointer before it calls
 * it and answers HTTPD_UNSUPPORTED (-1) for a call that needs a missing one.
 *
 * Plain C99.
 */
#ifndef PLUGRT_HOST_H
#define PLUGRT_HOST_H

#include "plugrt.h"

#include <netinet/in.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A stream: an object whose first word points to its class. Streams are
 * chained, each passing what it produces on to the next; the operations
 * follow the order every stream class of the server uses. A negative result
 * of write is a failure.
 */
typedef struct HTStream HTStream;
typedef struct HTStreamClass {
    const char *name;
    int (*free)(HTStream *me, void *argument);
    int (*abort)(HTStream *me, void *argument);
    int (*put_character)(HTStream *me, int c);
    int (*put_string)(HTStream *me, const char *text);
    int (*write)(HTStream *me, const char *data, int length);
    int (*status)(HTStream *me, int *out);
    int (*message)(HTStream *me, int message, void *argument);
    int (*put_headers)(HTStream *me, void *response);
} HTStreamClass;
struct HTStream {
    const HTStreamClass *isa;
};

/* Flags word of the API data record: the library owns the top six bits. */
#define HTAPI_FLAGS_LIBRARY 0xFC000000u
#define HTAPI_FLAG_NO_OUTPUT 0x80000000u        /* bit 31: plug-in output refused (11) */
#define HTAPI_FLAG_OVERRIDE_HTTP_NT 0x08000000u /* bit 27: OVERRIDE_HTTP_NOTRANSFORM */
#define HTAPI_FLAG_OVERRIDE_PROXY_NT 0x04000000u /* bit 26: OVERRIDE_PROXY_NOTRANSFORM */

/* Chunked-read states of the API data record. */
#define HTAPI_CHUNK_SIZE_LINE 0 /* expecting a chunk-size line */
#define HTAPI_CHUNK_DATA 1      /* inside chunk data */
#define HTAPI_CHUNK_FAILED 2    /* framing error: every later read gives 9 */

/* One per request, from the request's pool (HTAPIdata_new). */
typedef struct HTAPIdata {
    uint32_t flags;
    HTStream *output;             /* where HTTPD_write writes; null until chosen */
    void *transmogrifier;         /* the request's current transmogrifier stream */
    void *user_variables;         /* host table of the plug-in's own variables */
    int status;                   /* 304 or 412 after a matching entity tag */
    const char *convert_request_body; /* atom, "NO" at first */
    int chunk_state;              /* HTAPI_CHUNK_* */
    unsigned long chunk_left;     /* bytes left in the current chunk */
    uintptr_t host[8];            /* zero at first; the host's */
} HTAPIdata;

/* The request header object: the client connection's streams and counters. */
typedef struct HTAPIReqHeader {
    void *input;                  /* client input, read through entries 45 and 127 */
    HTStream *output;             /* client output stream, raw */
    const char *transfer_coding;  /* "chunked..." for a chunked body; null: none */
    unsigned long client_rbytes;  /* bytes read from the client */
    unsigned long client_wbytes;  /* bytes written to the client */
    unsigned long raw_header_length; /* of the response sent */
    unsigned long raw_body_length;
} HTAPIReqHeader;

/* Processing steps the library tests. */
#define HTAPI_STEP_NONE 0
#define HTAPI_STEP_REQUEST_START 1
#define HTAPI_STEP_AUTHENTICATION 4
#define HTAPI_STEP_AUTHORIZATION 5
#define HTAPI_STEP_ROUTING 6
#define HTAPI_STEP_SERVICE 7
#define HTAPI_STEP_DATA_FILTER 8
#define HTAPI_STEP_TRANSMOGRIFIER 9
#define HTAPI_STEP_ERROR 11
#define HTAPI_STEP_LOG 12
#define HTAPI_STEP_LABEL 14

/* Method codes of the common library's method table that the library tests. */
#define HTAPI_METHOD_HEAD 1
#define HTAPI_METHOD_GET 2
#define HTAPI_METHOD_POST 3
#define HTAPI_METHOD_PUT 4

/*
 * A response header list: lines "Name: value" in order, appended at the end
 * (entry 85), so that a walk over the first `count` lines sees exactly the
 * lines that were there when it began.
 */
typedef struct HTAPIHeaderLine {
    struct HTAPIHeaderLine *next;
    const char *text;
} HTAPIHeaderLine;
typedef struct HTAPIHeaderList {
    HTAPIHeaderLine *first;
    HTAPIHeaderLine *last;
    size_t count;
} HTAPIHeaderList;

/*
 * A cache entry's attributes (CCGATTR, CCSATTR): six 32-bit words, two
 * bytes and a 16-bit value, the same on every target.
 */
typedef struct HTAPICacheAttributes {
    uint32_t created;
    uint32_t expires;
    uint32_t last_modified;
    uint32_t last_access;
    uint32_t size;
    uint32_t hits;
    uint8_t state;
    uint8_t priority;
    uint16_t flags;
} HTAPICacheAttributes;

/* The response handed to put_headers: its status and its header list (null: none yet). */
typedef struct HTAPIResponse {
    int status;
    HTAPIHeaderList *headers;
} HTAPIResponse;

typedef struct HTAPIRequest {
    int step;                     /* HTAPI_STEP_* */
    int method;                   /* index in the method table */
    HTAPIReqHeader *header;       /* null: no client connection */
    HTAPIdata *api;
    void *user;                   /* user record (HTUser_new), made on first need */
    HTAPIResponse *response;      /* the response being produced; null: none yet */
    int warnings;                 /* Warning 214 lines the library added */
    int auth_scheme;              /* HTAPI_AUTH_*; 0: none recorded */
    int auth_flag;                /* 1: schemes 1, 6 and 30 check the authorization text */
} HTAPIRequest;

/* Authentication schemes that check a user name and password (HTTPD_authenticate). */
#define HTAPI_AUTH_NONE 0
#define HTAPI_AUTH_BASIC 1
#define HTAPI_AUTH_FORM 6
#define HTAPI_AUTH_CERT 30

/*
 * The request handle that plug-ins pass back. The stored request body is the
 * copy of everything HTTPD_read handed out, kept for forwarding; a refused
 * copy (over the limit, memory, framing) is gone for good.
 */
typedef struct HTAPIHandle {
    HTAPIRequest *request;
    char *body;                   /* stored request body (malloc) */
    size_t body_used;
    size_t body_capacity;
    size_t body_limit;            /* 0: no limit */
    int body_refused;             /* 1: the copy was discarded; nothing is stored again */
    int preread;                  /* 1: call entry 94 before reading */
    uint64_t body_left;           /* plain body bytes not yet read */
    void *host;                   /* the host's own */
} HTAPIHandle;

/* FILTER_EFFECTIVE_PERIOD (entry 82): two hour ranges and the days (bit 0 Sunday). */
typedef struct HTAPIFilterPeriod {
    const char *from1;
    const char *to1;
    const char *from2;
    const char *to2;
    unsigned days;
} HTAPIFilterPeriod;

/*
 * Host variables: the `var` argument of the accessor entries. Each entry's
 * role names the ones it serves.
 */
enum {
    /* client connection: 3, 4, 5 */
    HTAPI_CLIENT_ADDR = 1, HTAPI_CLIENT_NAME, HTAPI_REMOTE_HOST, HTAPI_REMOTE_IDENT,
    HTAPI_CLIENT_PORT,
    /* request texts: 7, 16 */
    HTAPI_METHOD = 20, HTAPI_URL, HTAPI_PATH, HTAPI_PATH_INFO, HTAPI_PATH_TRANSLATED, HTAPI_PPATH,
    HTAPI_QUERY_STRING, HTAPI_SCRIPT_NAME, HTAPI_DOCUMENT_ROOT, HTAPI_ORIGINAL_HOST,
    HTAPI_ORIGINAL_URL, HTAPI_REFERER_URL, HTAPI_REQUEST_PORT, HTAPI_INIT_STRING,
    HTAPI_ERRORINFO, HTAPI_PROXY_ACCESS, HTAPI_CBR_CHOSENSERVER, HTAPI_USE_PROXY,
    HTAPI_USE_TRANSLATEDURI, HTAPI_NOTMODIFIED_TO_OK, HTAPI_REQ_CONTENT_TYPE,
    HTAPI_REQ_CONTENT_ENCODING, HTAPI_REQ_CONTENT_TYPE_PARAMETERS, HTAPI_REQ_CONTENT_CHARSET,
    /* request numbers: 19 */
    HTAPI_REQ_CONTENT_LENGTH = 60, HTAPI_PROXIED_CONTENT_LENGTH,
    /* request flags: 20, 26 */
    HTAPI_USE_CONNMGMT = 70, HTAPI_TAV_PRIV_HDRS, HTAPI_CONFIG_LOG_SUPPRESS, HTAPI_QOS_CONTROL,
    /* the response to the client: 28, 39, 40 */
    HTAPI_RESP_CONTENT_TYPE = 80, HTAPI_RESP_CONTENT_ENCODING,
    HTAPI_RESP_CONTENT_TYPE_PARAMETERS, HTAPI_RESP_CONTENT_CHARSET, HTAPI_RESP_CONTENT_LENGTH,
    HTAPI_EXPIRES, HTAPI_LAST_MODIFIED, HTAPI_ACCEPT_RANGES, HTAPI_WWW_AUTHENTICATE,
    /* the server: 72, 73 */
    HTAPI_SERVER_NAME = 100, HTAPI_SERVER_ADDR, HTAPI_SERVER_PROTOCOL, HTAPI_SERVER_ROOT,
    HTAPI_SERVER_LEVEL, HTAPI_SERVER_PORT, HTAPI_CONNECTIONS, HTAPI_TOTALTRANSACTIONS,
    HTAPI_TOTALKBYTES,
    /* the configuration: 159 */
    HTAPI_LOGFILEDATEEXT = 120, HTAPI_RULE_FILE_PATH, HTAPI_MAXACTIVETHREADS,
    /* the cache: 74, 75, 78, 79 */
    HTAPI_GC_FILENAME = 130, HTAPI_CACHE_HIT, HTAPI_CACHE_UPDATE, HTAPI_CACHE_TASK,
    HTAPI_GC_EXPIRES, HTAPI_GC_LAST_CHECKED, HTAPI_GC_LAST_ACCESS, HTAPI_GC_FILESIZE,
    HTAPI_GC_LOAD_DELAY, HTAPI_CACHE_MISS, HTAPI_GC_BIAS, HTAPI_GC_EVALUATION,
    /* the content filter: 80, 81 */
    HTAPI_FILTER_DB_OPTIONS = 150, HTAPI_FILTER_ADDITIONAL_URL, HTAPI_FILTER_EXCEPTION_URL,
    HTAPI_FILTER_PLUGIN_ENABLE, HTAPI_FILTER_RULES,
    /* quality of service and message classes: 83, 87, 88 */
    HTAPI_QOSGROUP = 160, HTAPI_QOSUSER, HTAPI_QOSACTIONS, HTAPI_MSG_CLASS, HTAPI_MSG_CTR,
    HTAPI_MSG_CTRLEN,
    /* content labels: 95 */
    HTAPI_PICS_SERVICENAME = 170, HTAPI_PICS_SITENAME, HTAPI_PICS_PATHNAME, HTAPI_PICS_LABEL,
    /* authentication and the user record: 99, 100 */
    HTAPI_AUTH_TYPE = 180, HTAPI_AUTH_STRING, HTAPI_REMOTE_USER, HTAPI_USERNAME, HTAPI_PASSWORD,
    /* the secure connection: 153 */
    HTAPI_CLIENT_CERT_DN = 190, HTAPI_CLIENT_CERT, HTAPI_CONN_CIPHER_SUITE, HTAPI_SSL_SESSIONID,
    /* the cache array: 155 */
    HTAPI_RCA_OWNER = 200, HTAPI_RCA_TIMEOUTS,
    /* server-side includes: 158 */
    HTAPI_SSI_ROOT = 210, HTAPI_SSI_FILE, HTAPI_SSI_DIR, HTAPI_SSI_PARENT, HTAPI_SSI_INCLUDE,
    /* URL rewriting: 163 */
    HTAPI_MODRW_PREFIX = 220
};

/* Fields of the client exchange (102) and of the origin exchange (105, 106). */
enum {
    HTAPI_FIELD_METHOD = 1, HTAPI_FIELD_RESPONSE, HTAPI_FIELD_STATUS, HTAPI_FIELD_REASON,
    HTAPI_FIELD_HEADERS, HTAPI_FIELD_CONTENT_TYPE, HTAPI_FIELD_CONTENT_TYPE_PARAMETERS,
    HTAPI_FIELD_CONTENT_CHARSET, HTAPI_FIELD_CONTENT_ENCODING, HTAPI_FIELD_CONTENT_LENGTH,
    HTAPI_FIELD_HOST, HTAPI_FIELD_USER_AGENT, HTAPI_FIELD_EXPIRES, HTAPI_FIELD_LAST_MODIFIED,
    HTAPI_FIELD_ACCEPT_RANGES
};

/* Which message a no-transform test (108) is about. */
#define HTAPI_SIDE_RESPONSE 0 /* the response to the client */
#define HTAPI_SIDE_PROXY 1    /* the request to the origin */

/* Results of the entity-tag test (77). */
#define HTAPI_ETAG_NO_MATCH 0
#define HTAPI_ETAG_NOT_MODIFIED 1   /* matches a not-modified condition (If-None-Match) */
#define HTAPI_ETAG_PRECONDITION 2   /* matches a precondition that fails the request */

/* Log kinds of entry 23. */
#define HTAPI_LOG_ACCESS 0
#define HTAPI_LOG_ERROR 3
#define HTAPI_LOG_EVENT 4

/*
 * The table. X(number, NAME, return type, (parameters)); `h` is the request
 * handle. Texts returned by the host stay valid for the request; the library
 * copies what it hands to plug-ins. Numbers are fixed.
 */
#define HTAPI_CALLBACKS(X) \
    /* the thread-specific-data key of each request thread's current handle */ \
    X(0, THREAD_KEY, pthread_key_t, (void)) \
    /* a hook without arguments; null_int_callback (0) until the host sets one */ \
    X(1, INT_HOOK, int, (void)) \
    X(2, RESERVED_2, int, (void)) \
    /* client connection: text of HTAPI_CLIENT_ADDR, _CLIENT_NAME, _REMOTE_HOST; null: none */ \
    X(3, CLIENT_TEXT, const char *, (void *h, int var)) \
    /* sets HTAPI_CLIENT_ADDR, _REMOTE_HOST, _REMOTE_IDENT; 0 done */ \
    X(4, CLIENT_SET_TEXT, int, (void *h, int var, const char *value)) \
    /* HTAPI_CLIENT_PORT */ \
    X(5, CLIENT_NUMBER, long, (void *h, int var)) \
    /* the request's protocol text buffer (CLIENT_PROTOCOL), *size its room; null: none */ \
    X(6, CLIENT_PROTOCOL_BUFFER, char *, (void *h, size_t *size)) \
    /* request texts HTAPI_METHOD .. HTAPI_REQ_CONTENT_CHARSET; null: none */ \
    X(7, REQUEST_TEXT, const char *, (void *h, int var)) \
    /* sends the open file as the response through the stream; 0 done */ \
    X(8, SEND_FILE, int, (void *h, FILE *file, HTStream *stream)) \
    /* runs the recorded script; its output file, null: none */ \
    X(9, RUN_SCRIPT, FILE *, (void *h)) \
    /* records the request's script (SCRIPT_NAME, HTTPD_exec); 0 done */ \
    X(10, SET_SCRIPT, int, (void *h, const char *script)) \
    X(11, RESERVED_11, int, (void)) \
    /* trims blanks at both ends of the writable text in place; returns its start */ \
    X(12, TRIM, char *, (char *text)) \
    /* 0 when the texts are equal, case ignored */ \
    X(13, STRCASECMP, int, (const char *a, const char *b)) \
    /* 0 when the first n characters are equal, case ignored */ \
    X(14, STRNCASECMP, int, (const char *a, const char *b, int n)) \
    /* prints one trace line */ \
    X(15, TRACE, int, (FILE *stream, const char *format, ...)) \
    /* sets request texts HTAPI_PATH, _PATH_INFO, _PATH_TRANSLATED, _PPATH, _QUERY_STRING,
       _ERRORINFO, _CBR_CHOSENSERVER, _USE_PROXY, _USE_TRANSLATEDURI, _NOTMODIFIED_TO_OK */ \
    X(16, REQUEST_SET_TEXT, int, (void *h, int var, const char *value)) \
    /* installs the URL as the request's (URL, HTTPD_proxy); 200 done */ \
    X(17, SET_URL, int, (void *h, const char *url)) \
    /* prepares the request for proxying (HTTPD_proxy); 200 done */ \
    X(18, PREPARE_PROXY, int, (void *h)) \
    /* HTAPI_REQ_CONTENT_LENGTH, HTAPI_PROXIED_CONTENT_LENGTH */ \
    X(19, REQUEST_NUMBER, long, (void *h, int var)) \
    /* HTAPI_USE_CONNMGMT, _TAV_PRIV_HDRS, _CONFIG_LOG_SUPPRESS, _QOS_CONTROL: 0 or 1 */ \
    X(20, REQUEST_FLAG, int, (void *h, int var)) \
    X(21, RESERVED_21, int, (void)) \
    X(22, RESERVED_22, int, (void)) \
    /* writes to the server log of that kind (HTAPI_LOG_*) */ \
    X(23, LOG, int, (int kind, const char *format, ...)) \
    /* the permanent shared copy (atom) of the text */ \
    X(24, ATOM, const char *, (const char *text)) \
    X(25, RESERVED_25, int, (void)) \
    /* sets HTAPI_USE_CONNMGMT or HTAPI_TAV_PRIV_HDRS */ \
    X(26, REQUEST_SET_FLAG, int, (void *h, int var, int value)) \
    X(27, RESERVED_27, int, (void)) \
    /* response texts HTAPI_RESP_CONTENT_TYPE (as the plug-in set it; null: not set),
       _RESP_CONTENT_ENCODING, _RESP_CONTENT_TYPE_PARAMETERS, _RESP_CONTENT_CHARSET,
       _EXPIRES, _LAST_MODIFIED */ \
    X(28, RESPONSE_TEXT, const char *, (void *h, int var)) \
    X(29, RESERVED_29, int, (void)) \
    /* stores a user variable, creating the table in *table when null; a null value
       deletes; binary 0: text (length includes its NUL), 1: bytes; 0 done */ \
    X(30, USERVAR_SET, int, (void **table, const char *name, const void *value, size_t length, int binary)) \
    /* 1 when the table holds a variable of that name */ \
    X(31, USERVAR_HAS, int, (void *table, const char *name)) \
    /* the value of that kind and its length, or null */ \
    X(32, USERVAR_GET, const void *, (void *table, const char *name, int binary, size_t *length)) \
    /* releases the table */ \
    X(33, USERVAR_RELEASE, void, (void *table)) \
    X(34, RESERVED_34, int, (void)) \
    X(35, RESERVED_35, int, (void)) \
    X(36, RESERVED_36, int, (void)) \
    /* the server software's name and version (SERVER_SOFTWARE) */ \
    X(37, SOFTWARE_NAME, const char *, (void)) \
    X(38, SOFTWARE_VERSION, const char *, (void)) \
    /* sets response texts: HTAPI_RESP_CONTENT_TYPE, _RESP_CONTENT_ENCODING (atoms),
       _RESP_CONTENT_TYPE_PARAMETERS, _RESP_CONTENT_CHARSET, _EXPIRES, _LAST_MODIFIED,
       _ACCEPT_RANGES, _WWW_AUTHENTICATE */ \
    X(39, RESPONSE_SET_TEXT, int, (void *h, int var, const char *value)) \
    /* sets HTAPI_RESP_CONTENT_LENGTH */ \
    X(40, RESPONSE_SET_NUMBER, int, (void *h, int var, long value)) \
    /* restarts the server (HTTPD_restart passes 0) */ \
    X(41, RESTART, int, (void *h, int how)) \
    /* the client stream of a response the library starts; null: none */ \
    X(42, RESPONSE_STREAM, HTStream *, (void *h)) \
    /* a stream converting output of that content type into the sink; null: none */ \
    X(43, CONVERSION_STREAM, HTStream *, (void *h, const char *content_type, HTStream *sink)) \
    /* nonzero when the credentials are good (password null: an authorization text) */ \
    X(44, CHECK_CREDENTIALS, int, (void *h, const char *user, const char *password)) \
    /* up to *count body bytes, *count set to what they are; null at the end */ \
    X(45, READ_BLOCK, const char *, (void *input, size_t *count)) \
    /* request pool memory; null: none */ \
    X(46, POOL_ALLOC, void *, (size_t size, void *h)) \
    X(47, RESERVED_47, int, (void)) \
    /* pool copy of the text */ \
    X(48, POOL_STRDUP, char *, (const char *text, void *h)) \
    /* the origin host's address for ORIGIN_ADDR; 0 found */ \
    X(49, ORIGIN_ADDRESS, int, (void *h, const char *host, struct sockaddr_in *address)) \
    /* pool concatenation */ \
    X(50, POOL_STRCAT, char *, (const char *a, const char *b, void *h)) \
    /* zero-filled pool array */ \
    X(51, POOL_CALLOC, void *, (size_t count, size_t size, void *h)) \
    X(52, RESERVED_52, int, (void)) \
    /* ends a script run (HTTPD_exec) */ \
    X(53, SCRIPT_DONE, int, (void *h, FILE *output)) \
    /* performs the prepared proxy request; negative: failed */ \
    X(54, PROXY_RUN, int, (void *h)) \
    /* the current trace level, 0 when off */ \
    X(55, TRACE_LEVEL, int, (void)) \
    /* sets the trace level (TRACE) */ \
    X(56, SET_TRACE_LEVEL, void, (int level)) \
    /* the charset parameter of content-type parameters, pool text; null: none */ \
    X(57, CHARSET_PARAMETER, char *, (const char *parameters, void *h)) \
    /* formats the current time as an HTTP date into the buffer; returns it */ \
    X(58, FORMAT_DATE, char *, (char *buffer, size_t size)) \
    /* MD4 (RFC 1320): a fresh context in pool memory; null: none */ \
    X(59, MD4_NEW, void *, (void *h)) \
    X(60, MD4_UPDATE, void, (void *context, const unsigned char *data, size_t length)) \
    X(61, MD4_FINAL, void, (unsigned char digest[16], void *context)) \
    /* the digest as 32 lower-case hexadecimal digits into text; returns it */ \
    X(62, MD4_TEXT, char *, (const unsigned char digest[16], char text[33])) \
    X(63, RESERVED_63, int, (void)) \
    /* HTTPD_cache_peek */ \
    X(64, CACHE_PEEK, long, (void *h, void *a, void *b)) \
    /* HTTPD_encode, HTTPD_decode */ \
    X(65, ENCODE, long, (const char *input, unsigned long *length, char *output)) \
    X(66, DECODE, long, (const char *input, unsigned long *length, char *output)) \
    X(67, RESERVED_67, int, (void)) \
    X(68, RESERVED_68, int, (void)) \
    X(69, RESERVED_69, int, (void)) \
    X(70, RESERVED_70, int, (void)) \
    X(71, RESERVED_71, int, (void)) \
    /* server texts HTAPI_SERVER_NAME, _SERVER_ADDR, _SERVER_PROTOCOL, _SERVER_ROOT,
       _SERVER_LEVEL */ \
    X(72, SERVER_TEXT, const char *, (void *h, int var)) \
    /* HTAPI_SERVER_PORT, _CONNECTIONS, _TOTALTRANSACTIONS, _TOTALKBYTES */ \
    X(73, SERVER_NUMBER, unsigned long, (void *h, int var)) \
    /* HTAPI_GC_FILENAME */ \
    X(74, CACHE_TEXT, const char *, (void *h, int var)) \
    /* HTAPI_CACHE_HIT, _CACHE_UPDATE (0 or 1), _CACHE_TASK (-1 to 3) */ \
    X(75, CACHE_NUMBER, long, (void *h, int var)) \
    /* hands a content label to the request (HTTPD_supply_label) */ \
    X(76, SUPPLY_LABEL, int, (void *h, const char *label)) \
    /* tests a new entity tag against the request's conditions: HTAPI_ETAG_* */ \
    X(77, ETAG_MATCH, int, (void *h, const char *etag)) \
    /* HTAPI_GC_EXPIRES, _GC_LAST_CHECKED, _GC_LAST_ACCESS, _GC_FILESIZE, _GC_LOAD_DELAY */ \
    X(78, CACHE_REAL, double, (void *h, int var)) \
    /* sets HTAPI_CACHE_MISS (0 or 1), _GC_BIAS, _GC_EVALUATION */ \
    X(79, CACHE_SET, int, (void *h, int var, double value)) \
    /* HTAPI_FILTER_DB_OPTIONS, _FILTER_ADDITIONAL_URL, _FILTER_EXCEPTION_URL */ \
    X(80, FILTER_TEXT, const char *, (void *h, int var)) \
    /* HTAPI_FILTER_PLUGIN_ENABLE (0 or 1), _FILTER_RULES */ \
    X(81, FILTER_NUMBER, unsigned long, (void *h, int var)) \
    /* fills the effective period; 0 done */ \
    X(82, FILTER_PERIOD, int, (void *h, HTAPIFilterPeriod *period)) \
    /* HTAPI_QOSGROUP, _QOSUSER */ \
    X(83, QOS_TEXT, const char *, (void *h, int var)) \
    /* a new header list for the response, kept in the request */ \
    X(84, NEW_HEADER_LIST, HTAPIHeaderList *, (void *h)) \
    /* adds a header line to the list */ \
    X(85, ADD_HEADER, int, (void *h, HTAPIHeaderList *list, const char *name, const char *value)) \
    /* the line of that header name in the list, or null */ \
    X(86, FIND_HEADER, const char *, (const HTAPIHeaderList *list, const char *name)) \
    /* sets HTAPI_QOSGROUP, _QOSUSER, _QOSACTIONS, _MSG_CLASS, _MSG_CTR */ \
    X(87, QOS_SET_TEXT, int, (void *h, int var, const char *value)) \
    /* sets HTAPI_MSG_CTRLEN */ \
    X(88, QOS_SET_NUMBER, int, (void *h, int var, long value)) \
    /* nonzero when the trace category traces (38 API, 64 stored body, 37 chunks) */ \
    X(89, TRACE_CATEGORY, int, (int category)) \
    /* the upper-case form of the character */ \
    X(90, TOUPPER, int, (int c)) \
    /* the standard reason phrase of a status code */ \
    X(91, REASON_PHRASE, const char *, (int code)) \
    /* the current time stamp of the logs */ \
    X(92, TIME_STAMP, const char *, (void)) \
    X(93, RESERVED_93, int, (void)) \
    /* called before reading when the handle's pre-read flag is 1 */ \
    X(94, PRE_READ, int, (HTAPIReqHeader *header, void *h)) \
    /* HTAPI_PICS_SERVICENAME, _PICS_SITENAME, _PICS_PATHNAME, _PICS_LABEL; null: none */ \
    X(95, PICS_TEXT, const char *, (void *h, int var)) \
    /* sets the PICS label */ \
    X(96, PICS_SET_LABEL, int, (void *h, const char *label)) \
    X(97, RESERVED_97, int, (void)) \
    /* the response (status line and header list) handed to put_headers */ \
    X(98, RESPONSE_HEAD, HTAPIResponse *, (void *h)) \
    /* HTAPI_AUTH_TYPE, _AUTH_STRING, _REMOTE_USER, _USERNAME, _PASSWORD */ \
    X(99, AUTH_TEXT, const char *, (void *h, int var)) \
    /* sets HTAPI_REMOTE_USER, _USERNAME, _PASSWORD in the user record */ \
    X(100, USER_SET_TEXT, int, (void *h, void *user, int var, const char *value)) \
    /* sets the status code (negative: kept) and reason phrase (null: kept) */ \
    X(101, SET_STATUS, int, (void *h, int code, const char *reason)) \
    /* a field of the client exchange (HTAPI_FIELD_*); null: none */ \
    X(102, CLIENT_FIELD, const char *, (void *h, int field)) \
    /* sets a response header: mode 0 replace, 1 replace or add, 2 add, 3 delete */ \
    X(103, RESPONSE_HEADER_SET, int, (void *h, const char *name, const char *value, unsigned long mode)) \
    /* replaces a response header, or deletes it for an empty value */ \
    X(104, RESPONSE_HEADER_REPLACE, int, (void *h, const char *name, const char *value, unsigned long selector)) \
    /* a field of the origin exchange (HTAPI_FIELD_*); null: none */ \
    X(105, ORIGIN_FIELD, const char *, (void *h, int field)) \
    /* sets HTAPI_FIELD_METHOD, _RESPONSE, _REASON, _CONTENT_CHARSET,
       _CONTENT_TYPE_PARAMETERS of the origin exchange */ \
    X(106, ORIGIN_SET_FIELD, int, (void *h, int field, const char *value)) \
    /* edits headers of the request to the origin by mode (as 103); returns how many */ \
    X(107, PROXY_HEADER_EDIT, unsigned long, (void *h, const char *name, const char *value, unsigned long mode)) \
    /* 1 when the message (HTAPI_SIDE_*) carries a no-transform directive */ \
    X(108, NO_TRANSFORM, int, (void *h, int side)) \
    /* CGI variable of the request; null: none */ \
    X(109, CGI_GET, const char *, (void *h, const char *name)) \
    /* sets a CGI variable from "NAME=value" */ \
    X(110, CGI_SET, int, (void *h, const char *assignment)) \
    /* httpd_variant_insert */ \
    X(111, VARIANT_INSERT, long, (void *h, const char *uri, const char *dimension, const char *variant, const char *file)) \
    /* the warning agent text of Warning headers */ \
    X(112, WARNING_AGENT, const char *, (void *h)) \
    /* builds a Warning value from code, text, agent and date */ \
    X(113, WARNING_VALUE, char *, (void *h, const char *code, const char *text, int length, const char *agent, const char *date)) \
    /* nonzero when transformation warnings are wanted */ \
    X(114, WANT_WARNINGS, int, (void *h)) \
    /* prepares the response header list for a transmogrifier */ \
    X(115, PREPARE_HEADERS, int, (void *h, HTAPIHeaderList *list)) \
    /* 1 when the response carries a no-transform directive */ \
    X(116, RESPONSE_NO_TRANSFORM, int, (void *h, HTAPIResponse *response)) \
    /* the line "Name: value" of a client request header, or null */ \
    X(117, REQUEST_HEADER, const char *, (void *h, const char *name, unsigned long selector)) \
    /* deletes headers of the request to the origin; returns how many */ \
    X(118, PROXY_HEADER_DELETE, unsigned long, (void *h, const char *name, unsigned long selector)) \
    /* replaces headers of the request to the origin; returns how many */ \
    X(119, PROXY_HEADER_REPLACE, unsigned long, (void *h, const char *name, const char *value, unsigned long selector)) \
    /* every CGI variable as "NAME=value", null-terminated; null: none */ \
    X(120, CGI_ALL, char **, (void *h)) \
    /* an SSI variable by name; null: none */ \
    X(121, SSI_GET, const char *, (void *h, const char *name)) \
    /* every SSI global variable as "name=value", null-terminated */ \
    X(122, SSI_GLOBALS, char **, (void *h)) \
    /* a REDIRECT_ variable by name; null: none */ \
    X(123, REDIRECT_GET, const char *, (void *h, const char *name)) \
    /* the line "Name: value" of an origin response header, or null */ \
    X(124, ORIGIN_HEADER, const char *, (void *h, const char *name)) \
    /* httpd_variant_lookup: 1 found */ \
    X(125, VARIANT_LOOKUP, long, (void *h, const char *uri, const char *dimension, const char *variant)) \
    /* HTTPD_cacheable_url: 1 cacheable */ \
    X(126, CACHEABLE, int, (void *h, const char *url)) \
    /* the next body byte, negative at the end */ \
    X(127, READ_BYTE, int, (void *input)) \
    /* direct cache access (HTTPD_CC_*), results are host cache results */ \
    X(128, CACHE_CDF_DISABLE, long, (void *a, void *b)) \
    X(129, CACHE_CDF_ENABLE, long, (void *a, void *b)) \
    X(130, CACHE_GROUP_LOCK, long, (const char *key, unsigned long length)) \
    X(131, CACHE_INVALIDATE_PREPARE, long, (const char *key, unsigned long length)) \
    X(132, CACHE_DELETE_PREPARE, long, (const char *key, unsigned long length)) \
    X(133, CACHE_HANDLE, void *, (void)) \
    X(134, CACHE_OPEN_READ, long, (void *cache, const char *key, unsigned long length, int *state)) \
    X(135, CACHE_CLOSE, long, (void *cache)) \
    X(136, CACHE_CREATE, long, (void *cache, const char *key, unsigned long length, const HTAPICacheAttributes *attributes)) \
    X(137, CACHE_OPEN_WRITE, long, (void *cache, const char *key, unsigned long length)) \
    X(138, CACHE_WRITE_HEADERS, long, (void *cache, const char *key, unsigned long key_length, const void *data, unsigned long *length)) \
    X(139, CACHE_WRITE_DATA, long, (void *cache, const char *key, unsigned long key_length, const void *data, unsigned long *length)) \
    X(140, CACHE_READ, long, (void *cache, const char *key, unsigned long key_length, void *buffer, unsigned long *length)) \
    X(141, CACHE_READ_END, long, (void *cache)) \
    X(142, CACHE_DELETE, long, (void *cache, const char *key, unsigned long length)) \
    X(143, CACHE_FIND, long, (void *cache, const char *key, unsigned long length)) \
    X(144, CACHE_RELEASE, long, (void *cache)) \
    X(145, CACHE_GET_ATTRIBUTES, long, (const char *key, unsigned long length, HTAPICacheAttributes *attributes)) \
    X(146, CACHE_SET_ATTRIBUTES, long, (const char *key, unsigned long length, const HTAPICacheAttributes *attributes)) \
    /* the file name of the request's cache entry (CACHE_FILE_NAME); null: none */ \
    X(147, CACHE_FILE_NAME, const char *, (void *h)) \
    X(148, CACHE_CDF, long, (void *a, void *b)) \
    X(149, CACHE_GET_CURRENT, long, (void *h, void *a, void *b)) \
    X(150, CACHE_DROP_CURRENT, long, (void *h, void *a)) \
    X(151, CACHE_INSERT_CURRENT, long, (void *h, void *a, void *b)) \
    /* every text user variable as "name=value", null-terminated (LOCAL_VARIABLES) */ \
    X(152, USERVAR_LIST, char **, (void *table, void *h)) \
    /* HTAPI_CLIENT_CERT_DN, _CLIENT_CERT, _CONN_CIPHER_SUITE, _SSL_SESSIONID */ \
    X(153, SSL_TEXT, const char *, (void *h, int var)) \
    /* HTTPD_cacheg_invalidate_url: 1 invalidated */ \
    X(154, CACHEG_INVALIDATE, int, (void *h, const char *url)) \
    /* HTAPI_RCA_OWNER, _RCA_TIMEOUTS */ \
    X(155, RCA_TEXT, const char *, (void *h, int var)) \
    /* HTTPD_cacheg_url_owner: 0 found */ \
    X(156, CACHEG_OWNER, int, (void *h, const char *url, char **owner)) \
    /* starts an asynchronous HTTP request: 1 started */ \
    X(157, START_HTTP_REQUEST, int, (void *h, void *description, void *async)) \
    /* HTAPI_SSI_ROOT, _SSI_FILE, _SSI_DIR, _SSI_PARENT, _SSI_INCLUDE */ \
    X(158, SSI_TEXT, const char *, (void *h, int var)) \
    /* HTAPI_LOGFILEDATEEXT (null: the default), _RULE_FILE_PATH, _MAXACTIVETHREADS */ \
    X(159, CONFIG_TEXT, const char *, (void *h, int var)) \
    /* URL rewriting in the transmogrifier step; rewrite tags; cookies */ \
    X(160, URL_REWRITE, long, (void *h, void *a, void *b, void *c, void *d, void *e)) \
    X(161, REWRITE_TAG_ADD, long, (void *h, void *a, void *b)) \
    X(162, REWRITE_TAG_REMOVE, long, (void *h, void *a, void *b)) \
    /* HTAPI_MODRW_PREFIX */ \
    X(163, MODRW_TEXT, const char *, (void *h, int var)) \
    X(164, MODRW_SET_PREFIX, int, (void *h, const char *prefix)) \
    /* _THP_MODRW_ENABLE set and read, _THP_MODRW_TAGBUF, _TAGLEN, _TAGRESET */ \
    X(165, MODRW_SET_ENABLE, int, (void *h, int value)) \
    X(166, MODRW_ENABLE, int, (void *h)) \
    X(167, MODRW_TAGBUF, const char *, (void *h)) \
    X(168, MODRW_TAGLEN, int, (void *h)) \
    X(169, MODRW_TAGRESET, int, (void *h, int value)) \
    /* HTTPD_inv_url_rewrite: the rewritten URL, or null */ \
    X(170, INV_URL_REWRITE, char *, (void *h, char *url)) \
    /* HTTPD_junctionrewritesetcookie */ \
    X(171, COOKIE_REWRITE, long, (void *h, void *a, void *b, void *c))

#define HTAPI_NCALLBACKS 172

/* Entry numbers (HTCB_POOL_ALLOC is 46) and prototypes (HTCB_POOL_ALLOC_fn). */
#define HTAPI_CB_ENUM_(n, name, ret, params) HTCB_##name = n,
enum { HTAPI_CALLBACKS(HTAPI_CB_ENUM_) HTCB_COUNT_ = HTAPI_NCALLBACKS };
#undef HTAPI_CB_ENUM_
#define HTAPI_CB_TYPE_(n, name, ret, params) typedef ret HTCB_##name##_fn params;
HTAPI_CALLBACKS(HTAPI_CB_TYPE_)
#undef HTAPI_CB_TYPE_

/* An entry of the table; each is converted to its own prototype before a call. */
typedef void (*HTAPICallback)(void);

/* The installed table, null until the first set_api_callbacks. */
PLUGRT_EXPORT extern HTAPICallback *all_api_callbacks;

/*
 * Installs the host's table: the 172 entries are copied (the caller's array
 * is not kept). The first call makes a zero-filled table with entry 1 set to
 * null_int_callback; null installs nothing more. 0, or -1 when the table
 * cannot be allocated.
 */
PLUGRT_EXPORT int set_api_callbacks(const HTAPICallback *table) PLUGRT_NOEXCEPT;
/* Returns 0. */
PLUGRT_EXPORT int null_int_callback(void) PLUGRT_NOEXCEPT;

/*
 * A new API data record from the pool of the request `pool` (a handle, entry
 * 46): library flags cleared, no output stream, CONVERT_REQUEST_BODY "NO",
 * the host's words zero. Null when the pool gives nothing.
 */
PLUGRT_EXPORT HTAPIdata *HTAPIdata_new(void *pool) PLUGRT_NOEXCEPT;
/* Releases the record's user variables (entry 33); the record goes with its pool. */
PLUGRT_EXPORT void HTAPIdata_delete(HTAPIdata *record) PLUGRT_NOEXCEPT;

/* A user record of eight pointer-sized words from malloc, words 2 to 8 zero. */
#define HT_USER_WORDS 8
PLUGRT_EXPORT void *HTUser_new(void) PLUGRT_NOEXCEPT;

/*
 * Appends a block to the handle's stored request body: as it is, or, with
 * `chunked`, framed as one chunk, followed by the last chunk when
 * *return_code is 8 on entry. On a refusal (memory, limit) the stored body
 * is discarded for good, *length becomes 0 and *return_code 9; otherwise
 * *return_code is left as it was.
 */
PLUGRT_EXPORT void copyToProxyBuffer(void *handle, const char *data, unsigned long *length,
                                     long *return_code, int chunked) PLUGRT_NOEXCEPT;


/* ---- streams that put plug-in code into a response chain ---- */

/* A data filter's functions; each is called with a null handle. */
typedef void (*HTFilterOpen)(void *handle, long *return_code);
typedef void (*HTFilterWrite)(void *handle, const char *data, unsigned long *length,
                              long *return_code);
typedef void (*HTFilterClose)(void *handle, long *return_code);

/* A transmogrifier module: its name, its four function names, its four functions. */
typedef struct HTTransmogrifierModule {
    const char *name;
    const char *open_name;
    const char *write_name;
    const char *close_name;
    const char *error_name;
    void *(*open)(void *handle, long *return_code);
    void (*write)(void *handle, const char *data, unsigned long *length, void *context,
                  long *return_code);
    void (*close)(void *handle, void *context, long *return_code);
    void (*error)(void *handle, void *context, long *return_code);
} HTTransmogrifierModule;

/* Stream messages the library sends or answers. */
#define HTAPI_MSG_STATUS 1          /* out: the stream's state (a transmogrifier answers 5) */
#define HTAPI_MSG_LOW_FIRST 2       /* 2 to 64: ignored */
#define HTAPI_MSG_LOW_LAST 64
#define HTAPI_MSG_ERROR 66          /* a transmogrifier runs its module's error function */
#define HTAPI_MSG_DISABLED 2006     /* argument: the name of a transmogrifier that stepped aside */
#define HTAPI_MSG_COUNT 2014        /* out: incremented by every active transmogrifier */
#define HTAPI_TR_STATUS_ANSWER 5

/* Result of HTLoadScriptResultAPI when the whole file was passed on. */
#define HTAPI_SCRIPT_LOADED 29999

/*
 * The filter in front of `target`, or `target` itself when a function is
 * missing or open does not answer 200. The record comes from the request's
 * pool; running short of it goes to out_of_memory.
 */
PLUGRT_EXPORT HTStream *HTFilterstream_new(HTStream *target, HTFilterOpen open, HTFilterWrite write,
                                           HTFilterClose close, void *handle) PLUGRT_NOEXCEPT;
/* A stream passing a plug-in's output on to `target` (null: the client stream); null without memory. */
PLUGRT_EXPORT HTStream *HTCGI_new(HTStream *target, void *handle) PLUGRT_NOEXCEPT;
/* The module's stream in front of `target`; null without memory. */
PLUGRT_EXPORT HTStream *HTTransmogrify_new(HTStream *target, const HTTransmogrifierModule *module,
                                           void *handle) PLUGRT_NOEXCEPT;
/* Adds a Warning 214 to the response unless it has one; nonzero when the response has it. */
PLUGRT_EXPORT int _HTTransmogrify_makeWarning(void *handle) PLUGRT_NOEXCEPT;
/*
 * Passes a script's result file on: header lines become HTTP_ variables,
 * the body goes to `target` (null: entry 43 makes the stream).
 * HTAPI_SCRIPT_LOADED at the end of the file, -1 on a read error.
 */
PLUGRT_EXPORT int HTLoadScriptResultAPI(FILE *file, HTStream *target, HTAPIReqHeader *header,
                                        void *handle) PLUGRT_NOEXCEPT;
/* The generic operations of the three classes. */
PLUGRT_EXPORT int HTStream_messageSender(HTStream *me, int message, void *out) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT int HTStream_statusNOP(HTStream *me, int *out) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT int HTStream_putHeaders(HTStream *me, void *response) PLUGRT_NOEXCEPT;

/* ---- asynchronous requests: the latch ---- */

/*
 * A count of running requests under a mutex and a condition, in request
 * memory of `pool`. Deleting waits until the count is 0, and a surplus
 * completion cannot take it below 0, so the record is never destroyed
 * while a host thread may still touch it.
 */
typedef struct HTAsyncLatch HTAsyncLatch;
PLUGRT_EXPORT void asyncreq_init_handle(HTAsyncLatch **out, void *pool) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void asyncreq_start_req(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void asyncreq_stop_req(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void asyncreq_wait_for_req(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;
PLUGRT_EXPORT void asyncreq_term_handle(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;
/* The host reports one completed request of the latch (exactly once per started one). */
PLUGRT_EXPORT void HTAPIAsyncReq_done(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;
/* Requests still counted on the latch (for the host and its tests); -1 for null. */
PLUGRT_EXPORT int asyncreq_count(HTAsyncLatch *latch) PLUGRT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

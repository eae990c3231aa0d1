#include "HTFTP.h"

#include "HTAnchor.h"
#include "HTError.h"
#include "HTFTPBrowse.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTFTPOut.hpp"
#include "HTParse.h"
#include "HTServerPref.h"
#include "HTSocket.h"
#include "HTTCP.h"
#include "HTTPConn.h"
#include "HTTrace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#define FTP_TRACE(...)                                                                                                \
    do {                                                                                                              \
        if (HT_TRACE_ON(HT_TRACE_FTP))                                                                                \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

namespace {

// Reply classes (first digit) and the codes the session acts on.
constexpr int kReplyPreliminary = 1;
constexpr int kReplyComplete = 2;
constexpr int kReplyIntermediate = 3;
constexpr int kCodeReady = 220;
constexpr int kCodeLoggedIn = 230;
constexpr int kCodeNeedPassword = 331;
constexpr int kCodeNeedAccount = 332;
constexpr int kCodeNoFile = 550;
constexpr int kCodePassive = 227;
constexpr int kCodeSize = 213;

constexpr int kStatusNotFound = 404;
constexpr int kStatusForbidden = 403;
constexpr int kStatusBadHost = 400;
constexpr long long kLengthUnknown = -1;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A text growing in the pool, bounded by `limit` bytes (the rest is dropped).
struct PoolText {
    char *data = nullptr;
    size_t length = 0;
    size_t room = 0;
    size_t limit = 0;
};

void text_append(PoolText *t, const char *bytes, size_t n, HTThdGlobals *g)
{
    if (t->length >= t->limit)
        return;
    if (n > t->limit - t->length)
        n = t->limit - t->length;
    if (t->length + n + 1 > t->room) {
        size_t room = t->room == 0 ? 256 : t->room;
        while (room < t->length + n + 1)
            room *= 2;
        auto *grown = static_cast<char *>(HTMemPoolAlloc(room, g));
        if (t->length != 0)
            std::memcpy(grown, t->data, t->length);
        t->data = grown;
        t->room = room;
    }
    std::memcpy(t->data + t->length, bytes, n);
    t->length += n;
    t->data[t->length] = '\0';
}

struct Session {
    HTRequest *request = nullptr;
    HTThdGlobals *g = nullptr;
    const char *url = "";
    char host[256] = "";
    struct sockaddr_in server {};
    HTSocket *control = nullptr;
    HTInputSocket *in = nullptr;
    HTSocket *data = nullptr;
    HTFTPListState list{HT_FTP_STYLE_UNIX, 1};
    PoolText welcome;
    // The last reply: its code and its text (every line, "ddd-" prefixes removed).
    int code = 0;
    int reply_lines = 0;
    PoolText reply;
    bool anonymous = true;
};

bool walking(HTThdGlobals *g)
{
    return utilServerPref_isset(g) != 0 || utilServerPref_registered(g) != 0;
}

void close_socket(HTSocket **s, HTRequest *request)
{
    if (*s != nullptr) {
        HTSocket_close(*s, __FILE__, __LINE__, request);
        *s = nullptr;
    }
}

void end_session(Session *s)
{
    close_socket(&s->data, s->request);
    close_socket(&s->control, s->request);
}

// The error page of a failure (no page during a preference walk), and the result the loader returns.
int fail(Session *s, int status, int detailed, const char *what, int result)
{
    end_session(s);
    HTDetailedError_set(detailed, s->g);
    FTP_TRACE("FTP......... %s (%s)\n", what, s->url);
    if (walking(s->g) && result == HT_LOAD_RETRY_CONNECT)
        return result;
    char *message =
        HTMemPool_vcat(s->g, "FTP Error: ", what, " - URL \"", EncodeScriptCharacters(s->url, s->g), "\"\n",
                       static_cast<const char *>(nullptr));
    const int r = HTLoadError(s->request, status, message, s->g);
    return result == HT_LOAD_RETRY_CONNECT ? result : r;
}

// Reads one reply into s->code and s->reply: the code, or -1 when the
// connection ended or the reply was malformed or too long.
int read_reply(Session *s)
{
    HTFTPReply r{};
    s->reply = PoolText{};
    s->reply.limit = HT_FTP_WELCOME_LIMIT;
    bool continued = false;
    for (;;) {
        char *line = HTInputSocket_getLineEx(s->in, HT_FTP_LINE_LIMIT, s->request);
        if (line == nullptr)
            return -1;
        const size_t length = std::strlen(line);
        size_t offset = 0;
        int rc = HT_FTP_REPLY_MORE;
        // A piece of a line cut at the limit carries on the line: it never ends a reply.
        if (!continued)
            rc = HTFTP_replyLine(&r, line, length, &offset);
        if (rc == HT_FTP_REPLY_BAD)
            return -1;
        if (s->reply.length != 0 && !continued)
            text_append(&s->reply, "\n", 1, s->g);
        text_append(&s->reply, line + offset, length - offset, s->g);
        continued = length >= HT_FTP_LINE_LIMIT;
        FTP_TRACE("FTP......... Rx: %s\n", line);
        if (rc == HT_FTP_REPLY_DONE && !continued)
            break;
        if (r.lines > HT_FTP_REPLY_LINES)
            return -1;
    }
    s->code = r.code;
    s->reply_lines = r.lines;
    return r.code;
}

// Sends "verb[ argument]" CR LF: 1, or 0 when the write failed.
bool send_command(Session *s, const char *verb, const char *argument)
{
    // A line end inside an argument would start another command.
    if (argument != nullptr && std::strpbrk(argument, "\r\n") != nullptr)
        return false;
    char *line = HTMemPool_vcat(s->g, verb, argument != nullptr ? " " : "", argument != nullptr ? argument : "",
                                "\r\n", static_cast<const char *>(nullptr));
    const int n = static_cast<int>(std::strlen(line));
    FTP_TRACE("FTP......... Tx: %s %s\n", verb, std::strcmp(verb, "PASS") == 0 ? "****" : argument ? argument : "");
    return HTSocket_write(s->control, line, n, s->request) == n;
}

// A command and its final reply (preliminary 1xx replies of commands that open no data connection are skipped).
int command(Session *s, const char *verb, const char *argument)
{
    if (!send_command(s, verb, argument))
        return -1;
    return read_reply(s);
}

int reply_class(int code)
{
    return code / 100;
}

// Opens the passive data connection: true, or false after the error result was stored in *result.
bool open_data(Session *s, int *result)
{
    const int code = command(s, "PASV", nullptr);
    uint32_t address = 0;
    int port = 0;
    if (code != kCodePassive || HTFTP_parsePasv(s->reply.data, s->reply.length, &address, &port) != 0) {
        *result = fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNODATA, "the server offered no passive connection",
                       HT_LOAD_RETRY);
        return false;
    }
    if (address != s->server.sin_addr.s_addr) {
        *result = fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNODATA,
                       "the server offered a data connection to another host", HT_LOAD_RETRY);
        return false;
    }
    struct sockaddr_in target = s->server;
    target.sin_port = htons(static_cast<uint16_t>(port));
    s->data = HTSocket_new(AF_INET, SOCK_STREAM, 0, s->host, port, s->request);
    if (s->data == nullptr) {
        *result = fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNOSOCKET, "no socket for the data connection",
                       HT_LOAD_RETRY);
        return false;
    }
    if (HTSocket_connect(&s->data, reinterpret_cast<const sockaddr *>(&target), sizeof target, s->request) != 0) {
        *result = fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNODATA, "the data connection could not be made",
                       HT_LOAD_RETRY);
        return false;
    }
    return true;
}

// The URL's parts: user and password (unescaped, null when absent), host[:port] and the escaped path after the host.
struct Target {
    char *user = nullptr;
    char *password = nullptr;
    char *hostport = nullptr;
    char *path = nullptr;   // escaped, starting with "/" (or empty)
    char type = 0;          // ";type=" letter, lower case, or 0
};

bool split_url(const char *url, Target *t, HTThdGlobals *g)
{
    const char *p = url;
    const char *colon = std::strchr(p, ':');
    if (colon == nullptr || colon[1] != '/' || colon[2] != '/')
        return false;
    p = colon + 3;
    const char *slash = std::strchr(p, '/');
    const char *authority_end = slash != nullptr ? slash : p + std::strlen(p);
    char *authority = HTMemPoolStrdup_len(p, static_cast<size_t>(authority_end - p), g);
    char *at = std::strrchr(authority, '@');
    char *host = authority;
    if (at != nullptr) {
        *at = '\0';
        host = at + 1;
        char *pw = std::strchr(authority, ':');
        if (pw != nullptr) {
            *pw = '\0';
            t->password = HTUnEscape(pw + 1);
        }
        t->user = HTUnEscape(authority);
    }
    if (*host == '\0')
        return false;
    t->hostport = host;
    t->path = HTMemPoolStrdup(slash != nullptr ? slash : "", g);
    // Fragments and queries are no part of an FTP path.
    if (char *hash = std::strpbrk(t->path, "#?"))
        *hash = '\0';
    char *type = std::strstr(t->path, ";type=");
    if (type != nullptr) {
        t->type = static_cast<char>(std::tolower(static_cast<unsigned char>(type[6])));
        *type = '\0';
    }
    return true;
}

int connect_control(Session *s, const Target &t)
{
    std::memset(&s->server, 0, sizeof s->server);
    s->server.sin_family = AF_INET;
    s->server.sin_port = htons(HT_FTP_PORT);
    std::snprintf(s->host, sizeof s->host, "%s", t.hostport);
    if (char *c = std::strchr(s->host, ':'))
        *c = '\0';
    if (HTParseInet(&s->server, t.hostport, s->g) != 0)
        return fail(s, kStatusBadHost, HT_DERR_FTPUNRESHOST, "the host name could not be resolved",
                    HT_LOAD_RETRY_CONNECT);
    s->control = HTSocket_new(AF_INET, SOCK_STREAM, 0, s->host, ntohs(s->server.sin_port), s->request);
    if (s->control == nullptr)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNOSOCKET, "no socket for the control connection",
                    HT_LOAD_RETRY_CONNECT);
    if (HTSocket_connect(&s->control, reinterpret_cast<const sockaddr *>(&s->server), sizeof s->server,
                         s->request) != 0)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNOCONNECT, "unable to connect to the server",
                    HT_LOAD_RETRY_CONNECT);
    s->in = HTInputSocket_new(s->control, s->request);
    return 0;
}

int login(Session *s, const Target &t)
{
    int code = read_reply(s);
    if (code < 0)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNORESPONSE, "the server did not answer", HT_LOAD_RETRY);
    // A 120 "ready in a while" comes before the greeting.
    while (reply_class(code) == kReplyPreliminary && code != kCodeReady)
        if ((code = read_reply(s)) < 0)
            return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNORESPONSE, "the server did not answer",
                        HT_LOAD_RETRY);
    if (code != kCodeReady)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPBAD220, "the server refused the connection",
                    HT_LOAD_RETRY);
    s->welcome.limit = HT_FTP_WELCOME_LIMIT;
    text_append(&s->welcome, s->reply.data, s->reply.length, s->g);

    s->anonymous = t.user == nullptr || std::strcmp(t.user, "anonymous") == 0 || std::strcmp(t.user, "ftp") == 0;
    const char *user = t.user != nullptr ? t.user : "anonymous";
    const char *password = t.password != nullptr ? t.password : "anonymous@";
    const int rejected = s->anonymous ? HT_DERR_FTPANONLOGINREJ : HT_DERR_FTPLOGINREJ;
    code = command(s, "USER", user);
    if (code == kCodeNeedPassword)
        code = command(s, "PASS", password);
    if (code == kCodeNeedAccount)
        return fail(s, kStatusForbidden, HT_DERR_FTPLOGINREQ, "the server asks for an account", HT_LOAD_RETRY);
    if (code < 0)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNORESPONSE, "the server did not answer", HT_LOAD_RETRY);
    if (reply_class(code) != kReplyComplete)
        return fail(s, kStatusForbidden, rejected, "the server refused the login", HT_LOAD_RETRY);
    // A multi-line login reply carries the site's message.
    if (s->reply_lines > 1 && s->reply.length != 0) {
        text_append(&s->welcome, "\n", 1, s->g);
        text_append(&s->welcome, s->reply.data, s->reply.length, s->g);
    }

    code = command(s, "SYST", nullptr);
    s->list.style = reply_class(code) == kReplyComplete ? HTFTP_styleOf(s->reply.data) : HT_FTP_STYLE_UNIX;
    s->list.first_line = 1;
    FTP_TRACE("FTP......... listing style %d\n", s->list.style);
    return 0;
}

void quit(Session *s)
{
    if (s->control != nullptr && send_command(s, "QUIT", nullptr))
        read_reply(s);
    end_session(s);
}

// The transfer's final reply after the data connection closed: true for 2xx.
bool transfer_done(Session *s)
{
    close_socket(&s->data, s->request);
    return reply_class(read_reply(s)) == kReplyComplete;
}

int list_directory(Session *s, const char *ftp_path, const char *url_path)
{
    if (ftp_path[0] != '\0') {
        const int code = command(s, "CWD", ftp_path);
        if (reply_class(code) != kReplyComplete)
            return fail(s, kStatusNotFound, HT_DERR_NOTFOUND, "no such directory", HT_LOAD_RETRY);
    }
    if (reply_class(command(s, "TYPE", "A")) != kReplyComplete)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNORESPONSE, "the server refused the transfer type",
                    HT_LOAD_RETRY);
    int result = 0;
    if (!open_data(s, &result))
        return result;
    int code = command(s, "LIST", nullptr);
    if (reply_class(code) != kReplyPreliminary)
        return fail(s, kStatusNotFound, HT_DERR_NOTFOUND, "the directory cannot be listed", HT_LOAD_RETRY);
    HTInputSocket *data_in = HTInputSocket_new(s->data, s->request);
    result = HTFTPBrowseDirectory(s->request, url_path, data_in, &s->list, s->welcome.data, s->g);
    transfer_done(s);
    quit(s);
    return result;
}

// The content type of a file name's suffix.
const char *content_type(const char *path)
{
    static const struct {
        const char *suffix;
        const char *type;
    } types[] = {
        {".html", "text/html"}, {".htm", "text/html"}, {".txt", "text/plain"}, {".gif", "image/gif"},
        {".jpg", "image/jpeg"}, {".png", "image/png"}, {".gz", "application/x-gzip"}, {".tar", "application/x-tar"},
    };
    const char *slash = std::strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    const char *dot = std::strrchr(name, '.');
    if (dot != nullptr)
        for (const auto &t : types)
            if (strcasecmp(dot, t.suffix) == 0)
                return t.type;
    return "application/octet-stream";
}

int send_file(Session *s, const char *ftp_path, const char *url_path, char type, bool *is_directory)
{
    *is_directory = false;
    if (reply_class(command(s, "TYPE", type == 'a' ? "A" : "I")) != kReplyComplete)
        return fail(s, HTHTTP_failStatus(s->g), HT_DERR_FTPNORESPONSE, "the server refused the transfer type",
                    HT_LOAD_RETRY);
    long long length = kLengthUnknown;
    if (command(s, "SIZE", ftp_path) == kCodeSize) {
        char *end = nullptr;
        errno = 0;
        const long long n = std::strtoll(s->reply.data, &end, 10);
        if (errno == 0 && end != s->reply.data && n >= 0)
            length = n;
    }
    int result = 0;
    if (!open_data(s, &result))
        return result;
    const int code = command(s, "RETR", ftp_path);
    if (code == kCodeNoFile) {
        close_socket(&s->data, s->request);
        if (reply_class(command(s, "CWD", ftp_path)) == kReplyComplete) {
            *is_directory = true;
            return 0;
        }
        return fail(s, kStatusNotFound, HT_DERR_NOTFOUND, "no such file or directory", HT_LOAD_RETRY);
    }
    if (reply_class(code) != kReplyPreliminary)
        return fail(s, kStatusNotFound, HT_DERR_NOTFOUND, "the file cannot be fetched", HT_LOAD_RETRY);
    if (length == kLengthUnknown) {
        const long long announced = HTFTP_announcedSize(s->reply.data);
        if (announced >= 0)
            length = announced;
    }
    if (htftp::send_head(s->request, 200, "OK", content_type(url_path), length) != 0) {
        quit(s);
        return HT_LOAD_FAILED;
    }
    const long long copied = htftp::copy_socket(s->data, s->request);
    const bool whole = transfer_done(s);
    // A short body after a promised length leaves the client to see the cut.
    if (copied < 0 || !whole || (length >= 0 && copied != length))
        s->g->client_close = 1;
    quit(s);
    return copied < 0 || !whole ? HT_LOAD_FAILED : HT_LOAD_OK;
}

} // namespace

extern "C" int HTFTP_replyLine(HTFTPReply *reply, const char *line, size_t length, size_t *text_offset) noexcept
{
    if (reply == nullptr || line == nullptr)
        return HT_FTP_REPLY_BAD;
    ++reply->lines;
    const bool coded = length >= 3 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) &&
                       (length == 3 || line[3] == ' ' || line[3] == '-');
    const int code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
    if (text_offset != nullptr)
        *text_offset = coded ? (length > 3 ? 4 : 3) : 0;
    if (reply->code == 0) {
        if (!coded || code < 100 || code > 599)
            return HT_FTP_REPLY_BAD;
        reply->code = code;
        reply->multi = length > 3 && line[3] == '-';
        return reply->multi ? HT_FTP_REPLY_MORE : HT_FTP_REPLY_DONE;
    }
    // Inside a multi-line reply only "ddd " with the first line's code ends it.
    if (coded && code == reply->code && (length == 3 || line[3] == ' ')) {
        reply->multi = 0;
        return HT_FTP_REPLY_DONE;
    }
    if (text_offset != nullptr && !(coded && code == reply->code))
        *text_offset = 0;
    return HT_FTP_REPLY_MORE;
}

extern "C" int HTFTP_parsePasv(const char *text, size_t length, uint32_t *address, int *port) noexcept
{
    if (text == nullptr || address == nullptr || port == nullptr)
        return -1;
    const char *p = text;
    const char *end = text + length;
    // The six numbers start at the first digit after the "227 " text's opening.
    while (p < end && *p != '(' && !is_digit(*p))
        ++p;
    if (p < end && *p == '(')
        ++p;
    unsigned n[6];
    for (int i = 0; i < 6; ++i) {
        while (p < end && *p == ' ')
            ++p;
        if (p == end || !is_digit(*p))
            return -1;
        unsigned v = 0;
        int digits = 0;
        while (p < end && is_digit(*p)) {
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || v > 255)
                return -1;
            ++p;
        }
        n[i] = v;
        if (i < 5) {
            if (p == end || *p != ',')
                return -1;
            ++p;
        }
    }
    const uint32_t host = (n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3];
    const int data_port = static_cast<int>((n[4] << 8) | n[5]);
    if (data_port == 0)
        return -1;
    *address = htonl(host);
    *port = data_port;
    return 0;
}

extern "C" int HTFTP_styleOf(const char *text) noexcept
{
    if (text == nullptr)
        return HT_FTP_STYLE_UNIX;
    const char *p = text;
    while (*p == ' ')
        ++p;
    for (const char *q = p; *q != '\0'; ++q)
        if (strncasecmp(q, "pelion", 6) == 0)
            return HT_FTP_STYLE_PELION;
    if (std::strncmp(p, "UNIX", 4) == 0)
        return HT_FTP_STYLE_UNIX;
    if (std::strncmp(p, "VMS", 3) == 0)
        return HT_FTP_STYLE_VMS;
    if (std::strncmp(p, "Windows_NT", 10) == 0)
        return HT_FTP_STYLE_NT;
    return HT_FTP_STYLE_UNIX;
}

extern "C" long long HTFTP_announcedSize(const char *text) noexcept
{
    if (text == nullptr)
        return -1;
    const char *open = std::strrchr(text, '(');
    if (open == nullptr)
        return -1;
    const char *p = open + 1;
    long long n = 0;
    const char *digits = p;
    while (is_digit(*p)) {
        if (n > (0x7fffffffffffffffLL - 9) / 10)
            return -1;
        n = n * 10 + (*p - '0');
        ++p;
    }
    if (p == digits || std::strncmp(p, " bytes)", 7) != 0)
        return -1;
    return n;
}

extern "C" int HTLoadFTP(HTRequest *request, HTThdGlobals *context) noexcept
{
    if (request == nullptr || request->anchor == nullptr)
        return HT_LOAD_FAILED;
    Session s;
    s.request = request;
    s.g = context != nullptr ? context : request->pool;
    HTAnchor *anchor = request->anchor;
    s.url = anchor->physical != nullptr ? anchor->physical : anchor->address != nullptr ? anchor->address : "";
    FTP_TRACE("FTP......... loading %s\n", s.url);

    Target t;
    if (!split_url(s.url, &t, s.g)) {
        HTDetailedError_set(HT_DERR_FTPUNRECHOST, s.g);
        return HTLoadError(request, kStatusBadHost, "FTP Error: the URL names no host\n", s.g);
    }
    // The path after the host's "/" is relative to the login directory; "%2F" makes it absolute.
    char *ftp_path = HTMemPoolStrdup(t.path[0] == '/' ? t.path + 1 : t.path, s.g);
    HTUnEscape(ftp_path);
    const size_t path_length = std::strlen(t.path);
    const bool directory = t.type == 'd' || path_length == 0 || t.path[path_length - 1] == '/';
    if (directory) {
        size_t n = std::strlen(ftp_path);
        // "dir/" is listed by CWD "dir"; the root itself keeps its "/".
        if (n > 1 && ftp_path[n - 1] == '/')
            ftp_path[n - 1] = '\0';
    }

    int rc = connect_control(&s, t);
    if (rc != 0)
        return rc;
    if ((rc = login(&s, t)) != 0)
        return rc;
    const char *url_path = path_length != 0 ? t.path : "/";
    if (directory)
        return list_directory(&s, ftp_path, url_path);
    bool is_directory = false;
    rc = send_file(&s, ftp_path, url_path, t.type, &is_directory);
    if (!is_directory)
        return rc;
    // The CWD is done: list where we are.
    return list_directory(&s, "", url_path);
}

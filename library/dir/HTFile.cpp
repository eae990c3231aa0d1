#include "HTFile.h"

#include "HTAnchor.h"
#include "HTDirBrowse.h"
#include "HTError.h"
#include "HTExcept.h"
#include "HTGlobals.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTOutStream.h"
#include "HTParse.h"
#include "HTRequest.h"
#include "HTSuffix.h"
#include "HTTrace.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>

namespace {

#define FILE_TRACE(...)                                                                                               \
    do {                                                                                                              \
        if (HT_TRACE_ON(HT_TRACE_FILEIO))                                                                             \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

HTThdGlobals *globals(HTThdGlobals *context) { return context ? context : lib_gettp(); }

int error_page(HTRequest *request, int status, int detailed, const char *text, const char *path, HTThdGlobals *g)
{
    HTDetailedError_set(detailed, g);
    return HTLoadError(request, status,
                       HTMemPool_vcat(g, text, " \"", path, "\"", static_cast<char *>(nullptr)), g);
}

// The encoding as a Content-Encoding value: the x- forms of the table are
// the registered names' old aliases.
const char *encoding_value(const HTAtom *encoding)
{
    if (encoding == nullptr)
        return nullptr;
    if (std::strcmp(encoding->name, "x-gzip") == 0)
        return "gzip";
    if (std::strcmp(encoding->name, "x-compress") == 0)
        return "compress";
    return encoding->name;
}

// Sends the open file; the descriptor is the caller's.
int send_file(HTRequest *request, int fd, const char *path, long long size, HTThdGlobals *g)
{
    HTAtom *format = nullptr, *encoding = nullptr;
    HTSuffix_lookup(path, &format, &encoding);
    auto *block = static_cast<char *>(HTMemPoolAlloc(HT_FILE_BLOCK, g));
    HTStream *out = HTOutStream_newRaw(request, nullptr, 200, HTSuffix_contentType(format), size, g);
    if (out == nullptr)
        return HT_LOAD_FAILED;
    HTOutStream_setEncoding(out, encoding_value(encoding));
    long long sent = 0;
    bool whole = true;
    if (request->method != HT_METHOD_HEAD) {
        while (sent < size) {
            const ssize_t r = read(fd, block, HT_FILE_BLOCK);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                FILE_TRACE("HTLoadFile.. read of %s stopped at %lld of %lld bytes (errno %d)\n", path, sent, size,
                           r < 0 ? errno : 0);
                whole = false;
                break;
            }
            if (out->isa->write(out, block, static_cast<int>(r)) < 0) {
                whole = false;
                break;
            }
            sent += r;
        }
    }
    // A file cut short leaves the client waiting for bytes the head
    // promised: the stream ends the connection.
    out->isa->free(out, nullptr);
    return whole ? HT_LOAD_OK : HT_LOAD_RETRY;
}

struct FileJob {
    HTRequest *request;
    int fd;
    const char *path;
    long long size;
    HTThdGlobals *g;
    int result;
};

// The descriptor is the one thing here the pool does not own: a failure
// while it is open closes it on the way out.
void send_guarded(FileJob *job)
{
    FileJob *volatile j = job;
    HTExceptFrame frame;
    HTExcept_push(&frame, j->g);
    if (setjmp(frame.env) != 0) {
        close(j->fd);
        HTExcept__raise();
    }
    j->result = send_file(j->request, j->fd, j->path, j->size, j->g);
    HTExcept_pop(&frame, j->g);
}

} // namespace

extern "C" char *HTFile_localPath(const char *url, HTThdGlobals *pool) noexcept
{
    HTThdGlobals *g = globals(pool);
    if (url == nullptr || strncasecmp(url, "file:", 5) != 0)
        return nullptr;
    const char *p = url + 5;
    if (p[0] == '/' && p[1] == '/') {
        const char *host = p + 2;
        const char *slash = std::strchr(host, '/');
        if (slash == nullptr)
            return nullptr;
        const size_t n = static_cast<size_t>(slash - host);
        if (n != 0 && !(n == 9 && strncasecmp(host, "localhost", 9) == 0))
            return nullptr;
        p = slash;
    }
    if (*p != '/')
        return nullptr;
    char *path = HTMemPoolStrdup_len(p, std::strcspn(p, "?#"), g);
    HTUnEscape(path);
    return path;
}

extern "C" int HTLoadFile(HTRequest *request, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = globals(context);
    if (request == nullptr)
        return HT_LOAD_FAILED;
    const char *url = request->anchor ? HTAnchor_physical(request->anchor) : nullptr;
    if (url == nullptr && request->anchor)
        url = HTAnchor_address(request->anchor);
    if (url == nullptr)
        url = "";
    char *path = HTFile_localPath(url, g);
    FILE_TRACE("HTLoadFile.. %s -> %s\n", url, path ? path : "(not local)");
    if (path == nullptr)
        return error_page(request, 404, HT_DERR_NOTFOUND, "Not a file on this server:", url, g);
    struct stat st;
    if (HTStat(request, path, &st, g) != 0) {
        const int err = errno;
        if (err == EACCES)
            return error_page(request, 403, HT_DERR_OPENFAILED, "Not allowed to read", path, g);
        return error_page(request, 404, HT_DERR_NOTFOUND, "No such file or directory:", path, g);
    }
    if (S_ISDIR(st.st_mode))
        return HTBrowseDirectory(request, path, g);
    if (!S_ISREG(st.st_mode))
        return error_page(request, 403, HT_DERR_OPENFAILED, "Not a regular file:", path, g);
    const int opened = open(path, O_RDONLY | O_CLOEXEC);
    if (opened < 0) {
        const int err = errno;
        return error_page(request, err == ENOENT ? 404 : 403, err == ENOENT ? HT_DERR_NOTFOUND : HT_DERR_OPENFAILED,
                          err == ENOENT ? "No such file or directory:" : "Not allowed to read", path, g);
    }
    // The length sent is the one of the file opened, not of the path's
    // earlier stat: the file may have been replaced in between.
    if (fstat(opened, &st) != 0)
        st.st_size = 0;
    FileJob job{request, opened, path, static_cast<long long>(st.st_size), g, HT_LOAD_FAILED};
    send_guarded(&job);
    close(opened);
    const int r = job.result;
    return r;
}

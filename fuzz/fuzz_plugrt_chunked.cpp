// The chunked request-body decoder of HTTPD_read, through the stand-in host.
// The first byte chooses the buffer size (1 to 256), the second the size of
// the pieces the client connection delivers (1 to 255, or all at once); the
// rest is the body. The reads must always end, never fill more than their
// buffer, and wherever a plain reference decoder accepts the body, give its
// bytes and keep a stored copy that is their exact re-encoding.
#include "orvhost.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The reference: hexadecimal size lines (an extension after ';'), CRLF or
// LF line ends, the last chunk, trailer lines, the empty line. Returns false
// for anything else; *rest is what follows the message.
bool reference(const std::string &in, std::string *data, std::size_t *rest)
{
    std::size_t at = 0;
    auto line_end = [&](std::size_t &p) {
        if (p < in.size() && in[p] == '\r')
            ++p;
        if (p < in.size() && in[p] == '\n')
            return ++p, true;
        return false;
    };
    for (;;) {
        std::size_t digits = 0;
        unsigned long long size = 0;
        while (at < in.size() && std::isxdigit(static_cast<unsigned char>(in[at])) && digits < 8) {
            const char c = in[at++];
            size = size * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                         ? c - '0'
                                                         : (c | 0x20) - 'a' + 10);
            ++digits;
        }
        if (digits == 0 || size > 0x7FFFFFFF)
            return false;
        if (at < in.size() && in[at] == ';')
            while (at < in.size() && in[at] != '\n' && in[at] != '\r')
                ++at;
        if (!line_end(at))
            return false;
        if (size == 0)
            break;
        if (in.size() - at < size)
            return false;
        data->append(in, at, size);
        at += size;
        if (!line_end(at))
            return false;
    }
    for (;;) {
        if (line_end(at))
            break;
        const std::size_t start = at;
        while (at < in.size() && in[at] != '\n' && in[at] != '\r')
            ++at;
        if (at == start || !line_end(at))
            return false;
    }
    *rest = in.size() - at;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t room = 1 + bytes[0];
    const std::size_t piece = bytes[1] == 0 ? SIZE_MAX : bytes[1];
    const std::string body(reinterpret_cast<const char *>(bytes) + 2, size - 2);
    const orvhost::Plugrt *api = orvhost::plugrt();
    if (api == nullptr)
        std::abort();

    orvhost::Request r;
    r.set_body(body, piece, true);
    std::string data, encoded;
    long rc = 0;
    // Each call consumes input or ends; a few more than the body's bytes is plenty.
    for (std::size_t calls = 0; rc != HTTPD_END_OF_BODY && rc != HTTPD_BODY_FAILURE; ++calls) {
        if (calls > body.size() + 4)
            std::abort();
        std::size_t want = room;
        unsigned long length = want;
        std::vector<char> buffer(want);
        api->HTREAD(r.handle(), buffer.data(), &length, &rc);
        if (rc == HTTPD_BUFFER_TOO_SMALL) {
            if (length <= want)
                std::abort();
            if (length > body.size()) // a chunk larger than the input cannot arrive
                break;
            want = length;
            buffer.assign(want, 0);
            api->HTREAD(r.handle(), buffer.data(), &length, &rc);
        }
        if (rc != HTTPD_SUCCESS && rc != HTTPD_END_OF_BODY && rc != HTTPD_BODY_FAILURE)
            std::abort();
        if (length > want || (rc == HTTPD_BODY_FAILURE && length != 0))
            std::abort();
        if (rc != HTTPD_BODY_FAILURE && length != 0) {
            data.append(buffer.data(), length);
            char head[24];
            std::snprintf(head, sizeof head, "%lx\r\n", length);
            encoded += head + std::string(buffer.data(), length) + "\r\n";
        }
    }
    if (rc == HTTPD_BODY_FAILURE && !r.stored_body().empty())
        std::abort(); // a broken body must leave nothing to forward

    std::string expected;
    std::size_t rest = 0;
    if (reference(body, &expected, &rest)) {
        if (rc != HTTPD_END_OF_BODY || data != expected || r.source.left() != rest)
            std::abort();
        if (r.stored_body() != encoded + "0\r\n\r\n")
            std::abort();
    }
    if (!orvhost::Host::get().stub_calls().empty() || !orvhost::Host::get().problems().empty())
        std::abort();
    return 0;
}

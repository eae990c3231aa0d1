// Fuzzes the de-chunking of client bodies. The first byte seeds the sizes of
// the reads the body arrives in; the rest is what the client sends. The
// server must get a head whose Content-Length is the reference de-chunker's
// body length, followed by exactly that body, or, when the reference
// refuses the body, nothing at all; what the client sent behind the body
// stays unread.

#include "HTAnchor.h"
#include "HTInputSocket.h"
#include "HTLoadCodes.h"
#include "HTMethod.h"
#include "HTTPResp.h"
#include "fuzz_context.h"
#include "fuzz_http_pieces.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The body by the de-chunker's rules, and where the client's bytes after it begin.
std::optional<std::string> reference(const std::string &s, size_t &end)
{
    std::string body;
    size_t i = 0;
    for (;;) {
        std::string text;
        char stop = 0;
        while (text.size() < 35 && i < s.size()) {
            const char c = s[i++];
            if (c == '\n' || c == ' ' || c == ';' || c == '\t') {
                stop = c;
                break;
            }
            text += c;
        }
        if (text.size() == 35 || stop == 0)
            return std::nullopt;
        if (stop != '\n') {
            while (i < s.size() && s[i] != '\n')
                ++i;
            if (i == s.size())
                return std::nullopt;
            ++i;
        }
        unsigned long long size = 0;
        int digits = 0;
        for (size_t k = 0; k < text.size(); ++k) {
            if (text[k] == '\r' && k + 1 == text.size())
                break;
            const int h = hex(text[k]);
            if (h < 0)
                return std::nullopt;
            size = size * 16 + static_cast<unsigned>(h);
            ++digits;
            if (size > 0x7FFFFFFFULL)
                return std::nullopt;
        }
        if (digits == 0)
            return std::nullopt;
        if (size == 0) {
            for (;;) {
                size_t k = 0;
                while (i < s.size() && s[i] != '\n')
                    k += s[i++] != '\r';
                if (i == s.size())
                    return std::nullopt;
                ++i;
                if (k == 0)
                    break;
            }
            end = i;
            return body;
        }
        if (s.size() - i < size)
            return std::nullopt;
        body.append(s, i, size);
        i += size;
        while (i < s.size() && s[i] != '\n')
            ++i;
        if (i == s.size())
            return std::nullopt;
        ++i;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    HTThdGlobals *g = fuzz_request();
    PieceStream &client = piece_streams[0];
    PieceStream &server = piece_streams[1];
    client.start(data + 1, size - 1, data[0]);
    server.start(nullptr, 0, 0);
    HTSecure_setBackend(&piece_backend);

    HTRequest request{};
    request.pool = g;
    request.method = HT_METHOD_POST;
    request.transfer_coding = "chunked";
    request.client_input = HTInputSocket_new(&client.socket, &request);
    g->server_socket = &server.socket;
    char url[] = "http://origin.example/form";
    char scan[] = "http://origin.example/form";
    HTParseParts parts{};
    HTParse_scan(scan, &parts, std::strlen(scan));
    sockaddr_in address{};
    const int r = HTForwardUnchunked(&request, url, &parts, 504, &address, "origin.example", g);

    const std::string sent = client.bytes ? std::string(reinterpret_cast<const char *>(client.bytes), client.size)
                                          : std::string();
    size_t end = 0;
    const std::optional<std::string> want = reference(sent, end);
    if (want) {
        if (r < 0)
            std::abort();
        const size_t at = server.written.find("\r\n\r\n");
        if (at == std::string::npos)
            std::abort();
        const std::string head = server.written.substr(0, at + 4);
        const std::string body = server.written.substr(at + 4);
        const std::string length = "\r\nContent-Length: " + std::to_string(want->size()) + "\r\n";
        if (body != *want)
            std::abort();
        if (!want->empty() && head.find(length) == std::string::npos)
            std::abort();
        // What follows the body stays for the next request.
        int buffered = 0;
        HTInputSocket_getInputPointer(request.client_input, &buffered);
        if (end != client.at - static_cast<size_t>(buffered))
            std::abort();
    } else if (r >= 0 || !server.written.empty()) {
        std::abort();
    }
    g->server_socket = nullptr;
    HTSecure_setBackend(nullptr);
    fuzz_context_reset(g);
    return 0;
}

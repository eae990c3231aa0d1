// Fuzzes the line readers of the buffered input socket. The first byte picks
// the reader (bit 0: unfolding) and the second the length limit; the third
// seeds the sizes of the reads the bytes arrive in; the rest is the stream.
// For a stream without zero bytes the lines must equal those of a plain
// reference splitter whatever the read sizes; no line may exceed the limit,
// and the read position and the end of the data never leave the buffer.

#include "HTInputSocket.h"
#include "HTSecure.h"
#include "HTSocket.h"
#include "fuzz_context.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// The reads: the socket's "secure" backend hands out the stream in pieces.
const uint8_t *stream;
size_t stream_size, stream_at;
uint32_t seed;

int next_size()
{
    seed = seed * 1103515245u + 12345u;
    const uint32_t r = seed >> 16;
    return (r & 7) == 0 ? static_cast<int>(r % 1024) + 1 : static_cast<int>(r % 16) + 1;
}

int piece_read(HTSocket *, void *buffer, int length, HTRequest *)
{
    const size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(next_size()), stream_size - stream_at});
    std::memcpy(buffer, stream + stream_at, n);
    stream_at += n;
    return static_cast<int>(n);
}

const HTSecureBackend pieces = {nullptr, piece_read, nullptr, nullptr};

// The lines of the stream by the readers' rules, byte by byte.
std::optional<std::string> reference(const std::string &s, size_t &i, size_t cap, bool unfold)
{
    std::string piece;
    bool have = false, cont = false;
    for (;;) {
        if (i == s.size())
            return have ? std::optional<std::string>(piece) : std::nullopt;
        const char c = s[i];
        if (cont) {
            if (c != ' ' && c != '\t')
                return piece;
            cont = false;
        }
        if (c == '\n') {
            ++i;
            if (!piece.empty() && piece.back() == '\r')
                piece.pop_back();
            have = true;
            if (!unfold || piece.empty())
                return piece;
            cont = true;
            continue;
        }
        if (piece.size() == cap) {
            if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
                i += 2;
                if (!unfold)
                    return piece;
                cont = true;
                continue;
            }
            return piece;
        }
        piece += c;
        have = true;
        ++i;
    }
}

void check_pointers(const HTInputSocket *in)
{
    const char *b = in->buffer;
    if (in->input_pointer < b || in->input_pointer > in->input_limit || in->input_limit > b + HT_INPUT_BUFFER_SIZE ||
        *in->input_limit != '\0')
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static HTThdGlobals *ctx = fuzz_context();
    if (size < 3 || size > 65536)
        return 0;
    const bool unfold = data[0] & 1;
    const unsigned limit = data[1];
    seed = data[2];
    stream = data + 3;
    stream_size = size - 3;
    stream_at = 0;
    HTSecure_setBackend(&pieces);

    HTRequest request{};
    request.pool = ctx;
    HTSocket s{};
    s.socket = -1;
    s.secure = 1;
    HTInputSocket *in = HTInputSocket_new(&s, &request);
    std::vector<std::string> got;
    for (;;) {
        char *line = unfold ? HTInputSocket_getUnfoldedLineEx(in, limit, &request)
                            : HTInputSocket_getLineEx(in, limit, &request);
        check_pointers(in);
        if (line == nullptr)
            break;
        got.emplace_back(line);
        if (limit > 1 && got.back().size() > limit)
            std::abort();
        if (got.size() > stream_size + 1)
            std::abort(); // every line but the last consumes at least one byte
    }
    const std::string text(reinterpret_cast<const char *>(stream), stream_size);
    if (text.find('\0') == std::string::npos) {
        std::vector<std::string> want;
        size_t i = 0;
        while (auto l = reference(text, i, limit > 1 ? limit : SIZE_MAX, unfold))
            want.push_back(*l);
        if (got != want)
            std::abort();
    }
    HTSecure_setBackend(nullptr);
    fuzz_context_reset(ctx);
    return 0;
}

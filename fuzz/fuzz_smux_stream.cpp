// The agent's byte stream as the daemon cuts it into SMUX messages, with the
// answers built from a request's bytes, and the peers file. The first input
// byte chooses how the stream is split into reads.
#include "smux_stream.h"
#include "smuxbridge_peers.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0];
    ++data;
    --size;

    SmuxStream stream;
    std::vector<unsigned char> msg, out;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        stream.feed(data + at, n);
        int got;
        while ((got = stream.next(msg)) == 1) {
            // A framed message is exactly as long as its header says.
            if (smux_frame_length(msg.data(), msg.size()) != static_cast<long>(msg.size()))
                std::abort();
            if (smux_raw_response(msg.data(), msg.size(), 5, 1, out) &&
                smux_frame_length(out.data(), out.size()) != static_cast<long>(out.size()))
                std::abort();
        }
        if (got < 0)
            break;
    }

    if (std::FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r")) {
        char oid[64] = "", pw[32] = "";
        bool set = false;
        int lines = 0;
        read_peers_file(f, "smuxbridge", {oid, sizeof oid, &set, pw, sizeof pw}, &lines);
        std::fclose(f);
    }
    return 0;
}

// Fuzzes the host's request-head parser: the input is split into lines at
// line feeds (a carriage return before one is dropped, as the input socket
// does); the first is the request line, the others header lines until one
// is refused. Each line sits in a heap block of exactly its size, so that a
// read past its end is caught. What the head says stays within its ranges,
// and an accepted head never announces a length and a chunked body at once.

#include "hostclient.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char *> lines;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != '\n')
            continue;
        size_t end = i;
        if (end > start && data[end - 1] == '\r')
            --end;
        char *line = static_cast<char *>(std::malloc(end - start + 1));
        std::memcpy(line, data + start, end - start);
        line[end - start] = '\0';
        lines.push_back(line);
        start = i + 1;
    }
    HostRequestHead head;
    if (hostclient_parseRequestLine(lines[0], &head) == 0) {
        for (size_t i = 1; i < lines.size() && lines[i][0] != '\0'; ++i) {
            // Every line is also tried as the option list of a Connection line.
            if (hostclient_namedByConnection(lines[i], lines[i - 1]) > 1)
                std::abort();
            if (hostclient_parseHeaderLine(lines[i], &head) != 0)
                break;
            // An accepted head never has both framings.
            if (head.chunked && head.content_length >= 0)
                std::abort();
        }
        if (head.keep_alive != 0 && head.keep_alive != 1)
            std::abort();
        if (head.http11 != 0 && head.http11 != 1)
            std::abort();
        if (head.content_length < -1 || head.chunked < 0 || head.chunked > 1)
            std::abort();
    }
    for (char *l : lines)
        std::free(l);
    return 0;
}

/*
 * smux_stream: SMUX messages on the agent's TCP stream.
 *
 * TCP keeps no message boundaries, and the agent does put a request in the
 * same segment as an SOutPDU or RRspPDU, so the daemon cuts the stream into
 * messages by their BER headers and keeps what follows for the next message.
 * When a request cannot be decoded, or its answer does not fit the encoder,
 * the agent still needs exactly one GetResponse with its request id: that
 * answer is built here straight from the request's bytes.
 */
#ifndef SMUX_STREAM_H
#define SMUX_STREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* Largest message the daemon takes from the agent. */
constexpr std::size_t SMUX_MESSAGE_MAX = 65536;

/* Whole length (header included) of the message that starts at p[0..n):
 * > 0 when its header is complete, 0 when more bytes are needed, -1 when the
 * header is malformed (multi-byte tag, indefinite or over-long length) or the
 * message is longer than SMUX_MESSAGE_MAX. */
long smux_frame_length(const unsigned char *p, std::size_t n);

/* Bytes received from the agent and not yet taken as messages. */
class SmuxStream {
public:
    /* Appends received bytes. */
    void feed(const unsigned char *p, std::size_t n);
    /* Takes the next whole message into `msg`: 1 taken, 0 none complete yet,
     * -1 the stream cannot be framed (the connection must go). */
    int next(std::vector<unsigned char> &msg);
    std::size_t pending() const { return buf_.size() - start_; }
    void clear();

private:
    std::vector<unsigned char> buf_;
    std::size_t start_ = 0;
};

/* True when msg[0..n) is a Get, GetNext or Set whose request id can be read. */
bool smux_request_readable(const unsigned char *msg, std::size_t n);

/* A GetResponse to the request message msg[0..n) (Get, GetNext or Set) with
 * its request id, the given error status and index, and the request's own
 * variable bindings copied as they are (an empty list when they cannot be
 * delimited). False, with `out` empty, when the request id cannot be read. */
bool smux_raw_response(const unsigned char *msg, std::size_t n, int status, int index,
                       std::vector<unsigned char> &out);

#endif

#include "smux_stream.h"

#include "smux_codec.h"

namespace {

// One BER header at p[0..n): tag, content length and header length. False
// when incomplete or malformed (*bad set for malformed).
bool header(const unsigned char *p, std::size_t n, unsigned *tag, std::size_t *len,
            std::size_t *hlen, bool *bad)
{
    *bad = false;
    if (n < 2)
        return false;
    if ((p[0] & 0x1F) == 0x1F) {
        *bad = true;
        return false;
    }
    *tag = p[0];
    const unsigned char first = p[1];
    if (first < 0x80) {
        *len = first;
        *hlen = 2;
        return true;
    }
    const std::size_t k = first & 0x7F;
    if (k == 0 || k > 4) {
        *bad = true;
        return false;
    }
    if (n < 2 + k)
        return false;
    std::size_t v = 0;
    for (std::size_t i = 0; i < k; ++i)
        v = (v << 8) | p[2 + i];
    *len = v;
    *hlen = 2 + k;
    return true;
}

// A TLV fully inside p[0..n): its whole length, or 0.
std::size_t tlv(const unsigned char *p, std::size_t n, unsigned *tag)
{
    std::size_t len, hlen;
    bool bad;
    if (!header(p, n, tag, &len, &hlen, &bad) || len > n - hlen)
        return 0;
    return hlen + len;
}

void put_length(std::vector<unsigned char> &out, std::size_t len)
{
    if (len < 0x80) {
        out.push_back(static_cast<unsigned char>(len));
        return;
    }
    int k = 0;
    for (std::size_t v = len; v; v >>= 8)
        ++k;
    out.push_back(static_cast<unsigned char>(0x80 | k));
    for (int i = k - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(len >> (8 * i)));
}

void put_integer(std::vector<unsigned char> &out, int32_t v)
{
    const uint32_t x = static_cast<uint32_t>(v < 0 ? ~v : v);
    const int bytes = x >= (1u << 23) ? 4 : x >= (1u << 15) ? 3 : x >= 128 ? 2 : 1;
    out.push_back(SNMP_TAG_INTEGER);
    out.push_back(static_cast<unsigned char>(bytes));
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(static_cast<uint32_t>(v) >> (8 * i)));
}

// The request's content and its request-id TLV; false when unreadable.
bool request_parts(const unsigned char *msg, std::size_t n, const unsigned char **content,
                   std::size_t *clen, std::size_t *idlen)
{
    unsigned tag;
    std::size_t len, hlen;
    bool bad;
    if (!header(msg, n, &tag, &len, &hlen, &bad) || len > n - hlen)
        return false;
    if (tag != SNMP_GET && tag != SNMP_GETNEXT && tag != SNMP_SET)
        return false;
    *content = msg + hlen;
    *clen = len;
    unsigned t;
    const std::size_t id = tlv(*content, *clen, &t);
    if (id == 0 || t != SNMP_TAG_INTEGER || id < 3 || id > 7)
        return false;
    *idlen = id;
    return true;
}

} // namespace

long smux_frame_length(const unsigned char *p, std::size_t n)
{
    unsigned tag;
    std::size_t len, hlen;
    bool bad;
    if (!header(p, n, &tag, &len, &hlen, &bad))
        return bad ? -1 : 0;
    if (len > SMUX_MESSAGE_MAX - hlen)
        return -1;
    return static_cast<long>(hlen + len);
}

void SmuxStream::feed(const unsigned char *p, std::size_t n)
{
    if (start_ > 0 && start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
    buf_.insert(buf_.end(), p, p + n);
}

int SmuxStream::next(std::vector<unsigned char> &msg)
{
    const std::size_t have = buf_.size() - start_;
    const long len = smux_frame_length(buf_.data() + start_, have);
    if (len < 0)
        return -1;
    if (len == 0 || static_cast<std::size_t>(len) > have)
        return 0;
    msg.assign(buf_.begin() + static_cast<long>(start_),
               buf_.begin() + static_cast<long>(start_) + len);
    start_ += static_cast<std::size_t>(len);
    if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    } else if (start_ > SMUX_MESSAGE_MAX) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(start_));
        start_ = 0;
    }
    return 1;
}

void SmuxStream::clear()
{
    buf_.clear();
    start_ = 0;
}

bool smux_request_readable(const unsigned char *msg, std::size_t n)
{
    const unsigned char *content;
    std::size_t clen, idlen;
    return request_parts(msg, n, &content, &clen, &idlen);
}

bool smux_raw_response(const unsigned char *msg, std::size_t n, int status, int index,
                       std::vector<unsigned char> &out)
{
    out.clear();
    const unsigned char *content;
    std::size_t clen, idlen;
    if (!request_parts(msg, n, &content, &clen, &idlen))
        return false;
    // The bindings follow error status and error index.
    const unsigned char *p = content + idlen;
    std::size_t left = clen - idlen;
    const unsigned char *binds = nullptr;
    std::size_t blen = 0;
    unsigned t1 = 0, t2 = 0, t3 = 0;
    const std::size_t s = tlv(p, left, &t1);
    const std::size_t i = s ? tlv(p + s, left - s, &t2) : 0;
    const std::size_t b = i ? tlv(p + s + i, left - s - i, &t3) : 0;
    if (s && i && b && t1 == SNMP_TAG_INTEGER && t2 == SNMP_TAG_INTEGER && t3 == SNMP_TAG_SEQUENCE) {
        binds = p + s + i;
        blen = b;
    }
    std::vector<unsigned char> body(content, content + idlen);
    put_integer(body, status);
    put_integer(body, index);
    if (binds)
        body.insert(body.end(), binds, binds + blen);
    else {
        body.push_back(SNMP_TAG_SEQUENCE);
        body.push_back(0);
    }
    out.push_back(SNMP_RESPONSE);
    put_length(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return true;
}

// example_subagent: a small SNMP DPI 2.0 subagent. It finds the relay's DPI
// port by asking the SNMP agent for the port object, connects, registers one
// subtree and serves a table with a value of every type the relay carries.
// Setting the "trap" object sends a trap.
//
//   example_subagent [-h host] [-c community] [-s subtree]
//
// The agent is asked on UDP port SNMP_PORT (default 161) of `host` (default
// 127.0.0.1) with `community` (default public). Objects, under the subtree
// (default 1.3.6.1.4.1.59981.9.1):
//   1.0 Integer32 (writable)      8.0 TimeTicks (writable)
//   2.0 OCTET STRING (writable)   9.0 Counter64 (relayed as nothing)
//   3.0 DisplayString (writable) 10.0 Integer32, read-only
//   4.0 OBJECT IDENTIFIER         11.0 Integer32 from 0 to 100
//   5.0 IpAddress (writable)      12.0 Integer32 whose commit always fails
//   6.0 Counter32                 13.0 Integer32: setting n sends trap 6/n
//   7.0 Gauge32 (writable)
#include "dpi_connect.h"
#include "snmp_dpi.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Instance = std::vector<uint32_t>;

struct Object {
    int type;
    std::vector<unsigned char> value;
    enum Access { kReadWrite, kReadOnly, kRanged, kCommitFails, kTrap, kConstant } access;
};

std::string subtree = "1.3.6.1.4.1.59981.9.1";
std::string group; // subtree + "."
// The objects in ascending order of instance.
struct Entry {
    Instance at;
    Object object;
};
std::vector<Entry> table;

bool instance_less(const Instance &a, const Instance &b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i])
            return a[i] < b[i];
    return a.size() < b.size();
}

Object *find(const Instance &at)
{
    for (Entry &e : table)
        if (!instance_less(e.at, at) && !instance_less(at, e.at))
            return &e.object;
    return nullptr;
}

// The first object after `at`, or none.
Entry *after(const Instance &at)
{
    for (Entry &e : table)
        if (instance_less(at, e.at))
            return &e;
    return nullptr;
}
int handle = -1;

// The pending SET, applied by its COMMIT.
bool pending = false;
Instance pending_at;
Object pending_value;

std::vector<unsigned char> u32(uint32_t v)
{
    std::vector<unsigned char> b(4);
    std::memcpy(b.data(), &v, 4); // host order: the codec writes wire order
    return b;
}

std::vector<unsigned char> text(const char *s)
{
    return std::vector<unsigned char>(s, s + std::strlen(s));
}

void fill_table()
{
    const unsigned char bytes[] = {0x00, 0x01, 0xFE, 0xFF};
    const unsigned char addr[] = {192, 0, 2, 1};
    const uint32_t c64[] = {1, 2};
    std::vector<unsigned char> big(8);
    std::memcpy(big.data(), c64, 8);
    table.push_back({{1, 0}, {DPI_TYPE_INTEGER32, u32(42), Object::kReadWrite}});
    table.push_back({{2, 0}, {DPI_TYPE_OCTET_STRING, {bytes, bytes + 4}, Object::kReadWrite}});
    table.push_back({{3, 0}, {DPI_TYPE_DISPLAY_STRING, text("orvane example subagent"), Object::kReadWrite}});
    table.push_back({{4, 0}, {DPI_TYPE_OBJECT_ID, text("1.3.6.1.4.1.59981.9"), Object::kConstant}});
    table.push_back({{5, 0}, {DPI_TYPE_IPADDRESS_OLD, {addr, addr + 4}, Object::kReadWrite}});
    table.push_back({{6, 0}, {DPI_TYPE_COUNTER32, u32(4000000000u), Object::kConstant}});
    table.push_back({{7, 0}, {DPI_TYPE_GAUGE32, u32(77), Object::kReadWrite}});
    table.push_back({{8, 0}, {DPI_TYPE_TIMETICKS, u32(8640000), Object::kReadWrite}});
    table.push_back({{9, 0}, {DPI_TYPE_COUNTER64, big, Object::kConstant}});
    table.push_back({{10, 0}, {DPI_TYPE_INTEGER32, u32(7), Object::kReadOnly}});
    table.push_back({{11, 0}, {DPI_TYPE_INTEGER32, u32(50), Object::kRanged}});
    table.push_back({{12, 0}, {DPI_TYPE_INTEGER32, u32(0), Object::kCommitFails}});
    table.push_back({{13, 0}, {DPI_TYPE_INTEGER32, u32(0), Object::kTrap}});
}

// Instance text to numbers; false when it is not dotted decimal.
bool parse_instance(const char *s, Instance *out)
{
    out->clear();
    if (!s || !*s)
        return true;
    while (*s) {
        char *end;
        const unsigned long v = std::strtoul(s, &end, 10);
        if (end == s)
            return false;
        out->push_back(static_cast<uint32_t>(v));
        s = end;
        if (*s == '.')
            ++s;
    }
    return true;
}

std::string instance_text(const Instance &in)
{
    std::string s;
    for (size_t i = 0; i < in.size(); ++i) {
        if (i)
            s.push_back('.');
        s.append(std::to_string(in[i]));
    }
    return s;
}

dpi_binding *binding(const Instance &at, const Object &o)
{
    return mkDPIset_packet(nullptr, group.c_str(), instance_text(at).c_str(), o.type,
                           static_cast<uint32_t>(o.value.size()), o.value.data());
}

bool send(const unsigned char *packet)
{
    return packet && DPIsend_packet_to_agent(handle, packet, DPI_PACKET_LEN(packet)) == 0;
}

bool respond(const dpi_packet *req, int code, int index, dpi_binding *b)
{
    return send(mkDPIresp(req, code, index, b));
}

bool types_match(int want, int got)
{
    const bool want_string = want == DPI_TYPE_OCTET_STRING || want == DPI_TYPE_DISPLAY_STRING;
    const bool got_string = got == DPI_TYPE_OCTET_STRING || got == DPI_TYPE_DISPLAY_STRING;
    return want == got || (want_string && got_string);
}

// DPI error codes of the answers.
enum { kNoError = 0, kNoSuchName = 2, kReadOnly = 4, kWrongType = 7, kWrongValue = 10,
       kNoCreation = 11, kCommitFailed = 14, kNotWritable = 17 };

bool serve_set(const dpi_packet *req)
{
    const dpi_binding *b = req->data.set;
    Instance at;
    if (!b || !parse_instance(b->instance, &at))
        return respond(req, kNoCreation, 1, nullptr);
    const Object *found = find(at);
    if (!found)
        return respond(req, kNoCreation, 1, nullptr);
    const Object &o = *found;
    int code = kNoError;
    if (o.access == Object::kConstant)
        code = kNotWritable;
    else if (o.access == Object::kReadOnly)
        code = kReadOnly;
    else if (!types_match(o.type, b->value_type))
        code = kWrongType;
    else if (o.access == Object::kRanged) {
        uint32_t v = 0;
        std::memcpy(&v, b->value, 4);
        if (static_cast<int32_t>(v) < 0 || static_cast<int32_t>(v) > 100)
            code = kWrongValue;
    }
    if (code != kNoError)
        return respond(req, code, 1, nullptr);
    pending = true;
    pending_at = at;
    pending_value = o;
    pending_value.value.assign(b->value, b->value + b->value_len);
    return respond(req, kNoError, 0, binding(at, pending_value));
}

bool serve_commit(const dpi_packet *req)
{
    if (!pending)
        return respond(req, kNoError, 0, nullptr);
    pending = false;
    Object &o = *find(pending_at);
    if (o.access == Object::kCommitFails)
        return respond(req, kCommitFailed, 1, nullptr);
    o.value = pending_value.value;
    if (o.access == Object::kTrap) {
        // The trap goes out before the answer: the relay forwards traps that
        // arrive while it waits.
        uint32_t n = 0;
        std::memcpy(&n, o.value.data(), 4);
        dpi_binding *bs = binding({1, 0}, *find({1, 0}));
        dpi_binding *more = binding({3, 0}, *find({3, 0}));
        if (bs && more)
            bs->next = more;
        std::printf("sending trap 6/%u\n", n);
        if (!send(mkDPItrape(6, static_cast<int32_t>(n), bs, subtree.c_str())))
            std::printf("could not send the trap\n");
    }
    return respond(req, kNoError, 0, binding(pending_at, o));
}

bool serve(const dpi_packet *req)
{
    switch (req->type) {
    case DPI_PACKET_GET: {
        Instance at;
        const dpi_get_item *g = req->data.get;
        const Object *o = g && parse_instance(g->instance, &at) ? find(at) : nullptr;
        if (!o)
            return respond(req, kNoSuchName, 1, nullptr);
        return respond(req, kNoError, 0, binding(at, *o));
    }
    case DPI_PACKET_GETNEXT: {
        Instance at;
        const dpi_get_item *g = req->data.get;
        if (!g || !parse_instance(g->instance, &at))
            return respond(req, kNoSuchName, 1, nullptr);
        const Entry *e = after(at);
        if (!e)
            return respond(req, kNoSuchName, 1, nullptr);
        return respond(req, kNoError, 0, binding(e->at, e->object));
    }
    case DPI_PACKET_SET:
        return serve_set(req);
    case DPI_PACKET_COMMIT:
        return serve_commit(req);
    case DPI_PACKET_UNDO:
        pending = false;
        return respond(req, kNoError, 0, nullptr);
    case DPI_PACKET_ARE_YOU_THERE:
        return respond(req, kNoError, 0, nullptr);
    case DPI_PACKET_CLOSE:
        std::printf("closed by the relay\n");
        std::exit(0);
    default:
        return true;
    }
}

// Reads packets, serving requests, until a RESPONSE arrives (wait_response)
// or for ever. The RESPONSE's error code, or -1 when the connection ended.
int run(bool wait_response)
{
    for (;;) {
        unsigned char *packet = nullptr;
        uint32_t len = 0;
        const int rc = DPIawait_packet_from_agent(handle, -1, &packet, &len);
        if (rc == DPI_RC_EOF || rc == DPI_RC_IO_ERROR || rc == DPI_RC_INVALID_HANDLE)
            return -1;
        if (rc != 0)
            continue;
        dpi_packet *p = pDPIpacket_n(packet, len + 2);
        if (!p)
            continue;
        if (p->type == DPI_PACKET_RESPONSE) {
            const int code = p->data.resp ? p->data.resp->error_code : -1;
            fDPIparse(p);
            if (wait_response)
                return code;
            continue;
        }
        const bool ok = serve(p);
        fDPIparse(p);
        if (!ok)
            std::printf("could not answer a request\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *host = "127.0.0.1";
    const char *community = "public";
    int opt;
    while ((opt = getopt(argc, argv, "h:c:s:")) != -1) {
        switch (opt) {
        case 'h': host = optarg; break;
        case 'c': community = optarg; break;
        case 's': subtree = optarg; break;
        default:
            std::fprintf(stderr, "usage: %s [-h host] [-c community] [-s subtree]\n", argv[0]);
            return 2;
        }
    }
    if (!subtree.empty() && subtree.back() == '.')
        subtree.pop_back();
    group = subtree + ".";
    fill_table();

    handle = DPIconnect_to_agent_TCP(host, community);
    if (handle < 0) {
        std::printf("cannot reach the relay's DPI port through the agent at %s (%d)\n", host, handle);
        return 1;
    }
    if (!send(mkDPIopen("1.3.6.1.4.1.59981.9", "orvane example subagent", 8, 1, 0, 0, nullptr)) ||
        run(true) != 0) {
        std::printf("open refused\n");
        return 1;
    }
    if (!send(mkDPIreg(8, -1, group.c_str(), 0, 0))) {
        std::printf("cannot register %s\n", subtree.c_str());
        return 1;
    }
    const int code = run(true);
    std::printf("registered %s: error code %d\n", subtree.c_str(), code);
    if (code < 0)
        return 1;
    run(false);
    std::printf("connection to the relay ended\n");
    return 0;
}

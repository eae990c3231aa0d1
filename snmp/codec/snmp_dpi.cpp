#include "snmp_dpi.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint32_t varBind_count = 0;

namespace {

using Byte = unsigned char;

char *dup_text(const char *s, size_t n)
{
    auto *t = static_cast<char *>(std::malloc(n + 1));
    if (t) {
        std::memcpy(t, s, n);
        t[n] = '\0';
    }
    return t;
}

char *dup_text(const char *s)
{
    return dup_text(s, std::strlen(s));
}

template <class T> T *new_record()
{
    return static_cast<T *>(std::calloc(1, sizeof(T)));
}

template <class T> void append(T *&head, T *item)
{
    T **at = &head;
    while (*at)
        at = &(*at)->next;
    *at = item;
}

bool is_table_type(int type)
{
    switch (type) {
    case DPI_TYPE_OCTET_STRING: case DPI_TYPE_OBJECT_ID: case DPI_TYPE_NULL:
    case DPI_TYPE_IPADDRESS_OLD: case DPI_TYPE_DISPLAY_STRING: case DPI_TYPE_BIT_STRING:
    case DPI_TYPE_NSAP_ADDRESS: case DPI_TYPE_COUNTER64: case DPI_TYPE_OPAQUE:
    case DPI_TYPE_NO_SUCH_OBJECT: case DPI_TYPE_NO_SUCH_INSTANCE: case DPI_TYPE_END_OF_MIB_VIEW:
    case DPI_TYPE_INTEGER32: case DPI_TYPE_IPADDRESS: case DPI_TYPE_COUNTER32:
    case DPI_TYPE_GAUGE32: case DPI_TYPE_TIMETICKS: case DPI_TYPE_UINTEGER32:
        return true;
    default:
        return false;
    }
}

// The length rule of a value type; unknown types without bit 128 have none.
bool length_fits_type(int type, uint32_t len)
{
    if (type & 0x80)
        return len == 4;
    switch (type) {
    case DPI_TYPE_COUNTER64: return len == 8;
    case DPI_TYPE_IPADDRESS_OLD: return len == 4;
    case DPI_TYPE_NULL:
    case DPI_TYPE_NO_SUCH_OBJECT:
    case DPI_TYPE_NO_SUCH_INSTANCE:
    case DPI_TYPE_END_OF_MIB_VIEW: return len <= 4;
    case DPI_TYPE_NSAP_ADDRESS: return len == 1 || (len >= 4 && len <= 21);
    default: return true;
    }
}

bool may_be_empty(int type)
{
    switch (type) {
    case DPI_TYPE_OCTET_STRING: case DPI_TYPE_NULL: case DPI_TYPE_DISPLAY_STRING:
    case DPI_TYPE_BIT_STRING: case DPI_TYPE_OPAQUE: case DPI_TYPE_NO_SUCH_OBJECT:
    case DPI_TYPE_NO_SUCH_INSTANCE: case DPI_TYPE_END_OF_MIB_VIEW:
        return true;
    default:
        return false;
    }
}

bool is_number_type(int type)
{
    return (type & 0x80) && type != DPI_TYPE_IPADDRESS;
}

// Object id joined from group and instance, one trailing "." removed.
char *join_object_id(const char *group, const char *instance)
{
    const size_t g = std::strlen(group), i = std::strlen(instance);
    char *t = static_cast<char *>(std::malloc(g + i + 1));
    if (!t)
        return nullptr;
    std::memcpy(t, group, g);
    std::memcpy(t + g, instance, i + 1);
    if (g + i > 0 && t[g + i - 1] == '.')
        t[g + i - 1] = '\0';
    return t;
}

void free_binding(dpi_binding *b)
{
    std::free(b->object_id);
    std::free(b->group);
    std::free(b->instance);
    std::free(b->value);
    std::free(b);
}

// ---------------------------------------------------------------------------
// Parsing: a cursor over the packet body that checks the bytes left before
// every read.

struct Cursor {
    const Byte *p;
    const Byte *end;

    size_t left() const { return static_cast<size_t>(end - p); }
    bool u8(uint8_t &v)
    {
        if (left() < 1)
            return false;
        v = *p++;
        return true;
    }
    bool u16(uint16_t &v)
    {
        if (left() < 2)
            return false;
        v = static_cast<uint16_t>((p[0] << 8) | p[1]);
        p += 2;
        return true;
    }
    bool u32(uint32_t &v)
    {
        if (left() < 4)
            return false;
        v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        p += 4;
        return true;
    }
    bool i32(int32_t &v)
    {
        uint32_t u;
        if (!u32(u))
            return false;
        v = static_cast<int32_t>(u);
        return true;
    }
    // A zero-terminated string, copied; fails when no terminator is left.
    bool text(char *&out)
    {
        const void *z = std::memchr(p, 0, left());
        if (!z)
            return false;
        const size_t n = static_cast<size_t>(static_cast<const Byte *>(z) - p);
        out = dup_text(reinterpret_cast<const char *>(p), n);
        if (!out)
            return false;
        p += n + 1;
        return true;
    }
    bool bytes(uint32_t n, Byte *&out)
    {
        out = nullptr;
        if (left() < n)
            return false;
        if (n == 0)
            return true;
        out = static_cast<Byte *>(std::malloc(n));
        if (!out)
            return false;
        std::memcpy(out, p, n);
        p += n;
        return true;
    }
};

// The value of a binding: numbers to host order, the rest as it is.
bool parse_value(Cursor &c, dpi_binding *b)
{
    uint8_t type;
    uint16_t len;
    if (!c.u8(type) || !c.u16(len) || len > c.left())
        return false;
    if (!length_fits_type(type, len))
        return false;
    b->value_type = type;
    b->value_len = len;
    if (is_number_type(type) || type == DPI_TYPE_COUNTER64) {
        uint32_t words[2] = {0, 0};
        for (uint32_t i = 0; i < len / 4u; ++i)
            c.u32(words[i]);
        b->value = static_cast<Byte *>(std::malloc(len));
        if (!b->value)
            return false;
        std::memcpy(b->value, words, len);
        return true;
    }
    return c.bytes(len, b->value);
}

// Version 2: group, instance; version 1: one object string.
bool parse_names(Cursor &c, int version, char *&object_id, char *&group, char *&instance)
{
    if (!c.text(group))
        return false;
    if (version == 2) {
        if (!c.text(instance))
            return false;
    } else if (!(instance = dup_text(""))) {
        return false;
    }
    if (group[0] == '\0')
        return false;
    object_id = join_object_id(group, instance);
    return object_id != nullptr;
}

bool parse_bindings(Cursor &c, int version, dpi_binding *&list)
{
    while (c.left() > 0) {
        auto *b = new_record<dpi_binding>();
        if (!b)
            return false;
        append(list, b);
        if (!parse_names(c, version, b->object_id, b->group, b->instance) || !parse_value(c, b))
            return false;
    }
    return true;
}

bool parse_get(Cursor &c, int version, int type, dpi_get_item *&list)
{
    if (version == 1 && type == DPI_PACKET_GETNEXT) {
        // One object, optionally followed by the part after it.
        auto *g = new_record<dpi_get_item>();
        if (!g)
            return false;
        list = g;
        if (!c.text(g->group) || g->group[0] == '\0')
            return false;
        if (c.left() > 0) {
            if (!c.text(g->instance))
                return false;
        } else if (!(g->instance = dup_text(""))) {
            return false;
        }
        g->object_id = join_object_id(g->group, g->instance);
        return g->object_id && c.left() == 0;
    }
    while (c.left() > 0) {
        auto *g = new_record<dpi_get_item>();
        if (!g)
            return false;
        append(list, g);
        if (!parse_names(c, version, g->object_id, g->group, g->instance))
            return false;
    }
    return list != nullptr;
}

bool parse_trap(Cursor &c, int version, int release, dpi_trap_body *t)
{
    if (version == 1 && release == 0) {
        uint8_t g, s;
        if (!c.u8(g) || !c.u8(s))
            return false;
        t->generic = g;
        t->specific = s;
    } else {
        char *enterprise = nullptr;
        if (!c.i32(t->generic) || !c.i32(t->specific) || !c.text(enterprise))
            return false;
        if (enterprise[0] == '\0')
            std::free(enterprise);
        else
            t->enterprise = enterprise;
    }
    return parse_bindings(c, version, t->bindings);
}

bool parse_response(Cursor &c, int version, dpi_response_body *r)
{
    if (!c.u8(r->error_code))
        return false;
    if (version == 2) {
        if (!c.i32(r->error_index))
            return false;
    } else {
        r->error_index = r->error_code ? 1 : 0;
    }
    return parse_bindings(c, version, r->bindings);
}

bool parse_register(Cursor &c, int version, dpi_register_item *&list)
{
    while (c.left() > 0) {
        auto *r = new_record<dpi_register_item>();
        if (!r)
            return false;
        append(list, r);
        if (version == 2 && (!c.i32(r->priority) || !c.u16(r->timeout) ||
                             !c.u8(r->view_selection) || !c.u8(r->bulk_selection)))
            return false;
        if (!c.text(r->subtree))
            return false;
    }
    return list != nullptr;
}

bool parse_unregister(Cursor &c, dpi_unregister_item *&list)
{
    while (c.left() > 0) {
        auto *u = new_record<dpi_unregister_item>();
        if (!u)
            return false;
        append(list, u);
        if (!c.u8(u->reason) || !c.text(u->subtree))
            return false;
    }
    return list != nullptr;
}

bool parse_open(Cursor &c, dpi_open_body *o)
{
    if (!c.u16(o->timeout) || !c.u16(o->max_bindings) || !c.u8(o->charset))
        return false;
    if (!c.text(o->identity) || o->identity[0] == '\0')
        return false;
    if (!c.text(o->description) || o->description[0] == '\0')
        return false;
    if (c.left() == 0)
        return true; // no password
    return c.u16(o->password_len) && c.bytes(o->password_len, o->password) && c.left() == 0;
}

void free_body(dpi_packet *h)
{
    switch (h->type) {
    case DPI_PACKET_GET:
    case DPI_PACKET_GETNEXT: fDPIget_packet(h->data.get); break;
    case DPI_PACKET_SET:
    case DPI_PACKET_COMMIT:
    case DPI_PACKET_UNDO: fDPIset_packet(h->data.set); break;
    case DPI_PACKET_TRAP: fDPItrap_packet(h->data.trap); break;
    case DPI_PACKET_RESPONSE: fDPIresp_packet(h->data.resp); break;
    case DPI_PACKET_REGISTER: fDPIreg_packet(h->data.reg); break;
    case DPI_PACKET_UNREGISTER: fDPIureg_packet(h->data.ureg); break;
    case DPI_PACKET_OPEN: fDPIopen_packet(h->data.open); break;
    case DPI_PACKET_CLOSE: fDPIclose_packet(h->data.close); break;
    default: std::free(h->data.any); break;
    }
    h->data.any = nullptr;
}

bool has_community(int version, int type)
{
    return version == 2 && (type == DPI_PACKET_GET || type == DPI_PACKET_GETNEXT ||
                            type == DPI_PACKET_SET || type == DPI_PACKET_COMMIT ||
                            type == DPI_PACKET_UNDO);
}

bool valid_version(int major, int version, int release)
{
    return major == DPI_PROTOCOL_MAJOR &&
           ((version == 1 && (release == 0 || release == 1)) || (version == 2 && release == 0));
}

dpi_packet *parse(const Byte *body, uint32_t len)
{
    Cursor c{body, body + len};
    auto *h = new_record<dpi_packet>();
    if (!h)
        return nullptr;
    bool ok = c.u8(h->proto_major) && c.u8(h->version) && c.u8(h->release) &&
              valid_version(h->proto_major, h->version, h->release) &&
              (h->version != 2 || c.u16(h->packet_id)) && c.u8(h->type);
    if (ok && has_community(h->version, h->type))
        ok = c.u16(h->community_len) && c.bytes(h->community_len, h->community);
    if (ok) {
        const int v = h->version;
        switch (h->type) {
        case DPI_PACKET_GET:
        case DPI_PACKET_GETNEXT:
            ok = parse_get(c, v, h->type, h->data.get);
            break;
        case DPI_PACKET_SET:
        case DPI_PACKET_COMMIT:
        case DPI_PACKET_UNDO:
            ok = parse_bindings(c, v, h->data.set) && h->data.set;
            break;
        case DPI_PACKET_TRAP:
            ok = (h->data.trap = new_record<dpi_trap_body>()) &&
                 parse_trap(c, v, h->release, h->data.trap);
            break;
        case DPI_PACKET_RESPONSE:
            ok = (h->data.resp = new_record<dpi_response_body>()) &&
                 parse_response(c, v, h->data.resp);
            break;
        case DPI_PACKET_REGISTER:
            ok = parse_register(c, v, h->data.reg);
            break;
        case DPI_PACKET_UNREGISTER:
            ok = parse_unregister(c, h->data.ureg);
            break;
        case DPI_PACKET_OPEN:
            ok = (h->data.open = new_record<dpi_open_body>()) && parse_open(c, h->data.open);
            break;
        case DPI_PACKET_CLOSE:
            ok = (h->data.close = new_record<dpi_close_body>()) && c.u8(h->data.close->reason);
            break;
        case DPI_PACKET_ARE_YOU_THERE:
            break;
        default:
            ok = false; // 0, GETBULK, TRAPV2, INFORM and unknown types
            break;
        }
    }
    if (!ok || c.left() != 0) {
        fDPIparse(h);
        return nullptr;
    }
    return h;
}

// ---------------------------------------------------------------------------
// Serialising into the static packet buffer; every write keeps the packet
// within DPI_PACKET_MAX bytes.

Byte packet_buffer[DPI_BUFFER_SIZE];
uint16_t packet_id_counter = 0;

struct Writer {
    uint32_t n = 2; // after the length prefix
    bool ok = true;

    bool room(uint32_t k)
    {
        if (!ok || k > DPI_PACKET_MAX - n)
            ok = false;
        return ok;
    }
    void u8(uint32_t v)
    {
        if (room(1))
            packet_buffer[n++] = static_cast<Byte>(v);
    }
    void u16(uint32_t v)
    {
        if (room(2)) {
            packet_buffer[n++] = static_cast<Byte>(v >> 8);
            packet_buffer[n++] = static_cast<Byte>(v);
        }
    }
    void u32(uint32_t v)
    {
        if (room(4)) {
            for (int shift = 24; shift >= 0; shift -= 8)
                packet_buffer[n++] = static_cast<Byte>(v >> shift);
        }
    }
    void bytes(const void *p, uint32_t k)
    {
        if (k && room(k)) {
            std::memcpy(packet_buffer + n, p, k);
            n += k;
        }
    }
    void text(const char *s) // with its terminator
    {
        const size_t k = std::strlen(s);
        if (k >= DPI_PACKET_MAX) {
            ok = false;
            return;
        }
        bytes(s, static_cast<uint32_t>(k + 1));
    }
};

bool ends_in_dot(const char *s)
{
    const size_t n = std::strlen(s);
    return n > 0 && s[n - 1] == '.';
}

// A version 2 group is a registered subtree and ends in "."; version 1 has
// whole object strings instead.
void put_names(Writer &w, int version, const char *group, const char *instance)
{
    if (!group || !*group || (version == 2 && !ends_in_dot(group))) {
        w.ok = false;
        return;
    }
    const char *inst = instance ? instance : "";
    if (version == 2) {
        w.text(group);
        w.text(inst);
    } else {
        const size_t g = std::strlen(group);
        w.bytes(group, static_cast<uint32_t>(g));
        w.text(inst);
    }
}

void put_bindings(Writer &w, int version, const dpi_binding *b)
{
    varBind_count = 0;
    for (; b && w.ok; b = b->next) {
        const int type = b->value_type;
        const uint32_t len = b->value_len;
        if (!is_table_type(type) || !length_fits_type(type, len) ||
            (len == 0 && !may_be_empty(type)) || (len > 0 && !b->value)) {
            w.ok = false;
            return;
        }
        put_names(w, version, b->group, b->instance);
        w.u8(static_cast<uint32_t>(type));
        w.u16(len);
        if (is_number_type(type) || type == DPI_TYPE_COUNTER64) {
            for (uint32_t i = 0; i < len / 4u; ++i) {
                uint32_t v;
                std::memcpy(&v, b->value + 4 * i, 4);
                w.u32(v);
            }
        } else {
            w.bytes(b->value, len);
        }
        if (w.ok)
            ++varBind_count;
    }
}

void put_body(Writer &w, const dpi_packet *h)
{
    const int v = h->version;
    switch (h->type) {
    case DPI_PACKET_GET:
    case DPI_PACKET_GETNEXT:
        for (const dpi_get_item *g = h->data.get; g && w.ok; g = g->next)
            put_names(w, v, g->group, g->instance);
        break;
    case DPI_PACKET_SET:
    case DPI_PACKET_COMMIT:
    case DPI_PACKET_UNDO:
        put_bindings(w, v, h->data.set);
        break;
    case DPI_PACKET_TRAP: {
        const dpi_trap_body *t = h->data.trap;
        if (!t) {
            w.ok = false;
            break;
        }
        if (v == 1 && h->release == 0) {
            w.u8(static_cast<uint32_t>(t->generic));
            w.u8(static_cast<uint32_t>(t->specific));
        } else {
            w.u32(static_cast<uint32_t>(t->generic));
            w.u32(static_cast<uint32_t>(t->specific));
            w.text(t->enterprise ? t->enterprise : "");
        }
        put_bindings(w, v, t->bindings);
        break;
    }
    case DPI_PACKET_RESPONSE: {
        const dpi_response_body *r = h->data.resp;
        if (!r) {
            w.ok = false;
            break;
        }
        w.u8(r->error_code);
        if (v == 2)
            w.u32(static_cast<uint32_t>(r->error_index));
        put_bindings(w, v, r->bindings);
        break;
    }
    case DPI_PACKET_REGISTER:
        for (const dpi_register_item *r = h->data.reg; r && w.ok; r = r->next) {
            if (v == 2) {
                w.u32(static_cast<uint32_t>(r->priority));
                w.u16(r->timeout);
                w.u8(r->view_selection);
                w.u8(r->bulk_selection);
            }
            if (!r->subtree)
                w.ok = false;
            else
                w.text(r->subtree);
        }
        break;
    case DPI_PACKET_UNREGISTER:
        for (const dpi_unregister_item *u = h->data.ureg; u && w.ok; u = u->next) {
            w.u8(u->reason);
            if (!u->subtree)
                w.ok = false;
            else
                w.text(u->subtree);
        }
        break;
    case DPI_PACKET_OPEN: {
        const dpi_open_body *o = h->data.open;
        if (!o || !o->identity || !o->description || (o->password_len && !o->password)) {
            w.ok = false;
            break;
        }
        w.u16(o->timeout);
        w.u16(o->max_bindings);
        w.u8(o->charset);
        w.text(o->identity);
        w.text(o->description);
        w.u16(o->password_len);
        w.bytes(o->password, o->password_len);
        break;
    }
    case DPI_PACKET_CLOSE:
        if (!h->data.close)
            w.ok = false;
        else
            w.u8(h->data.close->reason);
        break;
    case DPI_PACKET_ARE_YOU_THERE:
        break;
    default:
        w.ok = false;
        break;
    }
}

// Only digits and single dots.
bool plain_dotted(const char *s)
{
    for (const char *p = s; *p; ++p) {
        if (*p == '.') {
            if (p[1] == '.')
                return false;
        } else if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

dpi_packet *new_header(int type, int version, int release)
{
    if (!valid_version(DPI_PROTOCOL_MAJOR, version, release))
        return nullptr;
    auto *h = new_record<dpi_packet>();
    if (!h)
        return nullptr;
    h->proto_major = DPI_PROTOCOL_MAJOR;
    h->version = static_cast<uint8_t>(version);
    h->release = static_cast<uint8_t>(release);
    h->type = static_cast<uint8_t>(type);
    return h;
}

template <class Item> Item *get_entry(Item *list, const char *group, const char *instance)
{
    if (group_or_instance_invalid(group, instance))
        return nullptr;
    auto *g = new_record<Item>();
    if (!g)
        return nullptr;
    g->group = dup_text(group);
    g->instance = dup_text(instance ? instance : "");
    g->object_id = g->group && g->instance ? join_object_id(g->group, g->instance) : nullptr;
    if (!g->object_id) {
        g->next = nullptr;
        std::free(g->group);
        std::free(g->instance);
        std::free(g);
        return nullptr;
    }
    append(list, g);
    return list;
}

} // namespace

extern "C" {

int oid_is_invalid(const char *oid)
{
    if (!oid || !plain_dotted(oid))
        return 1;
    const char *p = oid;
    if (*p < '0' || *p > '2' || (p[1] != '.' && p[1] != '\0'))
        return 1;
    if (*p == '2')
        return 0;
    // After 0 or 1 a second component of at most 39 must follow.
    if (p[1] != '.' || p[2] < '0' || p[2] > '9')
        return 1;
    const char *q = p + 2;
    unsigned v = 0;
    int digits = 0;
    while (*q >= '0' && *q <= '9' && digits < 3) {
        v = v * 10 + static_cast<unsigned>(*q - '0');
        ++q;
        ++digits;
    }
    return (*q >= '0' && *q <= '9') || v > 39 ? 1 : 0;
}

int group_or_instance_invalid(const char *group, const char *instance)
{
    if (oid_is_invalid(group))
        return 1;
    if (instance && *instance) {
        const size_t n = std::strlen(instance);
        if (!plain_dotted(instance) || instance[0] == '.' || instance[n - 1] == '.')
            return 1;
    }
    return 0;
}

dpi_packet *pDPIpacket(const unsigned char *packet)
{
    if (!packet)
        return nullptr;
    const uint32_t len = (uint32_t{packet[0]} << 8) | packet[1];
    return parse(packet + 2, len);
}

dpi_packet *pDPIpacket_n(const unsigned char *packet, uint32_t size)
{
    if (!packet || size < 2)
        return nullptr;
    const uint32_t len = (uint32_t{packet[0]} << 8) | packet[1];
    if (len != size - 2)
        return nullptr;
    return parse(packet + 2, len);
}

void fDPIget_packet(dpi_get_item *list)
{
    while (list) {
        dpi_get_item *next = list->next;
        std::free(list->object_id);
        std::free(list->group);
        std::free(list->instance);
        std::free(list);
        list = next;
    }
}

void fDPIset_packet(dpi_binding *list)
{
    while (list) {
        dpi_binding *next = list->next;
        free_binding(list);
        list = next;
    }
}

void fDPItrap_packet(dpi_trap_body *trap)
{
    if (!trap)
        return;
    fDPIset_packet(trap->bindings);
    std::free(trap->enterprise);
    std::free(trap);
}

void fDPIresp_packet(dpi_response_body *resp)
{
    if (!resp)
        return;
    fDPIset_packet(resp->bindings);
    std::free(resp);
}

void fDPIreg_packet(dpi_register_item *list)
{
    while (list) {
        dpi_register_item *next = list->next;
        std::free(list->subtree);
        std::free(list);
        list = next;
    }
}

void fDPIureg_packet(dpi_unregister_item *list)
{
    while (list) {
        dpi_unregister_item *next = list->next;
        std::free(list->subtree);
        std::free(list);
        list = next;
    }
}

void fDPIopen_packet(dpi_open_body *open)
{
    if (!open)
        return;
    std::free(open->identity);
    std::free(open->description);
    std::free(open->password);
    std::free(open);
}

void fDPIclose_packet(dpi_close_body *close)
{
    std::free(close);
}

void fDPIparse(dpi_packet *hdr)
{
    if (!hdr)
        return;
    free_body(hdr);
    std::free(hdr->community);
    std::free(hdr);
}

dpi_packet *mkDPIhdr_version(int type, int version, int release)
{
    dpi_packet *h = new_header(type, version, release);
    if (h && version == 2)
        h->packet_id = ++packet_id_counter;
    return h;
}

unsigned char *cDPIpacket(const dpi_packet *hdr)
{
    if (!hdr || !valid_version(hdr->proto_major, hdr->version, hdr->release))
        return nullptr;
    Writer w;
    w.u8(hdr->proto_major);
    w.u8(hdr->version);
    w.u8(hdr->release);
    if (hdr->version == 2)
        w.u16(hdr->packet_id);
    w.u8(hdr->type);
    if (has_community(hdr->version, hdr->type)) {
        if (hdr->community_len && !hdr->community)
            return nullptr;
        w.u16(hdr->community_len);
        w.bytes(hdr->community, hdr->community_len);
    }
    const uint32_t body_start = w.n;
    put_body(w, hdr);
    if (!w.ok || (w.n == body_start && hdr->type != DPI_PACKET_ARE_YOU_THERE))
        return nullptr;
    const uint32_t len = w.n - 2;
    packet_buffer[0] = static_cast<Byte>(len >> 8);
    packet_buffer[1] = static_cast<Byte>(len);
    return packet_buffer;
}

unsigned char *mkDPIpacket(dpi_packet *hdr)
{
    unsigned char *p = cDPIpacket(hdr);
    fDPIparse(hdr);
    return p;
}

unsigned char *mkDPIresp(const dpi_packet *request, int error_code, int32_t error_index,
                         dpi_binding *bindings)
{
    if (!request || error_code < 0 || error_code > 255 || error_index < 0) {
        fDPIset_packet(bindings);
        return nullptr;
    }
    dpi_packet *h = new_header(DPI_PACKET_RESPONSE, request->version, request->release);
    dpi_response_body *r = h ? new_record<dpi_response_body>() : nullptr;
    if (!r) {
        std::free(h);
        fDPIset_packet(bindings);
        return nullptr;
    }
    h->packet_id = request->packet_id;
    h->data.resp = r;
    r->error_code = static_cast<uint8_t>(error_code);
    r->error_index = error_index;
    r->bindings = bindings;
    unsigned char *p = cDPIpacket(h);
    const int t = request->type;
    if (p && bindings && ((t >= 1 && t <= 5) || (t >= 10 && t <= 14)) &&
        static_cast<uint32_t>(error_index) > varBind_count)
        p = nullptr;
    fDPIparse(h);
    return p;
}

unsigned char *mkDPIopen(const char *identity, const char *description, uint32_t timeout,
                         uint32_t max_bindings, int charset, uint32_t password_len,
                         const unsigned char *password)
{
    if (oid_is_invalid(identity) || !description || std::strlen(description) > 255 ||
        timeout > 65535 || max_bindings > 65535 || password_len > 65535 ||
        (password_len && !password) || (charset != 0 && charset != 1))
        return nullptr;
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_OPEN, 2, 0);
    if (!h || !(h->data.open = new_record<dpi_open_body>())) {
        fDPIparse(h);
        return nullptr;
    }
    dpi_open_body *o = h->data.open;
    o->identity = dup_text(identity);
    o->description = dup_text(description);
    o->timeout = static_cast<uint16_t>(timeout);
    o->max_bindings = static_cast<uint16_t>(max_bindings);
    o->charset = static_cast<uint8_t>(charset);
    o->password_len = static_cast<uint16_t>(password_len);
    if (password_len) {
        o->password = static_cast<Byte *>(std::malloc(password_len));
        if (o->password)
            std::memcpy(o->password, password, password_len);
    }
    if (!o->identity || !o->description || (password_len && !o->password)) {
        fDPIparse(h);
        return nullptr;
    }
    return mkDPIpacket(h);
}

unsigned char *mkDPIclose(int reason)
{
    if (reason < 0 || reason > 255)
        return nullptr;
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_CLOSE, 2, 0);
    if (!h || !(h->data.close = new_record<dpi_close_body>())) {
        fDPIparse(h);
        return nullptr;
    }
    h->data.close->reason = static_cast<uint8_t>(reason);
    return mkDPIpacket(h);
}

unsigned char *mkDPIayt(void)
{
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_ARE_YOU_THERE, 2, 0);
    return h ? mkDPIpacket(h) : nullptr;
}

unsigned char *mkDPIreg(uint32_t timeout, int32_t priority, const char *subtree, int bulk, int view)
{
    if (oid_is_invalid(subtree) || priority < -1 || timeout > 65535 || (bulk != 0 && bulk != 1) ||
        (view != 0 && view != 1))
        return nullptr;
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_REGISTER, 2, 0);
    if (!h || !(h->data.reg = new_record<dpi_register_item>())) {
        fDPIparse(h);
        return nullptr;
    }
    dpi_register_item *r = h->data.reg;
    r->timeout = static_cast<uint16_t>(timeout);
    r->priority = priority;
    r->bulk_selection = static_cast<uint8_t>(bulk);
    r->view_selection = static_cast<uint8_t>(view);
    if (!(r->subtree = dup_text(subtree))) {
        fDPIparse(h);
        return nullptr;
    }
    return mkDPIpacket(h);
}

unsigned char *mkDPIureg(int reason, const char *subtree)
{
    if (reason < 0 || reason > 255 || oid_is_invalid(subtree))
        return nullptr;
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_UNREGISTER, 2, 0);
    if (!h || !(h->data.ureg = new_record<dpi_unregister_item>())) {
        fDPIparse(h);
        return nullptr;
    }
    h->data.ureg->reason = static_cast<uint8_t>(reason);
    if (!(h->data.ureg->subtree = dup_text(subtree))) {
        fDPIparse(h);
        return nullptr;
    }
    return mkDPIpacket(h);
}

unsigned char *mkDPItrape(int32_t generic, int32_t specific, dpi_binding *bindings,
                          const char *enterprise)
{
    const bool bad_enterprise =
        enterprise && *enterprise && (oid_is_invalid(enterprise) || ends_in_dot(enterprise));
    if (generic < 0 || generic > 6 || (generic != 6 && specific != 0) || bad_enterprise) {
        fDPIset_packet(bindings);
        return nullptr;
    }
    dpi_packet *h = mkDPIhdr_version(DPI_PACKET_TRAP, 2, 0);
    if (!h || !(h->data.trap = new_record<dpi_trap_body>())) {
        fDPIparse(h);
        fDPIset_packet(bindings);
        return nullptr;
    }
    dpi_trap_body *t = h->data.trap;
    t->generic = generic;
    t->specific = specific;
    t->bindings = bindings;
    if (enterprise && *enterprise && !(t->enterprise = dup_text(enterprise))) {
        fDPIparse(h);
        return nullptr;
    }
    return mkDPIpacket(h);
}

dpi_get_item *mkDPIget_packet(dpi_get_item *list, const char *group, const char *instance)
{
    return get_entry(list, group, instance);
}

dpi_get_item *mkDPInext_packet(dpi_get_item *list, const char *group, const char *instance)
{
    return get_entry(list, group, instance);
}

dpi_binding *mkDPIset_packet(dpi_binding *list, const char *group, const char *instance,
                             int value_type, uint32_t value_len, const void *value)
{
    if (group_or_instance_invalid(group, instance) || !is_table_type(value_type) ||
        value_len > 65535 || (value_len > 0 && !value))
        return nullptr;
    dpi_binding *b = get_entry<dpi_binding>(nullptr, group, instance);
    if (!b)
        return nullptr;
    b->value_type = static_cast<uint8_t>(value_type);
    b->value_len = static_cast<uint16_t>(value_len);
    if (value_len) {
        b->value = static_cast<Byte *>(std::malloc(value_len));
        if (!b->value) {
            free_binding(b);
            return nullptr;
        }
        std::memcpy(b->value, value, value_len);
    }
    append(list, b);
    return list;
}

void dpilog(const char *format, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    std::fputs(line, stdout);
}

void DPIdebug(int level)
{
    static int current = 0;
    if (level != current) {
        dpilog("DPI Debug turned %s (level %d)\n", level ? "ON" : "OFF", level);
        if (level)
            dpilog("DPI Debug code not available\n");
        dpilog("%s - %s\n", "snmp_dpi.cpp",
               "DPI Version 2.0.22, 96Sep30, Compiled " __DATE__ " " __TIME__);
        std::fflush(stdout);
    }
    current = level;
}

} // extern "C"

#include "smuxbridge_reg.h"

#include "smuxbridge_log.h"
#include "smuxbridge_main.h"

#include <cstdlib>
#include <cstring>
#include <memory>

mop_entry *mop_list = nullptr;

namespace {

// Registration record for RReqPDUs.
smux_pdu reg_pdu;

struct FreeText {
    void operator()(char *p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

struct FreeContainer {
    void operator()(snmp_container *c) const { snmp_free_container(c); }
};
using Container = std::unique_ptr<snmp_container, FreeContainer>;

struct FreePacket {
    void operator()(dpi_packet *p) const { fDPIparse(p); }
};
using Packet = std::unique_ptr<dpi_packet, FreePacket>;

// The daemon's own object, made on first use and kept.
const snmp_container *own_object()
{
    static snmp_container *oid = snmp_create_oid_container(SMUXBRIDGE_OWN_OBJECT);
    return oid;
}

// Reads packets from fd until a RESPONSE arrives, forwarding traps on the
// way. None when the subagent failed (it is then marked or dropped).
Packet await_response(int fd)
{
    unsigned char buf[SMUXBRIDGE_DPI_BUFFER];
    for (;;) {
        if (read_DPI_packet(fd, buf, sizeof buf) != 0) {
            SB_TRACE("can't read response packet or timeout\n");
            return nullptr;
        }
        Packet p(pDPIpacket_n(buf, DPI_PACKET_LEN(buf)));
        if (!p) {
            SB_TRACE("could not parse DPI response packet\n");
            subagent_failed(fd);
            return nullptr;
        }
        if (p->type == DPI_PACKET_TRAP) {
            const dpi_trap_body *t = p->data.trap;
            process_dpi_trapv1(t->generic, t->specific, t->enterprise, t->bindings);
            continue;
        }
        if (p->type != DPI_PACKET_RESPONSE || !p->data.resp) {
            SB_TRACE("unexpected packet type: %d\n", p->type);
            subagent_failed(fd);
            return nullptr;
        }
        return p;
    }
}

// Dotted text of an OID container; empty (and *ok false) when it has none or
// is too long for the relay's buffers.
std::string oid_text(const snmp_container *c, bool *ok)
{
    Text t(snmp_oid_to_string(c));
    *ok = t && std::strlen(t.get()) < RELAY_OID_BUFFER - 1;
    return *ok ? std::string(t.get()) : std::string();
}

// a < b as object identifiers given in dotted text.
bool oid_text_less(const std::string &a, const std::string &b)
{
    Container x(snmp_create_oid_container(a.c_str()));
    Container y(snmp_create_oid_container(b.c_str()));
    return x && y && snmp_compare_oid_subids(x.get(), y.get(), 0) < 0;
}

bool send_registration(snmp_container *subtree, int operation)
{
    std::memset(&reg_pdu, 0, sizeof reg_pdu);
    reg_pdu.operation = operation;
    reg_pdu.priority = -1;
    reg_pdu.object = subtree;
    const int rc = SMUXregister(&reg_pdu);
    reg_pdu.object = nullptr;
    SB_RC(rc, "SMUXregister");
    return rc == 0;
}

} // namespace

int map_dpi_error(int code)
{
    if (code >= 0 && code <= 5)
        return code;
    switch (code) {
    case 6: case 11: case 16: case 17: case 18:
        SB_DETAIL("converting error_code %d to noSuchName\n", code);
        return SNMP_ERROR_NOSUCHNAME;
    case 7: case 8: case 9: case 10: case 12:
        SB_DETAIL("converting error_code %d to badValue\n", code);
        return SNMP_ERROR_BADVALUE;
    default:
        SB_DETAIL("converting error_code %d to genErr\n", code);
        return SNMP_ERROR_GENERR;
    }
}

mop_entry *add_mop_entry(const char *subtree, int owner)
{
    std::string text = subtree ? subtree : "";
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    auto *e = static_cast<mop_entry *>(std::calloc(1, sizeof(mop_entry)));
    if (e)
        e->subtree = snmp_create_oid_container(text.c_str());
    if (!e || !e->subtree) {
        std::free(e);
        return nullptr;
    }
    e->owner = owner;
    mop_entry **at = &mop_list;
    while (*at && snmp_compare_oid_subids((*at)->subtree, e->subtree, 0) < 0)
        at = &(*at)->next;
    e->next = *at;
    *at = e;
    return e;
}

int register_object(const char *subtree, int owner)
{
    SB_TRACE("Register object: %s\n", subtree ? subtree : "");
    mop_entry *e = add_mop_entry(subtree, owner);
    if (!e) {
        SB_ALWAYS("Out of memory\n");
        return -4;
    }
    // Sent by the main loop once the agent is quiet.
    const int rc = queue_registration(e->subtree, SMUX_OP_READWRITE);
    SB_RC(rc, "SMUXregister");
    return rc;
}

int register_subtrees(void)
{
    int first_failure = 0;
    for (mop_entry *e = mop_list; e; e = e->next) {
        if (!send_registration(e->subtree, SMUX_OP_READWRITE) && first_failure == 0)
            first_failure = -1;
    }
    return first_failure;
}

mop_entry *take_mop_entries(int fd)
{
    mop_entry *taken = nullptr;
    mop_entry **tail = &taken;
    for (mop_entry **at = &mop_list; *at;) {
        if ((*at)->owner == fd) {
            mop_entry *e = *at;
            *at = e->next;
            e->next = nullptr;
            *tail = e;
            tail = &e->next;
        } else {
            at = &(*at)->next;
        }
    }
    return taken;
}

void free_mop_entry(mop_entry *e)
{
    if (!e)
        return;
    snmp_free_container(e->subtree);
    std::free(e);
}

void clear_mop_list(void)
{
    while (mop_list) {
        mop_entry *e = mop_list;
        mop_list = e->next;
        free_mop_entry(e);
    }
}

int process_req(int pdu_type, snmp_varbind *vb)
{
    if (!vb || !vb->name)
        return SNMP_ERROR_GENERR;
    mop_entry *e = mop_list;
    for (; e; e = e->next) {
        if (snmp_compare_oid_subids(vb->name, e->subtree, e->subtree->length) == 0 &&
            vb->name->length >= e->subtree->length)
            break;
        if (pdu_type == SNMP_GETNEXT && snmp_compare_oid_subids(vb->name, e->subtree, 0) < 0)
            break;
    }
    if (!e)
        return SNMP_ERROR_NOSUCHNAME;
    int rc = e->owner == -1 ? do_mib_request(pdu_type, vb) : remote_mib_req(pdu_type, vb, e, 1);
    if (pdu_type == SNMP_GETNEXT) {
        while (rc == SNMP_ERROR_NOSUCHNAME && e->next) {
            e = e->next;
            rc = e->owner == -1 ? do_mib_request(pdu_type, vb) : remote_mib_req(pdu_type, vb, e, 0);
        }
    }
    return rc;
}

int do_mib_request(int pdu_type, snmp_varbind *vb)
{
    const snmp_container *own = own_object();
    if (!own) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    const int cmp = snmp_compare_oid_subids(vb->name, own, 0);
    const bool ok = (pdu_type == SNMP_GET && cmp == 0) || (pdu_type == SNMP_GETNEXT && cmp < 0);
    if (!ok) {
        SB_DETAIL("noSuchName\n");
        return SNMP_ERROR_NOSUCHNAME;
    }
    snmp_container *name = snmp_copy_container_value(vb->name, own);
    if (!name) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    vb->name = name;
    const int32_t port = dpi_port;
    snmp_container *value = snmp_replace_container_value(vb->value, &port, 4, SNMP_TAG_INTEGER, 0);
    if (!value) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    vb->value = value;
    return SNMP_ERROR_NOERROR;
}

int snmp_to_dpi_value(const snmp_container *v, int *type, uint32_t *len, unsigned char *buf)
{
    if (!v)
        return -1;
    switch (v->tag) {
    case SNMP_TAG_INTEGER:
        *type = DPI_TYPE_INTEGER32;
        *len = 4;
        std::memcpy(buf, snmp_container_int(v), 4);
        return 0;
    case SNMP_TAG_OCTET_STRING:
        if (v->length > RELAY_VALUE_BUFFER)
            return -1;
        *type = v->flag == 1 ? DPI_TYPE_DISPLAY_STRING : DPI_TYPE_OCTET_STRING;
        *len = v->length;
        std::memcpy(buf, snmp_container_bytes(v), v->length);
        return 0;
    case SNMP_TAG_NULL:
        *type = DPI_TYPE_NULL;
        *len = 4;
        std::memset(buf, 0, 4);
        return 0;
    case SNMP_TAG_OID: {
        bool ok;
        const std::string t = oid_text(v, &ok);
        if (!ok || t.size() > RELAY_VALUE_BUFFER)
            return -1;
        *type = DPI_TYPE_OBJECT_ID;
        *len = static_cast<uint32_t>(t.size());
        std::memcpy(buf, t.data(), t.size());
        return 0;
    }
    case SNMP_TAG_IPADDRESS:
        *type = DPI_TYPE_IPADDRESS_OLD;
        *len = 4;
        std::memcpy(buf, snmp_container_bytes(v), 4);
        return 0;
    case SNMP_TAG_COUNTER:
    case SNMP_TAG_GAUGE:
    case SNMP_TAG_TIMETICKS:
        *type = v->tag == SNMP_TAG_COUNTER ? DPI_TYPE_COUNTER32
                : v->tag == SNMP_TAG_GAUGE ? DPI_TYPE_GAUGE32
                                           : DPI_TYPE_TIMETICKS;
        *len = 4;
        std::memcpy(buf, snmp_container_uint(v), 4);
        return 0;
    default:
        return -1;
    }
}

int remote_mib_req(int pdu_type, snmp_varbind *vb, mop_entry *e, int first)
{
    int dpi_type;
    switch (pdu_type) {
    case SNMP_GET: dpi_type = DPI_PACKET_GET; break;
    case SNMP_GETNEXT: dpi_type = DPI_PACKET_GETNEXT; break;
    case SNMP_SET: dpi_type = DPI_PACKET_SET; break;
    default: return SNMP_ERROR_GENERR;
    }
    bool ok_name, ok_tree;
    const std::string name = oid_text(vb->name, &ok_name);
    const std::string tree = oid_text(e->subtree, &ok_tree);
    if (!ok_name || !ok_tree) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    const std::string group = tree + ".";
    std::string instance;
    if (first && snmp_compare_oid_subids(vb->name, e->subtree, e->subtree->length) == 0 &&
        vb->name->length > e->subtree->length)
        instance = name.substr(group.size());

    int value_type = DPI_TYPE_NULL;
    uint32_t value_len = 4;
    unsigned char value[RELAY_VALUE_BUFFER] = {};
    if (snmp_to_dpi_value(vb->value, &value_type, &value_len, value) != 0) {
        if (pdu_type == SNMP_SET) {
            SB_TRACE("genErr\n");
            return SNMP_ERROR_GENERR;
        }
        value_type = DPI_TYPE_NULL;
        value_len = 4;
        std::memset(value, 0, 4);
    }

    auto answer = std::make_unique<rmt_answer>();
    const int rc = rmt_call(e->owner, dpi_type, instance.c_str(), group.c_str(), value_type,
                            value_len, value, answer.get());
    SB_RC(rc, "rmt_call");
    if (rc != 0)
        return rc;
    SB_TRACE("Type = %x  OID = %s\n", answer->type, answer->oid.c_str());
    if (pdu_type == SNMP_SET)
        return SNMP_ERROR_NOERROR;
    return fill_varBind(answer->type, answer->length, answer->value,
                        pdu_type == SNMP_GETNEXT ? answer->oid.c_str() : nullptr, vb);
}

unsigned char *mkMIBquery(int dpi_type, const char *instance, const char *group, int value_type,
                          uint32_t value_len, const void *value)
{
    if (dpi_type != DPI_PACKET_GET && dpi_type != DPI_PACKET_GETNEXT &&
        dpi_type != DPI_PACKET_SET && dpi_type != DPI_PACKET_COMMIT) {
        std::fprintf(stderr, "mkMIBquery: Unknown packet_type: %d\n", dpi_type);
        return nullptr;
    }
    dpi_packet *hdr = mkDPIhdr_version(dpi_type, 2, 0);
    if (!hdr)
        return nullptr;
    if (dpi_type == DPI_PACKET_GET || dpi_type == DPI_PACKET_GETNEXT) {
        hdr->data.get = mkDPIget_packet(nullptr, group, instance);
        if (!hdr->data.get) {
            fDPIparse(hdr);
            return nullptr;
        }
    } else {
        hdr->data.set = mkDPIset_packet(nullptr, group, instance, value_type, value_len, value);
        if (!hdr->data.set) {
            fDPIparse(hdr);
            return nullptr;
        }
    }
    return mkDPIpacket(hdr);
}

int rmt_call(int fd, int dpi_type, const char *instance, const char *group, int value_type,
             uint32_t value_len, const void *value, rmt_answer *out)
{
    out->oid.clear();
    out->type = 0;
    out->length = 0;
    if (subagent_is_failed(fd))
        return SNMP_ERROR_GENERR;
    const unsigned char *query = mkMIBquery(dpi_type, instance, group, value_type, value_len, value);
    if (!query) {
        SB_TRACE("error making DPI packet for remote agent\n");
        return SNMP_ERROR_GENERR;
    }
    // The name asked for, to make sure a Counter64 skip moves forward.
    std::string asked = std::string(group) + instance;
    if (!asked.empty() && asked.back() == '.')
        asked.pop_back();

    Packet resp;
    for (;;) {
        if (DPIsend(fd, query) != 0) {
            subagent_failed(fd);
            return SNMP_ERROR_GENERR;
        }
        resp = await_response(fd);
        if (!resp)
            return SNMP_ERROR_GENERR;
        const dpi_binding *b = resp->data.resp->bindings;
        if (!b || b->value_type != DPI_TYPE_COUNTER64 || dpi_type == DPI_PACKET_SET)
            break;
        if (dpi_type == DPI_PACKET_GET) {
            resp->data.resp->error_code = SNMP_ERROR_NOSUCHNAME;
            break;
        }
        SB_TRACE("===>skipping Counter64 varBind\n");
        const std::string next = b->object_id ? b->object_id : "";
        const std::string g = group;
        if (next.size() <= g.size() || next.compare(0, g.size(), g) != 0 ||
            !oid_text_less(asked, next)) {
            SB_TRACE("Counter64 skip does not move forward: %s\n", next.c_str());
            return SNMP_ERROR_GENERR;
        }
        asked = next;
        const std::string inst = next.substr(g.size());
        query = mkMIBquery(DPI_PACKET_GETNEXT, inst.c_str(), group, DPI_TYPE_NULL, 0, nullptr);
        if (!query) {
            SB_TRACE("error making DPI packet for remote agent\n");
            return SNMP_ERROR_GENERR;
        }
    }

    int error = resp->data.resp->error_code;
    if (const dpi_binding *b = resp->data.resp->bindings) {
        out->oid = b->object_id ? b->object_id : "";
        out->type = b->value_type;
        out->length = b->value_len <= RELAY_VALUE_BUFFER ? b->value_len : 0;
        if (out->length)
            std::memcpy(out->value, b->value, out->length);
    } else if (dpi_type == DPI_PACKET_SET) {
        out->oid = asked;
        out->type = value_type;
        out->length = value_len <= RELAY_VALUE_BUFFER ? value_len : 0;
        if (out->length)
            std::memcpy(out->value, value, out->length);
    }

    if (dpi_type == DPI_PACKET_SET) {
        // The COMMIT goes out whatever the SET answer said; a failed SET
        // keeps its own error even when the COMMIT is answered with success.
        const unsigned char *commit =
            mkMIBquery(DPI_PACKET_COMMIT, instance, group, value_type, value_len, value);
        if (!commit) {
            SB_TRACE("error making DPI commit packet for remote agent\n");
            return SNMP_ERROR_GENERR;
        }
        if (DPIsend(fd, commit) != 0) {
            subagent_failed(fd);
            return SNMP_ERROR_GENERR;
        }
        Packet done = await_response(fd);
        if (!done)
            return SNMP_ERROR_GENERR;
        if (error == 0)
            error = done->data.resp->error_code;
    }
    return map_dpi_error(error);
}

int fill_varBind(int value_type, uint32_t len, const void *value, const char *oid,
                 snmp_varbind *vb)
{
    if (oid) {
        snmp_container *name = snmp_fill_container_with_oid(vb->name, oid);
        if (!name) {
            SB_TRACE("genErr\n");
            return SNMP_ERROR_GENERR;
        }
        vb->name = name;
    }
    static const unsigned char empty = 0;
    if (!value)
        value = &empty;
    int tag;
    int flag = 0;
    switch (value_type) {
    case DPI_TYPE_OCTET_STRING:
    case DPI_TYPE_OBJECT_ID:
        tag = SNMP_TAG_OCTET_STRING;
        break;
    case DPI_TYPE_DISPLAY_STRING:
        tag = SNMP_TAG_OCTET_STRING;
        flag = 1;
        break;
    case DPI_TYPE_NULL:
        tag = SNMP_TAG_NULL;
        break;
    case DPI_TYPE_IPADDRESS_OLD:
        tag = SNMP_TAG_IPADDRESS;
        break;
    case DPI_TYPE_INTEGER32:
        tag = SNMP_TAG_INTEGER;
        break;
    case DPI_TYPE_COUNTER32:
        tag = SNMP_TAG_COUNTER;
        break;
    case DPI_TYPE_GAUGE32:
        tag = SNMP_TAG_GAUGE;
        break;
    case DPI_TYPE_TIMETICKS:
        tag = SNMP_TAG_TIMETICKS;
        break;
    case DPI_TYPE_NO_SUCH_OBJECT:
    case DPI_TYPE_NO_SUCH_INSTANCE:
    case DPI_TYPE_END_OF_MIB_VIEW:
        return SNMP_ERROR_NOSUCHNAME;
    default:
        SB_TRACE("genErr, unknown type=%d\n", value_type);
        return SNMP_ERROR_GENERR;
    }
    // Numbers must be whole 32-bit values, addresses 4 bytes.
    if (tag != SNMP_TAG_OCTET_STRING && tag != SNMP_TAG_NULL && len != 4) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    snmp_container *v = snmp_replace_container_value(vb->value, value, len, tag, flag);
    if (!v) {
        SB_TRACE("genErr\n");
        return SNMP_ERROR_GENERR;
    }
    vb->value = v;
    return SNMP_ERROR_NOERROR;
}

void process_dpi_trapv1(int32_t generic, int32_t specific, const char *enterprise,
                        const dpi_binding *bindings)
{
    uint32_t count = 0;
    for (const dpi_binding *b = bindings; b; b = b->next)
        ++count;
    std::string ent = enterprise && *enterprise ? enterprise : (myoid_set ? myoid : "");
    if (!ent.empty() && ent.back() == '.')
        ent.pop_back();
    if (ent.empty()) {
        // No enterprise and no identity: nothing to name the trap with.
        SB_TRACE("Could not send trap\n");
        return;
    }
    snmp_trap_pdu *trap = snmp_alloc_trap_pdu(count ? count : 1);
    if (!trap) {
        SB_ALWAYS("Out of memory\n");
        return;
    }
    trap->enterprise = snmp_create_oid_container(ent.c_str());
    if (!trap->enterprise) {
        SB_ALWAYS("Out of memory\n");
        snmp_free_trap_pdu(trap);
        return;
    }
    bool failed = false;
    uint32_t n = 0;
    for (const dpi_binding *b = bindings; b; b = b->next) {
        if (b->value_type == DPI_TYPE_COUNTER64) {
            SB_TRACE("===>skip Counter64 varBind\n");
            continue;
        }
        snmp_varbind *vb = &trap->varbinds[n];
        if (!b->object_id ||
            fill_varBind(b->value_type, b->value_len, b->value, b->object_id, vb) != 0) {
            failed = true;
            break;
        }
        ++n;
    }
    trap->count = n;
    SB_DETAIL("We have %lu varBinds\n", static_cast<unsigned long>(n));
    if (failed) {
        SB_TRACE("Could not send trap\n");
    } else {
        trap->generic = generic;
        trap->specific = specific;
        smux_pdu pdu;
        std::memset(&pdu, 0, sizeof pdu);
        pdu.type = SNMP_TRAP;
        pdu.trap = trap;
        unsigned char *start = nullptr;
        uint32_t len = 0;
        int rc = smux_encode_message(&start, &len, &pdu);
        SB_RC(rc, "smux_encode_message");
        if (rc == 0)
            rc = SMUXsend(start, len);
        if (rc != 0)
            SB_TRACE("Could not send trap\n");
    }
    snmp_free_trap_pdu(trap);
}

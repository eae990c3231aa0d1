/*
 * smuxbridge_reg: the registration list and the relay.
 *
 * mop_list holds the registered subtrees in ascending order; each binding of
 * an agent request goes to the first subtree that holds it (for get-next, or
 * that follows it), owned either by a DPI subagent or by the daemon itself for
 * its one object 1.3.6.1.4.1.59981.2.1.1.1.0, the DPI port. Values and error
 * codes are converted between SNMP and DPI on the way; subagent traps are
 * forwarded to the agent as SNMPv1 traps.
 */
#ifndef SMUXBRIDGE_REG_H
#define SMUXBRIDGE_REG_H

#include "smux_codec.h"
#include "snmp_dpi.h"

#include <cstdint>
#include <string>

struct mop_entry {
    snmp_container *subtree; /* owned */
    int owner;               /* subagent descriptor; -1 for the daemon's object */
    mop_entry *next;
};

extern mop_entry *mop_list;

#define SMUXBRIDGE_OWN_SUBTREE "1.3.6.1.4.1.59981.2.1.1.1"
#define SMUXBRIDGE_OWN_OBJECT "1.3.6.1.4.1.59981.2.1.1.1.0"

/* SNMPv1 error statuses. */
enum {
    SNMP_ERROR_NOERROR = 0,
    SNMP_ERROR_TOOBIG = 1,
    SNMP_ERROR_NOSUCHNAME = 2,
    SNMP_ERROR_BADVALUE = 3,
    SNMP_ERROR_READONLY = 4,
    SNMP_ERROR_GENERR = 5
};

/* SMUX registration operations. */
enum { SMUX_OP_DELETE = 0, SMUX_OP_READONLY = 1, SMUX_OP_READWRITE = 2 };

/* Scratch sizes of one relayed binding. */
#define RELAY_OID_BUFFER 8192u
#define RELAY_VALUE_BUFFER 4096u

/* Adds the subtree (dotted text, one trailing "." allowed) to mop_list and
 * registers it with the agent: 0, -4 (out of memory or invalid text), or the
 * result of sending the registration. The entry stays even when sending
 * failed. */
int register_object(const char *subtree, int owner);

/* Adds the entry without telling the agent (register_subtrees does that):
 * the entry, or none. */
mop_entry *add_mop_entry(const char *subtree, int owner);

/* Registers every subtree of mop_list with the agent, as after a new open:
 * 0 or the first failed send. */
int register_subtrees(void);

/* Unlinks the entries owned by fd and returns them as a list. */
mop_entry *take_mop_entries(int fd);
void free_mop_entry(mop_entry *e);
/* Empties mop_list (tests). */
void clear_mop_list(void);

/* One binding of an agent request (0xA0, 0xA1, 0xA3): the binding's name and
 * value are replaced by the answer; the SNMPv1 error status. */
int process_req(int pdu_type, snmp_varbind *vb);
int do_mib_request(int pdu_type, snmp_varbind *vb);
int remote_mib_req(int pdu_type, snmp_varbind *vb, mop_entry *e, int first);

/* The answer of a relayed exchange. */
struct rmt_answer {
    std::string oid;
    int type = 0;
    uint32_t length = 0;
    unsigned char value[RELAY_VALUE_BUFFER];
};

/* One exchange with the subagent on fd (DPI type 1, 2 or 3): the SNMPv1
 * error status, the answer's binding in `out`. */
int rmt_call(int fd, int dpi_type, const char *instance, const char *group, int value_type,
             uint32_t value_len, const void *value, rmt_answer *out);

/* A serialised query packet (in the codec's static buffer), or none. */
unsigned char *mkMIBquery(int dpi_type, const char *instance, const char *group, int value_type,
                          uint32_t value_len, const void *value);

/* Stores a DPI value (and, when `oid` is given, a new name) in the binding:
 * the SNMPv1 error status. */
int fill_varBind(int value_type, uint32_t len, const void *value, const char *oid,
                 snmp_varbind *vb);

/* SNMP value to DPI value type, length and bytes (in buf, RELAY_VALUE_BUFFER
 * bytes): 0, or -1 for a value that has no DPI form. */
int snmp_to_dpi_value(const snmp_container *v, int *type, uint32_t *len, unsigned char *buf);

/* DPI error code to SNMPv1 error status. */
int map_dpi_error(int code);

/* Forwards a subagent trap to the agent as an SNMPv1 trap. */
void process_dpi_trapv1(int32_t generic, int32_t specific, const char *enterprise,
                        const dpi_binding *bindings);

#endif

/*
 * smuxbridge_main: the daemon's process: command line, the SMUX association
 * with the local agent (127.0.0.1:199), the DPI listening port, the table of
 * five subagents and the select loop that reads and dispatches SMUX messages
 * and DPI packets.
 *
 * Single-threaded; everything lives in plain globals. A relayed request blocks
 * the whole daemon while it waits for the subagent.
 */
#ifndef SMUXBRIDGE_MAIN_H
#define SMUXBRIDGE_MAIN_H

#include "smux_codec.h"
#include "snmp_dpi.h"

#include <sys/select.h>

#include <cstdint>

#define SMUXBRIDGE_PEERS_FILE "/etc/snmpd.peers"
#define SMUXBRIDGE_AGENT_PORT 199
#define SMUXBRIDGE_MAX_SUBAGENTS 5
#define SMUXBRIDGE_DPI_BUFFER 4096u
#define SMUXBRIDGE_READ_TIMEOUT 8 /* seconds, each piece of a DPI packet */
#define SMUXBRIDGE_RETRY_SECONDS 5

/* DPI error code for a registration the daemon could not pass on. */
#define DPI_OTHER_ERROR 101

extern int smux_fd;
extern int dpi_fd;
extern int dpi_port;
extern fd_set selectfds;
extern int nfds;
extern int sa_fds[SMUXBRIDGE_MAX_SUBAGENTS];
extern char myname[256];
extern char myoid[1024];
extern bool myoid_set;
extern char mypw[256];
extern int forever;

/* "smuxbridge version 1.0.00, Mar 16 1998, Compiled <date> at <time>". */
extern const char smuxbridge_banner[];

/* The whole program; main() only calls it. */
int smuxbridge_main(int argc, char **argv);

/* Own name from argv[0]: the last path component without a leading "smux."
 * (when something follows it). */
void set_myname(const char *argv0);

/* Parses the command line: 0, or 1 after printing the usage. */
int parse_args(int argc, char **argv);

void init_smux_dpi_fds(void);
int SMUXconnect(void);
int SMUXopen(const char *name);
int DPI_port(void);
int handle_smux(void);
int handle_DPI_request(int fd);
int read_DPI_packet(int fd, unsigned char *buf, uint32_t size);
int must_read(int fd, unsigned char *buf, int n);
int SMUXsend(const unsigned char *buf, uint32_t len);
int DPIsend(int fd, const unsigned char *packet);
int SMUXregister(smux_pdu *pdu);
void unregister_fd(int fd);
void del_sa_fd(int fd);

/* One pass of the main loop; -1 after a select failure. */
int main_loop_pass(void);

/* A subagent failed. Outside a relayed request it is dropped at once; during
 * one it is only marked, so that the agent gets its GetResponse before any
 * registration change, and dropped by drop_failed_subagents() afterwards. */
void subagent_failed(int fd);
bool subagent_is_failed(int fd);
void drop_failed_subagents(void);

/* Registrations and deletions for the agent wait until it has been quiet for
 * SMUXBRIDGE_QUIET_MS (at most SMUXBRIDGE_QUIET_MAX_MS): the agent takes
 * whatever arrives while it waits for an answer as that answer, and clients
 * send their next request as soon as they have the last answer, so a
 * registration sent right after an answer is the likeliest to be mistaken. */
#define SMUXBRIDGE_QUIET_MS 100
#define SMUXBRIDGE_QUIET_MAX_MS 2000

/* Queues an RReqPDU for the subtree: 0, or -1 without an agent connection or
 * memory. */
int queue_registration(const snmp_container *subtree, int operation);
/* Sends the queued RReqPDUs when the agent has been quiet long enough, or at
 * once with `force`: the number sent. */
int flush_registrations(bool force);
/* Milliseconds the main loop may wait before flush_registrations has work;
 * -1 when nothing is queued. */
int registration_wait_ms(void);

/* Serves every complete request the agent has already sent (used before a
 * registration goes out). Does nothing while a message is being handled. */
void smux_serve_pending(void);

/* Handles one whole SMUX message: 0 keeps the association, non-zero drops it. */
int handle_smux_message(const unsigned char *msg, uint32_t len);

/* Forgets the agent connection's state (unanswered registrations, unread
 * bytes) when the association ends. */
void smux_reset_state(void);

/* Closes a descriptor and forgets its readiness in the current pass. */
void close_fd(int fd);

#endif

/*
 * dpi_connect: the subagent side of DPI: finding the agent's DPI port with an
 * SNMP query of the port object, connecting to it, and reading and writing
 * length-prefixed packets on the connection.
 *
 * Connections are small handles (0 to 2) into a process-wide table; packets
 * read land in one static receive buffer, valid until the next read. Not
 * reentrant.
 */
#ifndef DPI_CONNECT_H
#define DPI_CONNECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the connection layer. */
enum {
    DPI_RC_OK = 0,
    DPI_RC_NOK = -1,            /* general failure */
    DPI_RC_NO_PORT = -2,        /* the agent published no DPI port */
    DPI_RC_EOF = -4,            /* the agent closed the connection */
    DPI_RC_IO_ERROR = -5,
    DPI_RC_INVALID_HANDLE = -6,
    DPI_RC_TIMEOUT = -7,
    DPI_RC_PACKET_TOO_LARGE = -8,
    DPI_RC_NOT_SUPPORTED = -9,
    DPI_RC_INVALID_ARGUMENT = -10
};

#define DPI_MAX_CONNECTIONS 3
#define DPI_PORT_KIND_TCP 1

/* Asks the SNMP agent on `host` (UDP, port SNMP_PORT or 161) for the object
 * 1.3.6.1.4.1.59981.2.1.1.<kind>.0 with `community`; waits 3, 6 and 9 seconds
 * for an answer. The port, or -1 (no answer, a malformed answer, a port
 * outside 1 to 65535, a community too long for the one-byte lengths of the
 * query, a kind outside 1 to 3). */
int qDPIport(const char *host, const char *community, int kind);

/* Connects to the agent's DPI TCP port: the handle (0 to 2), or -2 (no port),
 * -9 (port 0), -5 (connect failed), -1 (no free handle or no socket). */
int DPIconnect_to_agent_TCP(const char *host, const char *community);

/* Not supported on this platform: -9. */
int DPIconnect_to_agent_UNIXstream(void);

/* The descriptor of a handle, or -6. */
int DPIget_fd_for_handle(int handle);

/* Waits up to `timeout` seconds (-1: without limit) for a packet and reads it.
 * 0 with *packet pointing at the receive buffer (length prefix first) and
 * *length the packet's length value; or -6, -7 (time-out), -5, -4 (end of
 * file; the handle is released), -8 (packet of 4095 bytes or more, drained). */
int DPIawait_packet_from_agent(int handle, int timeout, unsigned char **packet, uint32_t *length);

/* Sends `length` bytes: 0, -5 (short or failed send), -6 (bad handle), -10 (no
 * packet or length 0), -1 (not a TCP handle). */
int DPIsend_packet_to_agent(int handle, const unsigned char *packet, uint32_t length);

/* Closes the connection and frees the handle. */
void DPIdisconnect_from_agent(int handle);

#ifdef __cplusplus
}
#endif

#endif

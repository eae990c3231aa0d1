// smuxbridge: relays between the local SNMP agent, reached as a SMUX peer on
// 127.0.0.1:199, and SNMP DPI 2.0 subagents that connect to a TCP port of its
// own, published as the object 1.3.6.1.4.1.59981.2.1.1.1.0.
#include "smuxbridge_main.h"

int main(int argc, char **argv)
{
    return smuxbridge_main(argc, argv);
}

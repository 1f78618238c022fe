/* devfinder: the LAN discovery daemon. The device and the server live until
 * the process ends; all work happens on the server's own thread. */
#include <stddef.h>
#include <unistd.h>

#include <new>

#include "bcast_serv.h"
#include "comm_log.h"
#include "search_intf.h"

int main()
{
    /* A log reader that stalls or goes away must not stop the daemon. */
    (void)CommLogNeverBlock();
    DevInterface* pIntf = new (std::nothrow) NetInterface(NULL);
    if (pIntf == nullptr) return 1;
    BcastServer* pServer = new (std::nothrow) BcastServer(pIntf);
    if (pServer == nullptr) return 1;
    for (;;) sleep(1);
}

// SPDX-License-Identifier: MIT
/* intf_request.h: IRequestScope, for a device class whose answers to the
 * calls of one request may come from one reading of their source.
 *
 *   class MyDevice : public DevInterface, public IRequestScope { ... };
 *   MyDevice* pDev = new MyDevice;
 *   new BcastServer(pDev, pDev);   // the facade, and its request scope
 *   pScope->RequestBegin();        // the server, when a datagram has arrived
 *   ...                            // the facade calls that datagram needs
 *   pScope->RequestEnd();          // when it is handled
 *
 * Between the two, the device may answer several operations from one read
 * (one read of a settings file for two operations that need it). Nothing read
 * may serve after RequestEnd, so every request sees the device as it is then;
 * outside a request every operation reads for itself. Not a role of the
 * facade: the server is given it beside the facade, or none. */
#ifndef INTERFACE_INTF_REQUEST_H
#define INTERFACE_INTF_REQUEST_H

#include "type.h"

class IRequestScope {
public:
    virtual VOID RequestBegin() = 0;
    virtual VOID RequestEnd() = 0;

protected:
    /* Never deleted through this interface. */
    ~IRequestScope() = default;
};

#endif /* INTERFACE_INTF_REQUEST_H */

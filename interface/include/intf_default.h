// SPDX-License-Identifier: MIT
/* intf_default.h: the default bodies shared by the role interfaces.
 *
 *   INTF_DEFAULT(S32, GetDevChnNum, (), -1)    // prints the line, returns -1
 *   INTF_SILENT(BOOL, IsEncodeEnabled, (), true)
 *
 * A device class overrides what it supports; every other operation prints
 * "FUNC = <name> not impletion!" on standard output and returns its default.
 * Each kind of body is written once here, so the role headers read as one
 * operation per line, in declaration order (that order is the vtable layout). */
#ifndef INTERFACE_INTF_DEFAULT_H
#define INTERFACE_INTF_DEFAULT_H

#include "type.h"
#include "comm_def.h"
#include "exception.h"

/* Prints the not-implemented line for ps8Func (the operation's bare name).
 * Out of line and cold: about 400 callers share one copy, off the hot path. */
__attribute__((noinline, cold)) VOID IntfNotImplemented(const S8* ps8Func);

/* Prints the line, returns VALUE. */
#define INTF_DEFAULT(RET, NAME, ARGS, VALUE) \
    virtual RET NAME ARGS                    \
    {                                        \
        IntfNotImplemented(#NAME);           \
        return VALUE;                        \
    }
/* Prints the line, returns nothing. */
#define INTF_DEFAULT_VOID(NAME, ARGS) \
    virtual VOID NAME ARGS            \
    {                                 \
        IntfNotImplemented(#NAME);    \
    }
/* Prints nothing, returns VALUE. */
#define INTF_SILENT(RET, NAME, ARGS, VALUE) \
    virtual RET NAME ARGS                   \
    {                                       \
        return VALUE;                       \
    }
/* Prints the line, then throws Exception(NAME); never returns. */
#define INTF_THROWS(RET, NAME, ARGS) \
    virtual RET NAME ARGS            \
    {                                \
        IntfNotImplemented(#NAME);   \
        throw Exception(#NAME);      \
    }

/* The one parameter list of the settings-block adapters: the settings record,
 * a single-item record, the channel, the direction (true = get the device's
 * settings into the record, false = apply the record) and the record's size. */
#define INTF_ADAPTER_ARGS \
    (VOID* /*pParam*/, VOID* /*pItem*/, S32 /*s32ChnNO*/, BOOL /*bDirection*/, U32 /*u32ParseSize*/)

#endif /* INTERFACE_INTF_DEFAULT_H */

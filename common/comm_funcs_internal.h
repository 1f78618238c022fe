// SPDX-License-Identifier: MIT
/* comm_funcs_internal.h: helpers of comm_funcs that have their own tests and
 * the fuzz target. Not part of the library's public surface. */
#ifndef COMMON_COMM_FUNCS_INTERNAL_H
#define COMMON_COMM_FUNCS_INTERNAL_H

#include <stddef.h>

#include "comm_funcs.h"

struct ifreq;

namespace comm_internal {

/* PutIfName: an interface name into a request record's 16-byte field; a name
 * that does not fit is refused (cut, it may name another interface).
 * return true when the name was put */
bool PutIfName(ifreq* pstIfr, const char* ps8IfName);

/* How a route's output interface is matched against the wanted one. By index
 * is the fast path of GetGateWay (one lookup of the wanted name per call); by
 * name translates every route's index, as ParseRoutes documents. */
typedef struct {
    bool bByIndex;
    unsigned int u32IfIndex; /* by index: the wanted index; 0 never matches */
    const char* ps8IfName;   /* by name: the wanted name */
} ROUTE_MATCH_S;

/* One route message of u32MsgLen bytes (its own length field, already checked
 * by the caller to lie within the buffer). Same results as ParseRoutes. */
int ParseRouteMsg(const unsigned char* pu8Msg, size_t u32MsgLen, const ROUTE_MATCH_S& stMatch,
                  route_info* pstRtInfo, unsigned char* pu8GateWay);

/* Walk the messages of a route dump of s32Len bytes as GetGateWay does: stop
 * at the first message too short or too long for what remains, or at the
 * first route that matches. return 0 when a route matched, else -1. */
int WalkRouteDump(const unsigned char* pu8Buf, size_t u32Len, const ROUTE_MATCH_S& stMatch,
                  unsigned char* pu8GateWay);

/* Offset of the first end-of-dump message among the well-formed messages of
 * one datagram, or -1 when there is none. */
long FindNlDone(const unsigned char* pu8Buf, size_t u32Len);

/* 32-bit wrapping helpers behind the guarded counters. */
long Wrap32(long s32Value);

}  // namespace comm_internal

#endif /* COMMON_COMM_FUNCS_INTERNAL_H */

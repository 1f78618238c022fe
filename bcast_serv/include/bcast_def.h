// SPDX-License-Identifier: MIT
/* bcast_def.h: the discovery server's fixed values, each named once: its port
 * and the facts of the datagrams it reads and writes. The server's header
 * (bcast_serv.h) carries them to its callers; its handlers take them from here. */
#ifndef BCAST_SERV_BCAST_DEF_H
#define BCAST_SERV_BCAST_DEF_H

#include <stddef.h>

#include "VXNetProtocol.h"
#include "type.h"

/* The discovery port, on every IPv4 address; the version the banner shows. */
constexpr int BCAST_UDP_PORT = 9333;
constexpr const char* BCAST_VERSION = "V2.0.0-20160127";
/* Every datagram is read into this much; a longer one is cut to it. */
constexpr size_t BCAST_RECV_BUF_SIZE = sizeof(BCAST_DEVM_MSG_S);
/* AckFlag of a modification reply that is sent. */
constexpr WORD BCAST_MODIFY_ACK_OK = 0;
/* Bytes of one ExtSize word between a modification reply's header and body. */
constexpr U32 BCAST_EXT_WORD_SIZE = 4;
/* What the facade is asked with: SaveFlash's message type and subtype, the
 * local user of GetDevInfo, the DNS servers of GetDnsAddrs. */
constexpr WORD BCAST_SAVE_MSG_TYPE = 216;
constexpr WORD BCAST_SAVE_MSG_SUBTYPE = 511;
constexpr S32 BCAST_LOCAL_USER_ID = 1;
constexpr S32 BCAST_DNS_COUNT = 2;

#endif /* BCAST_SERV_BCAST_DEF_H */

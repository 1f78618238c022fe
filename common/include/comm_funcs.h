// SPDX-License-Identifier: MIT
/* comm_funcs.h: the one public header of the daemon's helper library, the
 * free functions behind its units: threads and BSD sockets (comm_socket),
 * readiness waits and transfers (comm_transfer), live interface/route/DNS
 * queries (comm_netquery, comm_ifinfo) and small encoders (comm_encode).
 *
 *   int s32Fd = UdpListen(nullptr, "9333", nullptr);      // bound datagram socket or -1
 *   unsigned char u8Ip[4], u8Mask[4], u8Gw[4] = {0, 0, 0, 0};
 *   GetIpAndNetMask(u8Ip, u8Mask, "eth0");                 // writes only what the kernel gave
 *   GetGateWay(u8Gw, "eth0");
 *
 * Conventions: results are 0, a descriptor or a count on success and negative
 * on failure; out-parameters are written only when their value was obtained;
 * failures are logged once on standard error ("COMM" tag, "PLATFORM" for
 * SelectFd). Nothing here keeps state between calls except the counter lock,
 * the random seed and the transform defaults below. Every descriptor a call
 * opens is closed before it returns, on every path (the *Fd variants use one
 * their caller keeps). */
#ifndef COMMON_COMM_FUNCS_H
#define COMMON_COMM_FUNCS_H

#include <netinet/in.h>
#include <stddef.h>

#include "comm_def.h"
#include "comm_fd.h"
#include "type.h"

struct sockaddr;
struct nlmsghdr;

/* Resolver file read by GetDnsAddr. */
constexpr const char* COMM_RESOLV_CONF_PATH = "/etc/resolv.conf";
/* Descriptor sets of the waits hold descriptors 0 .. COMM_SELECT_FD_LIMIT - 1. */
constexpr int COMM_SELECT_FD_LIMIT = 1024;
/* Routing-netlink receive buffer of GetGateWay / ReadNlSock. */
constexpr int COMM_NL_BUF_SIZE = 8192;
/* Interface-list buffer of GetIpAndNetMask. */
constexpr int COMM_IFCONF_BUF_SIZE = 4096;
/* Longest interface name (kernel field of 16 bytes with its terminator). */
constexpr size_t COMM_IFNAME_MAX_LEN = 15;
/* Bytes of the resolver file examined, and the longest name-server token. */
constexpr size_t COMM_RESOLV_READ_SIZE = 100;
constexpr size_t COMM_DNS_TOKEN_MAX_LEN = 24;
/* Longest dotted text IPAddrAdapter copies (longer text is cut). */
constexpr size_t COMM_IPTEXT_COPY_MAX = 1024;

/* ====================================================================== */
/* Threads                                                                 */
/* ====================================================================== */

/* CreateJoinableThread: start entry(param) on a joinable thread (default
 * attributes).
 * pid [out] the thread id; written only on success (required)
 * return 0, or -1 (errno holds the creation error; logged and perror'd) */
int CreateJoinableThread(void* (*entry)(void*), void* param, unsigned long* pid);

/* CreateDetachThread: start entry(para) on a detached thread with system
 * contention scope and the platform's default stack and priority.
 * entry [in]  required (asserted)
 * pid   [out] the thread id when not null; written only on success
 * return 0, or -1 ("pthread_create called error!") */
int CreateDetachThread(void* (*entry)(void*), void* para, unsigned long* pid);

/* ====================================================================== */
/* Sockets                                                                 */
/* ====================================================================== */

/* Condition waited for by Select (passed as a short). */
enum tag_STATUS : int { WRITE_STATUS = 0, READ_STATUS = 1, EXCPT_STATUS = 2 };

/* Condition waited for by SelectFd, and its result. The enumerations have a
 * fixed underlying type, so a caller's out-of-range value is a value the
 * functions can refuse, not undefined behaviour. */
typedef enum : int {
    SELECTFD_STAT_READ = -1,
    SELECTFD_STAT_WRITE = 0,
    SELECTFD_STAT_EXCPT = 1
} SELECTFD_STAT_E;

typedef enum : int {
    SELECTFD_RETURN_ERROR = -1,
    SELECTFD_RETURN_OVERTIME = 0,
    SELECTFD_RETURN_SUCCESS = 1
} SELECTFD_RETURN_E;

/* Traffic class of a DiffServ marking. */
typedef enum : int32_t { COMMAND_TYPE = 0, AUDIO_VEDIO_TYPE = 1 } DSCP_TYPE_E;

/* Marking request, passed by value. */
typedef struct DscpLevelAndType {
    S32 rawDscpLevel; /* priority level 0 .. 7 */
    DSCP_TYPE_E type; /* 32 bits */
} DSCP_LEVEL_TYPE_S;

static_assert(sizeof(DSCP_TYPE_E) == 4, "DSCP_TYPE_E is 32 bits");
static_assert(sizeof(DSCP_LEVEL_TYPE_S) == 8, "DscpLevelAndType is two 32-bit fields");

/* TcpListen: listening IPv4 stream socket (SO_REUSEADDR, backlog 500).
 * host     [in]  local address text, or null for every local address
 * serv     [in]  service or decimal port text
 * addrlenp [out] bound address length (16) when not null; written only on success
 * return the socket, or -1 (resolver, bind or listen failure; logged) */
int TcpListen(const char* host, const char* serv, unsigned int* addrlenp);

/* UdpListen: bound IPv4 datagram socket; no socket option is set (no address
 * reuse, no broadcast permission), so a second bind of one port fails.
 * Arguments as TcpListen.
 * return the socket, or -1 ("udp_server error for ..." without newline) */
int UdpListen(const char* host, const char* serv, unsigned int* addrlenp);

/* DscpPriorityLevelMap: type-of-service byte for a level and class:
 * 8 * level + 7 (COMMAND_TYPE) or 8 * level + 6 (AUDIO_VEDIO_TYPE), not shifted.
 * return the value, or 0 for a level outside 0..7 or another class */
unsigned char DscpPriorityLevelMap(DscpLevelAndType dscplevelAndtype);

/* TcpConnectForDscp: TcpConnect, with the DscpPriorityLevelMap value set as
 * IP_TOS on each socket before it connects (a failure is perror'd and ignored).
 * return a connected blocking socket, or -1 */
int TcpConnectForDscp(const char* host, const char* serv, int nsec,
                      DscpLevelAndType rawDscpLevelAndtype);

/* TcpConnect: connect to the first resolved IPv4 address that answers.
 * nsec [in] seconds to wait for each address (0: no limit); an address that
 *           times out is skipped, any other failure ends the call
 * return a connected socket in blocking mode, or -1 ("Connect error" /
 *        "Select error" / "getaddrinfo error"; logged) */
int TcpConnect(const char* host, const char* serv, int nsec);

/* UdpConnect: datagram socket connected to the first resolved IPv4 address
 * that accepts it.
 * return the socket, or -1 ("udp_connect error for ..." without newline) */
int UdpConnect(const char* host, const char* serv);

/* UdpClient: unconnected datagram socket for the first resolved IPv4 address.
 * saptr [out] malloc'd copy of that address (the caller frees it)
 * lenp  [out] its length (16 for IPv4)
 * Both are required and written only on success.
 * return the socket, or -1 ("udp_client error for ..." without newline) */
int UdpClient(const char* host, const char* serv, sockaddr** saptr, unsigned int* lenp);

/* SelectFd: wait once for one descriptor ("PLATFORM" log tag).
 * s32SocketFd [in] 1 .. COMM_SELECT_FD_LIMIT - 1; 0 or less, or too large for
 *                  the set, is refused with SELECTFD_RETURN_ERROR and a log line
 * return SELECTFD_RETURN_SUCCESS, _OVERTIME, or _ERROR (failed or interrupted
 *        wait, unknown condition) */
SELECTFD_RETURN_E SelectFd(int s32SocketFd, SELECTFD_STAT_E enStat, int s32Sec, int s32uSec);

/* Select: wait once for a tag_STATUS condition, then check SO_ERROR.
 * sockfd [in] 0 .. COMM_SELECT_FD_LIMIT - 1 (negative: -1 silently; too large:
 *             -1 with a log line)
 * sec    [in] whole seconds; 0 polls once
 * stat   [in] tag_STATUS; any other value waits for nothing and counts as timeout
 * return 1 when ready without a pending error; -1 on timeout, failure, an
 *        interrupted wait or a pending socket error */
int Select(int sockfd, int sec, short stat);

/* RecvTimeOut: wait up to s32Sec for data, then receive once.
 * s32Size [in] buffer capacity, 0 or more
 * return bytes received (> 0), or -1 (timeout, peer closed, error) */
int RecvTimeOut(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec);

/* SendTimeOut: wait up to s32Sec for room, then send once what fits without
 * blocking further (a peer that has gone away gives -1, never SIGPIPE).
 * return bytes sent (possibly fewer than s32Size), 0 when the send was
 *        interrupted by a signal or found no room after all, or -1 */
int SendTimeOut(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec);

/* ReadData: receive exactly s32Size bytes, waiting without limit.
 * pu8Buffer [out] required (asserted)
 * return 0 when all arrived, else -1 (peer closed or error; logged) */
int ReadData(int s32SockFd, char* pu8Buffer, int s32Size);

/* ReadData: receive exactly s32Size bytes; each wait is limited to s32Sec.
 * return 0 when all arrived, else -1 (the wanted size and the count are logged) */
int ReadData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec);

/* ReadPartialData: receive up to s32Size bytes, each wait limited to s32Sec.
 * return s32Size when all arrived; the count so far when the peer closed
 *        first; -1 on a timeout or error (bytes already read are not counted) */
int ReadPartialData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec);

/* WriteData: send exactly s32Size bytes, waiting without limit.
 * return 0 when all went out, else -1 */
int WriteData(int s32SockFd, char* pu8Buffer, int s32Size);

/* WriteData: send exactly s32Size bytes; each wait is limited to s32Sec and
 * interrupted sends are repeated (a bounded number of times in a row).
 * return 0 when all went out, else -1 */
int WriteData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec);

/* UdpReadData: one recvfrom.
 * pstSA      [out] sender address (may be null)
 * s32AddrLen [in/out] capacity of pstSA, then the sender address length;
 *                     written only when a datagram was received
 * return bytes received, or -1 (logged) */
int UdpReadData(int s32SockFd, char* pu8Buffer, int s32Size, sockaddr* pstSA, int* s32AddrLen);

/* UdpWriteData: one sendto to pstSA.
 * return bytes sent, or -1 (logged with the size) */
int UdpWriteData(int s32SockFd, char* pu8Buffer, int s32Size, sockaddr* pstSA, int s32AddrLen);

/* ====================================================================== */
/* Interface, route and DNS queries                                        */
/* ====================================================================== */

/* One route message as ParseRoutes reads it. */
typedef struct route_info {
    in_addr dstAddr; /* declared, never filled (stays zero) */
    in_addr srcAddr; /* declared, never filled (stays zero) */
    in_addr gateWay; /* RTA_GATEWAY, network order */
    char ifName[16]; /* output interface, zero-terminated; empty when none */
} route_info;

static_assert(sizeof(route_info) == 28, "route_info is three addresses and a name");

/* MII register request carried inside an interface request. */
typedef struct mii_data {
    unsigned short phy_id;
    unsigned short reg_num;
    unsigned short val_in;
    unsigned short val_out;
} mii_data;

static_assert(sizeof(mii_data) == 8, "mii_data is four 16-bit fields");

/* GetIpAndNetMask: live IPv4 address and netmask of an interface.
 * pu8IpAddr  [out] 4 bytes, dotted order; written only from an interface-list
 *                  entry named exactly ps8IfName that is up and not loopback
 *                  (the last such entry wins); required (asserted)
 * pu8NetMask [out] 4 bytes, or null to skip the netmask; written only when
 *                  the netmask query succeeds
 * ps8IfName  [in]  required (asserted); a name longer than 15 characters
 *                  matches nothing and its netmask query is refused
 * return 0, or -1 (socket, list, flags or netmask query failed; logged; an
 *        address found before the failure stays written) */
int GetIpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask, const char* ps8IfName);

/* GetIpAndNetMaskFd: GetIpAndNetMask over an IPv4 datagram socket the caller
 * keeps open (a server that asks for every request); the socket is neither
 * opened nor closed here. Same outputs, results and log lines (which name
 * GetIpAndNetMask). */
int GetIpAndNetMaskFd(int s32SockFd, unsigned char* pu8IpAddr, unsigned char* pu8NetMask,
                      const char* ps8IfName);

/* ReadNlSock: read one routing-netlink answer into bufPtr.
 * bufPtr [out] start of a COMM_NL_BUF_SIZE-byte buffer
 * seqNum, pId [in] a multipart datagram whose first message carries both ends
 *             the read; the read also ends at an end-of-dump message wherever it
 *             stands in a datagram (that message is neither counted nor kept)
 * return total bytes received (0 or more), or -1 (receive failure, or a short,
 *        inconsistent or error first message; logged) */
int ReadNlSock(int sockFd, char* bufPtr, int seqNum, int pId);

/* ParseRoutes: inspect one netlink message of a route dump.
 * nlHdr      [in]  one message; its length field bounds every read
 * rtInfo     [out] scratch record: gateway and output interface name
 * pu8GateWay [out] 4 bytes; written with the gateway of every IPv4 main-table
 *                  route that has one, whatever its interface
 * ps8IfName  [in]  wanted output interface name
 * return 0 when the route has a gateway and leaves by ps8IfName, else -1 */
int ParseRoutes(nlmsghdr* nlHdr, route_info* rtInfo, unsigned char* pu8GateWay,
                const char* ps8IfName);

/* GetGateWay: gateway from a routing-netlink dump. Every IPv4 main-table route
 * with a gateway writes it to pu8GateWay; the walk stops at the first one that
 * leaves by ps8IfName. No such route at all leaves pu8GateWay as it was.
 * pu8GateWay [in/out] 4 bytes; required (asserted)
 * ps8IfName  [in]     required (asserted)
 * return 0 after a complete dump was walked, or -1 (socket, send or read
 *        failure; logged) */
int GetGateWay(unsigned char* pu8GateWay, const char* ps8IfName);

/* GetGateWayFd: GetGateWay over a routing-netlink socket the caller keeps open;
 * the socket is neither opened nor closed here. Same walk, outputs, results and
 * log lines (which name GetGateWay).
 * s32NlFd  [in] NETLINK_ROUTE datagram socket. After -1 the rest of an answer
 *               may still be queued on it: close it rather than ask again.
 * s32Pid   [in] port id written into the request (the process id)
 * u8Family [in] family of the routes asked for: AF_UNSPEC (every family and
 *               table, as GetGateWay asks) or AF_INET (the only ones that count,
 *               so the answer is shorter) */
int GetGateWayFd(int s32NlFd, int s32Pid, unsigned char u8Family, unsigned char* pu8GateWay,
                 const char* ps8IfName);

/* CommLiveQuery: the live address, netmask and gateway of an interface over
 * descriptors kept open from one query to the next, for a server that asks
 * on every request. GetIpAndNetMask and GetGateWay open and close their own.
 *
 *   CommLiveQuery stLive;                        // opens nothing yet
 *   stLive.IpAndNetMask(u8Ip, u8Mask, "eth0");   // as GetIpAndNetMask
 *   stLive.GateWay(u8Gw, "eth0");                // as GetGateWay, IPv4 routes asked
 *
 * Nothing is cached: every call asks the kernel. A descriptor that cannot be
 * opened is tried again at the next call; the route socket is closed after a
 * failed dump, so no rest of an old answer is ever read as part of a new one.
 * One owner thread; the descriptors are close-on-exec. */
class CommLiveQuery {
public:
    CommLiveQuery() noexcept = default;
    CommLiveQuery(const CommLiveQuery&) = delete;
    CommLiveQuery& operator=(const CommLiveQuery&) = delete;

    /* IpAndNetMask: GetIpAndNetMask over the kept datagram socket: same
     * arguments, outputs, result and log lines. */
    int IpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask, const char* ps8IfName);

    /* GateWay: GetGateWay over the kept routing socket, asking for IPv4 routes
     * only (the walk looks at no other): same arguments, outputs, result and
     * log lines. */
    int GateWay(unsigned char* pu8GateWay, const char* ps8IfName);

private:
    UniqueFd m_stIoctlFd;  /* IPv4 datagram socket for the interface requests */
    UniqueFd m_stRouteFd;  /* NETLINK_ROUTE socket for the route dumps */
    int m_s32RoutePid = 0; /* port id the dump requests carry */
};

/* GetNetLinkState: whether the interface reports link. Only interfaces that
 * answer an MII register read can report it.
 * pu8IfName [in] required (asserted); longer than 15 characters is refused
 * return true when the MII read succeeds and IFF_RUNNING is set; else false */
bool GetNetLinkState(const char* pu8IfName);

/* GetDnsAddr: the first name server in the first 100 bytes of the resolver
 * file. The token after "nameserver " ends at a newline, a blank or the end
 * and is cut to 24 characters; a token that does not convert gives
 * 255.255.255.255 and still succeeds.
 * pu8Dns   [out] 4 bytes, dotted order; written only on success
 * ps8Path  [in]  the resolver file (tests pass their own)
 * return 0, or -1 (open/read failure, or no "nameserver "; logged) */
int GetDnsAddr(unsigned char* pu8Dns, const char* ps8Path = COMM_RESOLV_CONF_PATH);

/* GetMacAddress: hardware address of an interface.
 * ps8EthName [in]  interface name; longer than 15 characters is refused
 * pu8Mac     [out] 6 bytes; written only on success
 * return 0, or -1; nothing is logged */
int GetMacAddress(const char* ps8EthName, unsigned char* pu8Mac);

/* IPAddrAdapter: dotted text <-> 4 address bytes.
 * bDir true:  U8IPAddr -> "%d.%d.%d.%d" in S8IPAddr (at least 16 bytes)
 * bDir false: S8IPAddr (terminated; the first 1024 characters are used) is
 *             split at every '.'; each field converts like atoi (clamped to
 *             32 bits) and its low 8 bits go to U8IPAddr[i] for the first four
 *             fields; missing fields leave their bytes. The text and the bytes
 *             go out as a trace line (standard output, under the log budget).
 * return 0, or -1 when the text has more than four fields */
int IPAddrAdapter(char* S8IPAddr, unsigned char* U8IPAddr, bool bDir);

/* ====================================================================== */
/* Guarded counters, random numbers, time keys                             */
/* ====================================================================== */

/* The counters keep the `long` of their callers, which is 32 bits on the
 * camera. On a host with a wider `long` they still count in 32 bits: every
 * value they store is wrapped to int32_t range, so incrementing 2^31 - 1
 * stores -2^31 on every host. One process-wide mutex serialises the three;
 * plain accesses elsewhere are not protected. */

/* InterlockedAssign: *lpDstValue = *lpSrcValue (wrapped to 32 bits).
 * return the value now stored in *lpDstValue */
long InterlockedAssign(long* lpDstValue, long* lpSrcValue);

/* InterlockedIncrement: add 1 in 32-bit wrapping arithmetic.
 * return the new value */
long InterlockedIncrement(long* lpAddend);

/* InterlockedCmp: sign of the wrapping 32-bit difference *lpValue1 - *lpValue2;
 * values more than 2^31 apart compare the other way round.
 * return 1, 0 or -1 */
long InterlockedCmp(long* lpValue1, long* lpValue2);

/* Seed last given to the generator by InitRandom. */
extern int s32Seed;

/* InitRandom: seed the C library generator with the current time. */
void InitRandom();

/* GetRandom: rand() % s32Val.
 * return 0 .. s32Val - 1, or 0 for a bound of 0 or less */
unsigned int GetRandom(int s32Val);

/* Recording time record. */
typedef struct tag_REC_TIME_S {
    S32 s32Year;
    S32 s32Month;
    S32 s32Day;
    S32 s32Hour;
    S32 s32Min;
    S32 s32Sec;
} REC_TIME_S;

static_assert(sizeof(REC_TIME_S) == 24, "REC_TIME_S is six 32-bit fields");

/* CompareDateTime / CompareRecordTime: order two records by the key
 * Year*35942400 + Month*2764800 + Day*86400 + Hour*3600 + Minute*60 + Second
 * (a 32-day month and a year of 13 such months: valid dates order correctly
 * without a calendar). Reserved is ignored. CompareRecordTime widens its
 * fields with their sign and compares the keys unsigned. Both pointers are
 * required.
 * return 1 if the first is later, -1 if earlier, 0 if equal */
int CompareDateTime(const DateTime* pTime1, const DateTime* pTime2);
int CompareRecordTime(const REC_TIME_S* pTime1, const REC_TIME_S* pTime2);

/* ====================================================================== */
/* Encoders                                                                */
/* ====================================================================== */

/* hex_encode: encode_size bytes of decode as lower-case hex text.
 * encode [out] at least 2 * encode_size + 1 bytes; always terminated
 * return 0 */
int hex_encode(void* decode, char* encode, unsigned int encode_size);

/* hex_decode: hex text of exactly 2 * decoded_size characters into bytes. Each
 * pair converts like scanf "%x" (leading blanks and a sign accepted, a bad
 * second digit ignored) and keeps its low 8 bits.
 * return 0; -1 for a text of another length (nothing written); -2 at a pair
 *        that does not convert (earlier bytes stay written) */
int hex_decode(const char* encoded, void* decoded, int decoded_size);

/* base64: standard alphabet with '=' padding, no line breaks.
 * out [out] at least 4 * ceil(inlen / 3) + 1 bytes; terminated
 * return the text length, or -1 for a null pointer (or a length an int
 *        cannot hold) */
int base64(const void* in, unsigned int inlen, char* out);

/* Defaults for callers of the bit transform that have no parameters of
 * their own. */
extern U32 YSFPos;
extern U32 YSFGas;

/* YSFEncode: permute the 8 * readlen bits of data in place, the permutation
 * fixed by the bit count, pos and gap (a counting-out walk round a circle of
 * bits). For one byte with pos 0 and gap 1 the bits come out in the order
 * 1, 3, 5, 7, 2, 6, 4, 0 (bit 0 is the most significant).
 * readlen [in] 1 .. 2^29 - 1 bytes; 0 (or more) is refused
 * return 0, or -1 (refused length or out of memory; data unchanged) */
int YSFEncode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap);

/* YSFDecode: undo YSFEncode with the same readlen, pos and gap.
 * return 0, or -1 (refused length: data unchanged; out of memory: data
 *        unchanged or, if the circle could not be built, all zero) */
int YSFDecode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap);

/* ====================================================================== */
/* Telnet client: present in the interface, does nothing                   */
/* ====================================================================== */

/* Each accepts its arguments, writes nothing and returns 0. */
int TelnetStart(const char* host, const char* serv, const char* username, const char* password);
int TelnetCmd(int s32SockFd, const char* ps8CmdStr, char* ps8RspStr, int* s32RspSize);
int TelnetEnd(int s32SockFd);

#endif /* COMMON_COMM_FUNCS_H */

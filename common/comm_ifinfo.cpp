// SPDX-License-Identifier: MIT
/* comm_ifinfo.cpp: the link state, name server, MAC address and address text
 * queries of the helper library (comm_funcs.h). */
#include "comm_funcs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm_fd.h"
#include "comm_funcs_internal.h"
#include "comm_io.h"
#include "comm_log.h"

using comm_internal::PutIfName;

bool GetNetLinkState(const char* pu8IfName)
{
    COMM_ASSERT(pu8IfName != nullptr);
    UniqueFd stFd(CommSocket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) {
        const int s32Err = errno;
        COMM_LOG_DASH("socket:%s\n", strerror(s32Err));
        return false;
    }
    ifreq stIfr;
    memset(&stIfr, 0, sizeof(stIfr));
    if (!PutIfName(&stIfr, pu8IfName)) {
        COMM_LOG_DASH("ioctl:%s\n", strerror(ENODEV));
        return false;
    }
    /* Basic status register of PHY 0; only the success of the read counts. */
    mii_data stMii = {0, 1, 0, 0};
    static_assert(sizeof(stMii) <= sizeof(stIfr.ifr_ifru), "MII request fits the request record");
    memcpy(&stIfr.ifr_ifru, &stMii, sizeof(stMii));
    if (ioctl(stFd.Get(), SIOCGMIIREG, &stIfr) < 0) {
        const int s32Err = errno;
        COMM_LOG_DASH("ioctl:%s\n", strerror(s32Err));
        return false;
    }
    if (ioctl(stFd.Get(), SIOCGIFFLAGS, &stIfr) == 0 && (stIfr.ifr_flags & IFF_RUNNING) != 0) {
        COMM_LOG_DASH("SIOCGIFFLAGS NewWork Link OK\n");
        return true;
    }
    COMM_LOG_DASH("No NewWork Link\n");
    return false;
}

int GetDnsAddr(unsigned char* pu8Dns, const char* ps8Path)
{
    COMM_ASSERT(pu8Dns != nullptr);
    COMM_ASSERT(ps8Path != nullptr);
    char s8Text[COMM_RESOLV_READ_SIZE + 1];
    memset(s8Text, 0, sizeof(s8Text));
    {
        UniqueFd stFd(open(ps8Path, O_RDONLY | O_CLOEXEC));
        if (stFd.Get() < 0) {
            const int s32Err = errno;
            COMM_LOG("open failed:%s\n", strerror(s32Err));
            return -1;
        }
        /* One read of up to 100 bytes; a short read of a regular file is
         * its end. */
        const ssize_t s32Ret = read(stFd.Get(), s8Text, COMM_RESOLV_READ_SIZE);
        if (s32Ret < 0) {
            const int s32Err = errno;
            COMM_LOG("read file error: %s\n", strerror(s32Err));
            return -1;
        }
    }
    static const char s8Key[] = "nameserver ";
    const char* ps8Match = strstr(s8Text, s8Key);
    if (ps8Match == nullptr) {
        COMM_LOG("do not find nameserver \n");
        return -1;
    }
    const char* ps8Tok = ps8Match + (sizeof(s8Key) - 1);
    char s8Token[COMM_DNS_TOKEN_MAX_LEN + 1];
    size_t u32TokLen = 0;
    while (ps8Tok[u32TokLen] != '\0' && ps8Tok[u32TokLen] != '\n' && ps8Tok[u32TokLen] != ' ' &&
           u32TokLen < COMM_DNS_TOKEN_MAX_LEN) {
        ++u32TokLen;
    }
    memcpy(s8Token, ps8Tok, u32TokLen);
    s8Token[u32TokLen] = '\0';
    const in_addr_t u32Addr = inet_addr(s8Token);
    memcpy(pu8Dns, &u32Addr, sizeof(u32Addr));
    COMM_LOG_DASH("DnsAddress = %03d.%03d.%03d.%03d\n", pu8Dns[0], pu8Dns[1], pu8Dns[2], pu8Dns[3]);
    return 0;
}

int GetMacAddress(const char* ps8EthName, unsigned char* pu8Mac)
{
    if (ps8EthName == nullptr || pu8Mac == nullptr) return -1;
    UniqueFd stFd(CommSocket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) return -1;
    ifreq stIfr;
    memset(&stIfr, 0, sizeof(stIfr));
    if (!PutIfName(&stIfr, ps8EthName)) return -1;
    if (ioctl(stFd.Get(), SIOCGIFHWADDR, &stIfr) < 0) return -1;
    constexpr size_t COMM_MAC_LEN = 6;
    static_assert(sizeof(stIfr.ifr_hwaddr.sa_data) >= COMM_MAC_LEN, "hardware address field");
    memcpy(pu8Mac, stIfr.ifr_hwaddr.sa_data, COMM_MAC_LEN);
    return 0;
}

int IPAddrAdapter(char* S8IPAddr, unsigned char* U8IPAddr, bool bDir)
{
    COMM_ASSERT(S8IPAddr != nullptr);
    COMM_ASSERT(U8IPAddr != nullptr);
    constexpr size_t COMM_IPTEXT_SIZE = 16; /* "255.255.255.255" and its terminator */
    if (bDir) {
        (void)snprintf(S8IPAddr, COMM_IPTEXT_SIZE, "%d.%d.%d.%d", U8IPAddr[0], U8IPAddr[1],
                       U8IPAddr[2], U8IPAddr[3]);
        return 0;
    }
    char s8Copy[COMM_IPTEXT_COPY_MAX + 1];
    const size_t u32Len = strnlen(S8IPAddr, COMM_IPTEXT_COPY_MAX);
    memcpy(s8Copy, S8IPAddr, u32Len);
    s8Copy[u32Len] = '\0';

    int s32Fields = 0;
    const char* ps8Field = s8Copy;
    for (;;) {
        const char* ps8Dot = strchr(ps8Field, '.');
        if (s32Fields < 4) {
            /* atoi, without its undefined overflow: strtol clamps, and the
             * value is then held in 32 bits as on the camera. */
            char s8Num[COMM_IPTEXT_COPY_MAX + 1];
            const size_t u32FieldLen =
                (ps8Dot != nullptr) ? static_cast<size_t>(ps8Dot - ps8Field) : strlen(ps8Field);
            memcpy(s8Num, ps8Field, u32FieldLen);
            s8Num[u32FieldLen] = '\0';
            long s32Val = strtol(s8Num, nullptr, 10);
            if (s32Val > INT32_MAX) s32Val = INT32_MAX;
            if (s32Val < INT32_MIN) s32Val = INT32_MIN;
            U8IPAddr[s32Fields] =
                static_cast<unsigned char>(static_cast<unsigned long>(s32Val) & 0xFFu);
        }
        ++s32Fields;
        if (ps8Dot == nullptr) break;
        ps8Field = ps8Dot + 1;
    }
    CommTrace("Last ip = %s, cur ip = %d.%d.%d.%d \n", S8IPAddr, U8IPAddr[0], U8IPAddr[1],
              U8IPAddr[2], U8IPAddr[3]);
    return (s32Fields > 4) ? -1 : 0;
}

// SPDX-License-Identifier: MIT
/* dfbare: the transport of a discovery responder and nothing else, as the
 * benchmark's baseline: recvmsg with IP_PKTINFO into 132 bytes, sendmsg of a
 * 464-byte reply (the request's header, MsgSize 448) with the control data
 * echoed and MSG_DONTROUTE.
 *
 *   dfbare <port> <max_seconds>
 */
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: dfbare <port> <max_seconds>\n");
        return 2;
    }
    const int s32Fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons((unsigned short)atoi(argv[1]));
    const int s32On = 1;
    if (s32Fd < 0 || bind(s32Fd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) < 0 ||
        setsockopt(s32Fd, IPPROTO_IP, IP_PKTINFO, &s32On, sizeof(s32On)) < 0) {
        perror("dfbare");
        return 1;
    }
    const time_t tEnd = time(nullptr) + atoi(argv[2]);
    unsigned char u8Recv[132];
    unsigned char u8Rsp[464] = {};
    alignas(struct cmsghdr) unsigned char u8Ctrl[1024];
    struct sockaddr_in stPeer;
    struct iovec stIov;
    struct msghdr stMsg = {};
    printf("dfbare: ready\n");
    fflush(stdout);
    while (time(nullptr) < tEnd) {
        struct pollfd stPfd = {s32Fd, POLLIN, 0};
        if (poll(&stPfd, 1, 500) <= 0) continue;
        stIov.iov_base = u8Recv;
        stIov.iov_len = sizeof(u8Recv);
        stMsg.msg_name = &stPeer;
        stMsg.msg_namelen = sizeof(stPeer);
        stMsg.msg_iov = &stIov;
        stMsg.msg_iovlen = 1;
        stMsg.msg_control = u8Ctrl;
        stMsg.msg_controllen = sizeof(u8Ctrl);
        if (recvmsg(s32Fd, &stMsg, 0) < 16) continue;
        memcpy(u8Rsp, u8Recv, 16);
        const unsigned u32Size = 448;
        memcpy(u8Rsp + 8, &u32Size, 4);
        stIov.iov_base = u8Rsp;
        stIov.iov_len = sizeof(u8Rsp);
        sendmsg(s32Fd, &stMsg, MSG_DONTROUTE);
    }
    close(s32Fd);
    return 0;
}

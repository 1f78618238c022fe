// SPDX-License-Identifier: MIT
/* dfload: keeps K discovery searches outstanding against one address and
 * reports replies per second, loss and latency.
 *
 *   dfload <ipv4> <port> <K> <count> [timeout_ms] [max_seconds]
 *
 * Each search is a 16-byte header (type 11) whose Seq names its slot; a reply
 * frees the slot (only if it carries the slot's current Seq), a slot whose
 * search got no reply within timeout_ms counts one loss and sends anew. The run
 * ends after <count> searches were settled or after max_seconds. Prints one
 * line: "sent N replies N lost N seconds S rate R p50_us P p99_us P". */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

double NowUs()
{
    struct timespec stTs;
    clock_gettime(CLOCK_MONOTONIC, &stTs);
    return (double)stTs.tv_sec * 1e6 + (double)stTs.tv_nsec / 1e3;
}

struct Slot {
    unsigned u32Seq;
    double dSentUs;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: dfload <ipv4> <port> <K> <count> [timeout_ms] [max_seconds]\n");
        return 2;
    }
    const unsigned uK = (unsigned)atoi(argv[3]);
    const long s64Count = atol(argv[4]);
    const double dTimeoutUs = (argc > 5 ? atof(argv[5]) : 200.0) * 1000.0;
    const double dMaxUs = (argc > 6 ? atof(argv[6]) : 30.0) * 1e6;
    if (uK == 0 || uK > 4096 || s64Count <= 0) return 2;

    struct sockaddr_in stDst = {};
    stDst.sin_family = AF_INET;
    stDst.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &stDst.sin_addr) != 1) return 2;
    const int s32Fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (s32Fd < 0 || connect(s32Fd, reinterpret_cast<sockaddr*>(&stDst), sizeof(stDst)) < 0) {
        perror("socket");
        return 1;
    }
    int s32Buf = 1 << 20;
    setsockopt(s32Fd, SOL_SOCKET, SO_RCVBUF, &s32Buf, sizeof(s32Buf));

    unsigned char u8Req[16] = {};
    u8Req[4] = 11; /* MsgType, little-endian */
    std::vector<Slot> vecSlots(uK);
    std::vector<double> vecLatUs;
    vecLatUs.reserve((size_t)s64Count);
    long s64Sent = 0, s64Replies = 0, s64Lost = 0;

    /* Slot i carries the Seq values i, i + K, i + 2K, ...: a reply names its slot. */
    auto SendSlot = [&](unsigned uSlot, unsigned u32Seq) {
        vecSlots[uSlot].u32Seq = u32Seq;
        memcpy(u8Req + 12, &u32Seq, 4);
        vecSlots[uSlot].dSentUs = NowUs();
        if (send(s32Fd, u8Req, sizeof(u8Req), 0) == (ssize_t)sizeof(u8Req)) ++s64Sent;
    };

    const double dStartUs = NowUs();
    for (unsigned i = 0; i < uK && s64Sent < s64Count; ++i) SendSlot(i, i);
    unsigned char u8Rsp[2048];
    while (s64Replies + s64Lost < s64Count && NowUs() - dStartUs < dMaxUs) {
        struct pollfd stPfd = {s32Fd, POLLIN, 0};
        const int s32Ready = poll(&stPfd, 1, 20);
        const double dNow = NowUs();
        if (s32Ready > 0) {
            const ssize_t s32N = recv(s32Fd, u8Rsp, sizeof(u8Rsp), MSG_DONTWAIT);
            unsigned u32Seq = 0;
            if (s32N >= 16) memcpy(&u32Seq, u8Rsp + 12, 4);
            Slot& stSlot = vecSlots[u32Seq % uK];
            if (s32N >= 16 && stSlot.u32Seq == u32Seq && stSlot.dSentUs > 0) {
                vecLatUs.push_back(dNow - stSlot.dSentUs);
                ++s64Replies;
                stSlot.dSentUs = 0;
                if (s64Sent < s64Count) SendSlot(u32Seq % uK, u32Seq + uK);
            }
        }
        for (unsigned i = 0; i < uK; ++i) {
            if (vecSlots[i].dSentUs > 0 && dNow - vecSlots[i].dSentUs > dTimeoutUs) {
                ++s64Lost;
                vecSlots[i].dSentUs = 0;
                if (s64Sent < s64Count) SendSlot(i, vecSlots[i].u32Seq + uK);
            }
        }
    }
    const double dSecs = (NowUs() - dStartUs) / 1e6;
    std::sort(vecLatUs.begin(), vecLatUs.end());
    auto Pct = [&](double dP) {
        return vecLatUs.empty() ? 0.0 : vecLatUs[(size_t)(dP * (double)(vecLatUs.size() - 1))];
    };
    printf("sent %ld replies %ld lost %ld seconds %.3f rate %.1f p50_us %.1f p99_us %.1f\n",
           s64Sent, s64Replies, s64Lost, dSecs, (double)s64Replies / dSecs, Pct(0.5), Pct(0.99));
    close(s32Fd);
    return 0;
}

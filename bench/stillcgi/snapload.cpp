// SPDX-License-Identifier: MIT
/* snapload: a small HTTP/1.0 load generator for the snapshot benchmark.
 *
 *   snapload ADDR PORT PATH CONCURRENCY MAX_REQUESTS MAX_SECONDS
 *
 * CONCURRENCY threads each send one request at a time (new connection per
 * request, as a browser polling snapshots does) until MAX_REQUESTS were sent
 * in all or MAX_SECONDS passed. A reply counts as good when its status is 200
 * and its body is exactly Content-Length bytes; every other reply is broken,
 * and the broken ones with status 404 are counted apart. Prints one line:
 *   requests N good N broken N s404 N seconds S rps R p50_ms X p99_ms Y
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

struct Shared {
    struct sockaddr_in stAddr;
    std::string strRequest;
    std::atomic<long long> s64Left;
    Clock::time_point tEnd;
    std::mutex mtx;
    std::vector<double> vecLatMs;
    long long s64Good = 0;
    long long s64Broken = 0;
    long long s64NotFound = 0;
};

/* true when the reply is a 200 whose body length matches its Content-Length */
bool GoodReply(const std::string& strReply)
{
    if (strReply.compare(0, 12, "HTTP/1.1 200") != 0 &&
        strReply.compare(0, 12, "HTTP/1.0 200") != 0) {
        return false;
    }
    size_t sHeadEnd = strReply.find("\r\n\r\n");
    size_t sBody = sHeadEnd == std::string::npos ? std::string::npos : sHeadEnd + 4;
    const size_t sLf = strReply.find("\n\n");
    if (sLf != std::string::npos && (sBody == std::string::npos || sLf + 2 < sBody)) {
        sHeadEnd = sLf;
        sBody = sLf + 2;
    }
    if (sBody == std::string::npos) {
        return false;
    }
    const std::string strHead = strReply.substr(0, sHeadEnd);
    size_t sLen = strHead.find("Content-Length:");
    if (sLen == std::string::npos) {
        sLen = strHead.find("Content-length:");
    }
    if (sLen == std::string::npos) {
        return false;
    }
    const long long s64Len = atoll(strHead.c_str() + sLen + 15);
    return s64Len > 0 && (size_t)s64Len == strReply.size() - sBody;
}

bool NotFoundReply(const std::string& strReply)
{
    return strReply.compare(0, 12, "HTTP/1.1 404") == 0 ||
           strReply.compare(0, 12, "HTTP/1.0 404") == 0;
}

bool OneRequest(const Shared& stSh, std::string* pstrReply)
{
    const int s32Fd = socket(AF_INET, SOCK_STREAM, 0);
    if (s32Fd < 0) {
        return false;
    }
    struct timeval stTv = {10, 0};
    setsockopt(s32Fd, SOL_SOCKET, SO_RCVTIMEO, &stTv, sizeof(stTv));
    setsockopt(s32Fd, SOL_SOCKET, SO_SNDTIMEO, &stTv, sizeof(stTv));
    bool bOk = connect(s32Fd, reinterpret_cast<const struct sockaddr*>(&stSh.stAddr),
                       sizeof(stSh.stAddr)) == 0 &&
               send(s32Fd, stSh.strRequest.data(), stSh.strRequest.size(), MSG_NOSIGNAL) ==
                   (ssize_t)stSh.strRequest.size();
    pstrReply->clear();
    char s8Buf[65536];
    for (int i = 0; bOk && i < 100000; ++i) {
        const ssize_t n = recv(s32Fd, s8Buf, sizeof(s8Buf), 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            bOk = errno == EINTR;
            continue;
        }
        pstrReply->append(s8Buf, (size_t)n);
    }
    close(s32Fd);
    return bOk;
}

void Worker(Shared* pstSh)
{
    std::string strReply;
    std::vector<double> vecLat;
    long long s64Good = 0, s64Broken = 0, s64NotFound = 0;
    while (pstSh->s64Left.fetch_sub(1) > 0 && Clock::now() < pstSh->tEnd) {
        const Clock::time_point t0 = Clock::now();
        const bool bSent = OneRequest(*pstSh, &strReply);
        const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (bSent && GoodReply(strReply)) {
            ++s64Good;
            vecLat.push_back(dMs);
        } else {
            ++s64Broken;
            s64NotFound += bSent && NotFoundReply(strReply) ? 1 : 0;
        }
    }
    std::lock_guard<std::mutex> lock(pstSh->mtx);
    pstSh->vecLatMs.insert(pstSh->vecLatMs.end(), vecLat.begin(), vecLat.end());
    pstSh->s64Good += s64Good;
    pstSh->s64Broken += s64Broken;
    pstSh->s64NotFound += s64NotFound;
}

double Percentile(std::vector<double>* pvec, double dP)
{
    if (pvec->empty()) {
        return 0.0;
    }
    std::sort(pvec->begin(), pvec->end());
    size_t sIdx = (size_t)(dP * (double)(pvec->size() - 1) + 0.5);
    return (*pvec)[std::min(sIdx, pvec->size() - 1)];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: snapload ADDR PORT PATH CONCURRENCY MAX_REQUESTS MAX_SECONDS\n");
        return 2;
    }
    Shared stSh;
    memset(&stSh.stAddr, 0, sizeof(stSh.stAddr));
    stSh.stAddr.sin_family = AF_INET;
    stSh.stAddr.sin_port = htons((uint16_t)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &stSh.stAddr.sin_addr) != 1) {
        fprintf(stderr, "snapload: bad address %s\n", argv[1]);
        return 2;
    }
    stSh.strRequest = std::string("GET ") + argv[3] + " HTTP/1.0\r\nHost: cam\r\n\r\n";
    const int s32Conc = std::max(1, std::min(128, atoi(argv[4])));
    stSh.s64Left = std::max(1LL, std::min(1000000LL, atoll(argv[5])));
    const int s32Secs = std::max(1, std::min(300, atoi(argv[6])));
    const Clock::time_point t0 = Clock::now();
    stSh.tEnd = t0 + std::chrono::seconds(s32Secs);
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < s32Conc; ++i) {
        vecThreads.emplace_back(Worker, &stSh);
    }
    for (std::thread& th : vecThreads) {
        th.join();
    }
    const double dSecs = std::chrono::duration<double>(Clock::now() - t0).count();
    const long long s64All = stSh.s64Good + stSh.s64Broken;
    const double dP50 = Percentile(&stSh.vecLatMs, 0.50);
    const double dP99 = Percentile(&stSh.vecLatMs, 0.99);
    printf(
        "requests %lld good %lld broken %lld s404 %lld seconds %.3f rps %.1f p50_ms %.3f "
        "p99_ms %.3f\n",
        s64All, stSh.s64Good, stSh.s64Broken, stSh.s64NotFound, dSecs, (double)stSh.s64Good / dSecs,
        dP50, dP99);
    return 0;
}

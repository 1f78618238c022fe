// SPDX-License-Identifier: MIT
/* The network side over loopback against a scripted responder on an ephemeral port:
 * repeats, replies to other requests and garbage are sorted out; waits are bounded. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ds_net.h"

namespace {

/* A UDP responder on 127.0.0.1 that hands each request to a script. */
class Responder {
public:
    template <typename Fn>
    explicit Responder(Fn fnScript)
    {
        m_s32Fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_s32Fd, (struct sockaddr*)&a, sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(m_s32Fd, (struct sockaddr*)&a, &len);
        m_u16Port = ntohs(a.sin_port);
        m_thread = std::thread([this, fnScript]() {
            for (int i = 0; i < 200 && !m_bStop; ++i) {  // bounded: 200 x 20 ms
                struct pollfd p = {m_s32Fd, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                U8 buf[256];
                struct sockaddr_in peer = {};
                socklen_t plen = sizeof(peer);
                const ssize_t n =
                    recvfrom(m_s32Fd, buf, sizeof(buf), 0, (struct sockaddr*)&peer, &plen);
                if (n <= 0) continue;
                ++m_s32Requests;
                fnScript(m_s32Requests.load(), std::vector<U8>(buf, buf + n),
                         [&](const std::vector<U8>& v) {
                             sendto(m_s32Fd, v.data(), v.size(), 0, (struct sockaddr*)&peer, plen);
                         });
            }
        });
    }
    ~Responder()
    {
        m_bStop = true;
        m_thread.join();
        close(m_s32Fd);
    }
    U16 Port() const { return m_u16Port; }
    int Requests() const { return m_s32Requests.load(); }

private:
    int m_s32Fd = -1;
    U16 m_u16Port = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_s32Requests{0};
    std::thread m_thread;
};

/* A 464-byte search reply to a request (header copied, MsgSize 448). */
std::vector<U8> ReplyTo(const std::vector<U8>& req, const char* ip, const char* mac)
{
    std::vector<U8> v(464, 0);
    memcpy(v.data(), req.data(), 16);
    v[8] = 0xC0;
    v[9] = 0x01;
    v[10] = 0;
    v[11] = 0;
    memcpy(&v[16], ip, strlen(ip));
    memcpy(&v[16 + 240], mac, strlen(mac));
    return v;
}

DsExchangeParams Params(U16 u16Port, U32 u32TimeoutMs, U32 u32Retries)
{
    DsExchangeParams p = {};
    p.u16Port = u16Port;
    p.au8Dst[0] = 127;
    p.au8Dst[3] = 1;
    p.u32TimeoutMs = u32TimeoutMs;
    p.u32Retries = u32Retries;
    p.u32Seq = 0xCAFE0001;
    return p;
}

std::vector<DsIface> Loopback()
{
    std::vector<DsIface> v;
    std::string e;
    EXPECT_EQ(0, DsListIfaces("lo", &v, &e)) << e;
    return v;
}

TEST(SearchExchange, CollectsEachDeviceOnceAndIgnoresForeignDatagrams)
{
    Responder r([](int, const std::vector<U8>& req, auto send) {
        if (req.size() != 16 || req[4] != 11) return;
        send(ReplyTo(req, "10.0.0.2", "02-00-00-00-00-02"));
        send(ReplyTo(req, "10.0.0.2", "02-00-00-00-00-02"));  // repeat
        send(ReplyTo(req, "10.0.0.3", "02-00-00-00-00-03"));
        std::vector<U8> other = ReplyTo(req, "10.0.0.4", "02-00-00-00-00-04");
        other[12] ^= 1;  // another client's Seq
        send(other);
        send(std::vector<U8>(10, 0xFF));  // garbage
        send(std::vector<U8>(2000, 0));   // oversized
    });
    const std::vector<DsIface> vecIf = Loopback();
    ASSERT_EQ(1u, vecIf.size());
    DsDeviceList l;
    U32 u32Replies = 0;
    std::string e;
    ASSERT_EQ(0, DsSearch(vecIf, Params(r.Port(), 300, 2), &l, &u32Replies, &e)) << e;
    EXPECT_EQ(3, r.Requests());  // 1 + 2 retries
    EXPECT_EQ(9u, u32Replies);   // three valid replies per request
    ASSERT_EQ(2u, l.Size());
    const std::vector<DsDevice> v = l.Sorted();
    EXPECT_EQ("10.0.0.2", v[0].strIp);
    EXPECT_EQ("lo", v[0].strIfName);  // tagged with the arrival interface
    EXPECT_EQ("10.0.0.3", v[1].strIp);
}

TEST(SearchExchange, ARetryRecoversALostRequest)
{
    Responder r([](int n, const std::vector<U8>& req, auto send) {
        if (n >= 2) send(ReplyTo(req, "10.0.0.2", "02-00-00-00-00-02"));  // first one "lost"
    });
    DsDeviceList l;
    std::string e;
    ASSERT_EQ(0, DsSearch(Loopback(), Params(r.Port(), 300, 1), &l, nullptr, &e)) << e;
    EXPECT_EQ(1u, l.Size());
}

const U8 kMsgId[16] = {'D', 'S', '0', '0', '0', '0', '0', '0',
                       '0', '0', '0', '0', '0', '0', '0', '1'};

std::vector<U8> ModifyReq()
{
    std::vector<U8> v(132, 0);
    v[4] = 12;
    v[8] = 116;
    v[12] = 0x01;
    v[13] = 0x00;
    v[14] = 0xFE;
    v[15] = 0xCA;  // Seq 0xCAFE0001
    memcpy(&v[16], kMsgId, 16);
    return v;
}

std::vector<U8> ModifyReplyTo(const std::vector<U8>& req, U8 u8Ack)
{
    std::vector<U8> v(32, 0);
    memcpy(v.data(), req.data(), 16);
    v[2] = u8Ack;
    v[3] = 0;
    v[8] = 16;
    v[9] = 0;
    v[10] = 0;
    v[11] = 0;
    memcpy(&v[16], &req[16], 16);
    return v;
}

/* --expect and the waits end a search on the reply that meets them, not at its timeout. */
TEST(SearchExchange, EndsWhenTheStopRuleHolds)
{
    Responder r([](int, const std::vector<U8>& req, auto send) {
        send(ReplyTo(req, "127.0.0.1", "02-00-00-00-00-01"));
        send(ReplyTo(req, "127.0.0.1", "02-00-00-00-00-02"));
    });
    DsDeviceList l;
    std::string e;
    int calls = 0;
    const DsStopFn fnStop = [&calls](const DsDevice& d, const DsDeviceList& now) {
        ++calls;
        return d.strMacAddr == "02-00-00-00-00-02" && now.Size() == 2;
    };
    // 60 s unless the stop rule ends it
    ASSERT_EQ(1, DsSearch(Loopback(), Params(r.Port(), 60000, 0), &l, nullptr, &e, fnStop)) << e;
    EXPECT_EQ(2u, l.Size());
    EXPECT_EQ(2, calls);
}

TEST(ModifyExchange, WaitsForTheReplyEchoingItsMsgid)
{
    Responder r([](int n, const std::vector<U8>& req, auto send) {
        std::vector<U8> other = ModifyReplyTo(req, 0);
        other[31] = '9';  // someone else's msgid
        send(other);
        if (n == 2) send(ModifyReplyTo(req, 0));  // the first request was "lost"
    });
    const std::vector<DsIface> vecIf = Loopback();
    const std::vector<U8> req = ModifyReq();
    U16 u16Ack = 0xFFFF;
    std::string e;
    EXPECT_EQ(1, DsExchange(vecIf[0], req.data(), (S32)req.size(), Params(r.Port(), 600, 2), kMsgId,
                            &u16Ack, &e))
        << e;
    EXPECT_EQ(0, u16Ack);
    EXPECT_EQ(2, r.Requests());  // stopped once answered
}

TEST(ModifyExchange, NoReplyWithinTheTimeoutIsReportedAsSuch)
{
    Responder r([](int, const std::vector<U8>&, auto) {});
    const std::vector<U8> req = ModifyReq();
    U16 u16Ack = 0xFFFF;
    std::string e;
    EXPECT_EQ(0, DsExchange(Loopback()[0], req.data(), (S32)req.size(), Params(r.Port(), 200, 1),
                            kMsgId, &u16Ack, &e));
    EXPECT_EQ(0xFFFF, u16Ack);
    // Both requests were sent; the responder counts them on its own thread,
    // which a loaded machine may not have run yet (bounded: 2 s).
    for (int i = 0; i < 100 && r.Requests() < 2; ++i) usleep(20 * 1000);
    EXPECT_EQ(2, r.Requests());
}

TEST(Interfaces, NamedInterfaceMustExist)
{
    std::vector<DsIface> v;
    std::string e;
    EXPECT_EQ(-1, DsListIfaces("nosuchif0", &v, &e));
    EXPECT_NE(std::string::npos, e.find("no such interface"));
    EXPECT_TRUE(v.empty());
    // loopback is left out unless named
    if (DsListIfaces("", &v, &e) == 0) {
        for (const DsIface& i : v) EXPECT_NE("lo", i.strName);
    }
}

TEST(Interfaces, FailedExchangeLeaksNoDescriptor)
{
    auto fnCount = []() {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    const int s32Before = fnCount();
    DsIface stBad;
    stBad.strName = "nosuchif0";
    stBad.u32Index = 999999;
    memset(stBad.au8Addr, 0, sizeof(stBad.au8Addr));
    const std::vector<U8> req = ModifyReq();
    U16 u16Ack = 0;
    std::string e;
    EXPECT_EQ(
        -1, DsExchange(stBad, req.data(), (S32)req.size(), Params(9, 100, 0), kMsgId, &u16Ack, &e));
    EXPECT_FALSE(e.empty());
    EXPECT_EQ(s32Before, fnCount());
}

}  // namespace

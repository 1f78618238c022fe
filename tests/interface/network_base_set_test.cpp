// SPDX-License-Identifier: MIT
/* The settings record's tail, where the packing puts fields off their natural
 * alignment: PPPoEIPaddr right after PPPoEState at 255, IpKBPort at 262. */
#include <gtest/gtest.h>

#include <string.h>

#include "VXNetParameter.h"

namespace {

TEST(NetworkBaseSet, UnalignedTailReadsFromItsBytes)
{
    /* Bytes as the main application lays the record out (host order; the
     * camera and the build hosts are little-endian). */
    U8 au8Raw[272] = {};
    au8Raw[0] = 0x10; /* StructSize 272 = 0x0110 */
    au8Raw[1] = 0x01;
    au8Raw[24] = 2;    /* NetworkMode */
    au8Raw[26] = 0x34; /* MobilePort 0x1234 */
    au8Raw[27] = 0x12;
    au8Raw[254] = 7;  /* PPPoEState */
    au8Raw[255] = 10; /* PPPoEIPaddr 10.1.2.3 */
    au8Raw[256] = 1;
    au8Raw[257] = 2;
    au8Raw[258] = 3;
    au8Raw[259] = 0x55; /* BandWidth */
    au8Raw[262] = 0x88; /* IpKBPort 0x1388 = 5000 */
    au8Raw[263] = 0x13;
    au8Raw[265] = 1;    /* UseIPV6 */
    au8Raw[271] = 0xEE; /* last reserve byte */

    VXNet_NetworkBaseSet_t stSet;
    static_assert(sizeof(stSet) == sizeof(au8Raw), "whole record");
    memcpy(&stSet, au8Raw, sizeof(stSet));

    const UINT u32Size = stSet.StructSize;
    const WORD u16Mobile = stSet.MobilePort;
    const WORD u16KbPort = stSet.IpKBPort;
    EXPECT_EQ(u32Size, 272u);
    EXPECT_EQ(stSet.NetworkMode, 2);
    EXPECT_EQ(u16Mobile, 0x1234);
    EXPECT_EQ(stSet.PPPoEState, 7);
    const U8 au8Want[4] = {10, 1, 2, 3};
    EXPECT_EQ(memcmp(stSet.PPPoEIPaddr, au8Want, sizeof(au8Want)), 0);
    EXPECT_EQ(stSet.BandWidth, 0x55);
    EXPECT_EQ(u16KbPort, 5000);
    EXPECT_EQ(stSet.UseIPV6, 1);
    EXPECT_EQ(stSet.reserve[5], 0xEE);
}

}  // namespace

// SPDX-License-Identifier: MIT
/* The settings checks a modification request passes before anything is
 * written: the MAC text as the provider will store it, static addresses. */
#include <gtest/gtest.h>
#include <string.h>

#include "bcast_modify.h"

namespace {

TEST(SettingsCheck, MacTextAsTheProviderWillStoreIt)
{
    const struct {
        const char* ps8Text;
        bool bOk;
    } astCases[] = {
        {"00-11-22-33-44-55", true},
        {"0a-1b-2c-3d-4e-5f", true},
        {"00-11-22-33-44-55-66", true}, /* cut after the sixth pair */
        {"00:11:22:33:44:55", true},    /* already converted */
        {"00:11:22:33:44-55", true},
        {"00:11:22:33:44:55:66", false}, /* no '-': nothing is cut */
        {"00-11-22-33-44", false},
        {"00-11-22-33-44-5", false},
        {"0-11-22-33-44-55", false},
        {"00-11-22-33-44-5G", false},
        {"00--1-22-33-44-55", false},
        {"", false},
        {"00-00-00-00-00-00", false},
        {"01-00-5E-00-00-01", false},
        {"03-11-22-33-44-55", false},
        {"02-11-22-33-44-55", true},  /* locally administered unicast */
        {"00-11-22-33-44-55 ", true}, /* the cut drops the tail */
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Text);
        S8 s8Field[36] = {};
        memcpy(s8Field, stCase.ps8Text, strlen(stCase.ps8Text));
        EXPECT_EQ(BcastCheckMacText(s8Field, sizeof(s8Field)) == nullptr, stCase.bOk);
    }
    /* a full field without terminator is read within its width */
    S8 s8Full[36];
    memset(s8Full, 'A', sizeof(s8Full));
    EXPECT_NE(BcastCheckMacText(s8Full, sizeof(s8Full)), nullptr);
}

/* A static address must be a host of its subnet, and the gateway (when there
 * is one) another host of the same subnet. */
TEST(SettingsCheck, StaticAddressNetmaskAndGateway)
{
    const struct {
        U8 au8Ip[4];
        U8 au8Mask[4];
        U8 au8Gw[4];
        const char* ps8Field; /* null: usable; else the field the refusal names */
    } astCases[] = {
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 1}, nullptr},
        {{10, 0, 0, 1}, {255, 0, 0, 0}, {0, 0, 0, 0}, nullptr},
        {{223, 255, 255, 254}, {255, 255, 255, 252}, {223, 255, 255, 253}, nullptr}, /* /30 */
        {{1, 2, 3, 4}, {128, 0, 0, 0}, {1, 2, 3, 5}, nullptr},
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 254}, nullptr}, /* last host */
        {{0, 0, 0, 0}, {255, 255, 255, 0}, {0, 0, 0, 0}, "address"},
        {{255, 255, 255, 255}, {255, 255, 255, 0}, {0, 0, 0, 0}, "address"},
        {{127, 0, 0, 1}, {255, 0, 0, 0}, {0, 0, 0, 0}, "loopback"},
        {{127, 255, 1, 1}, {255, 255, 0, 0}, {0, 0, 0, 0}, "loopback"},
        {{224, 0, 0, 0}, {255, 255, 255, 0}, {0, 0, 0, 0}, "multicast"},
        {{239, 1, 1, 1}, {255, 255, 255, 0}, {0, 0, 0, 0}, "multicast"},
        {{192, 168, 1, 10}, {0, 0, 0, 0}, {0, 0, 0, 0}, "netmask"},
        {{192, 168, 1, 10}, {255, 255, 0, 255}, {0, 0, 0, 0}, "netmask"},
        {{192, 168, 1, 10}, {0, 255, 255, 255}, {0, 0, 0, 0}, "netmask"},
        {{192, 168, 1, 10}, {255, 255, 255, 254}, {0, 0, 0, 0}, "netmask"}, /* /31 */
        {{192, 168, 1, 10}, {255, 255, 255, 255}, {0, 0, 0, 0}, "netmask"}, /* /32 */
        {{192, 168, 1, 0}, {255, 255, 255, 0}, {0, 0, 0, 0}, "address"},    /* network */
        {{192, 168, 1, 255}, {255, 255, 255, 0}, {0, 0, 0, 0}, "address"},  /* broadcast */
        {{10, 1, 2, 4}, {255, 255, 255, 252}, {0, 0, 0, 0}, "address"},     /* /30 network */
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 2, 1}, "gateway"},
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {10, 0, 0, 1}, "gateway"},
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 10}, "gateway"}, /* itself */
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 0}, "gateway"},
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {192, 168, 1, 255}, "gateway"},
        {{192, 168, 1, 10}, {255, 255, 255, 0}, {255, 255, 255, 255}, "gateway"},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message()
                     << int(stCase.au8Ip[0]) << "." << int(stCase.au8Ip[3]) << " / "
                     << int(stCase.au8Mask[0]) << "." << int(stCase.au8Mask[3]) << " gw "
                     << int(stCase.au8Gw[0]) << "." << int(stCase.au8Gw[3]));
        const char* ps8Why = BcastCheckStaticAddr(stCase.au8Ip, stCase.au8Mask, stCase.au8Gw);
        if (stCase.ps8Field == nullptr) {
            EXPECT_EQ(ps8Why, nullptr) << ps8Why;
        } else {
            ASSERT_NE(ps8Why, nullptr);
            EXPECT_NE(strstr(ps8Why, stCase.ps8Field), nullptr) << ps8Why;
        }
    }
}

}  // namespace

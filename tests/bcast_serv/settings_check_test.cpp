// SPDX-License-Identifier: MIT
/* The settings checks a modification request passes before anything is
 * written: the MAC text as the provider will store it, static addresses. */
#include <gtest/gtest.h>
#include <string.h>

#include "bcast_serv_internal.h"

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

TEST(SettingsCheck, StaticAddressAndNetmask)
{
    const struct {
        U8 au8Ip[4];
        U8 au8Mask[4];
        bool bOk;
    } astCases[] = {
        {{192, 168, 1, 10}, {255, 255, 255, 0}, true},
        {{10, 0, 0, 1}, {255, 0, 0, 0}, true},
        {{223, 255, 255, 254}, {255, 255, 255, 252}, true},
        {{1, 2, 3, 4}, {128, 0, 0, 0}, true},
        {{0, 0, 0, 0}, {255, 255, 255, 0}, false},
        {{255, 255, 255, 255}, {255, 255, 255, 0}, false},
        {{127, 0, 0, 1}, {255, 0, 0, 0}, false},
        {{127, 255, 1, 1}, {255, 255, 0, 0}, false},
        {{224, 0, 0, 0}, {255, 255, 255, 0}, false},
        {{239, 1, 1, 1}, {255, 255, 255, 0}, false},
        {{192, 168, 1, 10}, {0, 0, 0, 0}, false},
        {{192, 168, 1, 10}, {255, 255, 0, 255}, false},
        {{192, 168, 1, 10}, {0, 255, 255, 255}, false},
        {{192, 168, 1, 10}, {255, 255, 255, 254}, true},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message()
                     << int(stCase.au8Ip[0]) << "." << int(stCase.au8Ip[3]) << " / "
                     << int(stCase.au8Mask[0]) << "." << int(stCase.au8Mask[3]));
        EXPECT_EQ(BcastCheckStaticAddr(stCase.au8Ip, stCase.au8Mask) == nullptr, stCase.bOk);
    }
}

}  // namespace

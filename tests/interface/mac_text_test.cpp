// SPDX-License-Identifier: MIT
/* The MAC text conversion the settings provider stores and the discovery
 * server checks: it never writes behind the request's field. */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "intf_mactext.h"

namespace {

TEST(MacText, ConversionStaysInsideField)
{
    /* Fifth "-" at 32, 33, 34: the terminator goes three further on only when
     * that byte is in the field; the guard behind the field is never written. */
    for (const size_t uFifth : {32u, 33u, 34u}) {
        SCOPED_TRACE(uFifth);
        S8 s8Buf[INTF_MAC_FIELD_SIZE + 4];
        memset(s8Buf, 'A', sizeof(s8Buf));
        for (size_t i = 0; i < 5; ++i) s8Buf[uFifth - 2 * i] = '-';
        const size_t uWant = uFifth + 3 < INTF_MAC_FIELD_SIZE ? uFifth + 3 : INTF_MAC_FIELD_SIZE;
        EXPECT_EQ(uWant, NetMacDashesToColons(s8Buf, INTF_MAC_FIELD_SIZE));
        EXPECT_EQ(':', s8Buf[uFifth]);
        EXPECT_EQ(std::string(4, 'A'), std::string(s8Buf + INTF_MAC_FIELD_SIZE, 4));
    }
}

}  // namespace
